#include "commands/command_verifier.h"

#include <limits>
#include <utility>

#include "util/log.h"

namespace vela {

using Rejection = CommandVerifier::Rejection;

Rejection Rejection::wrongAgent(std::string expected, std::string got) {
  return Rejection(Kind::wrongAgent, "command addressed to " + got + ", not " + expected);
}

Rejection Rejection::staleTimestamp(std::int64_t issuedAt, std::int64_t now, std::int64_t skew) {
  return Rejection(Kind::staleTimestamp, "issued_at " + std::to_string(issuedAt) + " outside ±" +
                                             std::to_string(skew) + "s of now " +
                                             std::to_string(now));
}

Rejection Rejection::replaySequence(std::int64_t sequenceNo, std::int64_t highWater) {
  return Rejection(Kind::replaySequence, "sequence_no " + std::to_string(sequenceNo) +
                                             " ≤ high-water " + std::to_string(highWater) +
                                             " (replay/old)");
}

Rejection Rejection::replayNonce(std::string nonce) {
  return Rejection(Kind::replayNonce, "nonce already seen: " + nonce);
}

Rejection Rejection::badSignature() {
  return Rejection(Kind::badSignature, "Ed25519 signature verification failed");
}

const std::string& CommandVerifier::Failure::description() const {
  if (const auto* rejection = std::get_if<Rejection>(&reason)) return rejection->description();
  return std::get<AgentError>(reason).description();
}

CommandVerifier::CommandVerifier(AgentCrypto::Ed25519PublicKey publicKey,
                                 std::string expectedAgentID, ReplayStore replay,
                                 std::int64_t skewSeconds)
    : publicKey_(std::move(publicKey)),
      expectedAgentID_(std::move(expectedAgentID)),
      replay_(std::move(replay)),
      skewSeconds_(skewSeconds) {}

bool CommandVerifier::withinSkew(std::int64_t issuedAt, std::int64_t now, std::int64_t skew) {
  std::int64_t difference = 0;
  if (__builtin_sub_overflow(now, issuedAt, &difference)) return false;
  // The magnitude of INT64_MIN has no 64-bit form; it is certainly too far.
  if (difference == std::numeric_limits<std::int64_t>::min()) return false;
  std::int64_t distance = difference < 0 ? -difference : difference;
  return distance <= skew;
}

Result<void, CommandVerifier::Failure> CommandVerifier::verifyAndAccept(
    const IncomingCommand& command, std::chrono::system_clock::time_point now) {
  auto reject = [](Rejection r) { return tl::unexpected(Failure{std::move(r)}); };

  if (command.agentID != expectedAgentID_) {
    return reject(Rejection::wrongAgent(expectedAgentID_, command.agentID));
  }
  if (!AgentCrypto::verifyEd25519(command.signatureBase64, command.canonicalSignedBytes,
                                  publicKey_)) {
    return reject(Rejection::badSignature());
  }
  const std::int64_t nowSeconds =
      std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
  if (!withinSkew(command.issuedAt, nowSeconds, skewSeconds_)) {
    return reject(Rejection::staleTimestamp(command.issuedAt, nowSeconds, skewSeconds_));
  }
  const std::int64_t highWater = replay_.highWater();
  if (command.sequenceNo <= highWater) {
    return reject(Rejection::replaySequence(command.sequenceNo, highWater));
  }
  // highWater < sequenceNo <= INT64_MAX, so highWater + 1 cannot overflow.
  if (command.sequenceNo > highWater + 1) {
    Log::warn("command sequence gap: got " + std::to_string(command.sequenceNo) + ", expected " +
              std::to_string(highWater + 1));
  }
  if (replay_.isNonceSeen(command.nonce)) return reject(Rejection::replayNonce(command.nonce));
  if (auto written = replay_.accept(command.sequenceNo, command.nonce); !written) {
    return tl::unexpected(Failure{std::move(written).error()});
  }
  return {};
}

}  // namespace vela
