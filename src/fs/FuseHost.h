// The FUSE host adapter: serves a LoopbackFS through the libfuse high-level API with its
// multi-threaded loop. Each operation translates its arguments, calls the delegate and
// returns its result; an exception becomes an error number here and nowhere else.
// The only file that includes fuse.h is FuseHost.cpp.
//
// Thread-safe: Mount, Loop and Unmount run on one thread, in that order; Exit may be
// called from any thread while Loop runs.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

struct fuse;

namespace Lyrebox {

class LoopbackFS;

class FuseHost {
 public:
  // options: the values of "-o" options for FUSE; debug: request tracing on stderr.
  FuseHost(LoopbackFS& fs, std::vector<std::string> options, bool debug);
  ~FuseHost();  // unmounts when still mounted
  FuseHost(const FuseHost&) = delete;
  FuseHost& operator=(const FuseHost&) = delete;

  // Creates the session and mounts it; on failure sets error to libfuse's reason.
  bool Mount(const std::string& mountPoint, std::string& error);
  // Serves requests until Exit or an unmount from outside. Requests in progress (a
  // conversion in a flush or release) finish before it returns. 0 on a clean end.
  int Loop();
  // Makes Loop return: sets the session's exit flag and wakes the loop with a request.
  void Exit();
  // Detaches the mount (lazily, as libfuse does) and closes the session's device.
  void Unmount();

  struct Served;  // what the operations reach through libfuse (FuseHost.cpp)

 private:
  std::unique_ptr<Served> served_;
  std::vector<std::string> options_;
  bool debug_;
  std::string mountPoint_;
  struct fuse* fuse_ = nullptr;
  bool mounted_ = false;
  std::atomic<bool> exiting_{false};
};

}  // namespace Lyrebox
