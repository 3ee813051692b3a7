#include "config/provisioning_payload.h"

#include <gmock/gmock.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "config/agent_paths.h"
#include "config/bundled_provisioning.h"
#include "platform/file_io.h"
#include "support/temp_dir.h"

namespace vela {
namespace {

using ::testing::HasSubstr;
using testing::readFileOrEmpty;
using testing::writeFile;
using Pins = std::vector<std::string>;

ProvisioningPayload decoded(std::string_view json) {
  auto payload = ProvisioningPayload::decode(json);
  EXPECT_TRUE(payload) << json;
  return payload.value_or(ProvisioningPayload{});
}

TEST(ProvisioningPayloadTest, LenientKeys) {
  ProvisioningPayload p = decoded(R"({"server":"","srv":7,"url":"https://cp","tenant_id":"T","tid":"no",
      "site":"S","chan":"beta","tok":"","enroll":"E","quickAssist":"yes","quick_assist":true,"x":{}})");
  // Empty and non-string members fall through; nothing else is taken.
  EXPECT_EQ(p, (ProvisioningPayload{.server = "https://cp", .tenant = "T", .customer = "S",
                                    .token = "E", .channel = "beta", .caPem = {},
                                    .commandPubkey = {}, .updatePubkey = {}, .spkiPins = {},
                                    .quickAssist = true}));
  EXPECT_EQ(decoded(R"({"quick_assist":1})").quickAssist, std::nullopt);
  EXPECT_EQ(decoded(R"({"tenant":null})"), ProvisioningPayload{});

  // The nested enrolment token is the last resort.
  EXPECT_EQ(decoded(R"({"token":"","enrollment":{"token":"N"}})").token, "N");
  EXPECT_EQ(decoded(R"({"enroll_token":"top","enrollment":{"token":"N"}})").token, "top");
  EXPECT_EQ(decoded(R"({"enrollment":["token","N"]})").token, std::nullopt);
}

TEST(ProvisioningPayloadTest, TrustMaterialKeys) {
  // Only caPem is taken as it is; every other spelling must look like a certificate.
  EXPECT_EQ(decoded(R"({"caPem":"not pem"})").caPem, "not pem");
  EXPECT_EQ(decoded(R"({"ca_pem":"not pem"})").caPem, std::nullopt);
  EXPECT_EQ(decoded(R"({"pinning":{"ca_certificate_pem":"not pem"}})").caPem, std::nullopt);
  EXPECT_EQ(decoded(R"({"pinning":{"ca_certificate_pem":"-BEGIN CERTIFICATE-"}})").caPem, "-BEGIN CERTIFICATE-");

  ProvisioningPayload p = decoded(R"({"command_public_key":"CK","pinning":{"command_public_key":"no",
      "update_public_key":"UK","tls_spki_pins":["p1","","p2"]}})");
  EXPECT_EQ(p.commandPubkey, "CK");
  EXPECT_EQ(p.updatePubkey, "UK");
  EXPECT_EQ(p.spkiPins, (Pins{"p1", "p2"}));
  EXPECT_EQ(decoded(R"({"spki_pins":"a, b\nc,,"})").spkiPins, (Pins{"a", "b", "c"}));
}

// That what decodes encodes back to the same payload is the fuzz target's property.
TEST(ProvisioningPayloadTest, MalformedDocumentsFail) {
  for (std::string bad : {std::string(""), std::string("[]"), std::string("{\"server\":"),
                          std::string("{\"server\":\"\xff\"}"), std::string(100000, '['), std::string("\0{}", 3)}) {
    EXPECT_FALSE(ProvisioningPayload::decode(bad)) << bad.substr(0, 20);
  }
}

