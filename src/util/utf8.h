#pragma once

// The one UTF-8 validator, and the helpers the JSON scanner and the canonical writer
// build on it. Well-formed means strict: no overlong forms, no surrogates, nothing above
// U+10FFFF. Ill-formed input is repaired the usual way: each maximal ill-formed subpart
// becomes one U+FFFD.

#include <cstdint>
#include <string>
#include <string_view>

namespace vela::UTF8 {

// REQUIRES: scalar <= 0x10FFFF.
void appendScalar(std::string& out, std::uint32_t scalar);

// Length of the well-formed prefix of `bytes`; equals bytes.size() when all is valid.
std::size_t validPrefixLength(std::string_view bytes);
inline bool isValid(std::string_view bytes) { return validPrefixLength(bytes) == bytes.size(); }

// Replaces every ill-formed subpart of `text` with U+FFFD, in place.
void repair(std::string& text);

// `text` without the Unicode white space and line breaks at either end (U+00A0, U+2028
// and the like included): values are pasted by hand, and more than ASCII turns up.
std::string_view trimWhitespace(std::string_view text);

}  // namespace vela::UTF8
