#include "config/agent_config.h"

#include "config/agent_paths.h"
#include "platform/file_io.h"
#include "util/canonical_json.h"
#include "util/json_document.h"
#include "util/url.h"

namespace vela {
namespace {

// Decoding helpers that name the offending key, the way a strict decoder reports it.
tl::unexpected<AgentError> missingKey(std::string_view key) {
  return fail(std::string("config.json: missing key \"").append(key).append("\""));
}

tl::unexpected<AgentError> typeMismatch(std::string_view key, const char* type) {
  return fail(std::string("config.json: key \"").append(key).append("\" is not ").append(type));
}

Result<const JSONValue*> member(const JSONValue& obj, const char* key) {
  const JSONValue* value = obj[key];
  if (value == nullptr) return missingKey(key);
  return value;
}

Result<std::string> stringMember(const JSONValue& obj, const char* key) {
  auto text = requiredString(obj, key);
  if (text) return std::move(*text);
  if (text.error().kind == MemberError::Kind::missing) return missingKey(key);
  return typeMismatch(key, "a string");
}

Result<std::int64_t> requiredInt(const JSONValue& obj, const char* key) {
  const JSONValue* v = VELA_TRY(member(obj, key));
  if (auto n = v->intValue()) return *n;
  // Integers above the signed range would wrap into negative ones.
  if (v->uintValue()) return typeMismatch(key, "a 64-bit integer");
  return typeMismatch(key, "an integer");
}

Result<bool> requiredBool(const JSONValue& obj, const char* key) {
  const JSONValue* v = VELA_TRY(member(obj, key));
  if (auto b = v->boolValue()) return *b;
  return typeMismatch(key, "a boolean");
}

Result<std::optional<std::string>> optionalString(const JSONValue& obj, const char* key) {
  const JSONValue* v = obj[key];
  if (v == nullptr || v->isNull()) return std::optional<std::string>();
  if (const std::string* text = v->stringRef()) return std::optional<std::string>(*text);
  return typeMismatch(key, "a string");
}

Result<std::optional<bool>> optionalBool(const JSONValue& obj, const char* key) {
  const JSONValue* v = obj[key];
  if (v == nullptr || v->isNull()) return std::optional<bool>();
  if (auto b = v->boolValue()) return std::optional<bool>(*b);
  return typeMismatch(key, "a boolean");
}

Result<std::optional<std::int64_t>> optionalInt(const JSONValue& obj, const char* key) {
  const JSONValue* v = obj[key];
  if (v == nullptr || v->isNull()) return std::optional<std::int64_t>();
  return std::optional<std::int64_t>(VELA_TRY(requiredInt(obj, key)));
}

template <typename T>
void putOptional(JSONValue& obj, const char* key, const std::optional<T>& value) {
  if (value) obj.set(key, *value);
}

}  // namespace

std::optional<std::string> AgentConfig::baseURL() const { return httpsBaseURL(serverBaseURL); }

Result<AgentConfig> AgentConfig::decode(std::string_view text) {
  JSONValue obj = VELA_TRY(JSONDocument::parse(text, "config.json"));
  if (!obj.isObject()) return fail("config.json: expected a JSON object");
  AgentConfig c;
  c.serverBaseURL = VELA_TRY(stringMember(obj, "serverBaseURL"));
  c.tenantID = VELA_TRY(optionalString(obj, "tenantID"));
  c.customerID = VELA_TRY(optionalString(obj, "customerID"));
  c.enrollmentToken = VELA_TRY(optionalString(obj, "enrollmentToken"));
  c.channel = VELA_TRY(stringMember(obj, "channel"));
  c.agentID = VELA_TRY(optionalString(obj, "agentID"));
  c.certFingerprint = VELA_TRY(optionalString(obj, "certFingerprint"));
  c.certNotAfter = VELA_TRY(optionalString(obj, "certNotAfter"));
  c.deviceToken = VELA_TRY(optionalString(obj, "deviceToken"));
  c.metricsIntervalSeconds = VELA_TRY(requiredInt(obj, "metricsIntervalSeconds"));
  c.heartbeatIntervalSeconds = VELA_TRY(requiredInt(obj, "heartbeatIntervalSeconds"));
  c.commandPollIntervalSeconds = VELA_TRY(requiredInt(obj, "commandPollIntervalSeconds"));
  c.updateCheckIntervalSeconds = VELA_TRY(requiredInt(obj, "updateCheckIntervalSeconds"));
  c.inventoryIntervalSeconds = VELA_TRY(requiredInt(obj, "inventoryIntervalSeconds"));
  c.verbose = VELA_TRY(requiredBool(obj, "verbose"));
  c.commandSkewSeconds = VELA_TRY(requiredInt(obj, "commandSkewSeconds"));
  c.allowRunScript = VELA_TRY(requiredBool(obj, "allowRunScript"));
  c.allowPowerCommands = VELA_TRY(requiredBool(obj, "allowPowerCommands"));
  c.allowFileTransfer = VELA_TRY(optionalBool(obj, "allowFileTransfer")).value_or(true);
  c.allowClipboard = VELA_TRY(optionalBool(obj, "allowClipboard")).value_or(true);
  c.quickAssist = VELA_TRY(optionalBool(obj, "quickAssist"));
  c.recordingMaxAgeSeconds = VELA_TRY(optionalInt(obj, "recordingMaxAgeSeconds"));
  c.recordingMaxTotalBytes = VELA_TRY(optionalInt(obj, "recordingMaxTotalBytes"));
  return c;
}

std::string AgentConfig::jsonData() const {
  JSONValue obj = JSONValue::object();
  obj.set("serverBaseURL", serverBaseURL);
  putOptional(obj, "tenantID", tenantID);
  putOptional(obj, "customerID", customerID);
  putOptional(obj, "enrollmentToken", enrollmentToken);
  obj.set("channel", channel);
  putOptional(obj, "agentID", agentID);
  putOptional(obj, "certFingerprint", certFingerprint);
  putOptional(obj, "certNotAfter", certNotAfter);
  putOptional(obj, "deviceToken", deviceToken);
  obj.set("metricsIntervalSeconds", metricsIntervalSeconds);
  obj.set("heartbeatIntervalSeconds", heartbeatIntervalSeconds);
  obj.set("commandPollIntervalSeconds", commandPollIntervalSeconds);
  obj.set("updateCheckIntervalSeconds", updateCheckIntervalSeconds);
  obj.set("inventoryIntervalSeconds", inventoryIntervalSeconds);
  obj.set("verbose", verbose);
  obj.set("commandSkewSeconds", commandSkewSeconds);
  obj.set("allowRunScript", allowRunScript);
  obj.set("allowPowerCommands", allowPowerCommands);
  // Written only when turned off, so a configuration that never touched them keeps its bytes.
  if (!allowFileTransfer) obj.set("allowFileTransfer", false);
  if (!allowClipboard) obj.set("allowClipboard", false);
  putOptional(obj, "quickAssist", quickAssist);
  putOptional(obj, "recordingMaxAgeSeconds", recordingMaxAgeSeconds);
  putOptional(obj, "recordingMaxTotalBytes", recordingMaxTotalBytes);
  return CanonicalJSON::encodeIndented(obj);
}

Result<AgentConfig> AgentConfig::load() {
  std::string path = AgentPaths::configFile();
  if (!platform::fileExists(path)) {
    return fail("not configured: " + path +
                " is missing. Run `vela-agent setup` or deploy a provisioning-named binary.");
  }
  std::string text = VELA_TRY(AgentPaths::readStateFile(path));
  return decode(text);
}

Result<std::optional<AgentConfig>> AgentConfig::loadStored() {
  std::string path = AgentPaths::configFile();
  if (!platform::fileExists(path)) return std::optional<AgentConfig>();
  auto text = AgentPaths::readStateFile(path);
  if (!text) return tl::unexpected(text.error());
  auto decoded = decode(*text);
  if (!decoded) return fail(path + " does not decode: " + decoded.error().message);
  return std::optional<AgentConfig>(std::move(*decoded));
}

std::optional<std::string> AgentConfig::serverProblem() const {
  if (baseURL()) return std::nullopt;
  return AgentPaths::configFile() + ": \"serverBaseURL\" is not an https URL: \"" + serverBaseURL + "\"";
}

std::optional<AgentConfig> AgentConfig::loadIfPresent() {
  auto loaded = load();
  if (!loaded) return std::nullopt;
  return std::move(*loaded);
}

Result<void> AgentConfig::save() const {
  return AgentPaths::writeProtected(jsonData(), AgentPaths::configFile());
}

}  // namespace vela
