#pragma once

// Whether a file is an executable this machine can run natively (on Linux: an ELF
// executable or position-independent executable for the running architecture).

#include <string>

#include "util/agent_error.h"

namespace vela::platform {

Result<void> checkNativeExecutable(const std::string& path);

}  // namespace vela::platform
