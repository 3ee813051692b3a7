#pragma once

// Where telemetry reads the machine from: kernel and system files (procfs, sysfs,
// /etc), the mount table, file-system capacities, network interface counters and the
// kernel's identity. Every reader answers nullopt when its source is missing or
// unreadable; none of them fails otherwise. Implementations are stateless and safe to
// use from any thread. Tests substitute fixture trees through this interface.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vela::platform {

struct MountEntry {
  std::string device;
  std::string mountPoint;
  std::string fsType;
  std::string options;
};

struct VolumeCapacity {
  std::uint64_t total = 0;
  // Space an unprivileged writer may still use; absent when the platform cannot say.
  std::optional<std::uint64_t> available;
};

// One link-layer interface with the kernel's 32-bit byte counters.
struct InterfaceStats {
  std::string name;
  std::uint32_t rxBytes = 0;
  std::uint32_t txBytes = 0;
};

class SystemSources {
 public:
  virtual ~SystemSources() = default;

  // `path` is absolute as on a live machine ("/proc/stat").
  virtual std::optional<std::string> readText(const std::string& path) const = 0;
  // Entry names of a directory (without "." and ".."), in no particular order.
  virtual std::optional<std::vector<std::string>> listDirectory(const std::string& path) const = 0;
  // The mount table in the kernel's order.
  virtual std::optional<std::vector<MountEntry>> mounts() const = 0;
  virtual std::optional<VolumeCapacity> capacity(const std::string& mountPoint) const = 0;
  // Interfaces that carry link-layer statistics, in the kernel's order.
  virtual std::optional<std::vector<InterfaceStats>> interfaceStats() const = 0;

  virtual std::optional<std::string> hostname() const = 0;
  virtual std::optional<std::string> kernelRelease() const = 0;
  // The kernel's machine name ("x86_64", "aarch64").
  virtual std::optional<std::string> machine() const = 0;
  virtual int activeProcessorCount() const = 0;
  virtual std::optional<std::uint64_t> physicalMemoryBytes() const = 0;
  virtual bool isRoot() const = 0;
};

// The running machine.
const SystemSources& systemSources();

// Files, directories and the mount table (`root`/proc/self/mounts) below `root`
// instead of "/"; everything else from the running machine. For fixture trees.
std::unique_ptr<SystemSources> rootedSystemSources(std::string root);

// Parses mount-table text ("device mountpoint type options freq pass" lines with
// octal escapes such as \040 for a blank).
std::vector<MountEntry> parseMountTable(const std::string& text);

}  // namespace vela::platform
