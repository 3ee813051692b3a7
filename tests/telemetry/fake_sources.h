#pragma once

// Machine sources for tests: files, directories and (unless replaced) the mount table
// come from a fixture tree; capacities, interfaces and kernel facts are set by the
// test. Nothing is read from the machine running the test.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/system_sources.h"
#include "support/build_paths.h"
#include "telemetry/metrics.h"

namespace vela::testing {

inline std::string fixturePath(const std::string& name) {
  return sourcePath("tests/telemetry/fixtures/") + name;
}

using MetricPairs = std::vector<std::pair<std::string, double>>;

inline MetricPairs pairs(const std::vector<MetricSample>& samples) {
  MetricPairs out;
  for (const auto& s : samples) out.emplace_back(s.metric, s.value);
  return out;
}

class FakeSources : public platform::SystemSources {
 public:
  explicit FakeSources(std::string root = fixturePath("machine"))
      : files_(platform::rootedSystemSources(std::move(root))) {}

  std::optional<std::vector<platform::MountEntry>> mountTable;  // replaces the tree's
  std::map<std::string, platform::VolumeCapacity> capacities;
  std::optional<std::vector<platform::InterfaceStats>> interfaces;
  std::optional<std::string> host = "ws-042";
  std::optional<std::string> release = "6.1.0-18-amd64";
  std::optional<std::string> machineName = "x86_64";
  int processors = 2;
  std::optional<std::uint64_t> physicalMemory;
  bool root = false;

  std::optional<std::string> readText(const std::string& path) const override {
    return files_->readText(path);
  }
  std::optional<std::vector<std::string>> listDirectory(const std::string& path) const override {
    return files_->listDirectory(path);
  }
  std::optional<std::vector<platform::MountEntry>> mounts() const override {
    return mountTable ? mountTable : files_->mounts();
  }
  std::optional<platform::VolumeCapacity> capacity(const std::string& mountPoint) const override {
    if (!capacities.contains(mountPoint)) return std::nullopt;
    return capacities.at(mountPoint);
  }
  std::optional<std::vector<platform::InterfaceStats>> interfaceStats() const override {
    return interfaces;
  }
  std::optional<std::string> hostname() const override { return host; }
  std::optional<std::string> kernelRelease() const override { return release; }
  std::optional<std::string> machine() const override { return machineName; }
  int activeProcessorCount() const override { return processors; }
  std::optional<std::uint64_t> physicalMemoryBytes() const override { return physicalMemory; }
  bool isRoot() const override { return root; }

 private:
  std::unique_ptr<platform::SystemSources> files_;
};

}  // namespace vela::testing
