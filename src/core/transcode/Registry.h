// The registry of open transcoded files: handle identity -> Transcoder. The map does not
// own the transcoders; the volume front creates each with new and deletes it after
// unregistering it, so a pointer found here stays valid while its handle is open.
//
// Thread-safe: every operation holds transcodersMutex_ for one map operation. Lock
// order: transcodersMutex_ may be held while a Transcoder's own mutex_ is taken (in
// ForEachTranscoderOn), never the reverse.
#pragma once

#include <functional>
#include <string>

namespace Vantor {

class Transcoder;

void RegisterTranscoder(void* handle, Transcoder* transcoder);
void UnregisterTranscoder(void* handle);
Transcoder* FindTranscoder(void* handle);

// Calls fn, under the registry lock, for every registered transcoder whose stored FLAC
// path equals path. Used by the volume front for what concerns all openings of one file
// (the size of a file being written, a truncate to 0). Returns how many were visited.
int ForEachTranscoderOn(const std::string& path, const std::function<void(Transcoder&)>& fn);

}  // namespace Vantor
