#pragma once

// Random (version 4) UUIDs in their standard upper-case text form, from the crypto
// library's generator. Thread-safe.

#include <string>

namespace vela {

std::string randomUUID();

}  // namespace vela
