#include "Autostart.h"

#include <errno.h>
#include <glib.h>
#include <string.h>
#include <unistd.h>

#include <memory>

#include "fs/UserDirs.h"

namespace Lyrebox::Tray {

namespace {

constexpr const char* kGroup = "Desktop Entry";

struct KeyFileDeleter {
  void operator()(GKeyFile* file) const { g_key_file_free(file); }
};
using KeyFile = std::unique_ptr<GKeyFile, KeyFileDeleter>;

// One argument of an Exec line: in double quotes, with the four characters that keep a
// meaning there escaped, and "%" doubled (field codes). The key file escapes the
// backslashes once more when it writes the value.
std::string QuoteExecArgument(const std::string& arg) {
  std::string quoted = "\"";
  for (char c : arg) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted.push_back('\\');
    if (c == '%') quoted.push_back('%');
    quoted.push_back(c);
  }
  return quoted + "\"";
}

}  // namespace

std::string AutostartPath() { return ConfigHome() + "/autostart/lyrebox-tray.desktop"; }

bool AutostartEnabled(const std::string& path) {
  KeyFile file(g_key_file_new());
  if (!g_key_file_load_from_file(file.get(), path.c_str(), G_KEY_FILE_NONE, nullptr)) return false;
  GError* error = nullptr;
  bool hidden = g_key_file_get_boolean(file.get(), kGroup, "Hidden", &error);
  g_clear_error(&error);
  bool enabled = g_key_file_get_boolean(file.get(), kGroup, "X-GNOME-Autostart-enabled", &error);
  if (error) enabled = true;  // missing: enabled
  g_clear_error(&error);
  return !hidden && enabled;
}

bool EnableAutostart(const std::string& path, const std::string& program, std::string& error) {
  KeyFile file(g_key_file_new());
  g_key_file_set_string(file.get(), kGroup, "Type", "Application");
  g_key_file_set_string(file.get(), kGroup, "Name", "Lyrebox");
  g_key_file_set_string(file.get(), kGroup, "Comment", "Mount the music folder used last time as WAV files");
  g_key_file_set_string(file.get(), kGroup, "Exec", (QuoteExecArgument(program) + " --last-folder").c_str());
  g_key_file_set_string(file.get(), kGroup, "Icon", "lyrebox");
  g_key_file_set_boolean(file.get(), kGroup, "Terminal", FALSE);
  g_key_file_set_boolean(file.get(), kGroup, "X-GNOME-Autostart-enabled", TRUE);

  const std::string folder = path.substr(0, path.find_last_of('/'));
  if (!MakeFolders(folder)) {
    const int err = errno;
    error = "cannot make " + folder + ": " + strerror(err);
    return false;
  }
  GError* failure = nullptr;
  // Written to a temporary file and renamed into place.
  if (!g_key_file_save_to_file(file.get(), path.c_str(), &failure)) {
    error = failure->message;
    g_error_free(failure);
    return false;
  }
  return true;
}

bool DisableAutostart(const std::string& path, std::string& error) {
  if (unlink(path.c_str()) == 0) return true;
  const int err = errno;
  if (err == ENOENT) return true;
  error = "cannot remove " + path + ": " + strerror(err);
  return false;
}

}  // namespace Lyrebox::Tray
