#include "identity/cert_store.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "identity/csr_builder.h"
#include "identity/pem.h"
#include "platform/file_io.h"
#include "support/background_process.h"
#include "support/temp_dir.h"
#include "util/agent_crypto.h"

namespace vela {
namespace {

using ::testing::HasSubstr;
using testing::runProcess;
using testing::ScopedStateDir;

constexpr const char* kOpenSSL = "/usr/bin/openssl";

class IdentityTest : public ::testing::Test {
 protected:
  // A certificate for the device key, issued by signing our own request with it.
  std::string issueCertificate(const DeviceKey& key) {
    testing::writeFile(scratch.file("req.pem"), CSRBuilder::makeCSRPEM("mac-01", key).value());
    testing::writeFile(scratch.file("key.pem"), key.privateKeyPEMForTLS().value());
    auto out = runProcess(kOpenSSL, {"x509", "-req", "-in", scratch.file("req.pem"), "-signkey",
                                     scratch.file("key.pem"), "-days", "1"});
    EXPECT_EQ(out.status, 0) << out.err;
    return out.out;
  }

  ScopedStateDir state;
  testing::TempDir scratch;
};

// Signed by a key read back from its file: a freshly created key signs the enrolment
// tests' requests.
TEST_F(IdentityTest, RequestIsAcceptedAndReadByOpenSSL) {
  ASSERT_TRUE(DeviceKey::create());
  DeviceKey key = DeviceKey::load().value();
  std::string pem = CSRBuilder::makeCSRPEM("mac-01", key).value();
  ASSERT_TRUE(pem.starts_with("-----BEGIN CERTIFICATE REQUEST-----\n"));
  testing::writeFile(scratch.file("req.pem"), pem);

  auto read = runProcess(
      kOpenSSL, {"req", "-in", scratch.file("req.pem"), "-verify", "-noout", "-pubkey", "-text"});
  ASSERT_EQ(read.status, 0) << read.err;
  EXPECT_THAT(read.err, HasSubstr("verify OK"));
  for (const char* expected :
       {"Version: 1 (0x0)", "Subject: CN = mac-01", "Public Key Algorithm: id-ecPublicKey",
        "ASN1 OID: prime256v1", "Attributes:\n            (none)",
        "Signature Algorithm: ecdsa-with-SHA256"})
    EXPECT_THAT(read.out, HasSubstr(expected));
  // openssl's own PEM of the key comes first: our armour, 64-column lines and padding.
  EXPECT_EQ(read.out.substr(0, read.out.find("Certificate Request:")), key.publicKeyPEM().value());

  // The common name travels as a UTF8String.
  EXPECT_THAT(toString(CSRBuilder::makeCSRDER("mac-01", key).value()), HasSubstr("\x0C\x06mac-01"));
}

// The issued certificate from storing to clearing: kept byte for byte as received (an
// extra trailing line feed included) and owner-only, never replaced by one that is not
// a certificate, and paired with the device key only while that key matches it.
TEST_F(IdentityTest, StoredCertificateFromStoreToClear) {
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(CertStore::loadIdentity());  // no certificate yet: a debug line only
  EXPECT_THAT(::testing::internal::GetCapturedStderr(), ::testing::Not(HasSubstr("WARN")));

  DeviceKey key = DeviceKey::loadOrCreate().value();
  const std::string received = issueCertificate(key) + "\n";
  Certificate stored = CertStore::store(received).value();
  const Bytes der = certificateDER(stored);
  EXPECT_EQ(testing::readFileOrEmpty(state.file("agent.crt")), received);
  EXPECT_EQ(platform::fileMode(state.file("agent.crt")).value(), 0600u);
  EXPECT_EQ(CertStore::loadCertificatePEM(), received);
  EXPECT_EQ(CertStore::fingerprint(stored), AgentCrypto::sha256Hex(der));

  Bytes withTrailingByte = der;
  withTrailingByte.push_back(0);
  for (const std::string& bad :
       {PEM::encode(CSRBuilder::makeCSRDER("mac-01", key).value(), "CERTIFICATE"),
        PEM::encode(withTrailingByte, "CERTIFICATE")}) {
    auto result = CertStore::store(bad);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message, "issued certificate is not valid DER");
  }
  auto badPEM = CertStore::store("-----BEGIN CERTIFICATE-----\n%%%\n-----END CERTIFICATE-----\n");
  ASSERT_FALSE(badPEM);
  EXPECT_EQ(badPEM.error().message, "invalid PEM body");
  EXPECT_EQ(testing::readFileOrEmpty(state.file("agent.crt")), received);

  auto identity = CertStore::loadIdentity();
  ASSERT_TRUE(identity);
  EXPECT_EQ(certificateDER(identity->identity.certificate), der);
  EXPECT_TRUE(identity->identity.privateKey);

  // A new device key no longer matches the issued certificate.
  ASSERT_TRUE(key.deleteKey());
  (void)DeviceKey::create().value();
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(CertStore::loadIdentity());
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              HasSubstr("WARN: no mTLS identity (client identity: the private key does not match "
                        "the certificate); remote-control disabled until the device enrols again. "
                        "Monitoring is unaffected.\n"));

  CertStore::clear();
  EXPECT_FALSE(platform::fileExists(state.file("agent.crt")));
  CertStore::clear();  // nothing left to clear is fine
}

}  // namespace
}  // namespace vela
