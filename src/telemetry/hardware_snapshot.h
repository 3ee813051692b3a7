#pragma once

// The machine's hardware: processor, memory modules and storage devices. Collected
// for the daily hardware heartbeat; collection never fails and builds the record from
// whatever sources are available. Tools run with a time limit, so a hung tool delays
// collection by at most that limit.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/system_sources.h"
#include "telemetry/tool_runner.h"
#include "util/json_value.h"

namespace vela {

struct HardwareSnapshot {
  struct CPU {
    std::optional<std::string> model;
    int cores = 0;
    int threads = 0;
    std::string arch;
  };
  struct MemoryModule {
    std::optional<std::string> slot;
    std::optional<std::uint64_t> size_bytes;
    std::optional<std::string> type;
    std::optional<std::string> manufacturer;
  };
  struct Memory {
    std::uint64_t total_bytes = 0;
    std::optional<std::string> type;
    std::vector<MemoryModule> modules;
  };
  struct Disk {
    std::optional<std::string> name;
    std::optional<std::string> model;
    std::optional<std::uint64_t> size_bytes;
    std::optional<std::string> type;
    std::optional<std::string> mount;
  };

  CPU cpu;
  Memory memory;
  std::vector<Disk> disks;

  static HardwareSnapshot collect();
  static HardwareSnapshot collect(const platform::SystemSources& sources, const ToolRunner& runTool);

  static CPU collectCPU(const platform::SystemSources& sources);
  static Memory collectMemory(const platform::SystemSources& sources, const ToolRunner& runTool);
  static std::vector<Disk> collectDisks(const ToolRunner& runTool);

  // Parsers for the tools' output, exposed for tests.
  static std::vector<MemoryModule> modulesFromDmidecode(const std::string& text);
  static std::vector<Disk> disksFromLsblk(const std::string& json);

  // Absent optional fields are omitted.
  JSONValue toJSON() const;
};

}  // namespace vela
