// The "FLAC Compression" choice of the status menu: the nine level items and the stored
// preference behind them. The level read at start-up is handed unchanged to the encoding
// side (also when it is out of range, in which case no item is checked); a level picked
// in the menu is handed over first and then stored.
//
// Main thread only. The preference file's path is given, so tests point it elsewhere.
#pragma once

#include <array>
#include <functional>
#include <string>

namespace Lyrebox::Tray {

struct CompressionLevel {
  int tag;            // the FLAC level
  const char* title;  // the menu item's label
};

// In menu order.
extern const std::array<CompressionLevel, 9> compressionLevels;

class CompressionSetting {
 public:
  // apply receives every level that takes effect (normally SetCompression).
  CompressionSetting(std::string preferencesPath, std::function<void(int)> apply);

  // Reads the stored level (the default 5 when missing or unreadable), hands it to apply
  // unchanged and returns it.
  int Load();
  // The user picked level: apply, then store. The choice holds for this session even
  // when it cannot be stored; then false is returned and error says why.
  bool Choose(int level, std::string& error);

  // The level in force for the menu: exactly the item whose tag equals it is checked.
  int Stored() const { return stored_; }
  bool IsChecked(int tag) const { return tag == stored_; }

 private:
  std::string preferencesPath_;
  std::function<void(int)> apply_;
  int stored_;
};

}  // namespace Lyrebox::Tray
