#include "commands/command_poller.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "commands/commands_test_support.h"
#include "support/enrolled_agent.h"
#include "support/peak_memory.h"
#include "util/json_scanner.h"

namespace vela {
namespace {

using Json = nlohmann::json;
using testing::LogCapture;

class PollerTest : public testing::ControlPlaneSuite {
 protected:
  CommandPoller poller() {
    return CommandPoller(http_, Endpoints{cp_->baseURL()}, AgentConfig{},
                         CommandVerifier(trust_.commandPublicKey, agent_, ReplayStore(), 300),
                         agent_, enrolled().deviceToken,
                         std::make_unique<testing::RecordingSystemActions>(
                             std::make_shared<testing::Recorded>()));
  }
  // Signed by the control plane with its own canonical JSON, for `agent`.
  std::string signedByControlPlane(const std::string& type, const std::string& payload,
                                   const std::string& agent = enrolled().agentID) {
    auto reply = cp_->admin(
        "POST", "/admin/sign",
        Json{{"agent_id", agent}, {"type", type}, {"payload_json", payload}}.dump());
    EXPECT_EQ(reply.status, 200) << reply.body;
    return reply.body;
  }
  void answerPollWith(const std::string& body, int status = 200) {
    cp_->scriptFault({.path = "/api/agent/commands", .status = status, .body = body});
  }
  Json resultFor(const std::string& commandID) {
    for (const auto& entry : Json::parse(cp_->results(agent_))) {
      if (entry["command_id"] == commandID) return entry["body"];
    }
    return nullptr;
  }

