// Self-update against the test control plane: the check, the pinned-key rule, the
// download checks in their order, and the swap with its backup.

#include "update/update_checker.h"

#include <gmock/gmock.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "config/agent_config.h"
#include "platform/file_io.h"
#include "update/binary_swap.h"
#include "support/background_process.h"
#include "support/build_paths.h"
#include "support/control_plane.h"
#include "support/enrolled_agent.h"
#include "support/peak_memory.h"
#include "support/temp_dir.h"

namespace vela {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using testing::ControlPlane;

UpdateManifest manifestFrom(const std::string& json) {
  auto j = nlohmann::json::parse(json);
  if (!j.contains("manifest")) j = {{"manifest", j}};
  j["update_available"] = true;
  return *UpdateCheckResponse::decode(j.dump()).value().manifest;
}

// The error's text, or "ok".
template <typename R>
std::string failure(const R& result) {
  return result ? "ok" : result.error().message;
}

class UpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cp_.pinInto(state_.path());
    trust_ = PinnedTrust::load().value();
  }

  UpdateChecker checker() { return UpdateChecker(cp_.baseURL(), *trust_); }

  ControlPlane cp_;
  testing::ScopedStateDir state_;
  std::optional<PinnedTrust> trust_;
};

// The signed text is checked against the control plane's own signatures below.
TEST(UpdateManifestTest, CheckReplyDecoding) {
  auto noManifest = UpdateCheckResponse::decode(R"({"update_available": true, "extra": 1})");
  ASSERT_TRUE(noManifest);
  EXPECT_FALSE(noManifest->manifest);

  // Found by fuzzing: a size above the signed range wrapped to a negative one.
  auto withSize = [](const std::string& size) {
    return UpdateCheckResponse::decode(
        R"({"update_available": true, "manifest": {"version": "0.2.0", "channel": "stable", "os": "linux",)"
        R"( "arch": "amd64", "sha256": "ab01", "signature": "", "public_key": "", "download_url": "https://h/a",)"
        R"( "size_bytes": )" + size + "}}");
  };
  EXPECT_EQ(failure(withSize("18446744073709551615")),
            "update manifest: key \"size_bytes\" missing or not an integer");
  EXPECT_EQ(failure(withSize("1, \"version\": null")), "update manifest: key \"version\" missing or not a string");
  auto largest = withSize("9223372036854775807");
  ASSERT_TRUE(largest) << largest.error().message;
  EXPECT_EQ(largest->manifest->size_bytes, INT64_MAX);
}

TEST_F(UpdateTest, CheckFollowsTheServerAndTheSignatureBindsTheSignedFields) {
  auto none = checker().check("stable", "0.1.0");
  ASSERT_TRUE(none) << none.error().message;
  EXPECT_FALSE(*none);

  UpdateManifest published = manifestFrom(cp_.publishUpdate("0.2.0", VELA_FAKE_BUILD));
  auto offered = checker().check("stable", "0.1.0");
  ASSERT_TRUE(offered) << offered.error().message;
  ASSERT_TRUE(*offered);
  EXPECT_EQ((*offered)->version, "0.2.0");
  EXPECT_THAT(cp_.requests(), HasSubstr("\"query\":\"os=linux&arch="));
  EXPECT_THAT(cp_.requests(), HasSubstr("&channel=stable&current_version=0.1.0\""));

  UpdateChecker c = checker();
  UpdateManifest unsignedFields = published;
  unsignedFields.download_url = "https://elsewhere.example/x";
  unsignedFields.public_key = "  " + trust_->updatePublicKeyBase64 + "\n";
  EXPECT_TRUE(c.verifyManifestSignature(unsignedFields));
  // The other signed fields are bound by the control plane's signature verifying at all.
  for (auto alter : std::vector<std::function<void(UpdateManifest&)>>{
           [](UpdateManifest& m) { m.version = "0.2.1"; },
           [](UpdateManifest& m) { m.sha256[0] = m.sha256[0] == 'a' ? 'b' : 'a'; },
           [](UpdateManifest& m) { m.size_bytes += 1; },
           [](UpdateManifest& m) { m.signature.insert(8, "\n"); },
           [](UpdateManifest& m) { m.signature += "\n"; }}) {
    UpdateManifest m = published;
    alter(m);
    EXPECT_EQ(failure(c.verifyManifestSignature(m)),
              "update manifest signature failed pinned-key verification");
  }

  cp_.admin("DELETE", "/admin/updates");
  cp_.publishUpdate("0.2.0", VELA_FAKE_BUILD, "stable", "key");
  EXPECT_EQ(failure(checker().check("stable", "0.1.0")),
            "update manifest signature failed pinned-key verification");

  cp_.scriptFault({.path = "/api/agent/update/check", .status = 500, .body = "<html>oops</html>"});
  EXPECT_EQ(failure(checker().check("stable", "0.1.0")), "update check failed (HTTP 500)");
}

