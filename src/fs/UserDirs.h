// The user's folders as the freedesktop.org base directory and user-dirs conventions
// name them: the home folder, the configuration and state roots, and the desktop
// folder as `xdg-user-dir DESKTOP` reports it. Read afresh from the environment (and
// "user-dirs.dirs") on every call.
//
// Thread-safe as long as nobody changes the environment meanwhile.
#pragma once

#include <string>

namespace Lyrebox {

// $HOME, else the home folder of the user database entry; "" when neither is known.
std::string HomeFolder();
// $XDG_CONFIG_HOME when it is an absolute path, else HomeFolder() + "/.config".
std::string ConfigHome();
// $XDG_STATE_HOME when it is an absolute path, else HomeFolder() + "/.local/state".
std::string StateHome();
// XDG_DESKTOP_DIR from ConfigHome() + "/user-dirs.dirs" ("$HOME/..." or an absolute
// path, shell quoting undone), else $XDG_DESKTOP_DIR when absolute, else
// HomeFolder() + "/Desktop". Whether the folder exists is not checked.
std::string DesktopFolder();
// Makes folder and its missing parents (new ones with mode); true when it exists after.
bool MakeFolders(const std::string& folder, unsigned mode = 0755);

}  // namespace Lyrebox
