#include "commands/command_poller.h"

#include <chrono>
#include <utility>

#include "util/canonical_json.h"
#include "util/json_scanner.h"
#include "util/log.h"

namespace vela {

CommandPoller::CommandPoller(HTTPClient& http, Endpoints endpoints, AgentConfig config,
                             CommandVerifier verifier, std::string agentID,
                             std::string deviceToken, std::unique_ptr<SystemActions> actions)
    : http_(http),
      endpoints_(std::move(endpoints)),
      config_(std::move(config)),
      verifier_(std::move(verifier)),
      executor_(config_, std::move(actions)),
      agentID_(std::move(agentID)),
      deviceToken_(std::move(deviceToken)) {}

HTTPClient::Headers CommandPoller::bearer() const {
  return {{"Authorization", "Bearer " + deviceToken_}};
}

std::span<const JSONValue> CommandPoller::commandArray(const JSONValue& body) {
  if (body.isObject()) {
    for (const char* key : {"data", "commands"}) {
      if (const JSONValue* list = body[key]; list != nullptr && list->isArray()) {
        return *list->arrayValue();
      }
    }
    if (body["type"] != nullptr) return std::span(&body, 1);
    return {};
  }
  if (const auto* elements = body.arrayValue()) return *elements;
  return {};
}

Result<int> CommandPoller::pollOnce() {
  auto response = http_.get(endpoints_.commandsPoll(), bearer(), BodyLimits::kCommandPoll);
  if (!response) return tl::unexpected(response.error().toAgentError());
  if (response->status == 204) return 0;
  if (response->status < 200 || response->status > 299) {
    Log::warn("command poll failed (HTTP " + std::to_string(response->status) + ")");
    return 0;
  }
  auto body = JSONScanner::parse(response->body);
  if (!body) return tl::unexpected(body.error().toAgentError());

  auto commands = commandArray(*body);
  if (commands.size() > kMaxCommandsPerPoll) {
    Log::warn("command poll returned " + std::to_string(commands.size()) + " commands; handling the first " +
              std::to_string(kMaxCommandsPerPoll) + ", ignoring " +
              std::to_string(commands.size() - kMaxCommandsPerPoll));
    commands = commands.first(kMaxCommandsPerPoll);
  }
  int executed = 0;
  for (const JSONValue& value : commands) {
    if (handle(value)) ++executed;
  }
  return executed;
}

bool CommandPoller::handle(const JSONValue& value) {
  auto command = IncomingCommand::parse(value, agentID_);
  if (!command) {
    Log::warn("failed to handle command: " + command.error().description());
    return false;
  }
  if (auto accepted = verifier_.verifyAndAccept(*command, std::chrono::system_clock::now());
      !accepted) {
    const auto& failure = accepted.error();
    Log::warn((failure.rejection() ? "rejected command: " : "failed to handle command: ") +
              failure.description());
    return false;
  }
  CommandResult result = executor_.execute(*command);
  Log::info("executed command seq=" + std::to_string(result.sequence_no) + " type=" + result.type +
            " exit=" + std::to_string(result.exit_code));
  (void)reportResult(result);
  return true;
}

Result<void, HTTPError> CommandPoller::reportResult(const CommandResult& result) {
  Bytes body = CanonicalJSON::encodeData(result.reportBody());
  auto response = http_.postJSON(endpoints_.commandResult(result.command_id), body, bearer(),
                                 BodyLimits::kAcknowledgement);
  if (!response) return tl::unexpected(response.error());
  if (response->status < 200 || response->status > 299) {
    Log::warn("result report failed (HTTP " + std::to_string(response->status) + ") for seq=" +
              std::to_string(result.sequence_no));
  }
  return {};
}

}  // namespace vela
