#include "net/spki_pin.h"

#include <openssl/x509.h>

#include <gtest/gtest.h>

#include "util/agent_crypto.h"
#include "util/base64.h"
#include "support/test_pki.h"

namespace vela {
namespace {

using testing::KeyKind;
using testing::TestCA;

// The pin computed the other way round: over the certificate's own DER
// SubjectPublicKeyInfo, as OpenSSL encodes it.
std::string pinFromEncodedSPKI(X509* certificate) {
  unsigned char* der = nullptr;
  int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate), &der);
  Bytes bytes(der, der + length);
  OPENSSL_free(der);
  return Base64::encode(AgentCrypto::sha256(bytes));
}

Certificate leafOf(const TestCA& ca, KeyKind kind) {
  return shareCertificate(ca.issue("leaf", "DNS:localhost", kind, testing::Usage::server,
                                   testing::sharedKey(kind))
                              .certificate.get());
}

// That the leaf's own pin among others lets it through is the HTTPS client's test.
TEST(SPKIPin, OnlySupportedLeafKeysHaveAPinAndItHashesTheirSubjectPublicKeyInfo) {
  TestCA ca("Pin CA");
  for (KeyKind kind : {KeyKind::rsa2048, KeyKind::rsa4096, KeyKind::p256, KeyKind::p384}) {
    Certificate leaf = leafOf(ca, kind);
    EXPECT_EQ(SPKIPin::sha256Base64(leaf), pinFromEncodedSPKI(leaf.get()))
        << static_cast<int>(kind);
  }
  Certificate root = shareCertificate(ca.identity().certificate.get());
  EXPECT_FALSE(
      SPKIPin::leafMatches({leafOf(ca, KeyKind::p256), root}, {*SPKIPin::sha256Base64(root)}));

  for (KeyKind kind : {KeyKind::rsa3072, KeyKind::p521, KeyKind::ed25519}) {
    Certificate leaf = leafOf(ca, kind);
    EXPECT_EQ(SPKIPin::sha256Base64(leaf), std::nullopt) << static_cast<int>(kind);
    // Not even the pin of its own encoded key lets it through.
    EXPECT_FALSE(SPKIPin::leafMatches({leaf}, {pinFromEncodedSPKI(leaf.get())}));
  }
  EXPECT_EQ(SPKIPin::sha256Base64(nullptr), std::nullopt);
}

}  // namespace
}  // namespace vela
