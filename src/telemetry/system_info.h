#pragma once

// Read-only facts about the hardware for telemetry: model, serial number, processor,
// memory and boot time (the host's names, system and architecture are HostFacts). Every function takes the sources to read from (the live machine by
// default) and never fails; a fact that cannot be read is absent or has the stated
// fallback.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/system_sources.h"

namespace vela::SystemInfo {

using platform::SystemSources;

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
