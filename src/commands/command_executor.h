#pragma once

// Turns a verified command into a result: an exit code and a text for the control
// plane. Two local switches of the configuration can forbid scripts and power commands
// whatever the control plane signs. Actions on the whole machine (service manager,
// shutdown, self-removal, process exit) go through SystemActions. Runs on the polling
// thread, one command at a time; execute() never fails, every problem is in the result.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "commands/command_result.h"
#include "commands/incoming_command.h"
#include "commands/system_actions.h"
#include "config/agent_config.h"
#include "util/cancellation.h"
#include "util/json_value.h"

namespace vela {

class CommandExecutor {
 public:
  struct Outcome {
    int exitCode = 0;
    std::string text;
    bool operator==(const Outcome&) const = default;
  };

  static constexpr int kSuccess = 0;
  static constexpr int kFailed = 1;
  static constexpr int kBadPayload = 2;
  static constexpr int kForbidden = 126;

  static constexpr const char* kServiceManager = "/usr/bin/systemctl";
  // Longest `timeout_seconds` honoured: a day outlasts any remote script worth waiting
  // for and keeps the deadline far from overflowing the clock.
  static constexpr std::int64_t kMaxScriptTimeoutSeconds = 86'400;

  explicit CommandExecutor(AgentConfig config,
                           std::unique_ptr<SystemActions> actions = SystemActions::live());

  CommandResult execute(const IncomingCommand& command);

  // Once `stopping` fires, a running script gets SIGTERM (SIGKILL two seconds later)
  // and its result says it was interrupted; later scripts do not start.
  void setCancellation(std::shared_ptr<const Cancellation> stopping) {
    stopping_ = std::move(stopping);
  }

  // Dispatch on the type text; unknown types are unsupported (exit 1).
  Outcome run(std::string_view type, const JSONValue& payload);

  Outcome runScript(const JSONValue& payload);
  Outcome serviceControl(const JSONValue& payload);
  Outcome power(bool reboot);
  Outcome wakeOnLAN(const JSONValue& payload);
  Outcome policyPush(const JSONValue& payload);
  Outcome uninstall(const JSONValue& payload);

  // 6 bytes of 0xFF and the MAC 16 times; absent when `mac` is not 12 hex digits
  // (separators ':' and '-' ignored).
  static std::optional<Bytes> magicPacket(std::string_view mac);

  // Where uninstall finds the files of the agent's own installer ("" : the real root).
  void setInstallRootForTesting(std::string root) { installRoot_ = std::move(root); }

  // Replaces the inventory collector (slow: it runs system tools).
  void setInventorySourceForTesting(std::function<std::string()> source) {
    inventorySource_ = std::move(source);
  }

 private:
  std::string inventoryJSON() const;
  void removeLocalIdentity() const;

  const AgentConfig config_;
  std::unique_ptr<SystemActions> actions_;
  std::function<std::string()> inventorySource_;
  std::shared_ptr<const Cancellation> stopping_;
  std::string installRoot_;
};

}  // namespace vela
