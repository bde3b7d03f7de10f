// "Start at Login": an XDG autostart entry, "$XDG_CONFIG_HOME/autostart/lyrebox-tray.desktop",
// that starts this program with --last-folder when the user logs in. The entry counts
// as enabled while it exists and is neither Hidden nor X-GNOME-Autostart-enabled=false
// (what desktops' session settings write to switch it off).
//
// Free functions on one file; main thread only in the tray.
#pragma once

#include <string>

namespace Lyrebox::Tray {

// The entry's path from the environment.
std::string AutostartPath();
bool AutostartEnabled(const std::string& path);
// Writes the entry (making its folder) so that it runs program --last-folder. False,
// with error set, on failure.
bool EnableAutostart(const std::string& path, const std::string& program, std::string& error);
// Removes the entry; true when it is gone.
bool DisableAutostart(const std::string& path, std::string& error);

}  // namespace Lyrebox::Tray
