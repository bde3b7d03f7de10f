#include "transcode/NameMapping.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace Vantor {

namespace {

// Position i of one table pairs with position i of the other, so the case style of a
// name survives the swap. No other case variants are recognised.
constexpr char flac[3][5] = {"flac", "Flac", "FLAC"};
constexpr char wav[3][5] = {"wav", "Wav", "WAV"};

}  // namespace

std::string TranscodeFilename(const std::string& path, bool& mapped, bool back) {
  mapped = false;
  const std::string::size_type dot = path.rfind('.');
  if (dot == std::string::npos) return path;
  const std::string head = path.substr(0, dot + 1);
  const std::string suffix = path.substr(dot + 1);
  const auto& source = back ? wav : flac;
  const auto& target = back ? flac : wav;
  for (int i = 0; i < 3; ++i) {
    if (suffix == source[i]) {
      mapped = true;
      return head + target[i];
    }
  }
  return path;
}

bool Exists(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return true;
  // Anything but "no such entry" (EACCES, ENOTDIR, ELOOP, ...) means something is in
  // the way of that name, so it must not be taken for a free WAV name.
  return errno != ENOENT;
}

}  // namespace Vantor
