#include "config/agent_config.h"

#include <nlohmann/json.hpp>

#include "config/agent_paths.h"
#include "config/json_document.h"
#include "util/url.h"
#include "platform/file_io.h"

namespace vela {
namespace {

using nlohmann::json;

// Decoding helpers that name the offending key, the way a strict decoder reports it.
Result<const json*> member(const json& obj, const char* key) {
  auto it = obj.find(key);
  if (it == obj.end()) return fail(std::string("config.json: missing key \"") + key + "\"");
  return &*it;
}

tl::unexpected<AgentError> typeMismatch(const char* key, const char* type) {
  return fail(std::string("config.json: key \"") + key + "\" is not " + type);
}

Result<std::string> requiredString(const json& obj, const char* key) {
  const json* v = VELA_TRY(member(obj, key));
  if (!v->is_string()) return typeMismatch(key, "a string");
  return v->get<std::string>();
}

Result<std::int64_t> requiredInt(const json& obj, const char* key) {
  const json* v = VELA_TRY(member(obj, key));
  if (!v->is_number_integer()) return typeMismatch(key, "an integer");
  // Above the signed range the value would wrap into a negative one.
  if (v->is_number_unsigned() && v->get<std::uint64_t>() > std::uint64_t(INT64_MAX)) {
    return typeMismatch(key, "a 64-bit integer");
  }
  return v->get<std::int64_t>();
}

Result<bool> requiredBool(const json& obj, const char* key) {
  const json* v = VELA_TRY(member(obj, key));
  if (!v->is_boolean()) return typeMismatch(key, "a boolean");
  return v->get<bool>();
}

Result<std::optional<std::string>> optionalString(const json& obj, const char* key) {
  auto it = obj.find(key);
  if (it == obj.end() || it->is_null()) return std::optional<std::string>();
  if (!it->is_string()) return typeMismatch(key, "a string");
  return std::optional<std::string>(it->get<std::string>());
}

Result<std::optional<bool>> optionalBool(const json& obj, const char* key) {
  auto it = obj.find(key);
  if (it == obj.end() || it->is_null()) return std::optional<bool>();
  if (!it->is_boolean()) return typeMismatch(key, "a boolean");
  return std::optional<bool>(it->get<bool>());
}

Result<std::optional<std::int64_t>> optionalInt(const json& obj, const char* key) {
  auto it = obj.find(key);
  if (it == obj.end() || it->is_null()) return std::optional<std::int64_t>();
  return std::optional<std::int64_t>(VELA_TRY(requiredInt(obj, key)));
}

template <typename T>
void putOptional(json& obj, const char* key, const std::optional<T>& value) {
  if (value) obj[key] = *value;
}

}  // namespace

std::optional<std::string> AgentConfig::baseURL() const { return httpsBaseURL(serverBaseURL); }

Result<AgentConfig> AgentConfig::decode(std::string_view text) {
  json obj = VELA_TRY(JSONDocument::parse(text, "config.json"));
  if (!obj.is_object()) return fail("config.json: expected a JSON object");
  AgentConfig c;
  c.serverBaseURL = VELA_TRY(requiredString(obj, "serverBaseURL"));
  c.tenantID = VELA_TRY(optionalString(obj, "tenantID"));
  c.customerID = VELA_TRY(optionalString(obj, "customerID"));
  c.enrollmentToken = VELA_TRY(optionalString(obj, "enrollmentToken"));
  c.channel = VELA_TRY(requiredString(obj, "channel"));
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
  c.quickAssist = VELA_TRY(optionalBool(obj, "quickAssist"));
  c.recordingMaxAgeSeconds = VELA_TRY(optionalInt(obj, "recordingMaxAgeSeconds"));
  c.recordingMaxTotalBytes = VELA_TRY(optionalInt(obj, "recordingMaxTotalBytes"));
  return c;
}

std::string AgentConfig::jsonData() const {
  // nlohmann's object keeps keys in std::map order, which is byte order, and it never
  // escapes "/".
  json obj = json::object();
  obj["serverBaseURL"] = serverBaseURL;
  putOptional(obj, "tenantID", tenantID);
  putOptional(obj, "customerID", customerID);
  putOptional(obj, "enrollmentToken", enrollmentToken);
  obj["channel"] = channel;
  putOptional(obj, "agentID", agentID);
  putOptional(obj, "certFingerprint", certFingerprint);
  putOptional(obj, "certNotAfter", certNotAfter);
  putOptional(obj, "deviceToken", deviceToken);
  obj["metricsIntervalSeconds"] = metricsIntervalSeconds;
  obj["heartbeatIntervalSeconds"] = heartbeatIntervalSeconds;
  obj["commandPollIntervalSeconds"] = commandPollIntervalSeconds;
  obj["updateCheckIntervalSeconds"] = updateCheckIntervalSeconds;
  obj["inventoryIntervalSeconds"] = inventoryIntervalSeconds;
  obj["verbose"] = verbose;
  obj["commandSkewSeconds"] = commandSkewSeconds;
  obj["allowRunScript"] = allowRunScript;
  obj["allowPowerCommands"] = allowPowerCommands;
  putOptional(obj, "quickAssist", quickAssist);
  putOptional(obj, "recordingMaxAgeSeconds", recordingMaxAgeSeconds);
  putOptional(obj, "recordingMaxTotalBytes", recordingMaxTotalBytes);
  return obj.dump(2, ' ', false, json::error_handler_t::replace);
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
