#pragma once

// Who sits at the machine: the user of the active session on seat0, absent when nobody
// is logged in there (or it is root). watch() reports every change of that user on a
// thread of its own until stop(); the logind implementation is woken by logind itself,
// never by polling. Tests drive an implementation of their own.

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>

#include "util/agent_error.h"

namespace vela::platform {

class ActiveSeatUser {
 public:
  using Changed = std::function<void(std::optional<uid_t>)>;

  virtual ~ActiveSeatUser() = default;
  virtual std::optional<uid_t> current() = 0;
  // Fails when changes cannot be watched; `changed` never runs after stop() returns.
  virtual Result<void> watch(Changed changed) = 0;
  virtual void stop() = 0;

  static std::unique_ptr<ActiveSeatUser> logind();
};

}  // namespace vela::platform
