#pragma once

// The replay state of accepted commands: the highest sequence number seen and the
// newest 1024 nonces, kept in replay.json. Every accept rewrites the file atomically
// and durably (owner-only), so a crash leaves the previous or the new state, never a
// torn one. Used from one thread at a time (the polling thread); not synchronised.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "util/agent_error.h"

namespace vela {

class ReplayStore {
 public:
  static constexpr std::size_t kMaxNonces = 1024;

  struct State {
    std::int64_t highWaterSeq = 0;
    std::deque<std::string> recentNonces;  // oldest first
    bool operator==(const State&) const = default;
  };

  // Reads the state from `url`; a missing, unreadable or undecodable file gives the
  // empty state (high-water 0, no nonces).
  explicit ReplayStore(std::string url);
  // Over AgentPaths::replayStateFile().
  ReplayStore();

  std::int64_t highWater() const { return state_.highWaterSeq; }
  bool isNonceSeen(std::string_view nonce) const;
  const State& state() const { return state_; }
  const std::string& url() const { return url_; }

  // Raises the high-water mark to `sequenceNo` when it is higher, remembers the nonce
  // (forgetting the oldest beyond 1024) and writes the file. The in-memory state has
  // advanced even when the write fails.
  Result<void> accept(std::int64_t sequenceNo, const std::string& nonce);
  // Back to the empty state, written to the file; errors are ignored.
  void clear();

  // The file format: {"highWaterSeq":<int>,"recentNonces":[<string>...]}.
  static std::string encode(const State& state);
  // Absent unless the text is such an object with an integer and an array of strings.
  static std::optional<State> decode(std::string_view json);

 private:
  void rememberNonce(std::string nonce);
  void forgetOldestNonce();
  void rebuildIndex();
  Result<void> write() const;

  const std::string url_;
  State state_;
  // How many times each nonce occurs in state_.recentNonces, for constant-time lookup.
  std::unordered_map<std::string, std::size_t> nonceCounts_;
};

}  // namespace vela
