#include "net/pinned_trust.h"

#include <sys/stat.h>

#include <filesystem>

#include <gmock/gmock.h>

#include "config/agent_paths.h"
#include "support/temp_dir.h"
#include "support/test_pki.h"
#include "util/base64.h"
#include "util/hex.h"

namespace vela {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
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
  // Advice for an administrator, never for a developer.
  std::string advice() const {
    return "or provision from a document that carries it: `vela-agent provision --from-file "
           "<provisioning.json>`, or that document as " + state_.path() + "/provisioning.json before the first start";
  }

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
            "Put the internal CA in " +
                pinnedDir() + "/ca.pem, " + advice() +
                "; only for a genuinely public-cert endpoint, put SPKI pins in " + pinnedDir() +
                "/spki_pins.txt. The agent refuses to run rather than trust system roots.");

  // Blank files and placeholder-only pins count as nothing at all, and so do files that
  // cannot be read or are not UTF-8.
  writeFile(AgentPaths::pinnedCACert(), " \n\t\r\n");
  writeFile(AgentPaths::pinnedSPKI(), "REPLACE_ME_PIN\n,\n");
  writeKeys();
  EXPECT_THAT(PinnedTrust::load().error().message, StartsWith("missing pinned trust:"));
  std::filesystem::remove(AgentPaths::pinnedCACert());
  ::mkdir(AgentPaths::pinnedCACert().c_str(), 0700);  // a directory cannot be read as a file
  writeFile(AgentPaths::pinnedSPKI(), std::string("\xff\xfe pin=", 7));
  EXPECT_THAT(PinnedTrust::load().error().message, StartsWith("missing pinned trust:"));
  // Then the compiled-in fallback counts: as written, unless blank or a placeholder.
  const std::string unreadable = AgentPaths::pinnedCACert();
  EXPECT_EQ(PinnedTrust::optionalPinned(unreadable, "  keep me \n"), "  keep me \n");
  EXPECT_EQ(PinnedTrust::optionalPinned(unreadable, " \n "), std::nullopt);
  EXPECT_EQ(PinnedTrust::optionalPinned(unreadable, "x REPLACE_ME y"), std::nullopt);
}

TEST_F(PinnedTrustLoad, PinsAloneMeanSystemTrustAndThenBothKeysAreNeeded) {
  writeFile(AgentPaths::pinnedSPKI(), "pinA=\npinB=\n");
  auto missing = PinnedTrust::load();
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message,
            "missing pinned command public key (pinned/command_pubkey.b64). Put it in " +
                pinnedDir() + ", " + advice() + ".");

  writeFile(AgentPaths::pinnedCommandKey(), kKeyA);
  EXPECT_EQ(PinnedTrust::load().error().message,
            "missing pinned update public key (pinned/update_pubkey.b64). Put it in " +
                pinnedDir() + ", " + advice() + ".");

  // A placeholder in a file is taken as written, and then refused as a key.
  writeKeys();
  writeFile(AgentPaths::pinnedCommandKey(), "REPLACE_ME_COMMAND_ED25519_PUBLIC_KEY_BASE64\n");
  EXPECT_EQ(PinnedTrust::load().error().message, "malformed Ed25519 public key");

  writeKeys();
  ::testing::internal::CaptureStderr();
  auto trust = PinnedTrust::load();
  std::string logged = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(trust) << trust.error().message;
  EXPECT_FALSE(trust->pinsInternalCA());
  EXPECT_EQ(trust->spkiPins, (std::set<std::string>{"pinA=", "pinB="}));
  EXPECT_THAT(logged,
              HasSubstr("INFO: system-trust TLS with 2 explicitly-provisioned SPKI leaf pin(s)."));
  EXPECT_EQ(trust->updatePublicKeyBase64, kKeyB);
}

