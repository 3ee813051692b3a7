// A command-poll reply, every command in it taken through the poller's first steps: the
// command list, IncomingCommand.parse and the signature check against a pinned key.

#include <algorithm>

#include "commands/command_poller.h"
#include "commands/command_type.h"
#include "commands/incoming_command.h"
#include "fuzz_check.h"
#include "util/agent_crypto.h"
#include "util/canonical_json.h"
#include "util/json_scanner.h"

namespace {

using vela::JSONValue;
using vela::fuzz::check;

constexpr const char* kAgentID = "2f9c6a1e-agent";

void checkCommand(const JSONValue& received, const vela::IncomingCommand& command) {
  check(command.agentID == kAgentID, "the command's agent id is not ours");
  check(received["sequence_no"]->intValue() == command.sequenceNo, "sequence number misread");
  check(received["issued_at"]->intValue() == command.issuedAt, "issue time misread");

  auto signedDocument = vela::JSONScanner::parse(command.canonicalSignedBytes);
  check(signedDocument.has_value() && signedDocument->isObject(), "signed bytes are not an object");
  check(vela::CanonicalJSON::encodeData(*signedDocument) == command.canonicalSignedBytes,
        "signed bytes are not canonical");
  check(signedDocument->objectValue()->size() == 6, "signed bytes do not hold six members");
  check(*(*signedDocument)["agent_id"] == JSONValue(kAgentID), "signed bytes name another agent");
  for (const char* key : {"sequence_no", "nonce", "issued_at", "type"}) {
    const JSONValue* member = (*signedDocument)[key];
    check(member && *member == *received[key], "a signed member differs from the received one");
  }
  check(*(*signedDocument)["payload"] == command.payload, "the signed payload differs");
  check(!command.payload.isNull(), "a null payload");

  if (auto type = vela::commandTypeFromRawValue(command.type)) {
    check(vela::rawValue(*type) == command.type, "a command type under another name");
  }
  check(!vela::AgentCrypto::verifyEd25519(command.signatureBase64, command.canonicalSignedBytes,
                                          vela::fuzz::pinnedKey()),
        "a signature from the reply verified");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto body = vela::JSONScanner::parse(std::span(data, size));
  if (!body) return 0;
  auto commands = vela::CommandPoller::commandArray(*body);
  commands = commands.first(std::min(commands.size(), vela::CommandPoller::kMaxCommandsPerPoll));
  for (const JSONValue& received : commands) {
    auto command = vela::IncomingCommand::parse(received, kAgentID);
    if (command) checkCommand(received, *command);
  }
  return 0;
}
