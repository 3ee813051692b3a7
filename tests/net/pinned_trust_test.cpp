#include "net/pinned_trust.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "config/agent_paths.h"
#include "support/temp_dir.h"
#include "support/test_pki.h"

namespace vela {
namespace {

using testing::ScopedStateDir;
using testing::writeFile;

constexpr char kKeyA[] = "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=";  // RFC 8032, 7.1 test 1
constexpr char kKeyB[] = "PUAXw+hDiVqStwqnTRt+vJyYLM8uxJaMwM1V8Sr0Zgw=";  // RFC 8032, 7.1 test 2

class PinnedTrustLoad : public ::testing::Test {
 protected:
  void SetUp() override { ::mkdir(AgentPaths::pinnedDir().c_str(), 0700); }
  void writeKeys() {
    writeFile(AgentPaths::pinnedCommandKey(), std::string(kKeyA) + "\n");
    writeFile(AgentPaths::pinnedUpdateKey(), std::string("  ") + kKeyB + "\r\n");
  }
  std::string pinnedDir() const { return state_.path() + "/pinned"; }

  ScopedStateDir state_;
};

std::string corrupted(std::string pem) {
  // Damages the base64 body of the block while keeping its armour.
  auto body = pem.find('\n') + 1;
  pem.replace(body, 8, "!!!!!!!!");
  return pem;
}

TEST_F(PinnedTrustLoad, NothingProvisionedFailsClosedWithTheDirectoryInTheMessage) {
  auto trust = PinnedTrust::load();
  ASSERT_FALSE(trust);
  EXPECT_EQ(trust.error().message,
            "missing pinned trust: no internal CA certificate (pinned/ca.pem) and no SPKI pins. "
            "Provision the internal CA under " +
                pinnedDir() +
                ", compile it into PinnedDefaults, or (only for a genuinely public-cert endpoint) "
                "provision SPKI pins. The agent refuses to run rather than trust system roots.");

  // Blank files and placeholder-only pins count as nothing at all.
  writeFile(AgentPaths::pinnedCACert(), " \n\t\r\n");
  writeFile(AgentPaths::pinnedSPKI(), "REPLACE_ME_PIN\n,\n");
  writeKeys();
  EXPECT_EQ(PinnedTrust::load().error().message.rfind("missing pinned trust:", 0), 0u);
}

TEST_F(PinnedTrustLoad, PinsAloneMeanSystemTrustAndThenBothKeysAreNeeded) {
  writeFile(AgentPaths::pinnedSPKI(), "pinA=\npinB=\n");
  auto missing = PinnedTrust::load();
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message,
            "missing pinned command public key (pinned/command_pubkey.b64). Provision it under " +
                pinnedDir() + " or compile it into PinnedDefaults before building.");

  writeFile(AgentPaths::pinnedCommandKey(), kKeyA);
  EXPECT_EQ(PinnedTrust::load().error().message,
            "missing pinned update public key (pinned/update_pubkey.b64). Provision it under " +
                pinnedDir() + " or compile it into PinnedDefaults before building.");