  const std::string& agent_ = enrolled().agentID;
};

TEST_F(PollerTest, ABrokenSignatureSkipsOnlyThatCommand) {
  std::string first = cp_->queueCommand(agent_, "ping");
  // A command that would leave a trace runs only with a good signature.
  std::string marker = state_.file("ran");
  std::string second = cp_->queueCommand(
      agent_, "run_script", R"({"script":"touch )" + marker + R"(","interpreter":"sh"})", "signature");
  std::string third = cp_->queueCommand(agent_, "ping");
  LogCapture log;
  auto p = poller();
  EXPECT_EQ(p.pollOnce(), 2);
  EXPECT_EQ(resultFor(first)["status"], "done");
  EXPECT_TRUE(resultFor(second).is_null());
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_EQ(resultFor(third)["exit_code"], 0);
  EXPECT_EQ(log.count("WARN", "rejected command"), 1);
  EXPECT_EQ(log.count("WARN", "rejected command: Ed25519 signature verification failed"), 1);
  EXPECT_EQ(log.count("INFO", "executed command seq="), 2);
}

// The id is not covered by the signature; a hostile one must not steer the report to
// another path of the server ("../../../x" once posted to /x/result). What a script's
// result holds is the executor's test.
TEST_F(PollerTest, ScriptsAndPingAreReportedByCommandIdUnderTheCommandsPath) {
  std::string both = cp_->queueCommand(
      agent_, "run_script", R"({"script":"printf out; printf err >&2","interpreter":"bash"})");
  std::string slow = cp_->queueCommand(
      agent_, "run_script", R"({"script":"sleep 20","interpreter":"sh","timeout_seconds":2})");
  for (const char* id : {"c-17", "../../../x"}) {
    auto body = Json{{"agent_id", agent_}, {"type", "ping"}, {"id", id}}.dump();
    ASSERT_EQ(cp_->admin("POST", "/admin/commands", body).status, 201);
  }
  EXPECT_EQ(poller().pollOnce(), 4);

  EXPECT_EQ(resultFor(both).dump(),
            R"({"exit_code":0,"result":{"output":"out\n[stderr]\nerr","type":"run_script"},"status":"done"})");
  EXPECT_EQ(resultFor(slow)["status"], "failed");
  EXPECT_EQ(resultFor(slow)["result"]["output"], "\n[timed out after 2s]");
  // The control plane files a result under the id of the path it was posted to.
  EXPECT_EQ(resultFor("c-17")["exit_code"], 0);
  EXPECT_EQ(resultFor("../../../x")["status"], "done");
}

TEST_F(PollerTest, BodyShapesStatusesAndFailedReports) {
  auto p = poller();
  LogCapture log;
  answerPollWith("not even JSON", 204);
  EXPECT_EQ(p.pollOnce(), 0);
  answerPollWith(R"({"data":[1]})", 401);
  EXPECT_EQ(p.pollOnce(), 0);
  EXPECT_EQ(log.count("WARN", "command poll failed (HTTP 401)"), 1);
  answerPollWith(R"({"data":{"type":"ping"}})");
  EXPECT_EQ(p.pollOnce(), 0);
  answerPollWith(signedByControlPlane("ping", "{}"));  // a bare command object
  EXPECT_EQ(p.pollOnce(), 1);
  std::string a = signedByControlPlane("policy_push", R"({"order":"first"})");
  std::string b = signedByControlPlane("policy_push", R"({"order":"second"})");
  answerPollWith("[" + a + "," + b + "]");
  EXPECT_EQ(p.pollOnce(), 2);
  EXPECT_EQ(testing::readFileOrEmpty(state_.file("policy.json")), R"({"order":"second"})");
  answerPollWith(R"({"commands":[)" + a + "," + b + "]}");  // replays now
  EXPECT_EQ(p.pollOnce(), 0);
  EXPECT_EQ(log.count("WARN", "rejected command: sequence_no"), 2);

  std::string id = cp_->queueCommand(agent_, "ping");
  cp_->scriptFault({.path = "/api/agent/commands/" + id + "/result", .status = 500});
  EXPECT_EQ(p.pollOnce(), 1);
  EXPECT_EQ(log.count("WARN", "result report failed (HTTP 500) for seq="), 1);
}

// How the cap meets compressed and streamed bodies is the HTTPS client's test; here
// that a poll applies the command-poll limit, and still undoes compression within it.
TEST_F(PollerTest, HostileBodiesFailThePollOrOneCommandOnly) {
  auto p = poller();
  LogCapture log;
  answerPollWith(std::string(100000, '[') + std::string(100000, ']'));
  auto deep = p.pollOnce();
  ASSERT_FALSE(deep);
  EXPECT_EQ(deep.error().description(), "tooDeep(129)");
  answerPollWith(std::string(5u << 20, ' ') + "[]");
  auto plain = p.pollOnce();
  ASSERT_FALSE(plain);
  EXPECT_EQ(plain.error().description(),
            "transport error: reply body exceeds the 4194304-byte limit for this call; transfer aborted");

  // A million items, compressed: the first 1000 are handled, the rest logged once.
  std::string junk = R"({"data":[1,"x",null,{"type":5},{"sequence_no":1e400})";
  for (int i = 5; i < 1'000'000; ++i) junk += ",{}";
  cp_->scriptFault({.path = "/api/agent/commands", .status = 200,
                    .body = testing::gzip(junk + "]}"), .contentEncoding = "gzip"});
  EXPECT_EQ(p.pollOnce(), 0);
  EXPECT_EQ(log.count("WARN", "command poll returned 1000000 commands; handling the first 1000, ignoring 999000"), 1);
  EXPECT_EQ(log.count("WARN", "failed to handle command: command is not a JSON object"), 3);
  EXPECT_EQ(log.count("WARN", "failed to handle command: command missing field"), 997);
}

// What escaping costs (NUL bytes six each) is the result-output test's.
TEST_F(PollerTest, EndlessOutputIsCappedAndStillAccepted) {
  std::string yes = cp_->queueCommand(agent_, "run_script", R"({"script":"timeout 10 yes","interpreter":"sh"})");
  LogCapture log;
  testing::resetPeakRSS();
  const auto before = testing::peakRSSBytes();
  EXPECT_EQ(poller().pollOnce(), 1);
#if defined(__SANITIZE_ADDRESS__)
  constexpr std::size_t kGrowthBound = 64u << 20;  // the sanitizer's shadow and quarantine
#else
  constexpr std::size_t kGrowthBound = 24u << 20;
#endif
  EXPECT_LT(testing::peakRSSBytes() - before, kGrowthBound);
  EXPECT_EQ(log.count("WARN", "/bin/sh wrote more than 1048576 bytes to a stream"), 1);
  EXPECT_EQ(log.count("WARN", "run_script output over the result limit"), 1);

  Json report = resultFor(yes);
  ASSERT_FALSE(report.is_null()) << "result not accepted";
  // How much is kept is the result-output test's; here that it arrives intact.
  std::string output = report["result"]["output"];
  EXPECT_TRUE(output.starts_with("[output truncated: ")) << output.substr(0, 80);
  std::string kept = output.substr(output.find('\n') + 1);
  EXPECT_GT(kept.size(), 100'000u);
  EXPECT_EQ(kept.find_first_not_of("y\n"), std::string::npos);
}

TEST_F(PollerTest, ControlPlaneSignaturesVerifyAcrossImplementations) {
  // Where two canonical writers could disagree: byte order of keys, non-ASCII keys,
  // escapes, and number texts kept as written.
  const std::string payload =
      R"({"é":"\u0001\"\\\/\n\t","Z":1.50,"a":-0,"ab":[1E+3,true,null,0.1e-2],)"
      R"("😀":"\ud83d\ude00\u2028","B":{"":{}},"ß":"\u007f"})";
  CommandVerifier verifier(trust_.commandPublicKey, "cross-agent", ReplayStore(), 300);
  auto parse = [](const std::string& text) {
    return IncomingCommand::parse(JSONScanner::parse(text).value(), "cross-agent").value();
  };
  auto command = parse(signedByControlPlane("policy_push", payload, "cross-agent"));
  auto accepted = verifier.verifyAndAccept(command, std::chrono::system_clock::now());
  EXPECT_TRUE(accepted) << accepted.error().description() << "\n"
                        << toString(command.canonicalSignedBytes);

  auto misdelivered = parse(signedByControlPlane("ping", "{}", "someone-else"));
  auto refused = verifier.verifyAndAccept(misdelivered, std::chrono::system_clock::now());
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().rejection()->kind(), CommandVerifier::Rejection::Kind::badSignature);
}

}  // namespace
}  // namespace vela
