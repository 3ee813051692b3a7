#include "util/retired_threads.h"

#include <cstdlib>
#include <utility>
#include <vector>

#include "util/mutex.h"

namespace vela::RetiredThreads {
namespace {

struct Kept {
  std::thread thread;
  std::shared_ptr<const std::atomic<bool>> ended;
};

struct Registry {
  Mutex mu;
  std::vector<Kept> kept GUARDED_BY(mu);
  bool exitHandlerSet GUARDED_BY(mu) = false;
  // Set once the exit handler has run: nothing joins a thread kept after that, and
  // a finished thread that is never joined counts as leaked.
  bool exiting GUARDED_BY(mu) = false;
};

// Never destroyed: threads retire while static destructors run.
Registry& registry() {
  static Registry* instance = new Registry();
  return *instance;
}

void joinAllAtExit() {
  Registry& r = registry();
  {
    MutexLock lock(r.mu);
    r.exiting = true;
  }
  joinAll();
}

}  // namespace

void prepareForExit() {
  Registry& r = registry();
  MutexLock lock(r.mu);
  if (!r.exitHandlerSet && !r.exiting) r.exitHandlerSet = std::atexit(joinAllAtExit) == 0;
}

void adopt(std::thread thread, std::shared_ptr<const std::atomic<bool>> ended) {
  Registry& r = registry();
  std::vector<Kept> finished;
  {
    MutexLock lock(r.mu);
    if (r.exiting) {
      thread.detach();
      return;
    }
    if (!r.exitHandlerSet) r.exitHandlerSet = std::atexit(joinAllAtExit) == 0;
    for (auto it = r.kept.begin(); it != r.kept.end();) {
      if (it->ended->load()) {
        finished.push_back(std::move(*it));
        it = r.kept.erase(it);
      } else {
        ++it;
      }
    }
    r.kept.push_back({std::move(thread), std::move(ended)});
  }
  for (Kept& k : finished) k.thread.join();
}

void start(std::function<void()> work) {
  auto ended = std::make_shared<std::atomic<bool>>(false);
  std::thread thread([work = std::move(work), ended]() mutable {
    work();
    work = nullptr;  // what it held goes before the thread counts as ended
    ended->store(true);
  });
  adopt(std::move(thread), std::move(ended));
}

void joinAll(std::chrono::milliseconds limit) {
  Registry& r = registry();
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    std::vector<Kept> batch;
    {
      MutexLock lock(r.mu);
      batch.swap(r.kept);
    }
    if (batch.empty()) return;
    for (Kept& k : batch) {
      while (!k.ended->load() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      if (k.ended->load()) {
        k.thread.join();
      } else {
        k.thread.detach();
      }
    }
  }
}

}  // namespace vela::RetiredThreads
