#pragma once

// What `status` and `doctor` can tell about the daemon of this state directory from
// outside: whether one holds the state directory's lock, and its status file.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

#include "util/json_value.h"

namespace vela::DaemonState {

struct Seen {
  std::optional<pid_t> pid;  // the lock's holder; absent: no daemon runs
  JSONValue status;          // its status document; null when unreadable
};

Seen read();
// "running (pid 42), last heartbeat 12 s ago, gateway connected" or "not running".
std::string describe(const Seen& seen, std::int64_t nowSeconds);
// {"running": …, "pid": …, and the status document's members}.
JSONValue json(const Seen& seen);

}  // namespace vela::DaemonState
