#pragma once

// A labelled serial queue: one thread (named after the label, truncated to the 15
// characters Linux allows) runs tasks one at a time in FIFO order, and timers fire on
// the same thread. State owned by a queue needs no lock. Thread-safe; destruction
// cancels pending timers, drops pending tasks and lets the running one finish. The
// thread shares the queue's internals, so a queue may be destroyed by one of its own
// tasks: the thread then ends after that task instead of being joined.

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "util/agent_error.h"
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

  // Dropped silently once the queue is stopping.
  void async(Task task);
  // Runs the task on the queue and waits for it. Fails without running it when called
  // from the queue itself (it would wait for itself) or when the queue stops first.
  Result<void> sync(const Task& task);
  // One-shot timer; returns an id for cancel().
  TimerID after(Clock::duration delay, Task task);
  // Repeating timer: first fire after `interval`, then every `interval`.
  TimerID every(Clock::duration interval, Task task);
  void cancel(TimerID id);
  bool isCurrent() const;

 private:
  struct State;

  TimerID addTimer(Clock::duration delay, Clock::duration interval, Task task);
  static void run(State& state);

  const std::string label_;
  const std::shared_ptr<State> state_;
  std::thread thread_;
  std::thread::id threadID_;
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
