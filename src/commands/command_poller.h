#pragma once

// Fetches pending commands from the control plane, runs each through verification and
// execution in the order received, and reports every executed command's result right
// after it ran. A bad or rejected command is logged and skipped; it never stops the
// commands after it. Runs on the caller's thread (the daemon loop or `once`); not
// synchronised.

#include <cstddef>
#include <memory>
#include <span>
#include <string>

#include "commands/command_executor.h"
#include "commands/command_result.h"
#include "commands/command_verifier.h"
#include "config/agent_config.h"
#include "net/body_limits.h"
#include "net/endpoints.h"
#include "net/http_client.h"
#include "util/agent_error.h"
#include "util/json_value.h"

namespace vela {

class CommandPoller {
 public:
  // Commands handled from one reply; the rest are dropped with one warning. Each may run
  // a script for minutes, so a larger batch only stalls the loop (and floods the log).
  static constexpr std::size_t kMaxCommandsPerPoll = 1000;

  // REQUIRES: `http` outlives the poller (the runtime owns both).
  CommandPoller(HTTPClient& http, Endpoints endpoints, AgentConfig config,
                CommandVerifier verifier, std::string agentID, std::string deviceToken,
                std::unique_ptr<SystemActions> actions = SystemActions::live());

  // The number of commands executed; fails only when the poll request fails in
  // transport or its body is not JSON.
  Result<int> pollOnce();
  // Posts one result; fails only in transport (an HTTP error status is logged).
  Result<void, HTTPError> reportResult(const CommandResult& result);

  HTTPClient::Headers bearer() const;
  // The commands of a poll body: `data` or `commands` when an array, the body itself
  // when it is an object with `type`, the elements of a top-level array; else none.
  // A view into `body`.
  static std::span<const JSONValue> commandArray(const JSONValue& body);

  CommandVerifier& verifier() { return verifier_; }
  CommandExecutor& executor() { return executor_; }

 private:
  // Parse, verify, execute and report one command; true when it was executed.
  bool handle(const JSONValue& value);

  HTTPClient& http_;
  const Endpoints endpoints_;
  const AgentConfig config_;
  CommandVerifier verifier_;
  CommandExecutor executor_;
  const std::string agentID_;
  const std::string deviceToken_;
};

}  // namespace vela