TEST_F(PinnedTrustLoad, CertificateFileKeepsGoodBlocksAndFailsWhenNoneIsGood) {
  testing::TestCA first("First CA");
  testing::TestCA second("Second CA");
  std::string padded;  // trailing white space and CRLF line ends
  for (char c : first.certificatePEM()) padded += c == '\n' ? std::string("  \t\r\n") : std::string(1, c);
  writeKeys();
  writeFile(AgentPaths::pinnedCACert(), "issuer notes\n" + padded + "between\n" + corrupted(second.certificatePEM()) +
                                            second.certificatePEM() + "END CERTIFICATE\n");
  auto trust = PinnedTrust::load();
  ASSERT_TRUE(trust) << trust.error().message;
  ASSERT_EQ(trust->caCertificates.size(), 2u);
  EXPECT_TRUE(trust->pinsInternalCA());
  EXPECT_TRUE(trust->spkiPins.empty());

  for (const std::string& none :
       {corrupted(first.certificatePEM()), std::string("-----BEGIN CERTIFICATE-----\nAAAA"),
        std::string("-----BEGIN CERTIFICATE-----\nbm90IGEgY2VydGlmaWNhdGU=\n-----END CERTIFICATE-----\n")}) {
    writeFile(AgentPaths::pinnedCACert(), none);
    EXPECT_EQ(PinnedTrust::load().error().message, "pinned CA PEM contained no certificates") << none;
  }
}

// With a small-order key, the signature R = identity, S = 0 verifies for every message;
// a non-canonical encoding names a point in a form no honest key has.
TEST_F(PinnedTrustLoad, SmallOrderAndNonCanonicalKeysAreRefused) {
  auto base64Of = [](std::initializer_list<std::pair<int, std::uint8_t>> bytes) {
    Bytes raw(32, 0);
    for (auto [at, value] : bytes) raw[at] = value;
    return Base64::encode(raw);
  };
  auto withLast = [](std::string hex, std::string last) { return hex.substr(0, 62) + last; };
  // The eight points of the torsion subgroup (orders 1, 2, 4, 4, 8, 8, 8, 8).
  const std::string order8 = "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05";
  const std::string order8b = "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a";
  const std::string pMinusOne = "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f";
  std::vector<std::string> weak = {
      base64Of({{0, 1}}), base64Of({}), base64Of({{31, 0x80}}),
      Base64::encode(Hex::decode(pMinusOne).value()),
      Base64::encode(Hex::decode(order8).value()),
      Base64::encode(Hex::decode(withLast(order8, "85")).value()),
      Base64::encode(Hex::decode(order8b).value()),
      Base64::encode(Hex::decode(withLast(order8b, "fa")).value()),
      // Non-canonical: y = p, y = p + 2 (y >= p), and x = 0 with the sign bit set.
      Base64::encode(Hex::decode(withLast("ed" + pMinusOne.substr(2), "7f")).value()),
      Base64::encode(Hex::decode(withLast("ef" + pMinusOne.substr(2), "ff")).value()),
      base64Of({{0, 1}, {31, 0x80}}),
  };
  writeFile(AgentPaths::pinnedSPKI(), "pin=");
  for (const std::string& key : weak) {
    writeKeys();
    writeFile(AgentPaths::pinnedCommandKey(), key);
    auto trust = PinnedTrust::load();
    ASSERT_FALSE(trust) << key;
    EXPECT_EQ(trust.error().message,
              "refusing pinned command public key (pinned/command_pubkey.b64): a small-order or "
              "non-canonical Ed25519 public key verifies forged signatures");
  }
  writeKeys();
  writeFile(AgentPaths::pinnedUpdateKey(), weak.front());
  EXPECT_THAT(PinnedTrust::load().error().message,
              StartsWith("refusing pinned update public key (pinned/update_pubkey.b64): "));
}

TEST(PinnedTrustParsing, PinListsSplitTrimAndCollapse) {
  EXPECT_TRUE(PinnedTrust::parseSPKIPins(std::nullopt).empty());
  EXPECT_EQ(PinnedTrust::parseSPKIPins(" a= ,\tb=\t,,\na=\n"), (std::set<std::string>{"a=", "b="}));
  EXPECT_EQ(PinnedTrust::parseSPKIPins("x=\r\n,REPLACE_ME_1, \t ,\r\n"), (std::set<std::string>{"x="}));
}

}  // namespace
}  // namespace vela
