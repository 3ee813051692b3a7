#include "runtime/daemon_state.h"

#include "config/agent_paths.h"
#include "platform/file_io.h"
#include "platform/instance_lock.h"
#include "util/iso_time.h"
#include "util/json_scanner.h"

namespace vela::DaemonState {
namespace {

std::string ago(const std::string* at, std::int64_t now) {
  auto then = at ? ISOTime::parseSeconds(*at) : std::nullopt;
  if (!then) return "at an unknown time";
  return std::to_string(std::max<std::int64_t>(0, now - *then)) + " s ago";
}

}  // namespace

Seen read() {
  Seen seen;
  seen.pid = platform::InstanceLock::holder(AgentPaths::stateDir());
  if (!seen.pid) return seen;
  if (auto text = platform::readFile(AgentPaths::runtimeStatusFile())) {
    auto parsed = JSONScanner::parse(*text);
    // A file a killed daemon left speaks of another process.
    const JSONValue* pid = parsed && parsed->isObject() ? (*parsed)["pid"] : nullptr;
    if (pid && pid->intValue() == *seen.pid) seen.status = std::move(*parsed);
  }
  return seen;
}

std::string describe(const Seen& seen, std::int64_t now) {
  if (!seen.pid) return "not running";
  std::string text = "running (pid " + std::to_string(*seen.pid) + ")";
  if (!seen.status.isObject()) return text + ", status unknown";
  const JSONValue* beat = seen.status["heartbeat"];
  if (!beat || !beat->isObject()) {
    text += ", no heartbeat yet";
  } else if ((*beat)["ok"] && (*beat)["ok"]->boolValue() == true) {
    text += ", last heartbeat " + ago(beat->stringAt("at"), now);
  } else {
    const std::string* error = beat->stringAt("error");
    text += ", last heartbeat failed " + ago(beat->stringAt("at"), now) + (error ? " (" + *error + ")" : "");
  }
  const std::string* gateway = seen.status.stringAt("gateway");
  if (gateway && *gateway != "off") text += ", gateway " + *gateway;
  if (const JSONValue* helper = seen.status["desktop_helper"]; helper && helper->boolValue() == true) {
    text += ", desktop helper connected";
  }
  return text;
}

JSONValue json(const Seen& seen) {
  JSONValue out = JSONValue{{"running", seen.pid.has_value()}, {"pid", nullptr}};
  if (seen.pid && *seen.pid > 0) out.set("pid", static_cast<std::int64_t>(*seen.pid));
  if (const auto* members = seen.status.objectValue()) {
    for (const auto& [key, value] : *members) {
      if (key != "pid") out.set(key, value);
    }
  }
  return out;
}

}  // namespace vela::DaemonState
