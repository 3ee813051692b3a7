#include "commands/command_executor.h"

#include <unistd.h>

#include <filesystem>
#include <limits>
#include <utility>

#include "commands/command_type.h"
#include "commands/replay_store.h"
#include "commands/result_output.h"
#include "commands/uninstall_script.h"
#include "config/agent_paths.h"
#include "identity/cert_store.h"
#include "identity/device_key.h"
#include "platform/file_io.h"
#include "platform/udp_broadcast.h"
#include "telemetry/inventory.h"
#include "util/agent_version.h"
#include "util/canonical_json.h"
#include "util/hex.h"
#include "util/iso_time.h"
#include "util/log.h"
#include "util/process_info.h"

namespace vela {
namespace {

using Outcome = CommandExecutor::Outcome;

const std::string* stringMember(const JSONValue& payload, std::string_view key) {
  const JSONValue* value = payload[key];
  return value == nullptr ? nullptr : value->stringRef();
}

std::optional<std::int64_t> intMember(const JSONValue& payload, std::string_view key) {
  const JSONValue* value = payload[key];
  return value == nullptr ? std::nullopt : value->intValue();
}

std::string_view trimmed(std::string_view text) {
  constexpr std::string_view kSpace = " \t\n\r\v\f";
  auto first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  auto last = text.find_last_not_of(kSpace);
  return text.substr(first, last - first + 1);
}

std::optional<std::string> interpreterPath(std::string_view name) {
  if (name == "zsh") return "/bin/zsh";
  if (name == "bash") return "/bin/bash";
  if (name == "sh") return "/bin/sh";
  return std::nullopt;
}

}  // namespace

CommandExecutor::CommandExecutor(AgentConfig config, std::unique_ptr<SystemActions> actions)
    : config_(std::move(config)), actions_(std::move(actions)) {}

CommandResult CommandExecutor::execute(const IncomingCommand& command) {
  Outcome outcome = run(command.type, command.payload);
  CommandResult result;
  result.agent_id = command.agentID;
  result.command_id = command.commandID;
  result.sequence_no = command.sequenceNo;
  result.type = command.type;
  result.exit_code = outcome.exitCode;
  result.result = std::move(outcome.text);
  result.finished_at = ISOTime::now();
  return result;
}

CommandExecutor::Outcome CommandExecutor::run(std::string_view type, const JSONValue& payload) {
  auto known = commandTypeFromRawValue(type);
  if (!known) return {kFailed, "unsupported command type: " + std::string(type)};
  switch (*known) {
    case CommandType::collect_inventory:
      return {kSuccess, inventoryJSON()};
    case CommandType::ping:
      return {kSuccess, "pong; agent " + std::string(AgentVersion::current) + "; " + ISOTime::now()};
    case CommandType::run_script:
      return runScript(payload);
    case CommandType::service_control:
      return serviceControl(payload);
    case CommandType::reboot:
      return power(true);
    case CommandType::shutdown:
      return power(false);
    case CommandType::wake_on_lan:
      return wakeOnLAN(payload);
    case CommandType::policy_push:
      return policyPush(payload);
    case CommandType::uninstall:
      return uninstall(payload);
  }
  return {kFailed, "unsupported command type: " + std::string(type)};
}

CommandExecutor::Outcome CommandExecutor::runScript(const JSONValue& payload) {
  if (!config_.allowRunScript) {
    return {kForbidden, "run_script disabled by local policy on this endpoint"};
  }
  const std::string* script = stringMember(payload, "script");
  if (script == nullptr || script->empty()) {
    return {kBadPayload, "run_script: missing 'script' in payload"};
  }
  const std::string* given = stringMember(payload, "interpreter");
  std::string name = given != nullptr ? *given : "bash";
  auto path = interpreterPath(name);
  if (!path) {
    return {kBadPayload, "run_script: interpreter '" + name + "' not allowed (zsh|bash|sh)"};
  }
  std::int64_t timeout = intMember(payload, "timeout_seconds").value_or(300);
  if (timeout > kMaxScriptTimeoutSeconds) {
    Log::warn("run_script: timeout_seconds " + std::to_string(timeout) +
              " above the maximum; using " + std::to_string(kMaxScriptTimeoutSeconds));
    timeout = kMaxScriptTimeoutSeconds;
  }
  if (stopping_ && stopping_->cancelled())
    return {kFailed, "run_script: not started, agent stopping"};

  Shell::Result run = Shell::run(*path, {"-c", *script}, std::nullopt, static_cast<double>(timeout),
                                 std::nullopt, stopping_.get());
  std::string text = run.stdout;
  if (!run.stderr.empty()) {
    if (!text.empty()) text += "\n";
    text += "[stderr]\n" + run.stderr;
  }
  if (run.timedOut) text += "\n[timed out after " + std::to_string(timeout) + "s]";
  if (run.interrupted) text += "\n[interrupted: agent stopping]";
  auto output = ResultOutput::capped(std::move(text), run.stdoutDropped + run.stderrDropped);
  if (output.cutHere > 0) {
    Log::warn("run_script output over the result limit; dropped " + std::to_string(output.cutHere) +
              " more bytes to keep its last " + std::to_string(ResultOutput::kMaxEscapedBytes) +
              " bytes (escaped)");
  }
  return {run.exitCode, std::move(output.text)};
}

CommandExecutor::Outcome CommandExecutor::serviceControl(const JSONValue& payload) {
  const std::string* action = stringMember(payload, "action");
  const std::string* service = stringMember(payload, "service");
  // A unit name that starts like an option would be read as one by the service manager.
  if (action == nullptr || service == nullptr || service->empty() || service->front() == '-') {
    return {kBadPayload, "service_control: requires 'action' and 'service'"};
  }
  if (*action != "start" && *action != "stop" && *action != "restart") {
    return {kBadPayload,
            "service_control: action '" + *action + "' not supported (start|stop|restart)"};
  }
  Shell::Result run = actions_->runTool(kServiceManager, {*action, *service}, 30);
  std::string text(trimmed(run.stdout + run.stderr));
  if (text.empty()) text = *action + " " + *service + ": ok";
  return {run.exitCode, std::move(text)};
}

CommandExecutor::Outcome CommandExecutor::power(bool reboot) {
  if (!config_.allowPowerCommands) {
    return {kForbidden, "power commands disabled by local policy on this endpoint"};
  }
  std::string word = reboot ? "reboot" : "shutdown";
  std::string flag = reboot ? "-r" : "-h";
  // The pause lets the poller report the result before the machine goes down.
  bool launched = actions_->spawnDetached("/bin/sh", {"-c", "sleep 5; /sbin/shutdown " + flag + " now"});
  if (!launched) return {kFailed, "failed to schedule " + word};
  return {kSuccess, word + " scheduled in 5s"};
}

std::optional<Bytes> CommandExecutor::magicPacket(std::string_view mac) {
  std::string digits;
  for (char c : mac) {
    if (c != ':' && c != '-') digits += c;
  }
  if (digits.size() != 12) return std::nullopt;
  auto address = Hex::decode(digits);
  if (!address || address->size() != 6) return std::nullopt;
  Bytes packet(6, 0xFF);
  for (int i = 0; i < 16; ++i) packet.insert(packet.end(), address->begin(), address->end());
  return packet;
}

CommandExecutor::Outcome CommandExecutor::wakeOnLAN(const JSONValue& payload) {
  const std::string* mac = stringMember(payload, "mac");
  if (mac == nullptr) return {kBadPayload, "wake_on_lan: requires target 'mac'"};
  auto packet = magicPacket(*mac);
  if (!packet) return {kBadPayload, "wake_on_lan: invalid MAC '" + *mac + "'"};
  std::int64_t port = intMember(payload, "port").value_or(9);
  if (port < 0 || port > std::numeric_limits<std::uint16_t>::max()) {
    return {kBadPayload, "wake_on_lan: port " + std::to_string(port) + " out of range (0-65535)"};
  }
  auto sent = platform::sendUDPBroadcast(*packet, static_cast<std::uint16_t>(port));
  if (!sent || *sent != packet->size()) return {kFailed, "failed to send magic packet"};
  return {kSuccess, "magic packet sent to " + *mac + " on port " + std::to_string(port)};
}

CommandExecutor::Outcome CommandExecutor::policyPush(const JSONValue& payload) {
  std::string bytes = CanonicalJSON::encode(payload);
  if (auto written = AgentPaths::writeProtected(bytes, AgentPaths::policyFile()); !written) {
    return {kFailed, "failed to store policy: " + written.error().description()};
  }
  return {kSuccess, "policy stored (" + std::to_string(bytes.size()) + " bytes)"};
}

CommandExecutor::Outcome CommandExecutor::uninstall(const JSONValue& payload) {
  bool purge = true;
  if (const JSONValue* given = payload["purge"]; given != nullptr && given->boolValue()) {
    purge = *given->boolValue();
  }
  UninstallScript::Plan plan;
  plan.purge = purge;
  plan.pid = static_cast<std::int64_t>(::getpid());
  plan.loggedInUsers = actions_->loggedInUsers();
  if (purge) plan.package = actions_->owningPackage(ProcessInfo::executablePath());
  plan.installed = UninstallScript::InstalledFiles::under(installRoot_);
  (void)actions_->spawnDetached("/bin/sh", {"-c", UninstallScript::text(plan)});

  removeLocalIdentity();
  // The poller reports the result in the meantime; the detached script stops the
  // services and kills any remains after its own pause.
  actions_->scheduleExit(0, std::chrono::seconds(2));

  std::string what = purge ? "program, services, identity, certificate, config and pinned trust"
                           : "identity, certificate, config and pinned trust (program kept)";
  Log::warn("uninstall command: decommissioning — " + what + " → self-removal scheduled");
  return {kSuccess, "decommissioned: " + what + " removed; self-removal in ~3s"};
}

void CommandExecutor::removeLocalIdentity() const {
  if (auto key = DeviceKey::load(DeviceKey::defaultTag())) (void)key->deleteKey();
  CertStore::clear();
  ReplayStore(AgentPaths::replayStateFile()).clear();
  for (const auto& file : {AgentPaths::configFile(), AgentPaths::certFile(),
                           AgentPaths::replayStateFile()}) {
    (void)platform::removeFile(file);
  }
  std::error_code ignored;
  std::filesystem::remove_all(AgentPaths::pinnedDir(), ignored);
}

std::string CommandExecutor::inventoryJSON() const {
  if (inventorySource_) return inventorySource_();
  std::string json = Inventory::collect(/*includeSlow=*/true).jsonData();
  if (!json.empty() && Shell::utf8OrEmpty(json).empty()) return "{}";
  return json;
}

}  // namespace vela
