#pragma once

// What the machine is: names, operating system, model, serial number, processor,
// memory and boot time. Collection never fails; the slow variant adds the
// user-visible computer name and the serial number.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/system_sources.h"
#include "util/json_value.h"

namespace vela {

struct Inventory {
  std::string collected_at;
  std::string agent_version;
  std::string hostname;
  std::string computer_name;
  std::string os;
  std::string os_version;
  std::optional<std::string> os_build;
  std::string arch;
  std::string hardware_model;
  std::optional<std::string> serial_number;
  std::optional<std::string> cpu_brand;
  int cpu_cores = 0;
  std::uint64_t physical_memory_bytes = 0;
  std::optional<std::string> boot_time;

  static Inventory collect(bool includeSlow);
  static Inventory collect(bool includeSlow, std::chrono::system_clock::time_point now,
                           const platform::SystemSources& sources);

  // Absent optional fields are omitted; keys sorted.
  JSONValue toJSON() const;
  // Compact JSON text with keys sorted.
  std::string jsonData() const;
};

}  // namespace vela
