#include "config/provisioning_payload.h"

#include <initializer_list>

#include "config/agent_paths.h"
#include "platform/file_io.h"
#include "util/canonical_json.h"
#include "util/json_document.h"

namespace vela {
namespace {

// Yields a member's value only when the member is a non-empty string.
std::optional<std::string> nonEmptyString(const JSONValue* object, const char* key) {
  if (object == nullptr) return std::nullopt;
  const std::string* value = object->stringAt(key);
  if (value == nullptr || value->empty()) return std::nullopt;
  return *value;
}

std::optional<std::string> firstString(const JSONValue* object, std::initializer_list<const char*> keys) {
  for (const char* key : keys) {
    if (auto value = nonEmptyString(object, key)) return value;
  }
  return std::nullopt;
}

std::optional<bool> boolean(const JSONValue& object, const char* key) {
  const JSONValue* member = object[key];
  return member == nullptr ? std::nullopt : member->boolValue();
}

const JSONValue* nestedObject(const JSONValue& object, const char* key) {
  const JSONValue* member = object[key];
  return member != nullptr && member->isObject() ? member : nullptr;
}

bool isLineBreak(char c) { return c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::string trimSpacesAndTabs(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return std::string(text);
}

// An array of strings with at least one element, or one string listing pins separated
// by commas and line breaks.
std::optional<std::vector<std::string>> pinList(const JSONValue* object, const char* key) {
  const JSONValue* member = object == nullptr ? nullptr : (*object)[key];
  if (member == nullptr) return std::nullopt;
  std::vector<std::string> pins;
  if (const JSONValue::Array* elements = member->arrayValue()) {
    if (elements->empty()) return std::nullopt;
    for (const JSONValue& element : *elements) {
      const std::string* pin = element.stringRef();
      if (pin == nullptr) return std::nullopt;
      if (!pin->empty()) pins.push_back(*pin);
    }
    return pins;
  }
  const std::string* listed = member->stringRef();
  if (listed == nullptr || listed->empty()) return std::nullopt;
  std::string_view text = *listed;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && text[i] != ',' && !isLineBreak(text[i])) continue;
    std::string pin = trimSpacesAndTabs(text.substr(start, i - start));
    if (!pin.empty()) pins.push_back(std::move(pin));
    start = i + 1;
  }
  return pins;
}

std::optional<std::vector<std::string>> firstPinList(const JSONValue* object,
                                                      std::initializer_list<const char*> keys) {
  for (const char* key : keys) {
    if (auto pins = pinList(object, key)) return pins;
  }
  return std::nullopt;
}

// Under any name but caPem, a CA value is trusted to be PEM only if it looks like one.
std::optional<std::string> certificateText(std::optional<std::string> value) {
  if (value && value->find("BEGIN CERTIFICATE") == std::string::npos) return std::nullopt;
  return value;
}

Result<void> writePinned(const std::optional<std::string>& content, const std::string& path) {
  if (!content) return {};
  return AgentPaths::writeProtected(*content, path);
}

std::vector<std::string> nonEmptyPins(const std::optional<std::vector<std::string>>& spkiPins) {
  std::vector<std::string> pins;
  if (spkiPins) {
    for (const std::string& pin : *spkiPins) {
      if (!pin.empty()) pins.push_back(pin);
    }
  }
  return pins;
}

}  // namespace

