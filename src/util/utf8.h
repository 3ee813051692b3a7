#pragma once

// UTF-8 helpers shared by the JSON scanner and the canonical writer. Ill-formed input
// is repaired the usual way: each maximal ill-formed subpart becomes one U+FFFD.

#include <cstdint>
#include <string>
#include <string_view>

namespace vela::JSONUTF8 {

// REQUIRES: scalar <= 0x10FFFF.
void appendScalar(std::string& out, std::uint32_t scalar);

// Length of the well-formed prefix of `bytes`; equals bytes.size() when all is valid.
std::size_t validPrefixLength(std::string_view bytes);

// Replaces every ill-formed subpart of `text` with U+FFFD, in place.
void repair(std::string& text);

}  // namespace vela::JSONUTF8
