// Showing the mounted volume in the file viewer: the desktop's file manager is asked over
// the session bus (org.freedesktop.FileManager1.ShowItems with the path's URI) to show
// the volume selected in its parent folder; when no file manager answers, the parent
// folder is opened with xdg-open instead.
//
// Main thread only (the answer arrives through the GLib main loop).
#pragma once

#include <functional>
#include <string>

namespace Lyrebox::Tray {

// The two ways of showing a path, so that tests can stand in for the desktop.
struct RevealActions {
  // Asks the file manager to show uri; calls done(true) once it has answered, done(false)
  // when nobody did. done may be called before showItems returns.
  std::function<void(const std::string& uri, std::function<void(bool)> done)> showItems;
  // Opens folder in whatever the desktop uses for folders.
  std::function<void(const std::string& folder)> openFolder;
};

// "file://" + the percent-encoded absolute path.
std::string FileUri(const std::string& path);
// The folder holding path ("/" for a top-level path); trailing slashes are ignored.
std::string ParentFolder(const std::string& path);

// Shows path selected in the file viewer, falling back to opening its parent folder.
void RevealInFileViewer(const std::string& path, const RevealActions& actions);

// The desktop's actions: GDBus on the session bus, and xdg-open. Failures go to stderr.
RevealActions DesktopRevealActions();

}  // namespace Lyrebox::Tray
