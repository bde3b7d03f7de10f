// The user's stored preferences: a key file "$XDG_CONFIG_HOME/lyrebox/lyrebox.conf"
// (falling back to "$HOME/.config/lyrebox/lyrebox.conf") with the key "Compression",
// the FLAC level 0..8 for new conversions. Shared by the command line and the tray.
#pragma once

#include <string>

namespace Lyrebox {

constexpr int kDefaultCompression = 5;

// The preference file's path from the environment.
std::string PreferencesPath();
// The stored "Compression" value; kDefaultCompression when the file or key is missing or
// the value is not an integer. A stored integer outside 0..8 is returned as it is (the
// caller decides); never throws.
int LoadCompression(const std::string& path);
// Stores level under "Compression", keeping the file's other lines; written to a
// temporary file and renamed over the old one. Creates the folder. False on failure.
bool StoreCompression(const std::string& path, int level);

}  // namespace Lyrebox
