// The compression menu's preference: what reaches the encoder at start-up, what is
// stored when a level is picked, and which item carries the check mark.
#include <gtest/gtest.h>

#include <vector>

#include "CompressionSetting.h"
#include "TestUtil.h"

namespace {

using namespace Lyrebox::Tray;
using TestUtil::ReadFile;
using TestUtil::WriteFile;

std::vector<int> CheckedTags(const CompressionSetting& setting) {
  std::vector<int> checked;
  for (const CompressionLevel& level : compressionLevels) {
    if (setting.IsChecked(level.tag)) checked.push_back(level.tag);
  }
  return checked;
}

TEST(CompressionSetting, StoredLevelReachesEncoderAndExactlyItsItemIsChecked) {
  // The preference file (nullptr: none at all), the level applied, the items checked.
  const struct { const char* file; int applied; std::vector<int> checked; } table[] = {
      {nullptr, 5, {5}},  // first launch
      {"Compression=0\n", 0, {0}},
      {"# mine\nOther=1\nCompression = 8\n", 8, {8}},
      {"Compression=12\n", 12, {}},  // out of range: handed on, nothing checked
      {"Compression=-1\n", -1, {}},
      {"", 5, {5}},  // unreadable: the default
      {"\xff\xfe[Compression", 5, {5}},
      {"[Lyrebox]\nCompression=loud\n", 5, {5}},
      {"Compression=3x\n", 5, {5}},
      {"Compression=\n", 5, {5}},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.file ? row.file : "no file");
    TestUtil::TempDir dir;
    if (row.file) WriteFile(dir.File("lyrebox.conf"), row.file);
    std::vector<int> applied;
    CompressionSetting setting(dir.File("lyrebox.conf"), [&](int level) { applied.push_back(level); });
    EXPECT_EQ(setting.Load(), row.applied);
    EXPECT_EQ(applied, std::vector<int>{row.applied});
    EXPECT_EQ(CheckedTags(setting), row.checked);
  }
}

// A chosen level is applied and stored in the file beside its other lines, nothing else
// left beside it; one that cannot be stored (the folder is a file) still holds for the
// session. (Read back at the next launch: tray_e2e.)
TEST(CompressionSetting, ChosenLevelIsAppliedAndStored) {
  TestUtil::TempDir dir;
  std::vector<int> applied;
  auto apply = [&](int level) { applied.push_back(level); };
  std::string error;
  const std::string path = dir.File("config/lyrebox/lyrebox.conf");
  CompressionSetting setting(path, apply);
  EXPECT_TRUE(setting.Choose(8, error)) << error;  // makes the folders
  WriteFile(path, "# mine\nOther=1\nCompression=8\n");
  EXPECT_TRUE(setting.Choose(0, error)) << error;
  EXPECT_EQ(ReadFile(path), "# mine\nOther=1\nCompression=0\n");
  EXPECT_EQ(TestUtil::Entries(dir.File("config/lyrebox")), std::set<std::string>{"lyrebox.conf"});

  WriteFile(dir.File("file"), "");
  CompressionSetting unstorable(dir.File("file/lyrebox.conf"), apply);
  EXPECT_FALSE(unstorable.Choose(2, error));
  EXPECT_NE(error.find(dir.File("file/lyrebox.conf")), std::string::npos) << error;
  EXPECT_EQ(applied, (std::vector<int>{8, 0, 2}));
  EXPECT_EQ(CheckedTags(unstorable), std::vector<int>{2});
}

}  // namespace
