// The transcoder registry and the mutex classes.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "transcode/Mutex.h"
#include "transcode/Registry.h"

using namespace Vantor;

namespace {

// The registry only stores and returns its values, so any distinct addresses do.
Transcoder* Fake(char* p) { return reinterpret_cast<Transcoder*>(p); }

std::string Message(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

}  // namespace

TEST(Registry, ConcurrentRegisterReplaceUnregister) {
  constexpr int kThreads = 4, kEach = 500;
  std::vector<char> handles(kThreads * kEach), values(kThreads * kEach);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int k = t * kEach; k < (t + 1) * kEach; ++k) RegisterTranscoder(&handles[k], Fake(&handles[k]));
      for (int k = t * kEach; k < (t + 1) * kEach; k += 2) UnregisterTranscoder(&handles[k]);
      for (int k = t * kEach + 1; k < (t + 1) * kEach; k += 4) RegisterTranscoder(&handles[k], Fake(&values[k]));
    });
  }
  for (auto& t : threads) t.join();
  UnregisterTranscoder(&values[0]);  // unknown: nothing happens
  for (int k = 0; k < kThreads * kEach; ++k) {
    Transcoder* expected = k % 2 == 0 ? nullptr : k % 4 == 1 ? Fake(&values[k]) : Fake(&handles[k]);
    EXPECT_EQ(FindTranscoder(&handles[k]), expected) << k;
    UnregisterTranscoder(&handles[k]);
    EXPECT_EQ(FindTranscoder(&handles[k]), nullptr);
  }
}

TEST(Mutex, MisuseIsReportedAndLockUnlocksOnException) {
  Mutex m;
  EXPECT_EQ(Message([&] { m.Unlock(); }), "lock_error");
  EXPECT_EQ(Message([&] {
              Lock held(m);
              throw std::runtime_error("passing through");
            }),
            "passing through");
  EXPECT_EQ(Message([&] { Lock again(m); }), "");  // would be lock_error had m stayed locked
  m.Lock();
  EXPECT_EQ(Message([&] { m.Lock(); }), "lock_error");
  std::string other;
  std::thread([&] { other = Message([&] { m.Unlock(); }); }).join();
  EXPECT_EQ(other, "lock_error");
  m.Unlock();
}
