#include "telemetry/metrics.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <optional>
#include <set>
#include <string_view>

#include "util/text_fields.h"
#include "util/iso_time.h"

namespace vela::Metrics {
namespace {

struct Volume {
  std::string mountPoint;
  std::uint64_t total = 0;
  std::uint64_t used = 0;
};

struct Capacity {
  std::uint64_t total = 0;
  std::uint64_t used = 0;
};

// File systems that live on a local block device; network, memory and pseudo file
// systems (nfs, tmpfs, overlay, squashfs images) are not volumes the user manages.
constexpr std::array<std::string_view, 11> kDiskFileSystems = {
    "ext2", "ext3", "ext4", "xfs", "btrfs", "vfat", "exfat", "ntfs", "ntfs3", "f2fs", "fuseblk"};

constexpr std::array<std::string_view, 3> kRemovableRoots = {"/media/", "/mnt/", "/run/media/"};

std::optional<double> loadAverage(const platform::SystemSources& src) {
  auto text = src.readText("/proc/loadavg");
  if (!text) return std::nullopt;
  auto parts = TextFields::splitBlanks(*text);
  if (parts.size() < 3) return std::nullopt;
  for (int i = 1; i < 3; ++i) {
    if (!TextFields::parseDouble(parts[i])) return std::nullopt;
  }
  return TextFields::parseDouble(parts[0]);
}

std::optional<std::uint64_t> meminfoBytes(const std::map<std::string, std::string, std::less<>>& f,
                                          std::string_view key) {
  auto it = f.find(key);
  if (it == f.end()) return std::nullopt;
  auto parts = TextFields::splitBlanks(it->second);
  if (parts.empty() || parts.size() > 2) return std::nullopt;
  auto n = TextFields::parseUnsigned(parts[0]);
  if (!n) return std::nullopt;
  if (parts.size() == 2) {
    if (parts[1] != "kB") return std::nullopt;
    return *n * 1024;
  }
  return n;
}

struct Memory {
  std::optional<std::uint64_t> physical;
  std::optional<double> usedPercent;
};

Memory memory(const platform::SystemSources& src) {
  Memory m;
  std::optional<std::uint64_t> total, available;
  if (auto text = src.readText("/proc/meminfo")) {
    auto fields = TextFields::colonFields(*text);
    total = meminfoBytes(fields, "MemTotal");
    available = meminfoBytes(fields, "MemAvailable");
  }
  m.physical = total && *total > 0 ? total : src.physicalMemoryBytes();
  if (total && available && *total > 0) {
    double used = static_cast<double>(*total) - static_cast<double>(std::min(*available, *total));
    m.usedPercent = used / static_cast<double>(*total) * 100.0;
  }
  return m;
}

std::optional<Capacity> capacity(const platform::SystemSources& src, const std::string& path) {
  auto c = src.capacity(path);
  if (!c || c->total < 1) return std::nullopt;
  std::uint64_t available = std::min(c->available.value_or(c->total), c->total);
  return Capacity{c->total, c->total - available};
}

bool eligibleMountPoint(const platform::MountEntry& m) {
  // The root is always reported, whatever it is backed by (an overlay in containers).
  if (m.mountPoint == "/") return true;
  bool removable = std::any_of(kRemovableRoots.begin(), kRemovableRoots.end(),
                               [&](std::string_view r) { return m.mountPoint.starts_with(r); });
  if (!removable) return false;
  if (std::find(kDiskFileSystems.begin(), kDiskFileSystems.end(), m.fsType) ==
      kDiskFileSystems.end()) {
    return false;
  }
  // Hidden mount points and file-system snapshots are not volumes of their own.
  return m.mountPoint.find("/.") == std::string::npos &&
         m.options.find("/.snapshots") == std::string::npos;
}

std::vector<Volume> volumes(const platform::SystemSources& src) {
  std::vector<Volume> out;
  auto table = src.mounts();
  if (!table) return out;
  std::set<std::string> seen;
  for (const auto& m : *table) {
    if (out.size() >= kMaxVolumes) break;
    if (!eligibleMountPoint(m) || !seen.insert(m.mountPoint).second) continue;
    auto c = capacity(src, m.mountPoint);
    if (!c) continue;
    out.push_back({m.mountPoint, c->total, c->used});
  }
  return out;
}

std::pair<std::uint64_t, std::uint64_t> networkBytes(const platform::SystemSources& src) {
  std::uint64_t rx = 0, tx = 0;
  auto stats = src.interfaceStats();
  if (!stats) return {0, 0};
  for (const auto& s : *stats) {
    if (s.name.starts_with("lo")) continue;
    rx += s.rxBytes;
    tx += s.txBytes;
  }
  return {rx, tx};
}

std::optional<double> uptime(const platform::SystemSources& src) {
  auto text = src.readText("/proc/uptime");
  if (!text) return std::nullopt;
  auto parts = TextFields::splitBlanks(*text);
  if (parts.empty()) return std::nullopt;
  return TextFields::parseDouble(parts[0]);
}

double percent(std::uint64_t part, std::uint64_t whole) {
  return static_cast<double>(part) / static_cast<double>(whole) * 100.0;
}

}  // namespace

double roundTwo(double x) { return std::round(x * 100.0) / 100.0; }

std::string valueText(double value) {
  // Plain digits across the range a metric takes: the shortest form alone would write a
  // round 1024000000 as 1.024e+09. Beyond 2^53, or below 1e-4, exponents read better.
  const double magnitude = std::fabs(value);
  const bool plain = magnitude == 0 || (magnitude >= 1e-4 && magnitude < 9007199254740992.0);
  char buf[64];  // plain digits stay below 2^53 and above 1e-4, so they fit
  auto [end, ec] = plain ? std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed)
                         : std::to_chars(buf, buf + sizeof buf, value);
  if (ec != std::errc()) return "nan";
  std::string text(buf, end);
  if (std::isfinite(value) && text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

std::vector<MetricSample> sample(Clock::time_point now) {
  return sample(now, platform::systemSources());
}

std::vector<MetricSample> sample(Clock::time_point now, const platform::SystemSources& src) {
  const std::string at = ISOTime::format(now);
  std::vector<MetricSample> out;
  out.reserve(48);
  auto add = [&](std::string name, double value) {
    out.push_back({std::move(name), value, at});
  };

  if (auto load = loadAverage(src)) add("cpu_load", roundTwo(*load));

  Memory mem = memory(src);
  if (mem.usedPercent && mem.physical) {
    add("memory_pct", roundTwo(*mem.usedPercent));
    add("memory_used_bytes", static_cast<double>(static_cast<std::uint64_t>(
                                 static_cast<double>(*mem.physical) * *mem.usedPercent / 100.0)));
  }
  if (mem.physical) add("memory_total_bytes", static_cast<double>(*mem.physical));

  for (const auto& v : volumes(src)) {
    add("disk_pct:" + v.mountPoint, roundTwo(percent(v.used, v.total)));
    add("disk_used_bytes:" + v.mountPoint, static_cast<double>(v.used));
    add("disk_total_bytes:" + v.mountPoint, static_cast<double>(v.total));
  }
  if (auto root = capacity(src, "/")) {
    add("disk_pct", roundTwo(percent(root->used, root->total)));
    add("disk_used_bytes", static_cast<double>(root->used));
    add("disk_total_bytes", static_cast<double>(root->total));
  }

  auto [rx, tx] = networkBytes(src);
  if (rx != 0) add("network_rx_bytes", static_cast<double>(rx));
  if (tx != 0) add("network_tx_bytes", static_cast<double>(tx));

  if (auto up = uptime(src)) add("uptime_seconds", *up);
  return out;
}

}  // namespace vela::Metrics
