#include "commands/command_poller.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "commands/commands_test_support.h"
#include "identity/csr_builder.h"
#include "identity/device_key.h"
#include "support/control_plane.h"
#include "util/canonical_json.h"
#include "util/json_scanner.h"

namespace vela {
namespace {

using Json = nlohmann::json;
using testing::ControlPlane;
using testing::LogCapture;
using testing::RecordingSystemActions;
using testing::ScopedStateDir;

JSONValue json(std::string_view text) { return JSONScanner::parse(text).value(); }

// One control plane and one enrolled agent for the suite; each test builds its poller
// over the same replay.json, as successive daemon runs would.
class PollerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    state_ = new ScopedStateDir();
    cp_ = new ControlPlane();
    trust_ = new PinnedTrust{PinnedTrust::parseCertificates(cp_->caPem()), {},
                             AgentCrypto::ed25519PublicKey(cp_->commandPublicKey()).value(),
                             AgentCrypto::ed25519PublicKey(cp_->updatePublicKey()).value(), ""};
    http_ = new HTTPClient(*trust_);

    auto key = DeviceKey::create().value();
    Json request = {{"token", cp_->newToken()},
                    {"hostname", "poller-test"},
                    {"public_key", key.publicKeyPEM().value()},
                    {"csr", CSRBuilder::makeCSRPEM("poller-test", key).value()}};
    auto reply = http_->postJSON(cp_->baseURL() + "/api/agent/enroll", request.dump()).value();
    ASSERT_EQ(reply.status, 201) << reply.bodyString();
    Json enrolled = Json::parse(reply.bodyString());
    agentID_ = new std::string(enrolled["agent_id"].get<std::string>());
    deviceToken_ = new std::string(enrolled["device_token"].get<std::string>());
  }
  static void TearDownTestSuite() {
    delete deviceToken_;
    delete agentID_;
    delete http_;
    delete trust_;
    delete cp_;
    delete state_;
  }

  void TearDown() override { cp_->clearFaults(); }

  CommandPoller makePoller() {
    CommandVerifier verifier(trust_->commandPublicKey, *agentID_, ReplayStore(), 300);
    CommandPoller poller(*http_, Endpoints{cp_->baseURL()}, AgentConfig{}, std::move(verifier),
                         *agentID_, *deviceToken_,
                         std::make_unique<RecordingSystemActions>(record_));
    return poller;
  }

  // A command signed by the control plane for `agentID` (its next sequence number).
  static std::string signedByControlPlane(const std::string& type, const std::string& payload,
                                          const std::string& agentID) {
    Json body = {{"agent_id", agentID}, {"type", type}, {"payload_json", payload}};
    auto reply = cp_->admin("POST", "/admin/sign", body.dump());
    EXPECT_EQ(reply.status, 200) << reply.body;
    return reply.body;
  }
  static std::string signedByControlPlane(const std::string& type, const std::string& payload) {
    return signedByControlPlane(type, payload, *agentID_);
  }
  static void answerPollWith(const std::string& body, int status = 200) {
    ControlPlane::Fault fault;
    fault.path = "/api/agent/commands";
    fault.status = status;
    fault.body = body;
    cp_->scriptFault(fault);
  }
  static Json resultFor(const std::string& commandID) {
    for (const auto& entry : Json::parse(cp_->results(*agentID_))) {
      if (entry["command_id"] == commandID) return entry["body"];
    }
    return nullptr;
  }

  static ScopedStateDir* state_;
  static ControlPlane* cp_;
  static PinnedTrust* trust_;
  static HTTPClient* http_;
  static std::string* agentID_;
  static std::string* deviceToken_;
  std::shared_ptr<RecordingSystemActions::Record> record_ =
      std::make_shared<RecordingSystemActions::Record>();
};

ScopedStateDir* PollerTest::state_ = nullptr;
ControlPlane* PollerTest::cp_ = nullptr;
PinnedTrust* PollerTest::trust_ = nullptr;
HTTPClient* PollerTest::http_ = nullptr;
std::string* PollerTest::agentID_ = nullptr;
std::string* PollerTest::deviceToken_ = nullptr;

TEST_F(PollerTest, BrokenSignatureSkipsOnlyThatCommand) {
  std::string first = cp_->queueCommand(*agentID_, "ping");
  std::string second = cp_->queueCommand(*agentID_, "ping", "{}", "signature");
  std::string third = cp_->queueCommand(*agentID_, "ping");
  LogCapture log;
  auto poller = makePoller();
  EXPECT_EQ(poller.pollOnce(), 2);

  EXPECT_EQ(resultFor(first)["status"], "done");
  EXPECT_TRUE(resultFor(second).is_null());
  EXPECT_EQ(resultFor(third)["exit_code"], 0);
  EXPECT_EQ(log.lines("WARN", "rejected command").size(), 1u);
  EXPECT_EQ(log.lines("WARN", "rejected command: Ed25519 signature verification failed").size(), 1u);
  EXPECT_EQ(log.lines("INFO", "executed command seq=").size(), 2u);

  // Nothing queued now: the control plane answers 204.
  EXPECT_EQ(poller.pollOnce(), 0);
}

