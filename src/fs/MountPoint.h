// Where the volume is mounted and where its diagnostic log goes.
//
// Mount point: the base "$HOME/Lyrebox", else the first free of "$HOME/Lyrebox 1" ...
// "$HOME/Lyrebox 256" (a path counts as taken unless it does not exist). Log file:
// "LyreboxLog.txt" in the desktop folder where that folder exists, else in
// "$XDG_STATE_HOME/lyrebox" (made when first written), unless set otherwise. Each record
// is one line appended by opening the file anew, so records of different threads never
// interleave mid-line; a record that cannot be written goes to standard error (or to
// the system log once the program has left its terminal), never nowhere.
//
// Thread-safe: SetLogFile and LogLostRecordsToSyslog are called at start-up, before any
// record is written.
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

// The log file path: the one set with SetLogFile, else DefaultLogFile().
std::string LogFile();
void SetLogFile(const std::string& path);
// DesktopFolder() + "/LyreboxLog.txt" when that folder exists, else
// StateHome() + "/lyrebox/LyreboxLog.txt".
std::string DefaultLogFile();
// Appends one record (a newline is added), making the state folder when the default
// log file is to go there. A record the log file does not take is reported, with the
// reason, on standard error or in the system log.
void AppendLog(const std::string& record);
// From now on records the log file does not take go to the system log (for a daemon,
// whose standard error leads nowhere).
void LogLostRecordsToSyslog();

}  // namespace Lyrebox
