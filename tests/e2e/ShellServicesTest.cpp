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

// Sets the environment variables for the life of a test case and restores them.
class Environment {
 public:
  Environment(std::initializer_list<std::pair<const char*, std::string>> values) {
    for (const auto& [name, value] : values) {
      const char* old = getenv(name);
      saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
      if (value.empty()) unsetenv(name);
      else setenv(name, value.c_str(), 1);
    }
  }
  ~Environment() {
    for (const auto& [name, value] : saved_) {
      if (value) setenv(name, value->c_str(), 1);
      else unsetenv(name);
    }
  }

 private:
  std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

TEST(ShellServicesTest, LogGoesToTheDesktopElseTheStateFolder) {
  struct Case {
    const char* userDirs;  // user-dirs.dirs, when not null
    const char* folder;    // made in the home folder, when not empty
    bool stateHome;        // XDG_STATE_HOME set
    const char* log;       // relative to the home folder
  };
  const Case cases[] = {
      {nullptr, "Desktop", false, "Desktop/LyreboxLog.txt"},
      {"# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Bureau \\\"1\\\"\"\n", "Bureau \"1\"", false,
       "Bureau \"1\"/LyreboxLog.txt"},
      {"XDG_DESKTOP_DIR=\"$HOME/Missing\"\n", "Desktop", true, "state/lyrebox/LyreboxLog.txt"},
      {nullptr, "", false, ".local/state/lyrebox/LyreboxLog.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.log);
    TempDir home;
    Environment env({{"HOME", home.Path()}, {"XDG_CONFIG_HOME", ""}, {"XDG_DESKTOP_DIR", ""},
                     {"XDG_STATE_HOME", c.stateHome ? home.File("state") : ""}});
    if (c.userDirs) {
      ASSERT_EQ(mkdir(home.File(".config").c_str(), 0755), 0);
      WriteFile(home.File(".config/user-dirs.dirs"), c.userDirs);
    }
    if (*c.folder) {
      ASSERT_EQ(mkdir(home.File(c.folder).c_str(), 0755), 0);
    }
    EXPECT_EQ(Lyrebox::LogFile(), home.File(c.log));
    Lyrebox::AppendLog("removeItemAtPath: /a");
    Lyrebox::AppendLog("truncateFileAtPath: /b.wav offset: 12");
    EXPECT_EQ(ReadFile(home.File(c.log)), "removeItemAtPath: /a\ntruncateFileAtPath: /b.wav offset: 12\n");
  }
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
