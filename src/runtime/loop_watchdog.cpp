#include "runtime/loop_watchdog.h"

#include <unistd.h>

#include "config/agent_paths.h"
#include "platform/file_io.h"
#include "platform/service_manager.h"
#include "util/log.h"

namespace vela {

LoopWatchdog::LoopWatchdog() : interval_(platform::ServiceManager::watchdogInterval()) {}

void LoopWatchdog::alive() const {
  if (interval_) platform::ServiceManager::notifyAlive();
}

std::optional<std::chrono::steady_clock::duration> LoopWatchdog::longestSleep() const {
  if (!interval_) return std::nullopt;
  return *interval_ / 2;
}

LoopWatchdog::Cover::Cover(const LoopWatchdog& watchdog) {
  auto sleep = watchdog.longestSleep();
  if (!sleep) return;
  thread_ = std::thread([this, every = *sleep] {
    while (!done_.waitFor(every)) platform::ServiceManager::notifyAlive();
  });
}

LoopWatchdog::Cover::~Cover() {
  if (!thread_.joinable()) return;
  done_.signal();
  thread_.join();
}

void stallLoopIfRequested() {
  const std::string marker = AgentPaths::stateDir() + "/debug-stall-loop";
  if (!platform::fileExists(marker)) return;
  (void)platform::removeFile(marker);
  Log::warn("runtime loop stalled on request (" + marker + ")");
  for (;;) ::pause();
}

}  // namespace vela
