#pragma once

// Starting another program. Every child the agent starts (a tool run to completion, a
// detached shell, a terminal session) begins from the same clean state, prepared in
// one place: default signal dispositions and an empty signal mask (the agent ignores
// SIGPIPE and blocks its stop signals), no descriptor beyond the three standard ones
// (gateway sockets, terminal masters and pipes of other children stay with the
// agent), and the process group or session the caller asks for. Safe from any thread.

#include <sys/types.h>

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "util/agent_error.h"

namespace vela::platform {

struct ChildLaunch {
  enum class Grouping {
    inherit,     // stays in the agent's process group
    ownSession,  // leads a new session: the agent's terminal and group signals miss it
  };

  std::string path;                    // absolute
  std::vector<std::string> arguments;  // without the program name
  // "NAME=value" entries replacing the whole environment; absent inherits the agent's.
  std::optional<std::vector<std::string>> environment;
  // Descriptors that become standard input, output and error; -1 is the null device.
  // REQUIRES: each is -1 or at least 3, so installing one never overwrites another.
  std::array<int, 3> stdio{-1, -1, -1};
  Grouping grouping = Grouping::inherit;
};

// A pipe whose ends are close-on-exec and above the standard descriptors, as
// ChildLaunch::stdio requires. Returns 0 or the errno; on failure nothing stays open.
int openChildPipe(int& readEnd, int& writeEnd);

// Returns once the program is running, with its process id; or the errno of the
// failed start (the would-be child is reaped then). The caller reaps a started child.
Result<pid_t, int> startChild(const ChildLaunch& launch);

// Reaps `child` on a thread of its own as soon as it ends, so it never lingers as a
// zombie whoever holds it then; `ended`, if given, then gets its exit status (128 plus
// the signal for one a signal ended).
void reapWhenEnded(pid_t child, std::function<void(int status)> ended = nullptr);

}  // namespace vela::platform