  writeKeys();
  ::testing::internal::CaptureStderr();
  auto trust = PinnedTrust::load();
  std::string logged = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(trust) << trust.error().message;
  EXPECT_FALSE(trust->pinsInternalCA());
  EXPECT_EQ(trust->spkiPins, (std::set<std::string>{"pinA=", "pinB="}));
  EXPECT_NE(logged.find("INFO: system-trust TLS with 2 explicitly-provisioned SPKI leaf pin(s)."),
            std::string::npos);
  EXPECT_EQ(trust->updatePublicKeyBase64, kKeyB);
  EXPECT_NE(trust->commandPublicKey, trust->updatePublicKey);
}

TEST_F(PinnedTrustLoad, CertificateFileKeepsGoodBlocksAndFailsWhenNoneIsGood) {
  testing::TestCA first("First CA");
  testing::TestCA second("Second CA");
  writeKeys();
  writeFile(AgentPaths::pinnedCACert(),
            "issuer notes\n" + first.certificatePEM() + "between\n" + corrupted(second.certificatePEM()));
  auto trust = PinnedTrust::load();
  ASSERT_TRUE(trust) << trust.error().message;
  ASSERT_EQ(trust->caCertificates.size(), 1u);
  EXPECT_TRUE(trust->pinsInternalCA());
  EXPECT_TRUE(trust->spkiPins.empty());

  writeFile(AgentPaths::pinnedCACert(), corrupted(first.certificatePEM()));
  EXPECT_EQ(PinnedTrust::load().error().message, "pinned CA PEM contained no certificates");
  writeFile(AgentPaths::pinnedCACert(),
            "-----BEGIN CERTIFICATE-----\nbm90IGEgY2VydGlmaWNhdGU=\n-----END CERTIFICATE-----\n");
  EXPECT_EQ(PinnedTrust::load().error().message, "pinned CA PEM contained no certificates");
}

TEST_F(PinnedTrustLoad, PlaceholderKeyInAFileIsUsedAndRejected) {
  writeFile(AgentPaths::pinnedSPKI(), "pin=");
  writeKeys();
  writeFile(AgentPaths::pinnedCommandKey(), "REPLACE_ME_COMMAND_ED25519_PUBLIC_KEY_BASE64\n");
  EXPECT_EQ(PinnedTrust::load().error().message, "malformed Ed25519 public key");
  writeFile(AgentPaths::pinnedCommandKey(), "garbage");
  EXPECT_EQ(PinnedTrust::load().error().message, "malformed Ed25519 public key");
}

TEST_F(PinnedTrustLoad, UnreadableOrNonUTF8FilesCountAsAbsent) {
  ::mkdir(AgentPaths::pinnedCACert().c_str(), 0700);  // a directory cannot be read as a file
  writeFile(AgentPaths::pinnedSPKI(), std::string("\xff\xfe pin=", 7));
  writeKeys();
  EXPECT_EQ(PinnedTrust::load().error().message.rfind("missing pinned trust:", 0), 0u);
  EXPECT_EQ(PinnedTrust::optionalPinned(AgentPaths::pinnedCACert(), "fallback"), "fallback");
}

TEST(PinnedTrustSources, FileTextIsReturnedUntrimmedAndFallbacksAreFiltered) {
  testing::TempDir dir;
  std::string file = dir.file("value");
  EXPECT_EQ(PinnedTrust::optionalPinned(file, "  keep me \n"), "  keep me \n");
  EXPECT_EQ(PinnedTrust::optionalPinned(file, " \n "), std::nullopt);
  EXPECT_EQ(PinnedTrust::optionalPinned(file, "x REPLACE_ME y"), std::nullopt);
  testing::writeFile(file, "\n REPLACE_ME file \n");
  EXPECT_EQ(PinnedTrust::optionalPinned(file, "fallback"), "\n REPLACE_ME file \n");
  testing::writeFile(file, "\r\n\t ");
  EXPECT_EQ(PinnedTrust::optionalPinned(file, "fallback"), "fallback");
  EXPECT_EQ(PinnedTrust::firstAvailable(file, "key", "label"), "key");
}

TEST(PinnedTrustParsing, PinListsSplitTrimAndCollapse) {
  EXPECT_TRUE(PinnedTrust::parseSPKIPins(std::nullopt).empty());
  EXPECT_EQ(PinnedTrust::parseSPKIPins(" a= ,\tb=\t,,\na=\n"), (std::set<std::string>{"a=", "b="}));
  EXPECT_EQ(PinnedTrust::parseSPKIPins("x=\r\n,REPLACE_ME_1, \t ,\r\n"), (std::set<std::string>{"x="}));
}

TEST(PinnedTrustParsing, CertificateBlocksToleratePaddingAndCRLF) {
  testing::TestCA ca("Parsing CA");
  std::string pem = ca.certificatePEM();
  std::string crlf;
  for (char c : pem) crlf += c == '\n' ? std::string("  \t\r\n") : std::string(1, c);
  auto parsed = PinnedTrust::parseCertificates("junk\n" + crlf + pem + "END CERTIFICATE\n");
  EXPECT_EQ(parsed.size(), 2u);
  EXPECT_TRUE(PinnedTrust::parseCertificates("").empty());
  EXPECT_TRUE(PinnedTrust::parseCertificates("-----BEGIN CERTIFICATE-----\nAAAA").empty());
}

}  // namespace
}  // namespace vela
