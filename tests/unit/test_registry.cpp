// The transcoder registry and the mutex classes.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "TestUtil.h"
#include "transcode/Mutex.h"
#include "transcode/Registry.h"

using namespace Vantor;

namespace {

// The registry only stores and returns its values, so any distinct addresses do.
Transcoder* Fake(char* p) { return reinterpret_cast<Transcoder*>(p); }

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

// Lock releases the mutex when an exception passes; misuse is reported, not undefined.
TEST(Mutex, LockUnlocksOnExceptionAndMisuseIsReported) {
  using TestUtil::ErrorOf;
  Mutex m;
  EXPECT_EQ(ErrorOf([&] {
              Lock held(m);
              throw std::runtime_error("passing through");
            }),
            "passing through");
  EXPECT_EQ(ErrorOf([&] { Lock again(m); }), "");  // would be lock_error had m stayed locked
  m.Lock();
  EXPECT_EQ(ErrorOf([&] { m.Lock(); }), "lock_error");
  std::string other;
  std::thread([&] { other = ErrorOf([&] { m.Unlock(); }); }).join();
  EXPECT_EQ(other, "lock_error");
  m.Unlock();
  EXPECT_EQ(ErrorOf([&] { m.Unlock(); }), "lock_error");
}
