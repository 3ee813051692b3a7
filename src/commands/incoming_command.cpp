#include "commands/incoming_command.h"

#include <array>
#include <string_view>

#include "util/canonical_json.h"

namespace vela {

Result<IncomingCommand> IncomingCommand::parse(const JSONValue& json, const std::string& agentID) {
  if (!json.isObject()) return fail("command is not a JSON object");

  // `payload` is looked up in this sequence too, but it is optional.
  constexpr std::array<std::string_view, 5> kRequired{"sequence_no", "nonce", "issued_at", "type",
                                                      "signature"};
  for (auto key : kRequired) {
    if (json[key] == nullptr) return fail("command missing field '" + std::string(key) + "'");
  }
  const JSONValue& sequenceValue = *json["sequence_no"];
  const JSONValue& nonceValue = *json["nonce"];
  const JSONValue& issuedValue = *json["issued_at"];
  const JSONValue& typeValue = *json["type"];
  const JSONValue& signatureValue = *json["signature"];

  auto sequenceNo = sequenceValue.intValue();
  if (!sequenceNo) return fail("sequence_no not an integer");
  auto nonce = nonceValue.stringValue();
  if (!nonce) return fail("nonce not a string");
  auto issuedAt = issuedValue.intValue();
  if (!issuedAt) return fail("issued_at not an integer");
  auto type = typeValue.stringValue();
  if (!type) return fail("type not a string");
  auto signature = signatureValue.stringValue();
  if (!signature) return fail("signature not a string");

  IncomingCommand command;
  command.agentID = agentID;
  command.sequenceNo = *sequenceNo;
  command.nonce = std::move(*nonce);
  command.issuedAt = *issuedAt;
  command.type = std::move(*type);
  const JSONValue* payload = json["payload"];
  command.payload = (payload == nullptr || payload->isNull()) ? JSONValue::object() : *payload;
  command.signatureBase64 = std::move(*signature);

  if (const std::string* id = json.stringAt("id")) {
    command.commandID = *id;
  } else if (const std::string* alt = json.stringAt("command_id")) {
    command.commandID = *alt;
  }

  // The values go in exactly as received, so number texts like 0010 keep their bytes.
  JSONValue::Object signedMembers;
  signedMembers.emplace("agent_id", JSONValue(agentID));
  signedMembers.emplace("sequence_no", sequenceValue);
  signedMembers.emplace("nonce", nonceValue);
  signedMembers.emplace("issued_at", issuedValue);
  signedMembers.emplace("type", typeValue);
  signedMembers.emplace("payload", command.payload);
  command.canonicalSignedBytes = CanonicalJSON::encodeData(JSONValue(std::move(signedMembers)));
  return command;
}

}  // namespace vela
