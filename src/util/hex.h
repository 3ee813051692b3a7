#pragma once

// Lower-case hexadecimal text of bytes, two digits per byte, no separators.

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "util/bytes.h"

namespace vela::Hex {

std::string encode(std::span<const std::uint8_t> data);
// Accepts either letter case; fails on odd length or a non-hex character.
std::optional<Bytes> decode(std::string_view text);

}  // namespace vela::Hex
