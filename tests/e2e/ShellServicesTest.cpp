// The services the command line and the tray share: the mount point search and the log
// file, which follows the desktop folder of user-dirs.dirs. (The stored preferences are
// tested with the tray's menu.)
#include <stdlib.h>
#include <sys/stat.h>

#include <optional>

#include "VolumeFixture.h"
#include "fs/MountPoint.h"

using namespace TestUtil;

namespace {

TEST(ShellServicesTest, MountPointIsTheFirstFreeCandidate) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "Lyrebox"},
      {{"Lyrebox", "Lyrebox 1"}, "Lyrebox 2"},
      {{"Lyrebox", "Lyrebox 2"}, "Lyrebox 1"},  // gaps are reused
  };
  for (const auto& [taken, chosen] : cases) {
    TempDir dir;
    for (const auto& t : taken) ASSERT_EQ(mkdir(dir.File(t).c_str(), 0755), 0);
    EXPECT_EQ(Lyrebox::GetMountPathImpl(dir.File("Lyrebox")), dir.File(chosen));
  }
  TempDir all;
  WriteFile(all.File("Lyrebox"), "");  // a file takes the name as well as a folder
  for (int n = 1; n <= 256; ++n) WriteFile(all.File("Lyrebox " + std::to_string(n)), "");
  EXPECT_EQ(Lyrebox::GetMountPathImpl(all.File("Lyrebox")), all.File("Lyrebox"));
}

TEST(ShellServicesTest, LogGoesToTheDesktopElseTheStateFolder) {
  const struct {
    const char* userDirs;  // user-dirs.dirs, when not null
    const char* folder;    // made in the home folder, when not empty
    bool stateHome;        // XDG_STATE_HOME set
    const char* log;       // relative to the home folder
  } cases[] = {
      {nullptr, "Desktop", false, "Desktop/LyreboxLog.txt"},
      {"# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Bureau \\\"1\\\"\"\n", "Bureau \"1\"", false,
       "Bureau \"1\"/LyreboxLog.txt"},
      {"XDG_DESKTOP_DIR=\"$HOME/Missing\"\n", "Desktop", true, "state/lyrebox/LyreboxLog.txt"},
      {nullptr, "", false, ".local/state/lyrebox/LyreboxLog.txt"},
  };
  // The variables the cases set, restored at the end (no ASSERT in between).
  std::vector<std::pair<const char*, std::optional<std::string>>> saved;
  for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DESKTOP_DIR", "XDG_STATE_HOME"}) {
    saved.emplace_back(name, getenv(name) ? std::optional<std::string>(getenv(name)) : std::nullopt);
    unsetenv(name);
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.log);
    TempDir home;
    setenv("HOME", home.Path().c_str(), 1);
    if (c.stateHome) setenv("XDG_STATE_HOME", home.File("state").c_str(), 1);
    else unsetenv("XDG_STATE_HOME");
    // (A folder that could not be made shows in the log file's path.)
    if (*c.folder) mkdir(home.File(c.folder).c_str(), 0755);
    if (c.userDirs) {
      mkdir(home.File(".config").c_str(), 0755);
      WriteFile(home.File(".config/user-dirs.dirs"), c.userDirs);  // throws when it cannot
    }
    EXPECT_EQ(Lyrebox::LogFile(), home.File(c.log));
    Lyrebox::AppendLog("removeItemAtPath: /a");
    Lyrebox::AppendLog("truncateFileAtPath: /b.wav offset: 12");
    EXPECT_EQ(ReadFile(home.File(c.log)), "removeItemAtPath: /a\ntruncateFileAtPath: /b.wav offset: 12\n");
  }
  for (const auto& [name, value] : saved) value ? setenv(name, value->c_str(), 1) : unsetenv(name);
}

TEST(ShellServicesTest, UnwritableLogSendsRecordsToStandardError) {
  TempDir dir;
  Lyrebox::SetLogFile(dir.File("missing/log.txt"));
  testing::internal::CaptureStderr();
  Lyrebox::AppendLog("createDirectoryAtPath: /x");
  const std::string err = testing::internal::GetCapturedStderr();
  Lyrebox::SetLogFile("");
  EXPECT_EQ(err, "lyrebox: cannot write to " + dir.File("missing/log.txt") +
                     " (No such file or directory): createDirectoryAtPath: /x\n");
}

}  // namespace
