#include "fs/MountPoint.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <sstream>

#include "transcode/NameMapping.h"

namespace Lyrebox {

namespace {

std::mutex logFileMutex_;  // guards logFile_; taken alone
std::string logFile_;      // empty: the default under $HOME

std::string Home() {
  const char* home = getenv("HOME");
  return home ? home : "";
}

}  // namespace

std::string GetMountPathImpl(const std::string& base) {
  if (!Vantor::Exists(base)) return base;
  for (int n = 1; n <= 256; ++n) {
    std::ostringstream candidate;
    candidate << base << " " << n;
    if (!Vantor::Exists(candidate.str())) return candidate.str();
  }
  return base;
}

std::string GetMountPath() { return GetMountPathImpl(Home() + "/Lyrebox"); }

std::string CreateMountPoint(std::string& error) {
  if (Home().empty()) {
    error = "HOME is not set";
    return "";
  }
  // Another program may take the chosen name between the search and mkdir: search again.
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::string path = GetMountPath();
    if (mkdir(path.c_str(), 0755) == 0) return path;
    int err = errno;
    if (err != EEXIST) {
      error = path + ": " + strerror(err);
      return "";
    }
  }
  error = "no free mount point under " + Home();
  return "";
}

void RemoveMountPoint(const std::string& path) {
  if (!path.empty()) rmdir(path.c_str());
}

std::string LogFile() {
  {
    std::lock_guard<std::mutex> lock(logFileMutex_);
    if (!logFile_.empty()) return logFile_;
  }
  return Home() + "/Desktop/LyreboxLog.txt";
}

void SetLogFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(logFileMutex_);
  logFile_ = path;
}

void AppendLog(const std::string& record) {
  std::string line = record + "\n";
  // One write to a file opened for appending: records of different threads never mix.
  int fd = open(LogFile().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return;
  ssize_t n = write(fd, line.data(), line.size());
  (void)n;  // a record that cannot be written is dropped
  close(fd);
}

}  // namespace Lyrebox
