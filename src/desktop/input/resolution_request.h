#pragma once

// ResolutionRequest is the browser asking for another stream size and frame rate over
// the "input" data channel ({"t":"res",...}). Plain value.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace vela {

class JSONValue;

struct ResolutionRequest {
  static constexpr int kDefaultFps = 30;

  int width = 0;
  int height = 0;
  // Passed on as sent, zero or negative included; the peer decides what it accepts.
  int fps = kDefaultFps;

  // Nothing unless `t` is "res" and `w` and `h` are integers from 1 to 2^31-1.
  static std::optional<ResolutionRequest> decode(std::string_view bytes);
  static std::optional<ResolutionRequest> decode(std::span<const std::uint8_t> bytes);
  static std::optional<ResolutionRequest> fromJSON(const JSONValue& message);

  bool operator==(const ResolutionRequest&) const = default;
};

}  // namespace vela
