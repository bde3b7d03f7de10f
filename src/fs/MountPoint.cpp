#include "fs/MountPoint.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <iostream>
#include <mutex>
#include <sstream>

#include "fs/UserDirs.h"
#include "transcode/NameMapping.h"

namespace Lyrebox {

namespace {

std::mutex logFileMutex_;  // guards logFile_; taken alone
std::string logFile_;      // empty: DefaultLogFile()
std::atomic<bool> lostToSyslog_{false};

std::string ParentOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

// Appends line to path in one write; 0, or the errno of what failed.
int AppendLine(const std::string& path, const std::string& line) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  ssize_t n = write(fd, line.data(), line.size());
  int err = n < 0 ? errno : n != static_cast<ssize_t>(line.size()) ? ENOSPC : 0;
  if (close(fd) != 0 && err == 0) err = errno;
  return err;
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

std::string GetMountPath() { return GetMountPathImpl(HomeFolder() + "/Lyrebox"); }

std::string CreateMountPoint(std::string& error) {
  if (HomeFolder().empty()) {
    error = "no home folder (HOME is not set)";
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
  error = "no free mount point under " + HomeFolder();
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
  return DefaultLogFile();
}

std::string DefaultLogFile() {
  const std::string desktop = DesktopFolder();
  struct stat st;
  if (stat(desktop.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return desktop + "/LyreboxLog.txt";
  return StateHome() + "/lyrebox/LyreboxLog.txt";
}

void SetLogFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(logFileMutex_);
  logFile_ = path;
}

void LogLostRecordsToSyslog() { lostToSyslog_ = true; }

void AppendLog(const std::string& record) {
  const std::string path = LogFile();
  // One write to a file opened for appending: records of different threads never mix.
  int err = AppendLine(path, record + "\n");
  if (err == ENOENT && path == StateHome() + "/lyrebox/LyreboxLog.txt" && MakeFolders(ParentOf(path), 0700))
    err = AppendLine(path, record + "\n");
  if (err == 0) return;
  const std::string lost = "cannot write to " + path + " (" + strerror(err) + "): " + record;
  if (lostToSyslog_) {
    syslog(LOG_WARNING, "%s", lost.c_str());
  } else {
    std::cerr << "lyrebox: " + lost + "\n" << std::flush;
  }
}

}  // namespace Lyrebox
