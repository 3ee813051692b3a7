#pragma once

// What the agent says about the machine it runs on wherever it introduces itself:
// enrolment, the update check and the inventory. Every function takes the sources to
// read from (the live machine by default) and never fails; a fact that cannot be read
// has the stated fallback.

#include <optional>
#include <string>

#include "platform/system_sources.h"

namespace vela::HostFacts {

// The operating system's name on the wire.
inline constexpr const char* kOSName = "linux";

// The host name; empty only if the kernel gives none.
std::string hostname(const platform::SystemSources& src = platform::systemSources());
// PRETTY_HOSTNAME of /etc/machine-info when set, else the host name.
std::string computerName(const platform::SystemSources& src = platform::systemSources());
// VERSION_ID of os-release ("12", "24.04"), or "unknown".
std::string osVersion(const platform::SystemSources& src = platform::systemSources());
// The kernel release ("6.1.0-18-amd64").
std::optional<std::string> osBuild(const platform::SystemSources& src = platform::systemSources());
// "amd64" for x86_64, "arm64" for aarch64/arm64/arm64e, any other machine name as is.
std::string arch(const platform::SystemSources& src = platform::systemSources());
std::string normalizeArch(const std::string& machine);

}  // namespace vela::HostFacts
