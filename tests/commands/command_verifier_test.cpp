#include "commands/command_verifier.h"

#include <gtest/gtest.h>

#include <limits>

#include "commands/command_type.h"
#include "commands/commands_test_support.h"
#include "util/json_scanner.h"

namespace vela {
namespace {

using testing::LogCapture;
using testing::ScopedStateDir;
using testing::signedCommand;
using testing::TestSigner;
using testing::WireFields;
using Kind = CommandVerifier::Rejection::Kind;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

JSONValue json(std::string_view text) { return JSONScanner::parse(text).value(); }

std::string parseError(std::string_view text) {
  auto parsed = IncomingCommand::parse(json(text), "agent-1");
  return parsed ? "accepted" : parsed.error().description();
}

TEST(IncomingCommandTest, ChecksKeysThenTypesInFixedOrder) {
  EXPECT_EQ(parseError("[]"), "command is not a JSON object");
  EXPECT_EQ(parseError("{}"), "command missing field 'sequence_no'");
  EXPECT_EQ(parseError(R"({"sequence_no":"x","signature":1})"), "command missing field 'nonce'");
  // Every key present: types are judged in order, so the first wrong one names itself.
  EXPECT_EQ(parseError(R"({"sequence_no":1,"nonce":2,"issued_at":3,"type":"ping"})"),
            "command missing field 'signature'");
  const char* allWrong = R"({"sequence_no":5.0,"nonce":2,"issued_at":"3","type":4,"signature":5})";
  EXPECT_EQ(parseError(allWrong), "sequence_no not an integer");
  EXPECT_EQ(parseError(R"({"sequence_no":"5","nonce":"n","issued_at":1,"type":"t","signature":"s"})"),
            "sequence_no not an integer");
  EXPECT_EQ(parseError(R"({"sequence_no":5,"nonce":2,"issued_at":"3","type":4,"signature":5})"),
            "nonce not a string");
  EXPECT_EQ(parseError(R"({"sequence_no":5,"nonce":"n","issued_at":1e3,"type":4,"signature":5})"),
            "issued_at not an integer");
  EXPECT_EQ(parseError(R"({"sequence_no":5,"nonce":"n","issued_at":3,"type":4,"signature":5})"),
            "type not a string");
  EXPECT_EQ(parseError(R"({"sequence_no":5,"nonce":"n","issued_at":3,"type":"t","signature":5})"),
            "signature not a string");
}

TEST(IncomingCommandTest, SignedBytesUseCallerIdAndReceivedTexts) {
  auto absent = IncomingCommand::parse(
      json(R"({"agent_id":"evil","sequence_no":0010,"nonce":"n\u00e9","issued_at":-0,)"
           R"("type":"ping","signature":"s","id":7,"command_id":"c-9"})"),
      "me");
  ASSERT_TRUE(absent);
  EXPECT_EQ(toString(absent->canonicalSignedBytes),
            "{\"agent_id\":\"me\",\"issued_at\":-0,\"nonce\":\"n\xC3\xA9\",\"payload\":{},"
            "\"sequence_no\":0010,\"type\":\"ping\"}");
  EXPECT_EQ(absent->sequenceNo, 10);
  EXPECT_EQ(absent->commandID, "c-9");  // a numeric id does not count

  auto null = IncomingCommand::parse(
      json(R"({"sequence_no":1,"nonce":"n","issued_at":2,"type":"x","payload":null,"signature":"s","id":"a"})"),
      "me");
  ASSERT_TRUE(null);
  EXPECT_EQ(null->payload, JSONValue::object());
  EXPECT_EQ(null->commandID, "a");
  EXPECT_NE(toString(null->canonicalSignedBytes).find("\"payload\":{}"), std::string::npos);

  auto nested = IncomingCommand::parse(
      json(R"({"sequence_no":1,"nonce":"n","issued_at":2,"type":"x","signature":"s",)"
           R"("payload":{"z":[1.50,{"b":"\/\u0001","a":true}],"A":null}})"),
      "me");
  ASSERT_TRUE(nested);
  EXPECT_FALSE(nested->commandID);
  EXPECT_NE(toString(nested->canonicalSignedBytes)
                .find(R"("payload":{"A":null,"z":[1.50,{"a":true,"b":"/\u0001"}]})"),
            std::string::npos);
}

TEST(CommandTypeTest, WireNamesRoundTripAndNothingElseMatches) {
  for (int i = 0; i <= static_cast<int>(CommandType::uninstall); ++i) {
    auto type = static_cast<CommandType>(i);
    EXPECT_EQ(commandTypeFromRawValue(rawValue(type)), type);
  }
  EXPECT_EQ(rawValue(CommandType::wake_on_lan), "wake_on_lan");
  EXPECT_FALSE(commandTypeFromRawValue("Ping"));
  EXPECT_FALSE(commandTypeFromRawValue("ping "));
}

class VerifierTest : public ::testing::Test {
 protected:
  CommandVerifier makeVerifier(std::int64_t skew = 300) {
    return CommandVerifier(signer_.publicKey(), "agent-1", ReplayStore(state_.file("replay.json")),
                           skew);
  }
  IncomingCommand command(WireFields fields, const std::string& receiver = "agent-1") {
    return IncomingCommand::parse(signedCommand(signer_, fields), receiver).value();
  }
  static std::chrono::system_clock::time_point at(std::int64_t seconds) {
    return std::chrono::system_clock::time_point(std::chrono::seconds(seconds));
  }
  static std::optional<CommandVerifier::Rejection> rejection(
      const Result<void, CommandVerifier::Failure>& outcome) {
    if (outcome) return std::nullopt;
    const auto* r = outcome.error().rejection();
    return r ? std::optional(*r) : std::nullopt;
  }

