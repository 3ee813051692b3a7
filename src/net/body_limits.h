#pragma once

// The largest reply body the agent takes from each control-plane call, counted after
// content decoding. A successful reply beyond its limit aborts the transfer with a
// transport error; an error reply is cut at the limit and keeps its status. So a broken
// or hostile server (or a small compressed reply that inflates to gigabytes) cannot
// make the agent buffer without bound.

#include <cstddef>

namespace vela::BodyLimits {

inline constexpr std::size_t kKiB = 1024;
inline constexpr std::size_t kMiB = 1024 * kKiB;

// An id, a token and one certificate.
inline constexpr std::size_t kEnroll = 256 * kKiB;
// The agent reads nothing from a telemetry or result-report reply but its status.
inline constexpr std::size_t kAcknowledgement = 64 * kKiB;
// Up to CommandPoller::kMaxCommandsPerPoll signed commands, scripts included.
inline constexpr std::size_t kCommandPoll = 4 * kMiB;
// One signed manifest.
inline constexpr std::size_t kUpdateCheck = 256 * kKiB;
// Any call that names no limit of its own.
inline constexpr std::size_t kDefault = kMiB;
// Response headers of one reply, all lines together.
inline constexpr std::size_t kHeaders = 256 * kKiB;

}  // namespace vela::BodyLimits
