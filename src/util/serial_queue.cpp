#include "util/serial_queue.h"

#include <pthread.h>

#include <future>

namespace vela {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
  thread_ = std::thread([this] {
    pthread_setname_np(pthread_self(), label_.substr(0, 15).c_str());
    run();
  });
}

SerialQueue::~SerialQueue() {
  {
    MutexLock lock(mu_);
    stopping_ = true;
    timers_.clear();
  }
  cv_.notifyAll();
  if (thread_.joinable()) {
    if (isCurrent()) {
      thread_.detach();  // destroyed from its own task: the thread ends after it
    } else {
      thread_.join();
    }
  }
}

void SerialQueue::async(Task task) {
  {
    MutexLock lock(mu_);
    if (stopping_) return;
    tasks_.push_back(std::move(task));
  }
  cv_.notifyOne();
}

void SerialQueue::sync(const Task& task) {
  std::promise<void> done;
  auto future = done.get_future();
  async([&] {
    task();
    done.set_value();
  });
  {
    MutexLock lock(mu_);
    if (stopping_) return;
  }
  future.wait();
}

SerialQueue::TimerID SerialQueue::after(Clock::duration delay, Task task) {
  TimerID id;
  {
    MutexLock lock(mu_);
    id = nextTimer_++;
    timers_[id] = Timer{Clock::now() + delay, Clock::duration::zero(), std::move(task)};
  }
  cv_.notifyOne();
  return id;
}

SerialQueue::TimerID SerialQueue::every(Clock::duration interval, Task task) {
  TimerID id;
  {
    MutexLock lock(mu_);
    id = nextTimer_++;
    timers_[id] = Timer{Clock::now() + interval, interval, std::move(task)};
  }
  cv_.notifyOne();
  return id;
}

void SerialQueue::cancel(TimerID id) {
  MutexLock lock(mu_);
  timers_.erase(id);
}

bool SerialQueue::isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

void SerialQueue::run() {
  MutexLock lock(mu_);
  while (!stopping_) {
    if (!tasks_.empty()) {
      Task task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
      lock.lock();
      continue;
    }
    auto now = Clock::now();
    auto earliest = timers_.end();
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
      if (earliest == timers_.end() || it->second.due < earliest->second.due) earliest = it;
    }
    if (earliest != timers_.end() && earliest->second.due <= now) {
      Task task;
      if (earliest->second.interval == Clock::duration::zero()) {
        task = std::move(earliest->second.task);
        timers_.erase(earliest);
      } else {
        task = earliest->second.task;
        earliest->second.due = now + earliest->second.interval;
      }
      lock.unlock();
      task();
      lock.lock();
      continue;
    }
    if (earliest == timers_.end()) {
      cv_.wait(mu_);
    } else {
      // A copy: the timer may be cancelled (and its node freed) while we wait.
      const Clock::time_point due = earliest->second.due;
      cv_.waitUntil(mu_, due);
    }
  }
}

void Semaphore::signal() {
  {
    MutexLock lock(mu_);
    ++count_;
  }
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
