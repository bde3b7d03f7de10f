#include "transcode/Registry.h"

#include <map>

#include "transcode/Mutex.h"
#include "transcode/Transcoder.h"

namespace Vantor {

namespace {

struct RegistryState {
  // Guards transcoders. Held for one map operation, or for one ForEachTranscoderOn walk
  // during which a Transcoder's mutex_ may be taken; never taken while holding one.
  Mutex transcodersMutex_;
  // Handle identity -> transcoder; points to, never owns.
  std::map<void*, Transcoder*> transcoders;
};

// Made on first use, so that a static object of another file may use the registry
// while being constructed, and never destroyed, so that one may use it while being
// destroyed at exit.
RegistryState& State() {
  static RegistryState* const state = new RegistryState;
  return *state;
}

}  // namespace

void RegisterTranscoder(void* handle, Transcoder* transcoder) {
  RegistryState& s = State();
  Lock lock(s.transcodersMutex_);
  s.transcoders[handle] = transcoder;
}

void UnregisterTranscoder(void* handle) {
  RegistryState& s = State();
  Lock lock(s.transcodersMutex_);
  s.transcoders.erase(handle);
}

Transcoder* FindTranscoder(void* handle) {
  RegistryState& s = State();
  Lock lock(s.transcodersMutex_);
  auto it = s.transcoders.find(handle);
  return it == s.transcoders.end() ? nullptr : it->second;
}

int ForEachTranscoderOn(const std::string& path, const std::function<void(Transcoder&)>& fn) {
  RegistryState& s = State();
  Lock lock(s.transcodersMutex_);
  int visited = 0;
  for (auto& [handle, transcoder] : s.transcoders) {
    if (transcoder && transcoder->Path() == path) {
      fn(*transcoder);
      ++visited;
    }
  }
  return visited;
}

}  // namespace Vantor
