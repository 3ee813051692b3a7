#include "util/mutex.h"

#include <gtest/gtest.h>

#include <thread>

namespace vela {
namespace {

using namespace std::chrono_literals;

struct Shared {
  Mutex mu;
  CondVar changed;
  int value GUARDED_BY(mu) = 0;
};

// A wait gives the mutex up while blocked and holds it again on return, timed out or
// not; a scoped lock stepped out of lets another thread in.
TEST(MutexTest, WaitsReleaseAndRetakeTheMutex) {
  Shared shared;
  {
    MutexLock lock(shared.mu);
    EXPECT_FALSE(shared.changed.waitFor(shared.mu, 5ms));
    std::thread other([&] {
      if (shared.mu.try_lock()) {
        shared.mu.unlock();
        ADD_FAILURE() << "the mutex was free after a timed-out wait";
      }
    });
    other.join();
    lock.unlock();
    std::thread taker([&] {
      MutexLock inner(shared.mu);
      shared.value = 1;
    });
    taker.join();
    lock.lock();
    EXPECT_EQ(shared.value, 1);
  }

  std::thread setter([&] {
    MutexLock lock(shared.mu);
    shared.value = 2;
    shared.changed.notifyAll();
  });
  {
    MutexLock lock(shared.mu);
    while (shared.value != 2) shared.changed.wait(shared.mu);
  }
  setter.join();
  MutexLock lock(shared.mu);
  const auto deadline = CondVar::Clock::now() + 1h;
  std::thread late([&] {
    MutexLock inner(shared.mu);
    shared.value = 3;
    shared.changed.notifyOne();
  });
  while (shared.value != 3) EXPECT_TRUE(shared.changed.waitUntil(shared.mu, deadline));
  lock.unlock();
  late.join();
}

}  // namespace
}  // namespace vela
