#include "commands/command_verifier.h"

#include <gtest/gtest.h>

#include <limits>

#include "commands/commands_test_support.h"
#include "util/json_scanner.h"

namespace vela {
namespace {

using testing::signedCommand;
using testing::WireFields;
using Kind = CommandVerifier::Rejection::Kind;

JSONValue json(std::string_view text) { return JSONScanner::parse(text).value(); }

TEST(IncomingCommandTest, FirstProblemInFixedOrderWins) {
  const std::pair<const char*, const char*> cases[] = {
      {"[]", "command is not a JSON object"},
      {R"({"signature":1,"type":1,"issued_at":1,"nonce":1})", "command missing field 'sequence_no'"},
      {R"({"sequence_no":1,"nonce":2,"issued_at":3,"type":"t"})", "command missing field 'signature'"},
      {R"({"sequence_no":5.0,"nonce":2,"issued_at":"3","type":4,"signature":5})", "sequence_no not an integer"},
      {R"({"sequence_no":5,"nonce":2,"issued_at":"3","type":4,"signature":5})", "nonce not a string"},
      {R"({"sequence_no":5,"nonce":"n","issued_at":1e3,"type":4,"signature":5})", "issued_at not an integer"},
      {R"({"sequence_no":5,"nonce":"n","issued_at":3,"type":4,"signature":5})", "type not a string"},
      {R"({"sequence_no":5,"nonce":"n","issued_at":3,"type":"t","signature":5})", "signature not a string"},
  };
  for (auto [text, message] : cases) {
    auto parsed = IncomingCommand::parse(json(text), "a");
    ASSERT_FALSE(parsed) << text;
    EXPECT_EQ(parsed.error().description(), message);
  }
}

TEST(IncomingCommandTest, SignedBytesCarryCallerIdAndTextsAsReceived) {
  auto c = IncomingCommand::parse(
      json(R"({"agent_id":"evil","sequence_no":0010,"nonce":"n\u00e9","issued_at":-0,)"
           R"("type":"ping","signature":"s","id":7,"command_id":"c-9",)"
           R"("payload":{"z":[1.50,{"b":"\/\u0001"}],"A":null}})"),
      "me");
  ASSERT_TRUE(c);
  EXPECT_EQ(toString(c->canonicalSignedBytes),
            "{\"agent_id\":\"me\",\"issued_at\":-0,\"nonce\":\"n\xC3\xA9\",\"payload\":{\"A\":null,"
            "\"z\":[1.50,{\"b\":\"/\\u0001\"}]},\"sequence_no\":0010,\"type\":\"ping\"}");
  EXPECT_EQ(c->sequenceNo, 10);
  EXPECT_EQ(c->commandID, "c-9");  // a numeric id does not count
}

class VerifierTest : public ::testing::Test {
 protected:
  CommandVerifier verifier(std::string file = "replay.json") {
    return CommandVerifier(signer_.publicKey(), "agent-1", ReplayStore(state_.file(file)), 300);
  }
  IncomingCommand command(WireFields f, const std::string& receiver = "agent-1") {
    return IncomingCommand::parse(signedCommand(signer_, f), receiver).value();
  }
  static std::chrono::system_clock::time_point at(std::int64_t seconds) {
    return std::chrono::system_clock::time_point(std::chrono::seconds(seconds));
  }
  // The rejection text, "accepted", or "error: " + a persistence failure.
  static std::string outcome(CommandVerifier& v, const IncomingCommand& c,
                             std::chrono::system_clock::time_point now) {
    auto r = v.verifyAndAccept(c, now);
    if (r) return "accepted";
    return (r.error().rejection() ? "" : "error: ") + r.error().description();
  }

  testing::ScopedStateDir state_;
  testing::TestSigner signer_;
};

TEST_F(VerifierTest, ChecksInOrderWithTheirTexts) {
  auto v = verifier();
  const std::int64_t now = 1'700'000'000;
  auto misaddressed = command({.issuedAt = now - 999}, "agent-2");
  misaddressed.signatureBase64 = "AAAA";
  EXPECT_EQ(outcome(v, misaddressed, at(now)), "command addressed to agent-2, not agent-1");
  auto unsigned_ = command({.issuedAt = now - 999});
  unsigned_.signatureBase64 = "not base64!";
  EXPECT_EQ(outcome(v, unsigned_, at(now)), "Ed25519 signature verification failed");
  EXPECT_EQ(outcome(v, command({.issuedAt = now - 301}), at(now) + std::chrono::milliseconds(999)),
            "issued_at 1699999699 outside ±300s of now 1700000000");
  EXPECT_EQ(outcome(v, command({.issuedAt = now + 301}), at(now)),
            "issued_at 1700000301 outside ±300s of now 1700000000");
  EXPECT_EQ(outcome(v, command({.sequenceNo = 7, .nonce = "a", .issuedAt = now - 300}), at(now)),
            "accepted");
  EXPECT_EQ(outcome(v, command({.sequenceNo = 7, .nonce = "b", .issuedAt = now + 300}), at(now)),
            "sequence_no 7 ≤ high-water 7 (replay/old)");
  EXPECT_EQ(outcome(v, command({.sequenceNo = 8, .nonce = "a", .issuedAt = now}), at(now)),
            "nonce already seen: a");
}

// A command signed for another agent is the poller's cross-implementation test.
TEST_F(VerifierTest, SignatureCoversEveryField) {
  auto v = verifier();
  auto now = std::chrono::system_clock::now();
  auto tampered = signedCommand(signer_, {.payloadJSON = R"({"a":1})"});
  tampered.set("payload", json(R"({"a":1.0})"));
  EXPECT_EQ(outcome(v, IncomingCommand::parse(tampered, "agent-1").value(), now),
            "Ed25519 signature verification failed");
  auto padded = signedCommand(signer_, {});
  padded.set("signature", " " + *padded["signature"]->stringRef() + "\r\n");
  EXPECT_EQ(outcome(v, IncomingCommand::parse(padded, "agent-1").value(), now), "accepted");
}

TEST(CommandVerifierSkew, DistancesBeyondSixtyFourBitsRejectWithoutOverflow) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  EXPECT_FALSE(CommandVerifier::withinSkew(kMin, 1'700'000'000, kMax));  // difference overflows
  EXPECT_FALSE(CommandVerifier::withinSkew(kMax, -1, kMax));  // difference is kMin
  EXPECT_TRUE(CommandVerifier::withinSkew(kMax, 0, kMax));
  EXPECT_TRUE(CommandVerifier::withinSkew(kMin + 1, 0, kMax));
  EXPECT_FALSE(CommandVerifier::withinSkew(0, 0, -1));
}

TEST_F(VerifierTest, GapsWarnAndWriteFailuresStillConsume) {
  testing::LogCapture log;
  auto now = std::chrono::system_clock::now();
  auto v = verifier();
  EXPECT_EQ(outcome(v, command({.sequenceNo = 7, .nonce = "a"}), now), "accepted");
  EXPECT_EQ(outcome(v, command({.sequenceNo = 9, .nonce = "b"}), now), "accepted");
  EXPECT_EQ(log.count("WARN", "command sequence gap: got 9, expected 8"), 1);

  auto blocked = verifier("no-such-dir/replay.json");
  EXPECT_EQ(outcome(blocked, command({.sequenceNo = 5}), now).rfind("error: ", 0), 0u);
  EXPECT_EQ(outcome(blocked, command({.sequenceNo = 5, .nonce = "z"}), now),
            "sequence_no 5 ≤ high-water 5 (replay/old)");
}

}  // namespace
}  // namespace vela
