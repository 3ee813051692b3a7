#include "runtime/agent_runtime.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "config/agent_paths.h"
#include "platform/service_manager.h"
#include "platform/signal_source.h"
#include "util/agent_version.h"
#include "util/log.h"

namespace vela {

namespace {
using Clock = std::chrono::steady_clock;
}

AgentRuntime::AgentRuntime(AgentConfig config, Tasks tasks)
    : config_(std::move(config)),
      tasks_(std::move(tasks)),
      status_(std::make_shared<RuntimeStatus>(AgentPaths::runtimeStatusFile())) {}

std::shared_ptr<AgentRuntime> AgentRuntime::create(AgentConfig config, Tasks tasks) {
  return std::shared_ptr<AgentRuntime>(new AgentRuntime(std::move(config), std::move(tasks)));
}

void AgentRuntime::addService(std::unique_ptr<RuntimeService> service) {
  services_.push_back(std::move(service));
}

void AgentRuntime::addStartupWarning(std::string text) { startupWarnings_.push_back(std::move(text)); }

void AgentRuntime::requestStop() {
  {
    MutexLock lock(stopLock_);
    shouldStop_ = true;
  }
  stopping_->cancel();
  wake_.signal();
}

bool AgentRuntime::shouldStop() const {
  MutexLock lock(stopLock_);
  return shouldStop_;
}

void AgentRuntime::removeStagedUpdates() const {
  std::error_code ec;
  std::filesystem::directory_iterator it(AgentPaths::stateDir(), ec);
  if (ec) return;
  for (const auto& entry : it) {
    std::string name = entry.path().filename().string();
    if (name.starts_with("update-") && entry.path().extension() == ".staged") {
      std::error_code ignored;
      std::filesystem::remove_all(entry.path(), ignored);
    }
  }
}

int AgentRuntime::run() {
  std::weak_ptr<AgentRuntime> weak = weak_from_this();
  auto signals = platform::SignalSource::create("vela.signals", {SIGTERM, SIGINT}, [weak](int signal) {
    auto self = weak.lock();
    if (!self) return;
    Log::info("received signal " + std::to_string(signal) + "; stopping");
    self->requestStop();
  });
  if (!signals) Log::warn("signal handling unavailable: " + signals.error().description());

  removeStagedUpdates();
  status_->start(::getpid(), config_.agentID);
  Log::info(std::string(AgentVersion::banner) + " running (pid " + std::to_string(::getpid()) +
            ", agent " + config_.agentID.value_or("unenrolled") + ")");
  for (const auto& warning : startupWarnings_) Log::warn(warning);
  for (auto& service : services_) service->start();
  platform::ServiceManager::notifyReady();

  runLoop();

  platform::ServiceManager::notifyStopping();
  for (auto& service : services_) service->stop();
  status_->stop();
  Log::info("Shutting down cleanly");
  return 0;
}

void AgentRuntime::runLoop() {
  auto seconds = [](std::int64_t s) {
    return std::chrono::seconds(std::clamp<std::int64_t>(s, 0, kMaxIntervalSeconds));
  };
  for (auto [name, value] :
       {std::pair{"heartbeatIntervalSeconds", config_.heartbeatIntervalSeconds},
        std::pair{"commandPollIntervalSeconds", config_.commandPollIntervalSeconds},
        std::pair{"updateCheckIntervalSeconds", config_.updateCheckIntervalSeconds}}) {
    if (value > kMaxIntervalSeconds) {
      Log::warn(std::string(name) + " " + std::to_string(value) + " above the maximum; using " +
                std::to_string(kMaxIntervalSeconds));
    }
  }
  Clock::time_point heartbeatDue = Clock::now();
  Clock::time_point pollDue = heartbeatDue;
  Clock::time_point updateDue = heartbeatDue + seconds(config_.updateCheckIntervalSeconds);

  auto runTask = [this](const std::function<Result<void>()>& task, std::string_view what) {
    LoopWatchdog::Cover cover(watchdog_);
    auto r = task();
    if (!r) Log::warn(std::string(what) + " error: " + r.error().description());
    std::string key(what);
    std::replace(key.begin(), key.end(), '-', '_');
    status_->taskEnded(key, r);
  };

  while (!shouldStop()) {
    watchdog_.alive();
    stallLoopIfRequested();
    Clock::time_point now = Clock::now();
    if (tasks_.heartbeat && now >= heartbeatDue) {
      runTask(tasks_.heartbeat, "heartbeat");
      heartbeatDue = now + seconds(config_.heartbeatIntervalSeconds);
    }
    if (tasks_.poll && now >= pollDue) {
      runTask(tasks_.poll, "command-poll");
      pollDue = now + seconds(config_.commandPollIntervalSeconds);
    }
    if (tasks_.updateCheck && now >= updateDue) {
      runTask(tasks_.updateCheck, "update-check");
      updateDue = now + seconds(config_.updateCheckIntervalSeconds);
    }
    if (shouldStop()) break;
    // A due time moves only when its task ran: with a task absent its due time stays
    // in the past and the loop wakes once per second.
    Clock::time_point earliest = std::min({heartbeatDue, pollDue, updateDue});
    auto wait = std::max<Clock::duration>(earliest - Clock::now(), std::chrono::seconds(1));
    if (auto longest = watchdog_.longestSleep()) wait = std::min(wait, *longest);
    wake_.waitFor(wait);
  }
}

}  // namespace vela
