// The real mount: the shared Volume of the FUSE front.
#include <utility>

#include "MountSession.h"
#include "fs/Volume.h"

namespace Lyrebox::Tray {

namespace {

class VolumeSession : public MountSession {
 public:
  explicit VolumeSession(VolumeOptions options) : volume_(std::move(options)) {}
  bool Mount(std::string& error) override { return volume_.Mount(error); }
  int Run() override { return volume_.Run(); }
  void Unmount() override { volume_.Unmount(); }

 private:
  Volume volume_;
};

}  // namespace

std::unique_ptr<MountSession> MakeVolumeSession(const std::string& root,
                                                const std::string& mountPoint) {
  VolumeOptions options;
  options.root = root;
  options.mountPoint = mountPoint;
  return std::make_unique<VolumeSession>(std::move(options));
}

}  // namespace Lyrebox::Tray