TEST_F(UpdateTest, DownloadChecksSizeThenHashThenTheExecutable) {
  UpdateChecker c = checker();
  auto downloaded = [&](const std::string& file, const std::string& tamper) {
    cp_.admin("DELETE", "/admin/updates");
    return c.downloadAndVerify(manifestFrom(cp_.publishUpdate("0.2.0", file, "stable", tamper)));
  };
  auto length = fs::file_size(VELA_FAKE_BUILD);
  EXPECT_EQ(failure(downloaded(VELA_FAKE_BUILD, "size")),
            "binary size mismatch: expected " + std::to_string(length + 1) + ", got " +
                std::to_string(length));
  EXPECT_THAT(failure(downloaded(VELA_FAKE_BUILD, "sha256")),
              StartsWith("binary sha256 mismatch: expected "));
  EXPECT_FALSE(fs::exists(state_.file("update-0.2.0.staged")));

  testing::TempDir scratch;
  testing::writeFile(scratch.file("script"), "#!/bin/sh\necho 0.2.0\n");
  EXPECT_THAT(failure(downloaded(scratch.file("script"), "")),
              StartsWith("Gatekeeper/code-signature check failed: codesign --verify: "));
  EXPECT_THAT(failure(downloaded(testing::agentExe(), "")),  // prints 0.1.0
              HasSubstr("does not satisfy pinned signing requirement: "));

  auto staged = downloaded(VELA_FAKE_BUILD, "");
  ASSERT_TRUE(staged) << staged.error().message;
  EXPECT_EQ(*staged, state_.file("update-0.2.0.staged"));
  EXPECT_EQ(platform::fileMode(*staged).value(), 0755u);
}

TEST_F(UpdateTest, AnArtifactLargerThanSignedStopsTheDownloadEarly) {
  UpdateManifest manifest = manifestFrom(cp_.publishUpdate("0.2.0", VELA_FAKE_BUILD));
  const auto length = static_cast<std::int64_t>(fs::file_size(VELA_FAKE_BUILD));
  // 256 MiB served where the signed size promises the fake build's few kilobytes.
  const std::string artifact = manifest.download_url.substr(manifest.download_url.find("/downloads/"));
  cp_.scriptFault({.path = artifact, .status = 200, .body = std::string(64 * 1024, 'x'), .repeat = 4096});
  testing::resetPeakRSS();
  const auto before = testing::peakRSSBytes();
  const std::string oversized = failure(checker().downloadAndVerify(manifest));
  EXPECT_LT(testing::peakRSSBytes() - before, 16u << 20);
  const std::string prefix = "binary size mismatch: expected " + std::to_string(length) + ", got ";
  ASSERT_THAT(oversized, StartsWith(prefix));
  auto got = std::stoll(oversized.substr(prefix.size()));
  EXPECT_GT(got, length);
  EXPECT_LE(got, length + (1 << 20));
  for (const auto& entry : fs::directory_iterator(state_.path())) {
    EXPECT_FALSE(entry.path().filename().string().starts_with("update-")) << entry.path();
  }

  // Bytes are hashed as served: a compressed artifact is not inflated on the way.
  cp_.scriptFault({.path = artifact, .status = 200, .body = testing::readFileOrEmpty(VELA_FAKE_BUILD),
                   .contentEncoding = "gzip"});
  EXPECT_EQ(failure(checker().downloadAndVerify(manifest)), "ok");
}

