// One mounted Lyrebox volume: the FUSE session serving a LoopbackFS for a root folder.
// Shared by the command line and the tray shell; neither includes fuse.h.
//
// Thread-safe as stated per member: Mount and Run are called from one thread (the
// mount thread); Unmount may be called from any thread, also while Run is running.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace Lyrebox {

struct VolumeOptions {
  std::string root;                      // the root folder, as given
  std::string mountPoint;                // where to mount (already exists)
  std::vector<std::string> fuseOptions;  // each one "-o" value, e.g. "allow_other"
  bool debug = false;                    // FUSE debug output on stderr
};

class Volume {
 public:
  explicit Volume(VolumeOptions options);
  ~Volume();  // unmounts when still mounted
  Volume(const Volume&) = delete;
  Volume& operator=(const Volume&) = delete;

  // Mounts the volume. On failure returns false and sets error to the reason (the text
  // shown after "Mount Failed: ").
  bool Mount(std::string& error);
  // Serves requests (multi-threaded) until the volume is unmounted, from outside
  // (fusermount3 -u) or by Unmount(). Conversions in progress finish before it returns.
  // Returns 0 on a clean end.
  int Run();
  // Asks Run to end and unmounts. Safe from any thread; idempotent.
  void Unmount();

  const std::string& MountPoint() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Why path cannot be the root folder ("" when it can): it must be a readable folder.
std::string CheckRootFolder(const std::string& path);
// Why path cannot be the mount point ("" when it can): missing, not a folder, or a mount
// point already.
std::string CheckMountPoint(const std::string& path);

}  // namespace Lyrebox
