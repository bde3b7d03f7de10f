#include "CompressionSetting.h"

#include <utility>

#include "fs/Preferences.h"

namespace Lyrebox::Tray {

const std::array<CompressionLevel, 9> compressionLevels = {{
    {0, "0 Fastest"},
    {1, "1"},
    {2, "2"},
    {3, "3"},
    {4, "4"},
    {5, "5 Recommended"},
    {6, "6"},
    {7, "7"},
    {8, "8 Highest"},
}};

CompressionSetting::CompressionSetting(std::string preferencesPath,
                                       std::function<void(int)> apply)
    : preferencesPath_(std::move(preferencesPath)),
      apply_(std::move(apply)),
      stored_(kDefaultCompression) {}

int CompressionSetting::Load() {
  stored_ = LoadCompression(preferencesPath_);
  apply_(stored_);
  return stored_;
}

bool CompressionSetting::Choose(int level, std::string& error) {
  apply_(level);
  stored_ = level;
  if (!StoreCompression(preferencesPath_, level)) {
    error = "could not store the compression level in " + preferencesPath_;
    return false;
  }
  return true;
}

}  // namespace Lyrebox::Tray
