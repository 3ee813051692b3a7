#pragma once

// Decides whether a parsed command may run: addressed to this agent, signed with the
// pinned command key over its canonical bytes, issued within the allowed clock skew,
// newer than every accepted command and carrying an unseen nonce. Acceptance records
// the sequence number and nonce in the replay store. Used from the polling thread only.

#include <chrono>
#include <cstdint>
#include <string>
#include <variant>

#include "commands/incoming_command.h"
#include "commands/replay_store.h"
#include "util/agent_crypto.h"
#include "util/agent_error.h"

namespace vela {

class CommandVerifier {
 public:
  class Rejection {
   public:
    enum class Kind { wrongAgent, staleTimestamp, replaySequence, replayNonce, badSignature };

    static Rejection wrongAgent(std::string expected, std::string got);
    static Rejection staleTimestamp(std::int64_t issuedAt, std::int64_t now, std::int64_t skew);
    static Rejection replaySequence(std::int64_t sequenceNo, std::int64_t highWater);
    static Rejection replayNonce(std::string nonce);
    static Rejection badSignature();

    Kind kind() const { return kind_; }
    const std::string& description() const { return description_; }
    bool operator==(const Rejection&) const = default;

   private:
    Rejection(Kind kind, std::string description)
        : kind_(kind), description_(std::move(description)) {}
    Kind kind_;
    std::string description_;
  };

  // Either a rejection or the failure to persist the replay state.
  struct Failure {
    std::variant<Rejection, AgentError> reason;
    const Rejection* rejection() const { return std::get_if<Rejection>(&reason); }
    const std::string& description() const;
  };

  CommandVerifier(AgentCrypto::Ed25519PublicKey publicKey, std::string expectedAgentID,
                  ReplayStore replay, std::int64_t skewSeconds);

  Result<void, Failure> verifyAndAccept(const IncomingCommand& command,
                                        std::chrono::system_clock::time_point now);

  ReplayStore& replay() { return replay_; }
  const std::string& expectedAgentID() const { return expectedAgentID_; }

  // |now - issuedAt| <= skew, computed without overflow: a distance that does not fit
  // in 64 bits is out of range.
  static bool withinSkew(std::int64_t issuedAt, std::int64_t now, std::int64_t skew);

 private:
  const AgentCrypto::Ed25519PublicKey publicKey_;
  const std::string expectedAgentID_;
  ReplayStore replay_;
  const std::int64_t skewSeconds_;
};

}  // namespace vela