TEST_F(PollerTest, ScriptsAndPingReportedByCommandId) {
  std::string both = cp_->queueCommand(
      *agentID_, "run_script",
      R"({"script":"printf out; printf err >&2","interpreter":"bash"})");
  std::string slow = cp_->queueCommand(
      *agentID_, "run_script", R"({"script":"sleep 20","interpreter":"sh","timeout_seconds":2})");
  std::string perl = cp_->queueCommand(*agentID_, "run_script",
                                       R"({"script":"print 1","interpreter":"perl"})");
  auto queued = cp_->admin("POST", "/admin/commands",
                           Json{{"agent_id", *agentID_}, {"type", "ping"}, {"id", "c-17"}}.dump());
  ASSERT_EQ(queued.status, 201) << queued.body;

  auto poller = makePoller();
  EXPECT_EQ(poller.pollOnce(), 4);

  EXPECT_EQ(resultFor(both).dump(),
            R"({"exit_code":0,"result":{"output":"out\n[stderr]\nerr","type":"run_script"},"status":"done"})");
  Json timedOut = resultFor(slow);
  EXPECT_EQ(timedOut["status"], "failed");
  EXPECT_EQ(timedOut["result"]["output"], "\n[timed out after 2s]");
  EXPECT_EQ(resultFor(perl)["exit_code"], 2);
  EXPECT_EQ(resultFor(perl)["result"]["output"],
            "run_script: interpreter 'perl' not allowed (zsh|bash|sh)");

  Json ping = resultFor("c-17");
  EXPECT_EQ(ping["status"], "done");
  EXPECT_EQ(ping["exit_code"], 0);
  EXPECT_EQ(ping["result"]["type"], "ping");
  bool posted = false;
  for (const auto& r : Json::parse(cp_->requests())) {
    posted |= r["method"] == "POST" && r["path"] == "/api/agent/commands/c-17/result";
  }
  EXPECT_TRUE(posted);
}

TEST_F(PollerTest, AcceptedBodyShapesAndStatuses) {
  auto poller = makePoller();
  LogCapture log;

  answerPollWith("ignored", 204);
  EXPECT_EQ(poller.pollOnce(), 0);
  answerPollWith(R"({"error":"no"})", 401);
  EXPECT_EQ(poller.pollOnce(), 0);
  EXPECT_EQ(log.lines("WARN", "command poll failed (HTTP 401)").size(), 1u);

  answerPollWith(R"({"data":[]})");
  EXPECT_EQ(poller.pollOnce(), 0);
  answerPollWith(R"({"data":{"type":"ping"}})");
  EXPECT_EQ(poller.pollOnce(), 0);

  answerPollWith(signedByControlPlane("ping", "{}"));  // a bare command object
  EXPECT_EQ(poller.pollOnce(), 1);
  std::string lower = signedByControlPlane("ping", "{}");
  std::string higher = signedByControlPlane("ping", "{}");
  answerPollWith("[" + lower + "," + higher + "]");
  EXPECT_EQ(poller.pollOnce(), 2);

  std::string a = signedByControlPlane("policy_push", R"({"order":"first"})");
  std::string b = signedByControlPlane("policy_push", R"({"order":"second"})");
  answerPollWith(R"({"commands":[)" + a + "," + b + "]}");
  EXPECT_EQ(poller.pollOnce(), 2);
  EXPECT_EQ(testing::readFileOrEmpty(state_->file("policy.json")), R"({"order":"second"})");
  // The same two again are replays now.
  answerPollWith(R"({"data":[)" + a + "," + b + "]}");
  EXPECT_EQ(poller.pollOnce(), 0);
  EXPECT_EQ(log.lines("WARN", "rejected command: sequence_no").size(), 2u);
}

TEST_F(PollerTest, HostileBodiesFailThePollOrTheCommandOnly) {
  auto poller = makePoller();
  LogCapture log;

  answerPollWith(std::string(100000, '[') + std::string(100000, ']'));
  auto deep = poller.pollOnce();
  ASSERT_FALSE(deep);
  EXPECT_EQ(deep.error().description(), "tooDeep(129)");

  answerPollWith(R"({"data":[1)");
  EXPECT_FALSE(poller.pollOnce());

  answerPollWith(R"({"data":[1,"x",null,{"type":5},{"sequence_no":1e400}]})");
  EXPECT_EQ(poller.pollOnce(), 0);
  EXPECT_EQ(log.lines("WARN", "failed to handle command: command is not a JSON object").size(), 3u);
  EXPECT_EQ(log.lines("WARN", "failed to handle command: command missing field").size(), 2u);

  // A large list of garbage is worked through without harm.
  std::string many = "[";
  for (int i = 0; i < 3000; ++i) many += (i ? "," : "") + std::string(R"({"type":"ping"})");
  answerPollWith(many + "]");
  EXPECT_EQ(poller.pollOnce(), 0);

  // A correctly shaped command that would leave a trace runs only with a good signature.
  std::string marker = state_->file("ran");
  std::string script = R"({"script":"touch )" + marker + R"(","interpreter":"sh"})";
  Json forged = Json::parse(signedByControlPlane("run_script", script));
  forged["payload"]["script"] = "touch " + marker + "-forged";
  answerPollWith(Json{{"data", {forged}}}.dump());
  EXPECT_EQ(poller.pollOnce(), 0);
  EXPECT_FALSE(std::filesystem::exists(marker + "-forged"));

  answerPollWith(Json{{"data", {Json::parse(signedByControlPlane("run_script", script))}}}.dump());
  EXPECT_EQ(poller.pollOnce(), 1);
  EXPECT_TRUE(std::filesystem::exists(marker));
}

