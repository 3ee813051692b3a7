// An update-check reply, a decoded manifest taken through the checker's first steps: its
// signed text, the signature check against a pinned key, and the download URL.

#include "fuzz_check.h"
#include "update/manifest.h"
#include "util/agent_crypto.h"
#include "util/url.h"
#include "util/utf8.h"

using vela::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto reply = vela::UpdateCheckResponse::decode(vela::fuzz::text(data, size));
  if (!reply || !reply->manifest) return 0;
  const vela::UpdateManifest& m = *reply->manifest;

  std::string signedText = m.canonicalString();
  check(signedText.starts_with("rmm-agent|") &&
            signedText.ends_with("|size:" + std::to_string(m.size_bytes)),
        "the signed text lost its frame");
  check(!vela::AgentCrypto::verifyEd25519(m.signature, signedText, vela::fuzz::pinnedKey()),
        "a signature from the reply verified");
  (void)vela::AgentCrypto::ed25519PublicKey(vela::UTF8::trimWhitespace(m.public_key));
  if (auto url = vela::URL::parse(m.download_url)) {
    check(!url->scheme.empty(), "a URL without a scheme");
    (void)url->authority();
  }
  return 0;
}
