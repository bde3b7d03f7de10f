// What the fuzz targets share: an input as a file (memfd: no disk, no name), and a
// failure that libFuzzer reports with the input that caused it.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "transcode/UniqueFd.h"

namespace Fuzz {

// A file holding bytes, read and written like any other; its offset at 0.
inline Vantor::UniqueFd MemoryFile(const uint8_t* data, size_t size) {
  Vantor::UniqueFd fd(memfd_create("fuzz", MFD_CLOEXEC));
  if (!fd) std::abort();
  for (size_t done = 0; done < size;) {
    const ssize_t n = write(fd.Get(), data + done, size - done);
    if (n <= 0) std::abort();
    done += static_cast<size_t>(n);
  }
  lseek(fd.Get(), 0, SEEK_SET);
  return fd;
}

// An invariant that does not hold: a finding.
#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

}  // namespace Fuzz
