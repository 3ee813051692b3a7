#pragma once

// Bounds the output text a result report carries. The limit is on the text as escaped
// in the report's JSON (a NUL byte costs six), because the control plane refuses a
// request body over 1 MiB and the whole result would then be lost.

#include <cstddef>
#include <cstdint>
#include <string>

namespace vela::ResultOutput {

// Leaves room for the report's other members under a 1 MiB request.
inline constexpr std::size_t kMaxEscapedBytes = 960 * 1024;

struct Capped {
  std::string text;
  std::uint64_t cutHere = 0;  // bytes of the given text left out
};

// `text` unchanged when nothing was dropped and it fits; otherwise its longest tail that
// fits, starting at a character boundary, under a first line
// "[output truncated: <N> bytes dropped]" where N adds `alreadyDropped` (bytes the
// process runner let go) to what is cut here.
// REQUIRES: `text` is valid UTF-8.
Capped capped(std::string text, std::uint64_t alreadyDropped = 0);

}  // namespace vela::ResultOutput