TEST(ProvisioningPayloadTest, PinnedMaterialIsWrittenOwnerOnlyAndStopsAtTheFirstFailure) {
  testing::ScopedStateDir state;
  ProvisioningPayload p = decoded(R"({"server":"https://cp"})");
  ASSERT_TRUE(p.applyPinnedMaterial());
  EXPECT_FALSE(std::filesystem::exists(AgentPaths::pinnedDir()));  // nothing to pin, no directory

  p.caPem = "PEM\n";
  p.updatePubkey = "  KEY=\n";
  p.spkiPins = Pins{"", "a=", "b="};
  ASSERT_TRUE(p.applyPinnedMaterial());
  EXPECT_EQ(platform::fileMode(AgentPaths::pinnedDir()).value_or(0), 0700u);
  EXPECT_EQ(readFileOrEmpty(AgentPaths::pinnedCACert()), "PEM\n");
  EXPECT_EQ(readFileOrEmpty(AgentPaths::pinnedUpdateKey()), "  KEY=\n");
  EXPECT_EQ(readFileOrEmpty(AgentPaths::pinnedSPKI()), "a=\nb=");
  EXPECT_FALSE(std::filesystem::exists(AgentPaths::pinnedCommandKey()));
  for (const auto& entry : std::filesystem::directory_iterator(AgentPaths::pinnedDir())) {
    EXPECT_EQ(platform::fileMode(entry.path()).value_or(0), 0600u) << entry.path();
  }

  // A directory where command_pubkey.b64 belongs fails that write; later files wait.
  std::filesystem::remove(AgentPaths::pinnedUpdateKey());
  std::filesystem::create_directories(AgentPaths::pinnedCommandKey() + "/x");
  p.commandPubkey = "C";
  auto result = p.applyPinnedMaterial();
  ASSERT_FALSE(result);
  EXPECT_THAT(result.error().message, HasSubstr("command_pubkey.b64"));
  EXPECT_FALSE(std::filesystem::exists(AgentPaths::pinnedUpdateKey()));
}

TEST(BundledProvisioningTest, FirstUsableCandidateWins) {
  testing::TempDir dir;
  std::vector<BundledProvisioning::Candidate> candidates = {
      {"sidecar", dir.file("missing.json")}, {"system", dir.file("system.json")}, {"user", dir.file("user.json")}};
  writeFile(dir.file("user.json"), R"({"server":"https://user"})");
  for (const char* skipped : {R"({"server": )", R"({"tenant":"T","url":""})"}) {
    writeFile(dir.file("system.json"), skipped);
    EXPECT_EQ(BundledProvisioning::find(candidates).value_or(FoundProvisioning{}).source, "user: " + dir.file("user.json"));
  }
  writeFile(dir.file("system.json"), R"({"srv":"https://system"})");
  EXPECT_EQ(BundledProvisioning::find(candidates).value_or(FoundProvisioning{}).source, "system: " + dir.file("system.json"));
  std::filesystem::remove(dir.file("system.json"));
  std::filesystem::remove(dir.file("user.json"));
  EXPECT_FALSE(BundledProvisioning::find(candidates));
}

// A document names the server, token and trust of a root daemon, so one that another
// user could have planted or changed is skipped, each with one warning saying why. One
// owned by another user is the daemon's first-start test.
TEST(BundledProvisioningTest, PlantedDocumentsAreSkippedWithTheReason) {
  ASSERT_EQ(::geteuid(), 0u) << "needs root to hand files to another user";
  testing::TempDir dir;
  const std::string good = R"({"server":"https://planted"})";
  auto findOnly = [](const std::string& path, std::string& log) {
    ::testing::internal::CaptureStderr();
    auto found = BundledProvisioning::find({{"sidecar", path}});
    log = ::testing::internal::GetCapturedStderr();
    return found;
  };
  std::string log;

  writeFile(dir.file("loose.json"), good);
  ::chmod(dir.file("loose.json").c_str(), 0664);
  std::filesystem::create_symlink(dir.file("loose.json"), dir.file("link.json"));
  ::mkfifo(dir.file("fifo.json").c_str(), 0600);
  const std::pair<const char*, const char*> refused[] = {
      {"loose.json", " is writable by group or others"},
      {"link.json", " is a symbolic link"},
      {"fifo.json", " is not a regular file"},
  };
  for (const auto& [name, why] : refused) {
    EXPECT_FALSE(findOnly(dir.file(name), log)) << name;
    EXPECT_THAT(log, HasSubstr("WARN: provisioning: ignoring the sidecar document: " +
                               dir.file(name) + why));
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  }

  // A directory anyone may write to: only a file of our own in a sticky one counts.
  std::string open = dir.file("open");
  std::filesystem::create_directory(open);
  writeFile(open + "/p.json", good);
  ::chmod(open.c_str(), 0777);
  EXPECT_FALSE(findOnly(open + "/p.json", log));
  EXPECT_THAT(log, HasSubstr(open + "/p.json lies in " + open + ", which others may write to"));
  ::chmod(open.c_str(), 01777);
  EXPECT_EQ(findOnly(open + "/p.json", log).value_or(FoundProvisioning{}).payload.server,
            "https://planted");
  EXPECT_EQ(log, "");
  ASSERT_EQ(::chown((open + "/p.json").c_str(), 65534, 65534), 0);
  EXPECT_FALSE(findOnly(open + "/p.json", log));

  // Missing documents stay silent.
  EXPECT_FALSE(findOnly(dir.file("absent.json"), log));
  EXPECT_EQ(log, "");
}

TEST(BundledProvisioningTest, RootConsultsTheUserLocationOnlyWithRootsOwnHome) {
  ASSERT_EQ(::geteuid(), 0u);
  auto labels = [] {
    std::vector<std::string> out;
    for (const auto& candidate : BundledProvisioning::candidatePaths()) out.push_back(candidate.label);
    return out;
  };
  testing::TempDir home;
  testing::ScopedEnv xdg("XDG_DATA_HOME", std::nullopt);
  {
    testing::ScopedEnv env("HOME", home.path());
    EXPECT_EQ(labels(), (std::vector<std::string>{"sidecar", "system"}));
  }
  testing::ScopedEnv env("HOME", platform::homeDirectoryOf(0));
  EXPECT_EQ(labels(), (std::vector<std::string>{"sidecar", "system", "user"}));
}

}  // namespace
}  // namespace vela
