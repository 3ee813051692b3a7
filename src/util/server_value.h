#pragma once

// Identifiers and tokens the control plane hands out end up in HTTP headers, URL paths,
// file names of logs and terminal output. Only printable ASCII without white space is
// harmless in all of them, so anything else is refused where it enters.

#include <cstddef>
#include <string_view>

namespace vela::ServerValue {

inline constexpr std::size_t kMaxIdentifierLength = 256;
inline constexpr std::size_t kMaxTokenLength = 4096;

// 1 to maxLength characters, each from "!" to "~".
inline bool isPrintableWord(std::string_view value, std::size_t maxLength) {
  if (value.empty() || value.size() > maxLength) return false;
  for (char c : value) {
    if (c < '!' || c > '~') return false;
  }
  return true;
}

}  // namespace vela::ServerValue
