#include "util/serial_queue.h"

#include <pthread.h>

#include <optional>

namespace vela {

namespace {

struct Timer {
  SerialQueue::Clock::time_point due;
  SerialQueue::Clock::duration interval{};  // zero for one-shot
  SerialQueue::Task task;
};

// What a sync() caller waits for: whether its task ran, or was dropped unrun.
struct SyncWaiter {
  std::mutex mu;
  std::condition_variable cv;
  std::optional<bool> ran;  // guarded by mu

  void finish(bool value) {
    {
      std::lock_guard lock(mu);
      if (ran) return;
      ran = value;
    }
    cv.notify_all();
  }
  bool wait() {
    std::unique_lock lock(mu);
    cv.wait(lock, [this] { return ran.has_value(); });
    return *ran;
  }
};

}  // namespace

struct SerialQueue::State {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<Task> tasks;             // guarded by mu
  std::map<TimerID, Timer> timers;    // guarded by mu
  TimerID nextTimer = 1;              // guarded by mu
  bool stopping = false;              // guarded by mu
};

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), state_(std::make_shared<State>()) {
  thread_ = std::thread([state = state_, name = label_.substr(0, 15)] {
    pthread_setname_np(pthread_self(), name.c_str());
    run(*state);
  });
  threadID_ = thread_.get_id();
}

SerialQueue::~SerialQueue() {
  std::map<TimerID, Timer> timers;
  {
    std::lock_guard lock(state_->mu);
    state_->stopping = true;
    timers.swap(state_->timers);
  }
  state_->cv.notify_all();
  timers.clear();  // outside the lock: a task's captures may call back into the queue
  if (isCurrent()) {
    thread_.detach();  // the thread holds the state and ends after the running task
  } else {
    thread_.join();
  }
}

void SerialQueue::async(Task task) {
  {
    std::lock_guard lock(state_->mu);
    if (state_->stopping) return;
    state_->tasks.push_back(std::move(task));
  }
  state_->cv.notify_one();
}

Result<void> SerialQueue::sync(const Task& task) {
  if (isCurrent()) return fail(label_ + ": sync from its own queue");
  auto waiter = std::make_shared<SyncWaiter>();
  // Released with the queued task: if the queue drops it unrun, the caller learns so.
  std::shared_ptr<void> dropGuard(nullptr, [waiter](void*) { waiter->finish(false); });
  {
    std::lock_guard lock(state_->mu);
    if (state_->stopping) return fail(label_ + ": queue is stopping");
    state_->tasks.push_back([&task, waiter, dropGuard] {
      task();
      waiter->finish(true);
    });
  }
  dropGuard.reset();
  state_->cv.notify_one();
  // The queue may be gone once the wait ends; the message is made before it.
  auto dropped = fail(label_ + ": queue stopped before the task ran");
  if (!waiter->wait()) return dropped;
  return {};
}

SerialQueue::TimerID SerialQueue::after(Clock::duration delay, Task task) {
  return addTimer(delay, Clock::duration::zero(), std::move(task));
}

SerialQueue::TimerID SerialQueue::every(Clock::duration interval, Task task) {
  return addTimer(interval, interval, std::move(task));
}

SerialQueue::TimerID SerialQueue::addTimer(Clock::duration delay, Clock::duration interval,
                                           Task task) {
  TimerID id;
  {
    std::lock_guard lock(state_->mu);
    id = state_->nextTimer++;
    if (state_->stopping) return id;
    state_->timers[id] = Timer{Clock::now() + delay, interval, std::move(task)};
  }
  state_->cv.notify_one();
  return id;
}

void SerialQueue::cancel(TimerID id) {
  Task dropped;  // destroyed outside the lock
  std::lock_guard lock(state_->mu);
  auto it = state_->timers.find(id);
  if (it == state_->timers.end()) return;
  dropped = std::move(it->second.task);
  state_->timers.erase(it);
}

bool SerialQueue::isCurrent() const { return std::this_thread::get_id() == threadID_; }

void SerialQueue::run(State& s) {
  std::unique_lock lock(s.mu);
  while (!s.stopping) {
    if (!s.tasks.empty()) {
      Task task = std::move(s.tasks.front());
      s.tasks.pop_front();
      lock.unlock();
      task();
      task = nullptr;
      lock.lock();
      continue;
    }
    auto now = Clock::now();
    auto earliest = s.timers.end();
    for (auto it = s.timers.begin(); it != s.timers.end(); ++it) {
      if (earliest == s.timers.end() || it->second.due < earliest->second.due) earliest = it;
    }
    if (earliest != s.timers.end() && earliest->second.due <= now) {
      Task task;
      if (earliest->second.interval == Clock::duration::zero()) {
        task = std::move(earliest->second.task);
        s.timers.erase(earliest);
      } else {
        task = earliest->second.task;
        earliest->second.due = now + earliest->second.interval;
      }
      lock.unlock();
      task();
      task = nullptr;
      lock.lock();
      continue;
    }
    if (earliest == s.timers.end()) {
      s.cv.wait(lock);
    } else {
      // A copy: the timer may be cancelled (and its node freed) while we wait.
      const Clock::time_point due = earliest->second.due;
      s.cv.wait_until(lock, due);
    }
  }
  // Dropped unrun, outside the lock; their sync() callers get an error.
  std::deque<Task> pending;
  pending.swap(s.tasks);
  lock.unlock();
  pending.clear();
}

void Semaphore::signal() {
  {
    std::lock_guard lock(mu_);
    ++count_;
  }
  cv_.notify_one();
}

void Semaphore::wait() {
  std::unique_lock lock(mu_);
  cv_.wait(lock, [this] { return count_ > 0; });
  --count_;
}

bool Semaphore::waitFor(std::chrono::steady_clock::duration timeout) {
  std::unique_lock lock(mu_);
  if (!cv_.wait_for(lock, timeout, [this] { return count_ > 0; })) return false;
  --count_;
  return true;
}

}  // namespace vela
