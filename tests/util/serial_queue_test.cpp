#include "util/serial_queue.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <vector>

namespace vela {
namespace {

using namespace std::chrono_literals;

TEST(SerialQueueTest, RunsTasksInOrderOnOneNamedThread) {
  SerialQueue queue("vela.test.queue");
  std::vector<int> order;
  std::string name;
  for (int i = 0; i < 100; ++i) queue.async([&order, i] { order.push_back(i); });
  queue.sync([&] {
    char buf[16] = {};
    pthread_getname_np(pthread_self(), buf, sizeof buf);
    name = buf;
    EXPECT_TRUE(queue.isCurrent());
  });
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
  EXPECT_EQ(name, "vela.test.queue");
  EXPECT_FALSE(queue.isCurrent());
}

TEST(SerialQueueTest, TimersFireOnTheQueueAndCancelStopsThem) {
  SerialQueue queue("vela.test.timer");
  Semaphore fired;
  std::atomic<int> repeats{0};
  std::atomic<bool> cancelledRan{false};
  auto cancelled = queue.after(1ms, [&] { cancelledRan = true; });
  queue.cancel(cancelled);
  queue.after(20ms, [&] { fired.signal(); });
  auto repeating = queue.every(1ms, [&] {
    if (++repeats == 3) fired.signal();
  });
  fired.wait();
  fired.wait();
  queue.cancel(repeating);
  int seen = repeats;
  queue.sync([] {});
  EXPECT_GE(seen, 3);
  EXPECT_FALSE(cancelledRan);
}

TEST(SemaphoreTest, CountsSignalsAndTimesOut) {
  Semaphore s(1);
  EXPECT_TRUE(s.waitFor(0ms));
  EXPECT_FALSE(s.waitFor(10ms));
  s.signal();
  s.signal();
  EXPECT_TRUE(s.waitFor(0ms));
  EXPECT_TRUE(s.waitFor(0ms));
  std::thread t([&] { s.signal(); });
  s.wait();
  t.join();
}

}  // namespace
}  // namespace vela
