#include "fs/UserDirs.h"

#include <errno.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

namespace Lyrebox {

namespace {

std::string AbsoluteEnv(const char* name) {
  const char* value = getenv(name);
  return value && value[0] == '/' ? value : "";
}

// The value of a `XDG_DESKTOP_DIR="..."` line: the quotes removed, backslash escapes
// undone and a leading $HOME replaced; "" when the line holds no usable path.
std::string DesktopValue(const std::string& line) {
  const std::string key = "XDG_DESKTOP_DIR=";
  size_t start = line.find_first_not_of(" \t");
  if (start == std::string::npos || line.compare(start, key.size(), key) != 0) return "";
  std::string raw = line.substr(start + key.size());
  size_t end = raw.find_last_not_of(" \t\r");
  raw = end == std::string::npos ? "" : raw.substr(0, end + 1);
  if (raw.size() < 2 || raw.front() != '"' || raw.back() != '"') return "";
  std::string value;
  for (size_t i = 1; i + 1 < raw.size(); ++i) {
    if (raw[i] == '\\' && i + 2 < raw.size()) ++i;
    value.push_back(raw[i]);
  }
  if (value.compare(0, 5, "$HOME") == 0 && (value.size() == 5 || value[5] == '/'))
    return HomeFolder() + value.substr(5);
  return value.empty() || value[0] != '/' ? "" : value;
}

}  // namespace

std::string HomeFolder() {
  const char* home = getenv("HOME");
  if (home && *home) return home;
  // Services started without HOME (a system unit, say) still have an entry.
  struct passwd entry;
  struct passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir)
    return found->pw_dir;
  return "";
}

std::string ConfigHome() {
  std::string config = AbsoluteEnv("XDG_CONFIG_HOME");
  return config.empty() ? HomeFolder() + "/.config" : config;
}

std::string StateHome() {
  std::string state = AbsoluteEnv("XDG_STATE_HOME");
  return state.empty() ? HomeFolder() + "/.local/state" : state;
}

std::string DesktopFolder() {
  std::ifstream dirs(ConfigHome() + "/user-dirs.dirs");
  std::string desktop;
  for (std::string line; std::getline(dirs, line);) {
    std::string value = DesktopValue(line);
    if (!value.empty()) desktop = value;  // the last assignment wins, as in the shell
  }
  if (desktop.empty()) desktop = AbsoluteEnv("XDG_DESKTOP_DIR");
  return desktop.empty() ? HomeFolder() + "/Desktop" : desktop;
}

bool MakeFolders(const std::string& folder, unsigned mode) {
  if (folder.empty()) return true;
  struct stat st;
  if (stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  size_t slash = folder.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolders(folder.substr(0, slash), mode)) return false;
  return mkdir(folder.c_str(), mode) == 0 || errno == EEXIST;
}

}  // namespace Lyrebox
