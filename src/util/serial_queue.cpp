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
    std::lock_guard lock(mu_);
    stopping_ = true;
    timers_.clear();
  }
  cv_.notify_all();
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
    std::lock_guard lock(mu_);
    if (stopping_) return;
    tasks_.push_back(std::move(task));
  }
  cv_.notify_one();
}

void SerialQueue::sync(const Task& task) {
  std::promise<void> done;
  auto future = done.get_future();
  async([&] {
    task();
    done.set_value();
  });
  {
    std::lock_guard lock(mu_);
    if (stopping_) return;
  }
  future.wait();
}

SerialQueue::TimerID SerialQueue::after(Clock::duration delay, Task task) {
  TimerID id;
  {
    std::lock_guard lock(mu_);
    id = nextTimer_++;
    timers_[id] = Timer{Clock::now() + delay, Clock::duration::zero(), std::move(task)};
  }
  cv_.notify_one();
  return id;
}

SerialQueue::TimerID SerialQueue::every(Clock::duration interval, Task task) {
  TimerID id;
  {
    std::lock_guard lock(mu_);
    id = nextTimer_++;
    timers_[id] = Timer{Clock::now() + interval, interval, std::move(task)};
  }
  cv_.notify_one();
  return id;
}

void SerialQueue::cancel(TimerID id) {
  std::lock_guard lock(mu_);
  timers_.erase(id);
}

bool SerialQueue::isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

void SerialQueue::run() {
  std::unique_lock lock(mu_);
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
      cv_.wait(lock);
    } else {
      // A copy: the timer may be cancelled (and its node freed) while we wait.
      const Clock::time_point due = earliest->second.due;
      cv_.wait_until(lock, due);
    }
  }
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
