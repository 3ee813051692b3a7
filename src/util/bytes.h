#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vela {

using Bytes = std::vector<std::uint8_t>;

inline Bytes toBytes(std::string_view s) { return Bytes(s.begin(), s.end()); }
inline std::string toString(std::span<const std::uint8_t> b) {
  return std::string(b.begin(), b.end());
}

}  // namespace vela
