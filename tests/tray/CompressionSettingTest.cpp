// The compression menu's preference: what reaches the encoder at start-up, what is
// stored when a level is picked, and which item carries the check mark.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <vector>

#include "CompressionSetting.h"
#include "fs/Preferences.h"
#include "TestUtil.h"

namespace {

using namespace Lyrebox::Tray;

std::vector<int> CheckedTags(const CompressionSetting& setting) {
  std::vector<int> checked;
  for (const CompressionLevel& level : compressionLevels) {
    if (setting.IsChecked(level.tag)) checked.push_back(level.tag);
  }
  return checked;
}

struct Stored {
  const char* name;
  bool store;  // false: no preference file at all
  int value;   // stored with the shared preference writer
  int applied;
  std::vector<int> checked;
};

TEST(CompressionSetting, StoredLevelReachesEncoderAndExactlyItsItemIsChecked) {
  const std::vector<Stored> table = {
      {"first launch", false, 0, 5, {5}},
      {"fastest", true, 0, 0, {0}},
      {"highest", true, 8, 8, {8}},
      {"recommended", true, 5, 5, {5}},
      {"above the range", true, 12, 12, {}},
      {"below the range", true, -1, -1, {}},
  };
  for (const Stored& row : table) {
    SCOPED_TRACE(row.name);
    TestUtil::TempDir dir;
    std::string path = dir.File("lyrebox/lyrebox.conf");
    if (row.store) {
      ASSERT_TRUE(Lyrebox::StoreCompression(path, row.value));
    }
    std::vector<int> applied;
    CompressionSetting setting(path, [&](int level) { applied.push_back(level); });
    EXPECT_EQ(setting.Load(), row.applied);
    EXPECT_EQ(applied, std::vector<int>{row.applied});
    EXPECT_EQ(CheckedTags(setting), row.checked);
  }
}

TEST(CompressionSetting, UnreadablePreferenceFallsBackToRecommended) {
  const std::vector<std::pair<const char*, std::string>> garbage = {
      {"empty", ""},
      {"binary", std::string("\0\xff\xfe[Compression", 15)},
      {"not a number", "[Lyrebox]\nCompression=loud\n"},
  };
  for (const auto& [name, bytes] : garbage) {
    SCOPED_TRACE(name);
    TestUtil::TempDir dir;
    TestUtil::WriteFile(dir.File("lyrebox.conf"), bytes);
    int applied = -100;
    CompressionSetting setting(dir.File("lyrebox.conf"), [&](int level) { applied = level; });
    EXPECT_EQ(setting.Load(), 5);
    EXPECT_EQ(applied, 5);
    EXPECT_EQ(CheckedTags(setting), std::vector<int>{5});
  }
}

TEST(CompressionSetting, ChosenLevelIsAppliedStoredAndReadBackNextLaunch) {
  TestUtil::TempDir dir;
  std::string path = dir.File("config/lyrebox/lyrebox.conf");
  std::vector<int> applied;
  {
    CompressionSetting setting(path, [&](int level) { applied.push_back(level); });
    setting.Load();
    std::string error;
    EXPECT_TRUE(setting.Choose(8, error)) << error;
    EXPECT_EQ(CheckedTags(setting), std::vector<int>{8});
  }
  EXPECT_EQ(Lyrebox::LoadCompression(path), 8);
  CompressionSetting nextLaunch(path, [&](int level) { applied.push_back(level); });
  EXPECT_EQ(nextLaunch.Load(), 8);
  EXPECT_EQ(applied, (std::vector<int>{5, 8, 8}));
  EXPECT_EQ(CheckedTags(nextLaunch), std::vector<int>{8});
}

TEST(CompressionSetting, ChoiceThatCannotBeStoredStillHoldsForTheSession) {
  TestUtil::TempDir dir;
  TestUtil::WriteFile(dir.File("file"), "");
  std::string path = dir.File("file/lyrebox.conf");  // its folder is a file
  int applied = -100;
  CompressionSetting setting(path, [&](int level) { applied = level; });
  setting.Load();
  std::string error;
  EXPECT_FALSE(setting.Choose(2, error));
  EXPECT_NE(error.find(path), std::string::npos) << error;
  EXPECT_EQ(applied, 2);
  EXPECT_EQ(CheckedTags(setting), std::vector<int>{2});
}

}  // namespace
