// An update-check reply, a decoded manifest taken through the checker's first steps: its
// signed text, the signature check against a pinned key, and the download URL.

#include <cstdint>

#include <nlohmann/json.hpp>

#include "fuzz_check.h"
#include "update/manifest.h"
#include "util/agent_crypto.h"
#include "util/url.h"

namespace {

using vela::fuzz::check;
using vela::fuzz::pinnedKey;

void checkRead(const nlohmann::json& reply, const vela::UpdateManifest& m) {
  const nlohmann::json& written = reply.at("manifest");
  auto same = [&written](const char* key, const nlohmann::json& read) {
    check(written.at(key).dump() == read.dump(), "a manifest member read as another value");
  };
  same("version", m.version);
  same("channel", m.channel);
  same("os", m.os);
  same("arch", m.arch);
  same("sha256", m.sha256);
  same("size_bytes", m.size_bytes);
  same("signature", m.signature);
  same("public_key", m.public_key);
  same("download_url", m.download_url);
  if (m.public_key_id) same("public_key_id", *m.public_key_id);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text = vela::fuzz::text(data, size);
  auto reply = vela::UpdateCheckResponse::decode(text);
  if (!reply || !reply->manifest) return 0;
  const vela::UpdateManifest& m = *reply->manifest;
  checkRead(nlohmann::json::parse(text), m);

  std::string signedText = m.canonicalString();
  check(signedText.starts_with("rmm-agent|") &&
            signedText.ends_with("|size:" + std::to_string(m.size_bytes)),
        "the signed text lost its frame");
  check(!vela::AgentCrypto::verifyEd25519(m.signature, signedText, pinnedKey()),
        "a signature from the reply verified");
  (void)vela::AgentCrypto::ed25519PublicKey(vela::trimWhitespace(m.public_key));
  if (auto url = vela::URL::parse(m.download_url)) {
    check(!url->scheme.empty(), "a URL without a scheme");
    (void)url->authority();
  }
  return 0;
}