TEST_F(UpdateTest, AKillAtAnyStepOfTheSwapLeavesAWholeBuildThatRuns) {
  testing::TempDir dir;
  // Larger than one copy block, so that a copy can be caught half done.
  auto build = [](const std::string& word) {
    return "#!/bin/sh\necho " + word + "\nexit 0\n#" + std::string(200000, word[0]) + "\n";
  };
  const std::string oldBuild = build("old");
  const std::string newBuild = build("new");
  const std::string installed = dir.file("vela-agent");
  const std::string backup = installed + ".previous";
  const std::string staged = dir.file("staged");
  for (std::size_t n = 0; n < BinarySwap::kSteps.size(); ++n) {
    const std::string_view stop = BinarySwap::kSteps[n];
    SCOPED_TRACE(std::string(stop));
    testing::writeFile(installed, oldBuild);
    ::chmod(installed.c_str(), 0755);
    fs::remove(backup);
    testing::writeFile(staged, newBuild);
    pid_t child = ::fork();
    if (child == 0) {
      UpdateChecker c("https://127.0.0.1:1", *trust_);
      c.setSwapStepHookForTesting([stop](std::string_view step) { if (step == stop) ::raise(SIGKILL); });
      (void)c.swapBinary(staged, installed);
      ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;

    const bool replaced = n >= 4;
    EXPECT_EQ(testing::readFileOrEmpty(installed), replaced ? newBuild : oldBuild);
    EXPECT_EQ(testing::runProcess(installed, {}).out, replaced ? "new\n" : "old\n");
    if (fs::exists(backup)) {
      EXPECT_EQ(testing::readFileOrEmpty(backup), oldBuild);
    }
    EXPECT_EQ(fs::exists(backup), n >= 3);

    // The next attempt completes from whatever the killed one left.
    if (fs::exists(staged)) {
      ASSERT_TRUE(checker().swapBinary(staged, installed));
      EXPECT_EQ(testing::runProcess(installed, {}).out, "new\n");
    }
  }

  // A swap with nothing installed to back up leaves no older backup standing in.
  fs::remove(installed);
  testing::writeFile(backup, "stale");
  testing::writeFile(staged, newBuild);
  ASSERT_TRUE(checker().swapBinary(staged, installed));
  EXPECT_FALSE(fs::exists(backup));
}

// A whole swap and its backup: the production-path daemon test below.
TEST_F(UpdateTest, ARefusedRenameLeavesTheInstalledBuild) {
  // In a sticky directory an unprivileged process may add files but not replace one it
  // does not own, so only the final rename fails.
  testing::TempDir sticky;
  ::chmod(sticky.path().c_str(), 01777);
  std::string target = sticky.file("vela-agent");
  fs::copy_file(testing::agentExe(), target);
  std::string stagedAgain = sticky.file("staged");
  fs::copy_file(VELA_FAKE_BUILD, stagedAgain);
  ::chmod(stagedAgain.c_str(), 0644);
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(90);
    auto r = UpdateChecker("https://127.0.0.1:1", *trust_).swapBinary(stagedAgain, target);
    ::_exit(!r && r.error().message == "download failed: atomic replace failed: Operation not permitted" ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(testing::runProcess(target, {"version"}).out, "0.1.0\n");
  for (const auto& entry : fs::directory_iterator(sticky.path())) {
    EXPECT_EQ(entry.path().filename().string().find(".new-"), std::string::npos);
  }
}

// A daemon that checks every second: run from the build folder it warns once and never
// downloads; installed under a production path it swaps in the published build.
TEST_F(UpdateTest, DaemonInstallsThePublishedBuildOnlyFromAProductionPath) {
  AgentConfig config = testing::unenrolledConfig(cp_);
  config.updateCheckIntervalSeconds = 1;
  ASSERT_TRUE(config.save());
  cp_.publishUpdate("0.2.0", VELA_FAKE_BUILD);
  {
    testing::BackgroundProcess agent(testing::agentExe(), {"run"});
    std::string warning =
        "WARN: update 0.2.0 available but install path is non-production; not downloading. Run "
        "from /usr/local or /opt to auto-update.\n";
    auto checks = [&] {
      auto requests = nlohmann::json::parse(cp_.requests());
      return std::ranges::count_if(
          requests, [](const auto& r) { return r["path"] == "/api/agent/update/check"; });
    };
    ASSERT_TRUE(testing::BackgroundProcess::waitUntil([&] { return checks() >= 3; })) << agent.err();
    EXPECT_EQ(agent.stop(SIGTERM), 0);
    std::string log = agent.err();
    auto first = log.find(warning);
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find(warning, first + 1), std::string::npos);
    EXPECT_THAT(cp_.requests(), Not(HasSubstr("/downloads/")));
  }

  std::string root = "/opt/vela-update-test-" + std::to_string(::getpid());
  std::error_code ec;
  fs::create_directories(root, ec);
  if (ec) GTEST_SKIP() << "cannot create " << root << ": " << ec.message();
  std::string installed = root + "/vela-agent";
  fs::copy_file(testing::agentExe(), installed);
  testing::BackgroundProcess agent(installed, {"run"});
  int status = agent.wait();
  std::string log = agent.err();
  std::string version = testing::runProcess(installed, {"version"}).out;
  std::string previous = testing::runProcess(installed + ".previous", {"version"}).out;
  fs::remove_all(root, ec);

  EXPECT_EQ(status, 0) << log;
  EXPECT_EQ(version, "0.2.0\n");
  EXPECT_EQ(previous, "0.1.0\n");
  EXPECT_THAT(log, HasSubstr("INFO: update available: 0.2.0\n"));
  EXPECT_THAT(log, HasSubstr("INFO: Update applied to " + installed +
                             "; exiting for systemd relaunch\n"));
  EXPECT_FALSE(fs::exists(state_.file("update-0.2.0.staged")));
}

}  // namespace
}  // namespace vela
