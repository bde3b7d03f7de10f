// The services the command line and the tray share: the mount point search and the log
// file. (The stored compression preference is tested with the tray's menu.)
#include <stdlib.h>
#include <sys/stat.h>

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

TEST(ShellServicesTest, LogRecordsAreAppendedLines) {
  TempDir home;
  const std::string saved = getenv("HOME") ? getenv("HOME") : "";
  setenv("HOME", home.Path().c_str(), 1);
  EXPECT_EQ(Lyrebox::LogFile(), home.File("Desktop/LyreboxLog.txt"));
  Lyrebox::AppendLog("dropped: there is no Desktop folder");
  ASSERT_EQ(mkdir(home.File("Desktop").c_str(), 0755), 0);
  Lyrebox::AppendLog("removeItemAtPath: /a");
  Lyrebox::AppendLog("truncateFileAtPath: /b.wav offset: 12");
  EXPECT_EQ(ReadFile(home.File("Desktop/LyreboxLog.txt")), "removeItemAtPath: /a\ntruncateFileAtPath: /b.wav offset: 12\n");
  Lyrebox::SetLogFile(home.File("elsewhere.txt"));
  Lyrebox::AppendLog("x");
  Lyrebox::SetLogFile("");
  EXPECT_EQ(ReadFile(home.File("elsewhere.txt")), "x\n");
  setenv("HOME", saved.c_str(), 1);
}

}  // namespace
