// Feeds arbitrary text as the update-check reply and takes a decoded manifest through
// the checker's first steps: its signed text, the signature check against a pinned
// key, and the download URL. Beyond not crashing: every member keeps the value it had
// in the reply (no integer wraps into another), the signed text has the fixed frame
// around the size, and a signature taken from the reply never verifies.

#include <cstdint>

#include <nlohmann/json.hpp>

#include "fuzz_check.h"
#include "update/manifest.h"
#include "util/agent_crypto.h"
#include "util/hex.h"
#include "util/url.h"

namespace {

using vela::fuzz::check;

const vela::AgentCrypto::Ed25519PublicKey& pinnedKey() {
  static const auto key = *vela::AgentCrypto::Ed25519PublicKey::fromRaw(
      *vela::Hex::decode("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a"));
  return key;
}

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
