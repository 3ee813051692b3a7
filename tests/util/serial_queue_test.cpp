#include "util/serial_queue.h"

#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "support/temp_dir.h"
#include "util/retired_threads.h"

namespace vela {
namespace {

using namespace std::chrono_literals;

// One-letter scheduler state of a thread of this process ('S': asleep in a wait).
char threadState(pid_t tid) {
  std::string stat = testing::readFileOrEmpty("/proc/self/task/" + std::to_string(tid) + "/stat");
  auto paren = stat.rfind(')');
  return paren == std::string::npos || paren + 2 >= stat.size() ? '?' : stat[paren + 2];
}

bool threadNamed(const std::string& name) {
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
    if (testing::readFileOrEmpty(task.path() / "comm") == name + "\n") return true;
  return false;
}

TEST(SerialQueueTest, RunsTasksInOrderOnItsOwnThread) {
  SerialQueue queue("vela.test.queue");
  std::vector<int> order;
  for (int i = 0; i < 100; ++i) queue.async([&order, i] { order.push_back(i); });
  ASSERT_TRUE(queue.sync([&] { EXPECT_TRUE(queue.isCurrent()); }));
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
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
  ASSERT_TRUE(queue.sync([] {}));
  EXPECT_GE(seen, 3);
  EXPECT_FALSE(cancelledRan);
}

// The owner of a queue may drop its last reference inside one of the queue's tasks.
TEST(SerialQueueTest, DestroyedByItsOwnTaskTheThreadEndsAfterIt) {
  auto* queue = new SerialQueue("vela.test.self");
  Semaphore go, done;
  std::atomic<bool> laterRan{false};
  queue->async([&] {
    EXPECT_TRUE(threadNamed("vela.test.self"));
    go.wait();  // both tasks are queued before the queue goes
    delete queue;
    done.signal();
  });
  queue->async([&] { laterRan = true; });
  go.signal();
  done.wait();
  // Until the thread has left its loop it still touches the queue's state; the end of
  // the process waits for it.
  RetiredThreads::joinAll();
  EXPECT_FALSE(threadNamed("vela.test.self"));
  EXPECT_FALSE(laterRan);
}

TEST(SerialQueueTest, RetiredThreadsAreJoinedAtTheEndOrLetGoAfterTheLimit) {
  std::atomic<bool> finished{false};
  RetiredThreads::start([&] {
    std::this_thread::sleep_for(100ms);
    finished = true;
  });
  RetiredThreads::joinAll();
  EXPECT_TRUE(finished);

  auto release = std::make_shared<Semaphore>();
  RetiredThreads::start([release] { release->wait(); });
  RetiredThreads::joinAll(20ms);  // returns although the thread has not ended
  release->signal();
}

// Captures may hold the last reference to an owner that uses the queue on its way out.
TEST(SerialQueueTest, FinishedTasksAreReleasedOutsideTheQueuesLock) {
  SerialQueue queue("vela.test.release");
  Semaphore released;
  queue.async([owner = std::shared_ptr<void>(nullptr, [&](void*) {
                 queue.cancel(queue.after(1h, [] {}));
                 released.signal();
               })] {});
  released.wait();
}

TEST(SerialQueueTest, SyncFailsInsteadOfWaitingForever) {
  auto queue = std::make_unique<SerialQueue>("vela.test.stop");
  SerialQueue* q = queue.get();
  std::optional<bool> ownQueue;
  ASSERT_TRUE(q->sync([&] { ownQueue = q->sync([] {}).has_value(); }));
  EXPECT_EQ(ownQueue, false);

  // A sync() queued behind a busy task when the queue stops: the task is dropped.
  Semaphore busy, release;
  q->async([&] {
    busy.signal();
    release.wait();
  });
  busy.wait();
  // Released when the destructor cancels the timers, that is once the queue is stopping.
  q->after(24h, [guard = std::shared_ptr<void>(nullptr, [&](void*) { release.signal(); })] {});
  std::atomic<pid_t> callerTid{0};
  std::atomic<bool> ran{false};
  Result<void> result;
  std::thread caller([&, q] {
    callerTid = static_cast<pid_t>(syscall(SYS_gettid));
    result = q->sync([&] { ran = true; });
  });
  while (callerTid == 0 || threadState(callerTid) != 'S') std::this_thread::yield();
  queue.reset();
  caller.join();
  EXPECT_FALSE(result.has_value());
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace vela
