#pragma once

// The daemon proper: three periodic tasks (heartbeat, command poll, update check) run
// one after another on the calling thread, each on its own schedule, until SIGTERM or
// SIGINT. The service manager hears when it is ready, alive and stopping. Long-lived services (the gateway connection) run beside the loop on their
// own queues; the loop only starts and stops them. Stop requests may come from any
// thread; everything else happens on the thread that called run().

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/agent_config.h"
#include "runtime/loop_watchdog.h"
#include "runtime/runtime_status.h"
#include "util/agent_error.h"
#include "util/cancellation.h"
#include "util/mutex.h"
#include "util/serial_queue.h"

namespace vela {

// Something the runtime starts after its banner and stops before it exits.
class RuntimeService {
 public:
  virtual ~RuntimeService() = default;
  virtual void start() = 0;
  virtual void stop() = 0;
};

class AgentRuntime : public std::enable_shared_from_this<AgentRuntime> {
 public:
  // Each task is absent when its component is not configured.
  struct Tasks {
    std::function<Result<void>()> heartbeat;
    std::function<Result<void>()> poll;
    std::function<Result<void>()> updateCheck;
  };

  // Longest interval honoured for any schedule: a year is beyond every sensible setting
  // and keeps due times far from overflowing the clock.
  static constexpr std::int64_t kMaxIntervalSeconds = 366 * 86'400;

  static std::shared_ptr<AgentRuntime> create(AgentConfig config, Tasks tasks);

  // Runs until a stop signal; returns the exit status (0 after an orderly stop).
  int run();
  // Sets the stop flag and wakes the loop. Safe from any thread.
  void requestStop();
  bool shouldStop() const;
  // Fires with the stop request, so long work in a task (a script) can end early.
  std::shared_ptr<const Cancellation> stopping() const { return stopping_; }

  void addService(std::unique_ptr<RuntimeService> service);
  // What `status` reads while the loop runs; services report to it too.
  const std::shared_ptr<RuntimeStatus>& status() const { return status_; }
  // Logged as a warning right after the start banner.
  void addStartupWarning(std::string text);

 private:
  AgentRuntime(AgentConfig config, Tasks tasks);

  void removeStagedUpdates() const;
  void runLoop();

  const AgentConfig config_;
  Tasks tasks_;
  std::vector<std::unique_ptr<RuntimeService>> services_;
  std::vector<std::string> startupWarnings_;
  const LoopWatchdog watchdog_;
  Semaphore wake_;
  mutable Mutex stopLock_;
  bool shouldStop_ GUARDED_BY(stopLock_) = false;
  const std::shared_ptr<Cancellation> stopping_ = std::make_shared<Cancellation>();
  const std::shared_ptr<RuntimeStatus> status_;
};

}  // namespace vela
