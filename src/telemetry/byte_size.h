#pragma once

// Byte sizes as system tools report them: plain integers, or texts such as "16 GB",
// "500,11 GB" and "1024 MB" with decimal multipliers (TB, GB, MB, KB).

#include <cstdint>
#include <optional>
#include <string_view>

#include "util/json_value.h"

namespace vela::ByteSize {

std::optional<std::uint64_t> parse(std::string_view text);
// Numbers are taken as they are (non-negative only); texts go through parse().
std::optional<std::uint64_t> fromJSON(const JSONValue& value);

}  // namespace vela::ByteSize
