#include "desktop/ipc/relay_gate.h"

#include <algorithm>

#include "desktop/desktop_frames.h"
#include "util/canonical_json.h"

namespace vela {

void RelayGate::opened(const std::string& sessionID) {
  MutexLock guard(lock_);
  if (std::ranges::find(sessions_, sessionID) != sessions_.end()) return;
  sessions_.push_back(sessionID);
  if (sessions_.size() > kSessions) sessions_.pop_front();
}

RelayGate::Verdict RelayGate::admit(std::string_view line, Clock::time_point now) {
  Verdict verdict;
  MutexLock guard(lock_);
  // Charged before parsing, so a flood costs no more parsing than the rate allows.
  if (line.size() > kMaxFrameBytes) {
    drop("larger than " + std::to_string(kMaxFrameBytes) + " bytes");
    verdict.warning = report(now);
    return verdict;
  }
  if (!takeToken(now, line.size())) {
    drop("over the rate limit");
    verdict.warning = report(now);
    return verdict;
  }
  guard.unlock();
  auto frame = OutgoingDesktopFrame::parseShape(line);
  guard.lock();
  if (!frame) {
    drop(frame.error().message);
  } else if (!knows(frame->sessionID, frame->type == "desktop.closed")) {
    drop("session not opened through this helper");
  } else {
    // Our encoding, not the helper's bytes: one unambiguous text for each frame.
    guard.unlock();
    verdict.frame = CanonicalJSON::encode(frame->root);
    guard.lock();
  }
  verdict.warning = report(now);
  return verdict;
}

std::optional<std::string> RelayGate::flush() {
  MutexLock guard(lock_);
  return report(std::nullopt);
}

bool RelayGate::takeToken(Clock::time_point now, std::size_t bytes) {
  if (!refilled_) refilled_ = now;
  if (now > *refilled_) {
    double seconds = std::chrono::duration<double>(now - *refilled_).count();
    tokens_ = std::min(kBurst, tokens_ + seconds * kPerSecond);
    byteTokens_ = std::min(kByteBurst, byteTokens_ + seconds * kBytesPerSecond);
    refilled_ = now;
  }
  if (tokens_ < 1 || byteTokens_ < static_cast<double>(bytes)) return false;
  tokens_ -= 1;
  byteTokens_ -= static_cast<double>(bytes);
  return true;
}

bool RelayGate::knows(const std::string& sessionID, bool closing) {
  auto it = std::ranges::find(sessions_, sessionID);
  if (it == sessions_.end()) return false;
  // Declined consent is followed by its "desktop.closed", so only that one ends it.
  if (closing) sessions_.erase(it);
  return true;
}

void RelayGate::drop(std::string reason) {
  if (dropped_++ == 0) firstReason_ = std::move(reason);
}

std::optional<std::string> RelayGate::report(std::optional<Clock::time_point> now) {
  if (dropped_ == 0) return std::nullopt;
  if (now && reported_ && *now - *reported_ < std::chrono::seconds(1)) return std::nullopt;
  if (now) reported_ = *now;
  std::string warning = "desktop IPC: dropped " + std::to_string(dropped_) +
                        (dropped_ == 1 ? " frame" : " frames") + " from the helper (" +
                        firstReason_ + ")";
  dropped_ = 0;
  return warning;
}

}  // namespace vela