TEST_F(PollerTest, FailedReportIsLoggedAndDropped) {
  std::string id = cp_->queueCommand(*agentID_, "ping");
  ControlPlane::Fault fault;
  fault.path = "/api/agent/commands/" + id + "/result";
  fault.status = 500;
  cp_->scriptFault(fault);
  LogCapture log;
  auto poller = makePoller();
  EXPECT_EQ(poller.pollOnce(), 1);
  auto warned = log.lines("WARN", "result report failed (HTTP 500) for seq=");
  EXPECT_EQ(warned.size(), 1u);

  // Without an id the result goes to the plain result path.
  CommandResult anonymous{*agentID_, std::nullopt, 1, "ping", 3, "r", "2026-01-31T12:00:00Z"};
  EXPECT_TRUE(poller.reportResult(anonymous));
  bool plain = false;
  for (const auto& r : Json::parse(cp_->results(*agentID_))) {
    plain |= r["command_id"].is_null() && r["body"]["status"] == "failed" &&
             r["body"]["exit_code"] == 3;
  }
  EXPECT_TRUE(plain);
  EXPECT_EQ(poller.bearer(), (HTTPClient::Headers{{"Authorization", "Bearer " + *deviceToken_}}));
}

TEST_F(PollerTest, ControlPlaneSignaturesVerifyAcrossImplementations) {
  // Payload texts where two canonical writers could disagree: key order by bytes,
  // non-ASCII keys, escapes, and number texts kept as written.
  const std::string payload =
      R"({"é":"\u0001\"\\\/\n\t","Z":1.50,"a":-0,"ab":[1E+3,true,null,0.1e-2],)"
      R"("😀":"\ud83d\ude00\u2028","B":{"":{}},"ß":"\u007f"})";
  ScopedStateDir other;  // a separate replay state: these agents are not enrolled
  CommandVerifier verifier(trust_->commandPublicKey, "cross-agent", ReplayStore(), 300);
  auto wire = json(signedByControlPlane("policy_push", payload, "cross-agent"));
  auto command = IncomingCommand::parse(wire, "cross-agent").value();
  EXPECT_EQ(*command.payload["Z"]->numberText(), "1.50");
  auto accepted = verifier.verifyAndAccept(command, std::chrono::system_clock::now());
  EXPECT_TRUE(accepted) << accepted.error().description() << "\n"
                        << toString(command.canonicalSignedBytes);

  // Signed for another agent: this agent's id in the signed bytes breaks it.
  auto forOther = json(signedByControlPlane("ping", "{}", "someone-else"));
  auto misdelivered = IncomingCommand::parse(forOther, "cross-agent").value();
  auto refused = verifier.verifyAndAccept(misdelivered, std::chrono::system_clock::now());
  ASSERT_FALSE(refused);
  ASSERT_NE(refused.error().rejection(), nullptr);
  EXPECT_EQ(refused.error().rejection()->kind(), CommandVerifier::Rejection::Kind::badSignature);
}

TEST(CommandArrayTest, FirstApplicableShapeWins) {
  auto count = [](std::string_view body) { return CommandPoller::commandArray(json(body)).size(); };
  EXPECT_EQ(count(R"({"data":[1,2],"commands":[1],"type":"x"})"), 2u);
  EXPECT_EQ(count(R"({"data":{},"commands":[1,2,3]})"), 3u);
  EXPECT_EQ(count(R"({"data":{},"commands":{},"type":null})"), 1u);
  EXPECT_EQ(count(R"({"other":[1]})"), 0u);
  EXPECT_EQ(count("[1,2,3,4]"), 4u);
  EXPECT_EQ(count("\"text\""), 0u);
  EXPECT_EQ(count("12"), 0u);
}

TEST(CommandResultTest, ReportBodyIsCanonical) {
  CommandResult done{"a", "c-1", 1, "ping", 0, "pong \"x\"", "t"};
  EXPECT_EQ(CanonicalJSON::encode(done.reportBody()),
            R"({"exit_code":0,"result":{"output":"pong \"x\"","type":"ping"},"status":"done"})");
  CommandResult failed{"a", std::nullopt, 1, "run_script", -1, "", "t"};
  EXPECT_EQ(CanonicalJSON::encode(failed.reportBody()),
            R"({"exit_code":-1,"result":{"output":"","type":"run_script"},"status":"failed"})");
}

}  // namespace
}  // namespace vela
