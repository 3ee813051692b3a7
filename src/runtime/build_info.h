#pragma once

// Where this executable comes from: filled in when the build is configured.

#include <string>

namespace vela::BuildInfo {

extern const char* const commit;     // full commit id, or "unknown" outside a checkout
extern const char* const buildDate;  // ISO 8601, UTC

// "gcc 12.2.0", "clang 14.0.6".
std::string compiler();
// The machine the code was compiled for: "x86_64", "aarch64", ...
std::string architecture();

}  // namespace vela::BuildInfo