Result<ProvisioningPayload> ProvisioningPayload::decode(std::string_view text, std::string_view name) {
  JSONValue document = VELA_TRY(JSONDocument::parse(text, name));
  if (!document.isObject()) return fail(std::string(name) + ": expected a JSON object");
  const JSONValue* top = &document;
  const JSONValue* pinning = nestedObject(document, "pinning");
  const JSONValue* enrollment = nestedObject(document, "enrollment");

  ProvisioningPayload p;
  p.server = firstString(top, {"server", "server_url", "srv", "url"}).value_or("");
  p.tenant = firstString(top, {"tenant", "tenant_id", "tid"});
  p.customer = firstString(top, {"customer", "customer_id", "cid", "site", "site_id"});
  p.channel = firstString(top, {"channel", "chan"});
  p.quickAssist = boolean(document, "quickAssist");
  if (!p.quickAssist) p.quickAssist = boolean(document, "quick_assist");
  p.token = firstString(top, {"token", "tok", "enroll", "enroll_token"});
  if (!p.token) p.token = nonEmptyString(enrollment, "token");

  p.caPem = nonEmptyString(top, "caPem");
  if (!p.caPem) p.caPem = certificateText(nonEmptyString(top, "ca_certificate_pem"));
  if (!p.caPem) p.caPem = certificateText(nonEmptyString(top, "ca_pem"));
  if (!p.caPem) p.caPem = certificateText(nonEmptyString(pinning, "ca_certificate_pem"));

  p.commandPubkey = firstString(top, {"commandPubkey", "command_public_key"});
  if (!p.commandPubkey) p.commandPubkey = nonEmptyString(pinning, "command_public_key");
  p.updatePubkey = firstString(top, {"updatePubkey", "update_public_key"});
  if (!p.updatePubkey) p.updatePubkey = nonEmptyString(pinning, "update_public_key");

  p.spkiPins = firstPinList(top, {"spkiPins", "spki_pins", "tls_spki_sha256", "tls_spki_pins"});
  if (!p.spkiPins) p.spkiPins = firstPinList(pinning, {"spki_pins", "tls_spki_sha256", "tls_spki_pins"});
  return p;
}

Result<ProvisioningPayload> ProvisioningPayload::readTrusted(const std::string& path) {
  std::optional<std::string> text = VELA_TRY(platform::readTrustedFile(path));
  if (!text) return fail(path + ": No such file or directory");
  return decode(*text, path);
}

std::string ProvisioningPayload::encode() const {
  JSONValue object = JSONValue::object();
  object.set("server", server);
  auto put = [&object](const char* key, const auto& value) {
    if (value) object.set(key, *value);
  };
  put("tenant", tenant);
  put("customer", customer);
  put("token", token);
  put("channel", channel);
  put("caPem", caPem);
  put("commandPubkey", commandPubkey);
  put("updatePubkey", updatePubkey);
  if (spkiPins) {
    JSONValue::Array pins(spkiPins->begin(), spkiPins->end());
    object.set("spkiPins", std::move(pins));
  }
  put("quickAssist", quickAssist);
  return CanonicalJSON::encodeIndented(object);
}

bool ProvisioningPayload::carriesPinnedMaterial() const {
  return caPem || commandPubkey || updatePubkey || !nonEmptyPins(spkiPins).empty();
}

Result<void> ProvisioningPayload::applyPinnedMaterial() const {
  if (!carriesPinnedMaterial()) return {};
  std::vector<std::string> pins = nonEmptyPins(spkiPins);

  VELA_TRY_VOID(platform::makeDirectories(AgentPaths::pinnedDir(), 0700));
  VELA_TRY_VOID(writePinned(caPem, AgentPaths::pinnedCACert()));
  VELA_TRY_VOID(writePinned(commandPubkey, AgentPaths::pinnedCommandKey()));
  VELA_TRY_VOID(writePinned(updatePubkey, AgentPaths::pinnedUpdateKey()));
  if (!pins.empty()) {
    std::string joined;
    for (const std::string& pin : pins) {
      if (!joined.empty()) joined += "\n";
      joined += pin;
    }
    VELA_TRY_VOID(AgentPaths::writeProtected(joined, AgentPaths::pinnedSPKI()));
  }
  return {};
}

AgentConfig ProvisioningPayload::toConfig() const {
  AgentConfig config;
  config.serverBaseURL = server;
  config.tenantID = tenant;
  config.customerID = customer;
  config.enrollmentToken = token;
  config.channel = channel.value_or("stable");
  config.quickAssist = quickAssist;
  return config;
}

}  // namespace vela
