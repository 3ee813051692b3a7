#pragma once

// A labelled serial queue: one thread (named after the label, truncated to the 15
// characters Linux allows) runs tasks one at a time in FIFO order, and timers fire on
// the same thread. State owned by a queue needs no lock. Thread-safe; destruction
// cancels pending timers, drains nothing further and joins the thread.

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "util/mutex.h"

namespace vela {

class SerialQueue {
 public:
  using Task = std::function<void()>;
  using Clock = std::chrono::steady_clock;
  using TimerID = std::uint64_t;

  explicit SerialQueue(std::string label);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }

  void async(Task task);
  // Runs the task on the queue and waits for it. REQUIRES: not called from the queue.
  void sync(const Task& task);
  // One-shot timer; returns an id for cancel().
  TimerID after(Clock::duration delay, Task task);
  // Repeating timer: first fire after `interval`, then every `interval`.
  TimerID every(Clock::duration interval, Task task);
  void cancel(TimerID id);
  bool isCurrent() const;

 private:
  struct Timer {
    Clock::time_point due;
    Clock::duration interval{};  // zero for one-shot
    Task task;
  };

  void run() EXCLUDES(mu_);

  const std::string label_;
  Mutex mu_;
  CondVar cv_;
  std::deque<Task> tasks_ GUARDED_BY(mu_);
  std::map<TimerID, Timer> timers_ GUARDED_BY(mu_);
  TimerID nextTimer_ GUARDED_BY(mu_) = 1;
  bool stopping_ GUARDED_BY(mu_) = false;
  std::thread thread_;
};

// A counting semaphore with a timed wait.
class Semaphore {
 public:
  explicit Semaphore(int initial = 0) : count_(initial) {}
  void signal();
  void wait();
  // True when a signal was consumed before the timeout.
  bool waitFor(std::chrono::steady_clock::duration timeout);

 private:
  Mutex mu_;
  CondVar cv_;
  int count_ GUARDED_BY(mu_);
};

}  // namespace vela