  ScopedStateDir state_;
  TestSigner signer_;
};

TEST_F(VerifierTest, RejectionTextsAndOrderOfChecks) {
  auto verifier = makeVerifier();
  const std::int64_t now = 1'700'000'000;
  // Wrong addressee is judged before the (also wrong) signature.
  auto other = command({.issuedAt = now}, "agent-2");
  other.signatureBase64 = "AAAA";
  EXPECT_EQ(rejection(verifier.verifyAndAccept(other, at(now)))->description(),
            "command addressed to agent-2, not agent-1");

  auto stale = command({.issuedAt = now - 301});
  stale.signatureBase64 = "not base64!";
  EXPECT_EQ(rejection(verifier.verifyAndAccept(stale, at(now)))->description(),
            "Ed25519 signature verification failed");
  EXPECT_EQ(rejection(verifier.verifyAndAccept(command({.issuedAt = now - 301}), at(now)))
                ->description(),
            "issued_at 1699999699 outside ±300s of now 1700000000");

  ASSERT_TRUE(verifier.verifyAndAccept(command({.sequenceNo = 7, .issuedAt = now}), at(now)));
  EXPECT_EQ(rejection(verifier.verifyAndAccept(
                          command({.sequenceNo = 7, .nonce = "other", .issuedAt = now}), at(now)))
                ->description(),
            "sequence_no 7 ≤ high-water 7 (replay/old)");
  EXPECT_EQ(rejection(verifier.verifyAndAccept(command({.sequenceNo = 8, .issuedAt = now}), at(now)))
                ->description(),
            "nonce already seen: n-1");
}

TEST_F(VerifierTest, SignatureCoversThisAgentsIdAndEveryField) {
  auto verifier = makeVerifier();
  // Signed for agent-2 but delivered to agent-1: the rebuilt bytes name agent-1.
  auto forOther = signedCommand(signer_, {.agentID = "agent-2"});
  EXPECT_EQ(rejection(verifier.verifyAndAccept(IncomingCommand::parse(forOther, "agent-1").value(),
                                               std::chrono::system_clock::now()))
                ->kind(),
            Kind::badSignature);

  auto tampered = signedCommand(signer_, {.payloadJSON = R"({"a":1})"});
  tampered.set("payload", json(R"({"a":2})"));
  EXPECT_EQ(rejection(verifier.verifyAndAccept(IncomingCommand::parse(tampered, "agent-1").value(),
                                               std::chrono::system_clock::now()))
                ->kind(),
            Kind::badSignature);

  TestSigner stranger;
  auto foreign = signedCommand(stranger, {});
  EXPECT_EQ(rejection(verifier.verifyAndAccept(IncomingCommand::parse(foreign, "agent-1").value(),
                                               std::chrono::system_clock::now()))
                ->kind(),
            Kind::badSignature);

  // Surrounding white space and a line break around the signature are tolerated.
  auto padded = signedCommand(signer_, {});
  padded.set("signature", " " + *padded["signature"]->stringRef() + "\n");
  EXPECT_TRUE(verifier.verifyAndAccept(IncomingCommand::parse(padded, "agent-1").value(),
                                       std::chrono::system_clock::now()));
  EXPECT_EQ(verifier.replay().highWater(), 1);
}

TEST_F(VerifierTest, SkewBoundsAreInclusiveInBothDirections) {
  const std::int64_t now = 1'700'000'000;
  auto verifier = makeVerifier(300);
  std::int64_t seq = 0;
  auto check = [&](std::int64_t issuedAt) {
    ++seq;
    return verifier.verifyAndAccept(
        command({.sequenceNo = seq, .nonce = "n" + std::to_string(seq), .issuedAt = issuedAt}),
        at(now) + std::chrono::milliseconds(999));  // the fraction is dropped
  };
  EXPECT_TRUE(check(now - 300));
  EXPECT_TRUE(check(now + 300));
  EXPECT_EQ(rejection(check(now - 301))->kind(), Kind::staleTimestamp);
  EXPECT_EQ(rejection(check(now + 301))->description(),
            "issued_at 1700000301 outside ±300s of now 1700000000");
}

TEST(CommandVerifierSkew, DistancesBeyondSixtyFourBitsRejectWithoutOverflow) {
  EXPECT_TRUE(CommandVerifier::withinSkew(100, 100, 0));
  EXPECT_FALSE(CommandVerifier::withinSkew(kMin, 1'700'000'000, kMax));
  EXPECT_FALSE(CommandVerifier::withinSkew(kMax, -1, kMax));  // now - issuedAt = kMin
  EXPECT_TRUE(CommandVerifier::withinSkew(kMax, 0, kMax));
  EXPECT_TRUE(CommandVerifier::withinSkew(kMin + 1, 0, kMax));
  EXPECT_FALSE(CommandVerifier::withinSkew(kMin, 0, kMax));
  EXPECT_FALSE(CommandVerifier::withinSkew(0, 0, -1));  // a negative skew admits nothing
}

TEST_F(VerifierTest, SequenceGapIsWarnedButAccepted) {
  LogCapture log;
  auto verifier = makeVerifier();
  ASSERT_TRUE(verifier.verifyAndAccept(command({.sequenceNo = 7, .nonce = "a"}),
                                       std::chrono::system_clock::now()));
  EXPECT_EQ(rejection(verifier.verifyAndAccept(command({.sequenceNo = 7, .nonce = "b"}),
                                               std::chrono::system_clock::now())),
            CommandVerifier::Rejection::replaySequence(7, 7));
  ASSERT_TRUE(verifier.verifyAndAccept(command({.sequenceNo = 9, .nonce = "c"}),
                                       std::chrono::system_clock::now()));
  auto gaps = log.lines("WARN", "command sequence gap");
  ASSERT_EQ(gaps.size(), 2u);  // 0 -> 7 and 7 -> 9
  EXPECT_NE(gaps[1].find("WARN: command sequence gap: got 9, expected 8"), std::string::npos);
  // The extreme sequence number is accepted once and then nothing can follow it.
  ASSERT_TRUE(verifier.verifyAndAccept(command({.sequenceNo = kMax, .nonce = "d"}),
                                       std::chrono::system_clock::now()));
  EXPECT_EQ(rejection(verifier.verifyAndAccept(command({.sequenceNo = kMax, .nonce = "e"}),
                                               std::chrono::system_clock::now()))
                ->kind(),
            Kind::replaySequence);
}

TEST_F(VerifierTest, ReplayStateSurvivesARestartAndFailedWritesStillConsume) {
  {
    auto verifier = makeVerifier();
    ASSERT_TRUE(verifier.verifyAndAccept(command({.sequenceNo = 3, .nonce = "x"}),
                                         std::chrono::system_clock::now()));
  }
  auto verifier = makeVerifier();
  EXPECT_EQ(verifier.replay().highWater(), 3);
  EXPECT_EQ(rejection(verifier.verifyAndAccept(command({.sequenceNo = 4, .nonce = "x"}),
                                               std::chrono::system_clock::now()))
                ->kind(),
            Kind::replayNonce);

  // A replay file that cannot be written: the failure is no rejection, and the
  // command stays consumed for the rest of the process.
  CommandVerifier blocked(signer_.publicKey(), "agent-1",
                          ReplayStore(state_.file("missing-dir/replay.json")), 300);
  auto outcome = blocked.verifyAndAccept(command({.sequenceNo = 5, .nonce = "y"}),
                                         std::chrono::system_clock::now());
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error().rejection(), nullptr);
  EXPECT_NE(outcome.error().description().find("missing-dir"), std::string::npos);
  EXPECT_EQ(rejection(blocked.verifyAndAccept(command({.sequenceNo = 5, .nonce = "y"}),
                                              std::chrono::system_clock::now()))
                ->kind(),
            Kind::replaySequence);
}

}  // namespace
}  // namespace vela
