#include "fs/Preferences.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "fs/UserDirs.h"

namespace Lyrebox {

namespace {

constexpr const char* kCompressionKey = "Compression";

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

}  // namespace

std::string PreferencesPath() { return ConfigHome() + "/lyrebox/lyrebox.conf"; }

std::optional<std::string> LoadPreference(const std::string& path, const std::string& key) {
  std::ifstream in(path);
  std::optional<std::string> found;
  for (std::string line, value; std::getline(in, line);) {
    if (KeyOf(line, &value) == key) found = value;
  }
  return found;
}

bool StorePreference(const std::string& path, const std::string& key, const std::string& value) {
  if (value.find_first_of("\n\r") != std::string::npos || Trim(value) != value) return false;
  std::vector<std::string> lines;
  {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
      if (KeyOf(line, nullptr) != key) lines.push_back(line);
    }
  }
  lines.push_back(key + "=" + value);

  size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && !MakeFolders(path.substr(0, slash))) return false;

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

int LoadCompression(const std::string& path) {
  std::optional<std::string> value = LoadPreference(path, kCompressionKey);
  if (!value) return kDefaultCompression;
  std::istringstream number(*value);
  int parsed;
  char rest;
  return (number >> parsed) && !(number >> rest) ? parsed : kDefaultCompression;
}

bool StoreCompression(const std::string& path, int level) {
  return StorePreference(path, kCompressionKey, std::to_string(level));
}

bool LoadTags(const std::string& path) {
  std::string value = LoadPreference(path, "Tags").value_or("");
  for (char& ch : value) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return value == "true" || value == "yes" || value == "on" || value == "1";
}

}  // namespace Lyrebox
