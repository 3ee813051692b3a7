#include "update/manifest.h"

#include "util/json_document.h"

namespace vela {
namespace {

Result<std::string> stringMember(const JSONValue& obj, const char* key) {
  auto text = requiredString(obj, key);
  if (!text) {
    return fail(std::string("update manifest: key \"").append(key).append("\" missing or not a string"));
  }
  return std::move(*text);
}

Result<UpdateManifest> decodeManifest(const JSONValue& obj) {
  if (!obj.isObject()) return fail("update manifest: expected an object");
  UpdateManifest m;
  m.version = VELA_TRY(stringMember(obj, "version"));
  m.channel = VELA_TRY(stringMember(obj, "channel"));
  m.os = VELA_TRY(stringMember(obj, "os"));
  m.arch = VELA_TRY(stringMember(obj, "arch"));
  m.sha256 = VELA_TRY(stringMember(obj, "sha256"));
  const JSONValue* size = obj["size_bytes"];
  // Above the signed range the size would wrap into a negative one.
  auto sizeBytes = size == nullptr ? std::nullopt : size->intValue();
  if (!sizeBytes) return fail("update manifest: key \"size_bytes\" missing or not an integer");
  m.size_bytes = *sizeBytes;
  m.signature = VELA_TRY(stringMember(obj, "signature"));
  m.public_key = VELA_TRY(stringMember(obj, "public_key"));
  if (const JSONValue* id = obj["public_key_id"]; id != nullptr && !id->isNull()) {
    if (!id->isString()) return fail("update manifest: key \"public_key_id\" is not a string");
    m.public_key_id = id->stringValue();
  }
  m.download_url = VELA_TRY(stringMember(obj, "download_url"));
  return m;
}

}  // namespace

std::string UpdateManifest::canonicalString() const {
  return "rmm-agent|" + channel + "|" + os + "|" + arch + "|" + version + "|sha256:" + sha256 +
         "|size:" + std::to_string(size_bytes);
}

Result<UpdateCheckResponse> UpdateCheckResponse::decode(std::string_view text) {
  auto obj = JSONDocument::read(text);
  if (!obj || !obj->isObject()) return fail("update check reply is not a JSON object");
  const JSONValue* available = (*obj)["update_available"];
  if (available == nullptr || !available->isBool()) {
    return fail("update check reply: key \"update_available\" missing or not a boolean");
  }
  UpdateCheckResponse r;
  r.update_available = *available->boolValue();
  if (const JSONValue* m = (*obj)["manifest"]; m != nullptr && !m->isNull()) {
    r.manifest = VELA_TRY(decodeManifest(*m));
  }
  return r;
}

}  // namespace vela
