#include "telemetry/inventory.h"

#include "platform/host_facts.h"
#include "telemetry/system_info.h"
#include "util/agent_version.h"
#include "util/canonical_json.h"
#include "util/iso_time.h"

namespace vela {

Inventory Inventory::collect(bool includeSlow) {
  return collect(includeSlow, std::chrono::system_clock::now(), platform::systemSources());
}

Inventory Inventory::collect(bool includeSlow, std::chrono::system_clock::time_point now,
                             const platform::SystemSources& src) {
  Inventory inv;
  if (auto boot = SystemInfo::bootTime(src)) inv.boot_time = ISOTime::format(*boot);
  inv.collected_at = ISOTime::format(now);
  inv.agent_version = std::string(AgentVersion::current);
  inv.hostname = HostFacts::hostname(src);
  inv.computer_name = includeSlow ? HostFacts::computerName(src) : inv.hostname;
  inv.os = HostFacts::kOSName;
  inv.os_version = HostFacts::osVersion(src);
  inv.os_build = HostFacts::osBuild(src);
  inv.arch = HostFacts::arch(src);
  inv.hardware_model = SystemInfo::hardwareModel(src).value_or("unknown");
  if (includeSlow) inv.serial_number = SystemInfo::serialNumber(src);
  inv.cpu_brand = SystemInfo::cpuBrand(src);
  inv.cpu_cores = src.activeProcessorCount();
  inv.physical_memory_bytes = SystemInfo::physicalMemory(src).value_or(0);
  return inv;
}

JSONValue Inventory::toJSON() const {
  JSONValue j{
      {"collected_at", collected_at},
      {"agent_version", agent_version},
      {"hostname", hostname},
      {"computer_name", computer_name},
      {"os", os},
      {"os_version", os_version},
      {"arch", arch},
      {"hardware_model", hardware_model},
      {"cpu_cores", cpu_cores},
      {"physical_memory_bytes", physical_memory_bytes},
  };
  if (os_build) j.set("os_build", *os_build);
  if (serial_number) j.set("serial_number", *serial_number);
  if (cpu_brand) j.set("cpu_brand", *cpu_brand);
  if (boot_time) j.set("boot_time", *boot_time);
  return j;
}

std::string Inventory::jsonData() const { return CanonicalJSON::encode(toJSON()); }

}  // namespace vela
