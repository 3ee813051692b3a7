#pragma once

// PEM armour: base64 bodies between "-----BEGIN <label>-----" and "-----END
// <label>-----" lines. Decoding ignores labels, so several blocks in one text decode
// as their bodies concatenated. Pure; thread-safe.

#include <span>
#include <string>
#include <string_view>

#include "util/agent_error.h"
#include "util/bytes.h"

namespace vela::PEM {

// Body lines of 64 characters; the text ends with a line feed.
std::string encode(std::span<const std::uint8_t> der, std::string_view label);

// Fails with "invalid PEM body" when the joined body is not strict base64.
Result<Bytes> decode(std::string_view text);

}  // namespace vela::PEM
