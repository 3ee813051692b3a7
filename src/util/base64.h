#pragma once

// Standard Base64 (RFC 4648 section 4, with padding). The one implementation used
// project-wide; decoding is strict: no white space, padding required, no stray bits.

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "util/bytes.h"

namespace vela::Base64 {

std::string encode(std::span<const std::uint8_t> data);
inline std::string encode(std::string_view text) {
  return encode(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}
std::optional<Bytes> decode(std::string_view text);

// The URL-safe alphabet of RFC 4648 section 5, without padding.
std::string encodeURL(std::span<const std::uint8_t> data);
// The URL-safe alphabet mapped back to the standard one, "=" appended to a multiple of
// four characters, then decoded as above: so the standard alphabet and padding pass too.
std::optional<Bytes> decodeURL(std::string_view text);

}  // namespace vela::Base64
