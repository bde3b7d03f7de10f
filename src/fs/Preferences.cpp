#include "fs/Preferences.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

namespace Lyrebox {

namespace {

constexpr const char* kKey = "Compression";

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

// The key of a "key=value" line, or "" for comments and other lines.
std::string KeyOf(const std::string& line, std::string* value) {
  std::string t = Trim(line);
  if (t.empty() || t[0] == '#' || t[0] == ';') return "";
  size_t eq = t.find('=');
  if (eq == std::string::npos) return "";
  if (value) *value = Trim(t.substr(eq + 1));
  return Trim(t.substr(0, eq));
}

bool MakeFolders(const std::string& folder) {
  if (folder.empty()) return true;
  struct stat st;
  if (stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  size_t slash = folder.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolders(folder.substr(0, slash))) return false;
  return mkdir(folder.c_str(), 0755) == 0 || errno == EEXIST;
}

}  // namespace

std::string PreferencesPath() {
  const char* config = getenv("XDG_CONFIG_HOME");
  if (config && *config == '/') return std::string(config) + "/lyrebox/lyrebox.conf";
  const char* home = getenv("HOME");
  return std::string(home ? home : "") + "/.config/lyrebox/lyrebox.conf";
}

int LoadCompression(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  int level = kDefaultCompression;
  while (std::getline(in, line)) {
    std::string value;
    if (KeyOf(line, &value) != kKey) continue;
    std::istringstream number(value);
    int parsed;
    char rest;
    if ((number >> parsed) && !(number >> rest)) level = parsed;
    else level = kDefaultCompression;
  }
  return level;
}

bool StoreCompression(const std::string& path, int level) {
  std::vector<std::string> lines;
  {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
      if (KeyOf(line, nullptr) != kKey) lines.push_back(line);
    }
  }
  lines.push_back(std::string(kKey) + "=" + std::to_string(level));

  size_t slash = path.find_last_of('/');
  std::string folder = slash == std::string::npos ? "" : path.substr(0, slash);
  if (!MakeFolders(folder)) return false;

  std::string temp = path + ".XXXXXX";
  int fd = mkstemp(temp.data());
  if (fd < 0) return false;
  std::string text;
  for (const auto& l : lines) text += l + "\n";
  bool ok = true;
  for (size_t done = 0; ok && done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ok && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (ok && rename(temp.c_str(), path.c_str()) == 0) return true;
  unlink(temp.c_str());
  return false;
}

}  // namespace Lyrebox
