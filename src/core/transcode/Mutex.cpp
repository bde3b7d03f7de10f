#include "transcode/Mutex.h"

#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace Vantor {

namespace {

// An unexpected result of a pthread call means the mutex is broken; going on unlocked
// would corrupt whatever it guards, so the process ends, in release builds too.
void CheckResult(int res) {
  if (res != 0) {
    std::fprintf(stderr, "Mutex: assertion \"res == 0\" failed (res = %d)\n", res);
    std::abort();
  }
}

}  // namespace

Mutex::Mutex() {
  // Error-checking, so that locking twice on one thread or unlocking from a thread that
  // does not hold the mutex is reported as "lock_error" instead of hanging or passing.
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) throw std::runtime_error("thread_resource_error");
  int res = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
  if (res == 0) res = pthread_mutex_init(&mutex_, &attr);
  pthread_mutexattr_destroy(&attr);
  if (res != 0) throw std::runtime_error("thread_resource_error");
}

Mutex::~Mutex() { CheckResult(pthread_mutex_destroy(&mutex_)); }

void Mutex::Lock() {
  const int res = pthread_mutex_lock(&mutex_);
  if (res == EDEADLK) throw std::runtime_error("lock_error");
  CheckResult(res);
}

void Mutex::Unlock() {
  const int res = pthread_mutex_unlock(&mutex_);
  if (res == EPERM) throw std::runtime_error("lock_error");
  CheckResult(res);
}

CondVar::CondVar() {
  // Timed waits count on the monotonic clock, which a change of the time of day leaves alone.
  pthread_condattr_t attr;
  if (pthread_condattr_init(&attr) != 0) throw std::runtime_error("thread_resource_error");
  int res = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  if (res == 0) res = pthread_cond_init(&cond_, &attr);
  pthread_condattr_destroy(&attr);
  if (res != 0) throw std::runtime_error("thread_resource_error");
}

CondVar::~CondVar() { CheckResult(pthread_cond_destroy(&cond_)); }

void CondVar::Wait(Mutex& m) { CheckResult(pthread_cond_wait(&cond_, &m.mutex_)); }

bool CondVar::WaitFor(Mutex& m, long milliseconds) {
  timespec until;
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += milliseconds / 1000;
  until.tv_nsec += (milliseconds % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
  const int res = pthread_cond_timedwait(&cond_, &m.mutex_, &until);
  if (res == ETIMEDOUT) return false;
  CheckResult(res);
  return true;
}

void CondVar::NotifyAll() { CheckResult(pthread_cond_broadcast(&cond_)); }

}  // namespace Vantor
