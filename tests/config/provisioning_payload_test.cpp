#include "config/provisioning_payload.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "config/agent_paths.h"
#include "config/bundled_provisioning.h"
#include "platform/file_io.h"
#include "support/temp_dir.h"

namespace vela {
namespace {

using testing::ScopedStateDir;
using testing::TempDir;

ProvisioningPayload decoded(std::string_view json) {
  auto payload = ProvisioningPayload::decode(json);
  EXPECT_TRUE(payload) << json;
  return payload.value_or(ProvisioningPayload{});
}

const char* kPem = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";

TEST(ProvisioningPayloadTest, LenientTextKeys) {
  ProvisioningPayload p = decoded(R"({"server":"","srv":7,"url":"https://cp","tenant_id":"T",
      "tid":"ignored","site":"S","chan":"beta","tok":"","enroll":"E","unknown":{"x":1}})");
  EXPECT_EQ(p.server, "https://cp");  // empty and non-string members fall through
  EXPECT_EQ(p.tenant, "T");
  EXPECT_EQ(p.customer, "S");
  EXPECT_EQ(p.channel, "beta");
  EXPECT_EQ(p.token, "E");

  p = decoded(R"({"server_url":"https://a","customer_id":"C","site_id":"X","enroll_token":"ET"})");
  EXPECT_EQ(p.server, "https://a");
  EXPECT_EQ(p.customer, "C");
  EXPECT_EQ(p.token, "ET");

  p = decoded(R"({"tenant":null})");
  EXPECT_EQ(p.server, "");
  EXPECT_EQ(p.tenant, std::nullopt);
}

TEST(ProvisioningPayloadTest, NestedTokenOnlyAsLastResort) {
  EXPECT_EQ(decoded(R"({"enrollment":{"token":"N"}})").token, "N");
  EXPECT_EQ(decoded(R"({"enroll_token":"top","enrollment":{"token":"N"}})").token, "top");
  EXPECT_EQ(decoded(R"({"token":"","enrollment":{"token":"N"}})").token, "N");
  EXPECT_EQ(decoded(R"({"enrollment":["token","N"]})").token, std::nullopt);
  EXPECT_EQ(decoded(R"({"enrollment":{"token":""}})").token, std::nullopt);
}

TEST(ProvisioningPayloadTest, CertificateValuesOutsideCaPemMustLookLikePEM) {
  EXPECT_EQ(decoded(R"({"caPem":"not pem"})").caPem, "not pem");
  EXPECT_EQ(decoded(R"({"ca_pem":"not pem"})").caPem, std::nullopt);
  EXPECT_EQ(decoded(R"({"pinning":{"ca_certificate_pem":"not pem"}})").caPem, std::nullopt);
  std::string withPem = std::string(R"({"pinning":{"ca_certificate_pem":")") +
                        "-----BEGIN CERTIFICATE-----\\nx\\n-----END CERTIFICATE-----" + "\"}}";
  EXPECT_EQ(decoded(withPem).caPem, "-----BEGIN CERTIFICATE-----\nx\n-----END CERTIFICATE-----");
  EXPECT_EQ(decoded(R"({"caPem":"A","ca_pem":"-----BEGIN CERTIFICATE-----"})").caPem, "A");
}

TEST(ProvisioningPayloadTest, KeysAndPinsFromTopLevelOrPinning) {
  ProvisioningPayload p = decoded(R"({"command_public_key":"CK","pinning":{"command_public_key":"no",
      "update_public_key":"UK","tls_spki_pins":["p1","","p2"]}})");
  EXPECT_EQ(p.commandPubkey, "CK");
  EXPECT_EQ(p.updatePubkey, "UK");
  EXPECT_EQ(p.spkiPins, (std::vector<std::string>{"p1", "p2"}));

