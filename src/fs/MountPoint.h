// Where the volume is mounted and where its diagnostic log goes.
//
// Mount point: the base "$HOME/Lyrebox", else the first free of "$HOME/Lyrebox 1" ...
// "$HOME/Lyrebox 256" (a path counts as taken unless it does not exist). Log file:
// "$HOME/Desktop/LyreboxLog.txt" unless set otherwise; each record is one line appended
// by opening the file anew, so records of different threads never interleave mid-line.
//
// Thread-safe: SetLogFile is called once at start-up, before any record is written.
#pragma once

#include <string>

namespace Lyrebox {

// The first free candidate derived from base; base itself when all 257 are taken.
std::string GetMountPathImpl(const std::string& base);
// GetMountPathImpl("$HOME/Lyrebox").
std::string GetMountPath();
// Picks GetMountPath() and creates that folder (mode 0755). On failure returns an empty
// string and sets error. The folder is ours to remove after unmounting.
std::string CreateMountPoint(std::string& error);
// Removes a mount point made by CreateMountPoint (rmdir: only when empty, never recursive).
void RemoveMountPoint(const std::string& path);

// The log file path: the one set with SetLogFile, else $HOME + "/Desktop/LyreboxLog.txt".
std::string LogFile();
void SetLogFile(const std::string& path);
// Appends one record (a newline is added). A log file that cannot be opened drops it.
void AppendLog(const std::string& record);

}  // namespace Lyrebox
