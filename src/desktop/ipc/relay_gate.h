#pragma once

// What the root daemon lets through from one helper connection to the gateway. The
// helper runs as the seat user, so its lines are untrusted: only well-formed outgoing
// desktop frames for sessions the gateway opened through this connection pass, at a
// bounded rate, and what passes is our own encoding of them. Drops are counted and
// reported in one warning a second at most. One gate per connection, so a new helper
// starts with no sessions. Thread-safe: opened() comes from the gateway's thread,
// admit() from the connection's; `lock_` guards all state and is never held while
// parsing.

#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "util/mutex.h"

namespace vela {

class RelayGate {
 public:
  using Clock = std::chrono::steady_clock;

  // A session's start is the offer, a few dozen ICE candidates and the opened and
  // recording frames, twice over with two sessions; after that beats every 5 s and
  // the odd renegotiation. 200 at once and 100 a second cover that many times over,
  // and still cap what a hostile helper can push at the gateway.
  static constexpr double kBurst = 200;
  static constexpr double kPerSecond = 100;
  static constexpr std::size_t kSessions = 16;  // the oldest is forgotten first
  // Bytes too: a frame is an SDP text of a few KiB at most, and lines may be far longer
  // than that; parsing and sending them must stay cheap whatever the helper sends.
  static constexpr std::size_t kMaxFrameBytes = 256 * 1024;
  static constexpr double kByteBurst = 2 * 1024 * 1024;
  static constexpr double kBytesPerSecond = 1024 * 1024;

  // What to do with one line from the helper; either member may be set.
  struct Verdict {
    std::optional<std::string> frame;    // to send upstream
    std::optional<std::string> warning;  // to log
  };

  RelayGate() = default;
  RelayGate(const RelayGate&) = delete;
  RelayGate& operator=(const RelayGate&) = delete;

  // The gateway sent a "desktop.open" for `sessionID` on to this helper.
  void opened(const std::string& sessionID) EXCLUDES(lock_);
  Verdict admit(std::string_view line, Clock::time_point now) EXCLUDES(lock_);
  // The warning for drops not yet reported; for when the connection ends.
  std::optional<std::string> flush() EXCLUDES(lock_);

 private:
  bool takeToken(Clock::time_point now, std::size_t bytes) REQUIRES(lock_);
  // Removes the session when `closing`; false when it is not one of ours.
  bool knows(const std::string& sessionID, bool closing) REQUIRES(lock_);
  void drop(std::string reason) REQUIRES(lock_);
  std::optional<std::string> report(std::optional<Clock::time_point> now) REQUIRES(lock_);

  Mutex lock_;
  std::deque<std::string> sessions_ GUARDED_BY(lock_);  // oldest first
  double tokens_ GUARDED_BY(lock_) = kBurst;
  double byteTokens_ GUARDED_BY(lock_) = kByteBurst;
  std::optional<Clock::time_point> refilled_ GUARDED_BY(lock_);
  std::size_t dropped_ GUARDED_BY(lock_) = 0;  // since the last report
  std::string firstReason_ GUARDED_BY(lock_);
  std::optional<Clock::time_point> reported_ GUARDED_BY(lock_);
};

}  // namespace vela
