// Bytes for the PEM and DER readers behind pinned trust, the issued certificate and the
// pinned Ed25519 keys: as PEM text (a CA bundle, agent.crt, a key file) and as raw DER
// (an issued certificate, an X9.63 device key).

#include <cstdint>

#include "fuzz_check.h"
#include "identity/cert_store.h"
#include "identity/ec_private_key.h"
#include "identity/pem.h"
#include "net/pinned_trust.h"
#include "net/spki_pin.h"
#include "net/tls_objects.h"
#include "util/agent_crypto.h"
#include "util/base64.h"

namespace {

using vela::fuzz::check;

void checkCertificate(const vela::Certificate& certificate) {
  // OpenSSL reads a few BER liberties (padding bits of a bit string) and writes DER, so
  // the bytes may change once; after that they must stay.
  vela::Bytes again = vela::certificateDER(certificate);
  auto reread = vela::certificateFromDER(again);
  check(reread && vela::certificateDER(*reread) == again, "a certificate's DER does not settle");
  if (auto pin = vela::SPKIPin::sha256Base64(certificate)) {
    check(pin->size() == 44 && vela::Base64::decode(*pin).has_value(), "a pin of the wrong form");
    check(vela::SPKIPin::leafMatches({certificate}, {*pin}), "a certificate misses its own pin");
  }
  check(vela::CertStore::fingerprint(certificate).size() == 64, "a fingerprint of the wrong size");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> bytes(data, size);
  std::string_view text = vela::fuzz::text(data, size);

  if (auto body = vela::PEM::decode(text)) {
    auto again = vela::PEM::decode(vela::PEM::encode(*body, "CERTIFICATE"));
    check(again.has_value() && *again == *body, "a PEM body does not survive re-armouring");
    if (auto certificate = vela::certificateFromDER(*body)) checkCertificate(*certificate);
  }
  if (auto certificate = vela::certificateFromDER(bytes)) checkCertificate(*certificate);
  for (const auto& certificate : vela::PinnedTrust::parseCertificates(text)) {
    check(!vela::certificateDER(certificate).empty(), "a pinned certificate without DER");
  }
  (void)vela::PinnedTrust::parseSPKIPins(std::string(text));
  (void)vela::privateKeyFromPEM(text);

  if (auto key = vela::AgentCrypto::ed25519PublicKey(text)) {
    auto again = vela::AgentCrypto::ed25519PublicKey(vela::Base64::encode(key->rawRepresentation()));
    check(again.has_value() && *again == *key, "an Ed25519 key does not read back");
    (void)key->isWeak();
  }
  if (auto key = vela::ECPrivateKey::fromX963(bytes)) {
    auto exported = (*key)->exportX963();
    check(exported.has_value() && std::equal(exported->begin(), exported->end(), bytes.begin(), bytes.end()),
          "a device key exports other bytes");
  }
  return 0;
}