  // A string list is split at commas and line breaks; blanks around pins are dropped.
  p = decoded(R"({"spki_pins":"a, b\nc,,"})");
  EXPECT_EQ(p.spkiPins, (std::vector<std::string>{"a", "b", "c"}));
  // An empty array does not count; the next spelling is used.
  p = decoded(R"({"spkiPins":[],"tls_spki_sha256":"\tx \r\n y\t"})");
  EXPECT_EQ(p.spkiPins, (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(decoded(R"({"spkiPins":[1,2]})").spkiPins, std::nullopt);
}

TEST(ProvisioningPayloadTest, QuickAssistMustBeBoolean) {
  EXPECT_EQ(decoded(R"({"quickAssist":"yes","quick_assist":true})").quickAssist, true);
  EXPECT_EQ(decoded(R"({"quickAssist":false,"quick_assist":true})").quickAssist, false);
  EXPECT_EQ(decoded(R"({"quick_assist":1})").quickAssist, std::nullopt);
}

TEST(ProvisioningPayloadTest, MalformedDocumentsFailWithoutThrowing) {
  for (std::string bad : {std::string(""), std::string("[]"), std::string("\"server\""),
                          std::string("{\"server\":"), std::string("{\"server\":\"\xff\"}"),
                          std::string(100000, '['), std::string("{} {}"), std::string("\0{}", 3)}) {
    EXPECT_FALSE(ProvisioningPayload::decode(bad)) << bad.substr(0, 20);
  }
}

TEST(ProvisioningPayloadTest, EncodeKeepsOnlyPresentFieldsAndRoundTrips) {
  ProvisioningPayload p;
  EXPECT_EQ(decoded(p.encode()), p);
  EXPECT_NE(p.encode().find("\"server\": \"\""), std::string::npos);
  EXPECT_EQ(p.encode().find("tenant"), std::string::npos);
  p = decoded(R"({"url":"https://cp","tid":"T","tok":"K","chan":"c","caPem":"P","commandPubkey":"C",
      "updatePubkey":"U","spkiPins":["a"],"quickAssist":true,"customer":"X"})");
  EXPECT_EQ(decoded(p.encode()), p);
}

TEST(ProvisioningPayloadTest, ToConfigUsesDefaultsAndNoIdentity) {
  ProvisioningPayload p = decoded(R"({"server":"https://cp","tenant":"T","token":"K"})");
  AgentConfig c = p.toConfig();
  AgentConfig expected;
  expected.serverBaseURL = "https://cp";
  expected.tenantID = "T";
  expected.enrollmentToken = "K";
  EXPECT_EQ(c, expected);
  p.channel = "beta";
  p.quickAssist = false;
  EXPECT_EQ(p.toConfig().channel, "beta");
  EXPECT_EQ(p.toConfig().quickAssist, false);
}

TEST(ProvisioningPayloadTest, PinnedMaterialIsWrittenOwnerOnly) {
  ScopedStateDir state;
  ProvisioningPayload p = decoded(R"({"server":"https://cp"})");
  ASSERT_TRUE(p.applyPinnedMaterial());
  EXPECT_FALSE(std::filesystem::exists(state.file("pinned")));  // nothing to pin, no directory

  p.caPem = kPem;
  p.updatePubkey = "  UPDATEKEY=\n";
  p.spkiPins = std::vector<std::string>{"", "a=", "b="};
  ASSERT_TRUE(p.applyPinnedMaterial());
  EXPECT_EQ(platform::fileMode(state.file("pinned")).value_or(0), 0700u);
  EXPECT_EQ(testing::readFileOrEmpty(AgentPaths::pinnedCACert()), kPem);
  EXPECT_EQ(testing::readFileOrEmpty(AgentPaths::pinnedUpdateKey()), "  UPDATEKEY=\n");
  EXPECT_EQ(testing::readFileOrEmpty(AgentPaths::pinnedSPKI()), "a=\nb=");
  EXPECT_FALSE(std::filesystem::exists(AgentPaths::pinnedCommandKey()));
  for (const auto& entry : std::filesystem::directory_iterator(state.file("pinned"))) {
    EXPECT_EQ(platform::fileMode(entry.path()).value_or(0), 0600u) << entry.path();
  }
}

TEST(ProvisioningPayloadTest, PinnedMaterialStopsAtTheFirstFailure) {
  ScopedStateDir state;
  // A directory where command_pubkey.b64 belongs makes that write fail.
  std::filesystem::create_directories(AgentPaths::pinnedCommandKey() + "/x");
  ProvisioningPayload p;
  p.caPem = kPem;
  p.commandPubkey = "C";
  p.updatePubkey = "U";
  auto result = p.applyPinnedMaterial();
  ASSERT_FALSE(result);
  EXPECT_NE(result.error().message.find("command_pubkey.b64"), std::string::npos) << result.error().message;
  EXPECT_TRUE(std::filesystem::exists(AgentPaths::pinnedCACert()));
  EXPECT_FALSE(std::filesystem::exists(AgentPaths::pinnedUpdateKey()));
}

TEST(BundledProvisioningTest, FirstUsableCandidateWins) {
  TempDir dir;
  using BundledProvisioning::Candidate;
  std::vector<Candidate> candidates = {
      {"sidecar", dir.file("missing.json")},
      {"system", dir.file("system.json")},
      {"user", dir.file("user.json")},
  };
  testing::writeFile(dir.file("user.json"), R"({"server":"https://user"})");
  auto found = BundledProvisioning::find(candidates);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->source, "user: " + dir.file("user.json"));

  // Malformed, or without a server: skipped.
  testing::writeFile(dir.file("system.json"), R"({"server": )");
  EXPECT_EQ(BundledProvisioning::find(candidates)->payload.server, "https://user");
  testing::writeFile(dir.file("system.json"), R"({"tenant":"T","url":""})");
  EXPECT_EQ(BundledProvisioning::find(candidates)->payload.server, "https://user");

  testing::writeFile(dir.file("system.json"), R"({"srv":"https://system","tenant":"T"})");
  found = BundledProvisioning::find(candidates);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->source, "system: " + dir.file("system.json"));
  EXPECT_EQ(found->payload.tenant, "T");

  std::filesystem::remove(dir.file("system.json"));
  std::filesystem::remove(dir.file("user.json"));
  EXPECT_FALSE(BundledProvisioning::find(candidates));
}

TEST(BundledProvisioningTest, CandidateLocations) {
  testing::ScopedEnv xdg("XDG_DATA_HOME", "/xdg");
  auto candidates = BundledProvisioning::candidatePaths();
  ASSERT_EQ(candidates.size(), 3u);
  EXPECT_EQ(candidates[0].label, "sidecar");
  EXPECT_TRUE(candidates[0].path.ends_with("/provisioning.json"));
  EXPECT_EQ(candidates[1], (BundledProvisioning::Candidate{"system", "/var/lib/vela-agent/provisioning.json"}));
  EXPECT_EQ(candidates[2], (BundledProvisioning::Candidate{"user", "/xdg/vela-agent/provisioning.json"}));
}

}  // namespace
}  // namespace vela
