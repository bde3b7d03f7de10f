#include "MountSession.h"

#include <condition_variable>
#include <mutex>
#include <utility>

namespace Lyrebox::Tray {

namespace {

class FakeSession : public MountSession {
 public:
  FakeSession(bool succeed, std::string reason) : succeed_(succeed), reason_(std::move(reason)) {}

  bool Mount(std::string& error) override {
    if (!succeed_) error = reason_;
    return succeed_;
  }
  int Run() override {
    std::unique_lock<std::mutex> lock(mutex_);
    unmounted_.wait(lock, [this] { return unmount_; });
    return 0;
  }
  void Unmount() override {
    std::lock_guard<std::mutex> lock(mutex_);
    unmount_ = true;
    unmounted_.notify_all();
  }

 private:
  bool succeed_;
  std::string reason_;
  std::mutex mutex_;  // guards unmount_; taken alone
  std::condition_variable unmounted_;
  bool unmount_ = false;
};

}  // namespace

std::unique_ptr<MountSession> MakeFakeSession(const std::string& result) {
  if (result == "ok") return std::make_unique<FakeSession>(true, "");
  if (result.rfind("fail:", 0) == 0) return std::make_unique<FakeSession>(false, result.substr(5));
  return nullptr;
}

MountThread::MountThread(std::unique_ptr<MountSession> session, std::string mountPoint,
                         MountEvents events)
    : session_(std::move(session)),
      mountPoint_(std::move(mountPoint)),
      events_(std::move(events)),
      thread_(&MountThread::Body, this) {}

MountThread::~MountThread() { Stop(); }

void MountThread::Stop() {
  bool mounted;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    stopRequested_ = true;
    mounted = mounted_;
  }
  // While Mount is still running, the mount thread unmounts as soon as it returns.
  if (mounted) session_->Unmount();
  if (thread_.joinable()) thread_.join();
}

void MountThread::Body() {
  std::string error;
  bool mounted = session_->Mount(error);
  bool stopRequested;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    mounted_ = mounted;
    stopRequested = stopRequested_;
  }
  if (!mounted) {
    events_.mountFailed(error);
    return;
  }
  events_.didMount(mountPoint_);
  if (stopRequested) {
    session_->Unmount();
  } else {
    session_->Run();
  }
  events_.didUnmount();
}

}  // namespace Lyrebox::Tray
