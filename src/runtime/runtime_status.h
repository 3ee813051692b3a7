#pragma once

// The running daemon's account of itself for `status`: pid, start time, agent id, how
// each periodic task last ended, the gateway connection, the desktop helper and the
// last error. Every change rewrites one small file atomically, owner-only (0600);
// stop() removes it. Thread-safe: the loop, the gateway queue and the relay's threads
// all report here. The file is written outside the lock, newest state last.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

#include "util/agent_error.h"
#include "util/json_value.h"
#include "util/mutex.h"

namespace vela {

class RuntimeStatus {
 public:
  // What the gateway connection is doing: "off" (not configured), "connecting",
  // "connected", "disconnected" (waiting to reconnect).
  enum class Link { off, connecting, connected, disconnected };

  explicit RuntimeStatus(std::string path) : path_(std::move(path)) {}

  void start(pid_t pid, std::optional<std::string> agentID);
  // `task` is "heartbeat", "command_poll" or "update_check".
  void taskEnded(const std::string& task, const Result<void>& outcome);
  void gateway(Link link);
  void desktopHelper(bool connected);
  void error(const std::string& message);
  void stop();

  static const char* text(Link link);

 private:
  void publish() EXCLUDES(lock_, writeLock_);

  const std::string path_;
  Mutex lock_;
  JSONValue document_ GUARDED_BY(lock_);
  std::uint64_t version_ GUARDED_BY(lock_) = 0;
  // Orders the writes so an older document never replaces a newer one.
  Mutex writeLock_;
  std::uint64_t written_ GUARDED_BY(writeLock_) = 0;
  bool stopped_ GUARDED_BY(writeLock_) = false;
};

}  // namespace vela
