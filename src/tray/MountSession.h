// One mount of the volume as the tray sees it, run on a thread of its own so that the
// GTK main loop never waits for FUSE. The host's three events (mount failed, did mount,
// did unmount) are reported through callbacks on that thread; the controller moves them
// to the main thread.
//
// The session is either the real Volume or, for headless tests of the shell, a fake
// that succeeds or fails without touching FUSE.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace Lyrebox::Tray {

// Volume's shape, so that the fake can stand in for it.
class MountSession {
 public:
  virtual ~MountSession() = default;
  virtual bool Mount(std::string& error) = 0;
  // Serves until unmounted (from outside or by Unmount).
  virtual int Run() = 0;
  // Safe from any thread, also before Run and more than once.
  virtual void Unmount() = 0;
};

// The real volume for root at mountPoint (an existing folder).
std::unique_ptr<MountSession> MakeVolumeSession(const std::string& root,
                                                const std::string& mountPoint);
// A fake mount: "ok" mounts and serves until Unmount; "fail:REASON" fails with REASON.
// Returns nullptr for any other text.
std::unique_ptr<MountSession> MakeFakeSession(const std::string& result);

struct MountEvents {
  std::function<void(const std::string& error)> mountFailed;
  std::function<void(const std::string& mountPoint)> didMount;
  std::function<void()> didUnmount;
};

// Mounts on a new thread and serves until unmounted, reporting each event from that
// thread. Stop (or the destructor) unmounts and waits for the thread.
class MountThread {
 public:
  MountThread(std::unique_ptr<MountSession> session, std::string mountPoint,
              MountEvents events);
  ~MountThread();
  MountThread(const MountThread&) = delete;
  MountThread& operator=(const MountThread&) = delete;

  void Stop();

 private:
  void Body();

  std::unique_ptr<MountSession> session_;
  std::string mountPoint_;
  MountEvents events_;
  std::mutex stateMutex_;  // guards mounted_ and stopRequested_; taken alone
  bool mounted_ = false;
  bool stopRequested_ = false;
  std::thread thread_;  // last: starts once everything above is ready
};

}  // namespace Lyrebox::Tray
