#include "transcode/Mutex.h"

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

}  // namespace Vantor
