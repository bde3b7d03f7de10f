// Mutex: one POSIX mutex; Lock: its scoped holder. Every lock of the system is a Mutex.
//
// Mutex() throws std::runtime_error "thread_resource_error" when the mutex cannot be
// made; Lock()/Unlock() throw "lock_error" on EDEADLK/EPERM and assert on anything else.
#pragma once

#include <pthread.h>

namespace Vantor {

class Mutex {
 public:
  Mutex();
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock();
  void Unlock();

 private:
  pthread_mutex_t mutex_;
};

class Lock {
 public:
  explicit Lock(Mutex& m) : mutex_(m) { mutex_.Lock(); }
  ~Lock() { mutex_.Unlock(); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

 private:
  Mutex& mutex_;
};

}  // namespace Vantor
