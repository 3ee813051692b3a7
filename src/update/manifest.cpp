#include "update/manifest.h"

#include <nlohmann/json.hpp>

namespace vela {
namespace {

using nlohmann::json;

Result<std::string> requiredString(const json& obj, const char* key) {
  auto it = obj.find(key);
  if (it == obj.end() || !it->is_string()) {
    return fail(std::string("update manifest: key \"") + key + "\" missing or not a string");
  }
  return it->get<std::string>();
}

Result<UpdateManifest> decodeManifest(const json& obj) {
  if (!obj.is_object()) return fail("update manifest: expected an object");
  UpdateManifest m;
  m.version = VELA_TRY(requiredString(obj, "version"));
  m.channel = VELA_TRY(requiredString(obj, "channel"));
  m.os = VELA_TRY(requiredString(obj, "os"));
  m.arch = VELA_TRY(requiredString(obj, "arch"));
  m.sha256 = VELA_TRY(requiredString(obj, "sha256"));
  auto size = obj.find("size_bytes");
  // Above the signed range the size would wrap into a negative one.
  if (size == obj.end() || !size->is_number_integer() ||
      (size->is_number_unsigned() && size->get<std::uint64_t>() > std::uint64_t(INT64_MAX))) {
    return fail("update manifest: key \"size_bytes\" missing or not an integer");
  }
  m.size_bytes = size->get<std::int64_t>();
  m.signature = VELA_TRY(requiredString(obj, "signature"));
  m.public_key = VELA_TRY(requiredString(obj, "public_key"));
  if (auto id = obj.find("public_key_id"); id != obj.end() && !id->is_null()) {
    if (!id->is_string()) return fail("update manifest: key \"public_key_id\" is not a string");
    m.public_key_id = id->get<std::string>();
  }
  m.download_url = VELA_TRY(requiredString(obj, "download_url"));
  return m;
}

}  // namespace

std::string UpdateManifest::canonicalString() const {
  return "rmm-agent|" + channel + "|" + os + "|" + arch + "|" + version + "|sha256:" + sha256 +
         "|size:" + std::to_string(size_bytes);
}

Result<UpdateCheckResponse> UpdateCheckResponse::decode(std::string_view text) {
  json obj = json::parse(text, nullptr, false);
  if (obj.is_discarded() || !obj.is_object()) return fail("update check reply is not a JSON object");
  auto available = obj.find("update_available");
  if (available == obj.end() || !available->is_boolean()) {
    return fail("update check reply: key \"update_available\" missing or not a boolean");
  }
  UpdateCheckResponse r;
  r.update_available = available->get<bool>();
  if (auto m = obj.find("manifest"); m != obj.end() && !m->is_null()) {
    r.manifest = VELA_TRY(decodeManifest(*m));
  }
  return r;
}

}  // namespace vela
