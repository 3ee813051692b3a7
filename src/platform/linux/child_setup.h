#pragma once

// The one preparation of a freshly forked child before it runs another program,
// shared by every way the agent starts one (see platform/child_process.h).

#include <signal.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "platform/child_process.h"

namespace vela::platform {

struct ChildSetup {
  // As ChildLaunch::stdio; absent keeps the standard descriptors the child already has
  // (a terminal session's, set by forkpty).
  std::optional<std::array<int, 3>> stdio;
  ChildLaunch::Grouping grouping = ChildLaunch::Grouping::inherit;
};

// Runs in the child between fork and exec, so only async-signal-safe calls: another
// thread of the agent may have held the allocator's lock at the fork. Descriptors from
// 3 up are marked close-on-exec rather than closed, so a descriptor the child still
// needs until exec (an exec-error pipe) keeps working; none survives the exec. Returns
// 0 or the errno of the step that failed.
int prepareChild(const ChildSetup& setup) noexcept;

// The null-terminated pointer array execve takes, into `strings` (which must outlive
// it). Built before fork: the child may not allocate.
std::vector<char*> execPointers(std::vector<std::string>& strings);

// Blocks every signal in the calling thread for its lifetime. Held across fork, it
// keeps the agent's handlers from running in the child before prepareChild resets
// them; the parent's own mask returns afterwards.
class SignalsHeld {
 public:
  SignalsHeld();
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t previous_;
};

}  // namespace vela::platform
