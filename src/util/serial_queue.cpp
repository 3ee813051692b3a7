#include "util/serial_queue.h"

#include <pthread.h>

#include <optional>

#include "util/retired_threads.h"

namespace vela {

namespace {

struct Timer {
  SerialQueue::Clock::time_point due;
  SerialQueue::Clock::duration interval{};  // zero for one-shot
  SerialQueue::Task task;
};

// What a sync() caller waits for: whether its task ran, or was dropped unrun.
struct SyncWaiter {
  Mutex mu;
  CondVar cv;
  std::optional<bool> ran GUARDED_BY(mu);

  void finish(bool value) {
    {
      MutexLock lock(mu);
      if (ran) return;
      ran = value;
    }
    cv.notifyAll();
  }
  bool wait() {
    MutexLock lock(mu);
    while (!ran) cv.wait(mu);
    return *ran;
  }
};

}  // namespace

struct SerialQueue::State {
  Mutex mu;
  CondVar cv;
  std::deque<Task> tasks GUARDED_BY(mu);
  std::map<TimerID, Timer> timers GUARDED_BY(mu);
  TimerID nextTimer GUARDED_BY(mu) = 1;
  bool stopping GUARDED_BY(mu) = false;
  std::atomic<bool> ended{false};
};

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), state_(std::make_shared<State>()) {
  // Its last owner may let go of it on its own thread while the process exits.
  RetiredThreads::prepareForExit();
  thread_ = std::thread([state = state_, name = label_.substr(0, 15)] {
    pthread_setname_np(pthread_self(), name.c_str());
    run(*state);
    state->ended.store(true);
  });
  threadID_ = thread_.get_id();
}

SerialQueue::~SerialQueue() {
  std::map<TimerID, Timer> timers;
  {
    MutexLock lock(state_->mu);
    state_->stopping = true;
    timers.swap(state_->timers);
  }
  state_->cv.notifyAll();
  timers.clear();  // outside the lock: a task's captures may call back into the queue
  if (isCurrent()) {
    // The thread ends after the running task, which is this destructor's caller.
    RetiredThreads::adopt(std::move(thread_), std::shared_ptr<const std::atomic<bool>>(state_, &state_->ended));
  } else {
    thread_.join();
  }
}

void SerialQueue::async(Task task) {
  {
    MutexLock lock(state_->mu);
    if (state_->stopping) return;
    state_->tasks.push_back(std::move(task));
  }
  state_->cv.notifyOne();
}

Result<void> SerialQueue::sync(const Task& task) {
  if (isCurrent()) return fail(label_ + ": sync from its own queue");
  auto waiter = std::make_shared<SyncWaiter>();
  // Released with the queued task: if the queue drops it unrun, the caller learns so.
  std::shared_ptr<void> dropGuard(nullptr, [waiter](void*) { waiter->finish(false); });
  {
    MutexLock lock(state_->mu);
    if (state_->stopping) return fail(label_ + ": queue is stopping");
    state_->tasks.push_back([&task, waiter, dropGuard] {
      task();
      waiter->finish(true);
    });
  }
  dropGuard.reset();
  state_->cv.notifyOne();
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
    MutexLock lock(state_->mu);
    id = state_->nextTimer++;
    if (state_->stopping) return id;
    state_->timers[id] = Timer{Clock::now() + delay, interval, std::move(task)};
  }
  state_->cv.notifyOne();
  return id;
}

void SerialQueue::cancel(TimerID id) {
  Task dropped;  // destroyed outside the lock
  MutexLock lock(state_->mu);
  auto it = state_->timers.find(id);
  if (it == state_->timers.end()) return;
  dropped = std::move(it->second.task);
  state_->timers.erase(it);
}

bool SerialQueue::isCurrent() const { return std::this_thread::get_id() == threadID_; }

void SerialQueue::run(State& s) {
  MutexLock lock(s.mu);
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
      s.cv.wait(s.mu);
    } else {
      // A copy: the timer may be cancelled (and its node freed) while we wait.
      const Clock::time_point due = earliest->second.due;
      s.cv.waitUntil(s.mu, due);
    }
  }
  // Dropped unrun, outside the lock; their sync() callers get an error.
  std::deque<Task> pending;
  pending.swap(s.tasks);
  lock.unlock();
  pending.clear();
}

void Semaphore::signal() {
  // Notified under the lock: a waiter that wakes may destroy the semaphore at once.
  MutexLock lock(mu_);
  ++count_;
  cv_.notifyOne();
}

void Semaphore::wait() {
  MutexLock lock(mu_);
  while (count_ <= 0) cv_.wait(mu_);
  --count_;
}

bool Semaphore::waitFor(std::chrono::steady_clock::duration timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  MutexLock lock(mu_);
  while (count_ <= 0) {
    if (!cv_.waitUntil(mu_, deadline) && count_ <= 0) return false;
  }
  --count_;
  return true;
}

}  // namespace vela
