// Mutex: one POSIX mutex; Lock: its scoped holder; Unlocked: a scope in which a held
// mutex is let go; CondVar: a condition waited for with a Mutex held. Every lock of the
// system is a Mutex.
//
// Mutex() and CondVar() throw std::runtime_error "thread_resource_error" when they cannot
// be made; Lock()/Unlock() throw "lock_error" on EDEADLK/EPERM and assert on anything else.
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
  friend class CondVar;
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

// Lets go of a mutex the thread holds for the scope's life and takes it again after.
class Unlocked {
 public:
  explicit Unlocked(Mutex& m) : mutex_(m) { mutex_.Unlock(); }
  ~Unlocked() { mutex_.Lock(); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  Mutex& mutex_;
};

class CondVar {
 public:
  CondVar();
  ~CondVar();
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  // With m held: lets go of m until notified (or woken spuriously), then holds it again.
  void Wait(Mutex& m);
  // As Wait, for at most milliseconds; false when the time ran out.
  bool WaitFor(Mutex& m, long milliseconds);
  void NotifyAll();

 private:
  pthread_cond_t cond_;
};

}  // namespace Vantor
