#pragma once

// The one formatter for wire and log time stamps: ISO 8601 in UTC, whole seconds,
// "Z" suffix (2026-12-04T16:03:08Z).

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace vela::ISOTime {

using Clock = std::chrono::system_clock;

std::string format(Clock::time_point t);
inline std::string now() { return format(Clock::now()); }
// Parses internet date-times ("2026-12-04T16:03:08Z", optional fraction, "+hh:mm"
// offsets). Returns whole seconds since the epoch.
std::optional<std::int64_t> parseSeconds(std::string_view text);

}  // namespace vela::ISOTime
