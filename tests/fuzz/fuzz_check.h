#pragma once

// What every fuzz target does when an invariant breaks: name it and abort, so that
// libFuzzer keeps the input as a crash. An exception escaping a decoder ends the same
// way (std::terminate), which is why no target catches any.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace vela::fuzz {

[[noreturn]] inline void violation(const char* what) {
  std::fprintf(stderr, "fuzz invariant violated: %s\n", what);
  std::abort();
}

inline void check(bool holds, const char* what) {
  if (!holds) violation(what);
}

inline std::string_view text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace vela::fuzz
