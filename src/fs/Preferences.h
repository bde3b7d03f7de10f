// The user's stored preferences: a key file "$XDG_CONFIG_HOME/lyrebox/lyrebox.conf"
// (falling back to "$HOME/.config/lyrebox/lyrebox.conf") of "Key=value" lines. Keys:
// "Compression", the FLAC level 0..8 for new conversions (shared by the command line and
// the tray), "Folder", the root folder the tray mounted last, and "Tags", whether tags
// are carried between LIST/INFO chunks and Vorbis comments (the command line's --tags).
#pragma once

#include <optional>
#include <string>

namespace Lyrebox {

constexpr int kDefaultCompression = 5;

// The preference file's path from the environment.
std::string PreferencesPath();

// The value of the key's last line (blanks around it removed); nullopt when the file or
// the key is missing. Never throws.
std::optional<std::string> LoadPreference(const std::string& path, const std::string& key);
// Stores value under key, keeping the file's other lines; written to a temporary file
// and renamed over the old one. Creates the folder. False on failure, and for a value
// that would not read back the same (one holding a line break or outer blanks).
bool StorePreference(const std::string& path, const std::string& key, const std::string& value);

// The stored "Compression" value; kDefaultCompression when the file or key is missing or
// the value is not an integer. A stored integer outside 0..8 is returned as it is (the
// caller decides); never throws.
int LoadCompression(const std::string& path);
bool StoreCompression(const std::string& path, int level);
// The stored "Tags" value: true for "true", "yes", "on" or "1" (any case), false for
// anything else and when the file or key is missing; never throws.
bool LoadTags(const std::string& path);

}  // namespace Lyrebox
