// The services the command line and the tray share: the mount point search, the log
// file and the stored compression preference.
#include <stdlib.h>
#include <sys/stat.h>

#include "VolumeFixture.h"
#include "fs/MountPoint.h"
#include "fs/Preferences.h"

using TestUtil::ReadFile;
using TestUtil::WriteFile;

namespace {

TEST(ShellServicesTest, MountPointIsTheFirstFreeCandidate) {
  const struct {
    std::vector<std::string> taken;
    std::string chosen;
  } cases[] = {
      {{}, "Lyrebox"},
      {{"Lyrebox"}, "Lyrebox 1"},
      {{"Lyrebox", "Lyrebox 1"}, "Lyrebox 2"},
      {{"Lyrebox", "Lyrebox 2"}, "Lyrebox 1"},  // gaps are reused
  };
  for (const auto& c : cases) {
    TestUtil::TempDir dir;
    for (const auto& t : c.taken) ASSERT_EQ(mkdir(dir.File(t).c_str(), 0755), 0);
    EXPECT_EQ(Lyrebox::GetMountPathImpl(dir.File("Lyrebox")), dir.File(c.chosen));
  }
  TestUtil::TempDir all;
  WriteFile(all.File("Lyrebox"), "");  // a file takes the name as well as a folder
  for (int n = 1; n <= 256; ++n) WriteFile(all.File("Lyrebox " + std::to_string(n)), "");
  EXPECT_EQ(Lyrebox::GetMountPathImpl(all.File("Lyrebox")), all.File("Lyrebox"));
}

TEST(ShellServicesTest, LogRecordsAreAppendedLines) {
  TestUtil::TempDir home;
  std::string saved = getenv("HOME") ? getenv("HOME") : "";
  setenv("HOME", home.Path().c_str(), 1);
  EXPECT_EQ(Lyrebox::LogFile(), home.Path() + "/Desktop/LyreboxLog.txt");
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

TEST(ShellServicesTest, CompressionPreferenceIsStoredBesideOtherLines) {
  TestUtil::TempDir dir;
  const std::string path = dir.File("config/lyrebox/lyrebox.conf");
  EXPECT_EQ(Lyrebox::LoadCompression(path), Lyrebox::kDefaultCompression);
  ASSERT_TRUE(Lyrebox::StoreCompression(path, 7));
  EXPECT_EQ(Lyrebox::LoadCompression(path), 7);
  WriteFile(path, "# mine\nOther=1\nCompression = 12\n");
  EXPECT_EQ(Lyrebox::LoadCompression(path), 12);  // the caller judges the range
  ASSERT_TRUE(Lyrebox::StoreCompression(path, 0));
  EXPECT_EQ(ReadFile(path), "# mine\nOther=1\nCompression=0\n");
  for (const char* bad : {"Compression=fast\n", "Compression=\n", "Compression=3x\n"}) {
    WriteFile(path, bad);
    EXPECT_EQ(Lyrebox::LoadCompression(path), Lyrebox::kDefaultCompression) << bad;
  }
  EXPECT_EQ(E2E::Names(dir.File("config/lyrebox")), std::vector<std::string>{"lyrebox.conf"});
}

}  // namespace
