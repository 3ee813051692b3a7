#pragma once

// Read-only facts about the system: names, operating system, architecture, model and
// serial number. Every function takes the sources to read from (the live machine by
// default) and never fails; a fact that cannot be read is absent or has the stated
// fallback.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/system_sources.h"

namespace vela::SystemInfo {

using platform::SystemSources;

// The host name; empty only if the kernel gives none.
std::string hostname(const SystemSources& src = platform::systemSources());
// PRETTY_HOSTNAME of /etc/machine-info when set, else the host name.
std::string computerName(const SystemSources& src = platform::systemSources());
// VERSION_ID of os-release ("12", "24.04"), or "unknown".
std::string osVersion(const SystemSources& src = platform::systemSources());
// The kernel release ("6.1.0-18-amd64").
std::optional<std::string> osBuild(const SystemSources& src = platform::systemSources());
// "amd64" for x86_64, "arm64" for aarch64/arm64/arm64e, any other machine name as is.
std::string arch(const SystemSources& src = platform::systemSources());
std::string normalizeArch(const std::string& machine);
// The DMI product serial number (readable by root only).
std::optional<std::string> serialNumber(const SystemSources& src = platform::systemSources());
// The DMI product name.
std::optional<std::string> hardwareModel(const SystemSources& src = platform::systemSources());
// The processor's marketing name from /proc/cpuinfo.
std::optional<std::string> cpuBrand(const SystemSources& src = platform::systemSources());
std::optional<std::chrono::system_clock::time_point> bootTime(
    const SystemSources& src = platform::systemSources());
// Physical memory: MemTotal of /proc/meminfo, else the kernel's page count.
std::optional<std::uint64_t> physicalMemory(const SystemSources& src = platform::systemSources());

}  // namespace vela::SystemInfo
