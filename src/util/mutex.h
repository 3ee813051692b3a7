#pragma once

// A mutex the thread-safety analysis understands, its scoped lock, and a condition
// variable that waits on it. Waits take the mutex itself and are written as
// `while (!ready) cv.wait(mu);` so that the condition is checked where the lock is
// visibly held.

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "util/thread_annotations.h"

namespace vela {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mu_.try_lock(); }

 private:
  friend class CondVar;
  std::mutex mu_;
};

// Holds the mutex for its scope; unlock() and lock() let a caller step out of the lock
// to call out (log, send) and come back.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~MutexLock() RELEASE() {
    if (held_) mu_.unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void unlock() RELEASE() {
    mu_.unlock();
    held_ = false;
  }
  void lock() ACQUIRE() {
    mu_.lock();
    held_ = true;
  }

 private:
  Mutex& mu_;
  bool held_ = true;
};

class CondVar {
 public:
  using Clock = std::chrono::steady_clock;

  void notifyOne() noexcept { cv_.notify_one(); }
  void notifyAll() noexcept { cv_.notify_all(); }

  // Each wait releases `mu` while blocked and holds it again on return; wakeups may be
  // spurious, so callers loop on their condition.
  void wait(Mutex& mu) REQUIRES(mu) {
    std::unique_lock lock(mu.mu_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }
  // False when the deadline passed.
  template <class C, class D>
  bool waitUntil(Mutex& mu, std::chrono::time_point<C, D> deadline) REQUIRES(mu) {
    std::unique_lock lock(mu.mu_, std::adopt_lock);
    const bool woken = cv_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return woken;
  }
  template <class R, class P>
  bool waitFor(Mutex& mu, std::chrono::duration<R, P> timeout) REQUIRES(mu) {
    return waitUntil(mu, Clock::now() + timeout);
  }

 private:
  std::condition_variable cv_;
};

}  // namespace vela
