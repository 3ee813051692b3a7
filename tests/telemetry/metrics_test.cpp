#include "telemetry/metrics.h"

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "telemetry/fake_sources.h"

namespace vela {
namespace {

using testing::FakeSources;
using Pairs = testing::MetricPairs;
using testing::pairs;

const auto kNow = std::chrono::system_clock::time_point(std::chrono::seconds(1796400188));

std::vector<std::string> named(const std::vector<MetricSample>& samples, std::string_view prefix) {
  std::vector<std::string> out;
  for (const auto& s : samples) {
    if (s.metric.starts_with(prefix)) out.push_back(s.metric);
  }
  return out;
}

FakeSources fixtureMachine() {
  FakeSources src;
  src.capacities = {
      {"/", {100'000'000'000, 40'000'000'000}},
      {"/home", {50'000'000'000, 1}},
      {"/media/alice/USB STICK", {32'000'000'000, 30'000'000'000}},
      {"/mnt/backup", {3'000'000'000, std::nullopt}},
      {"/mnt/.hidden", {10, 5}}, {"/mnt/snap", {10, 5}}, {"/mnt/nfs", {10, 5}}, {"/media/iso", {10, 5}},
      {"/run/media/bob/DATA", {1000, 5000}},
      {"/media/empty", {0, 0}},
  };
  src.interfaces = std::vector<platform::InterfaceStats>{
      {"lo", 1000, 1000}, {"eth0", 4'000'000'000u, 100}, {"wlan0", 4'000'000'000u, 200}};
  return src;
}

TEST(MetricsSample, FixtureMachineInOrder) {
  FakeSources src = fixtureMachine();
  auto samples = Metrics::sample(kNow, src);
  Pairs expected = {
      {"cpu_load", 0.52}, {"memory_pct", 26.76},
      {"memory_used_bytes", 4489216000.0}, {"memory_total_bytes", 16777216000.0},
      {"disk_pct:/", 60.0}, {"disk_used_bytes:/", 60e9}, {"disk_total_bytes:/", 100e9},
      {"disk_pct:/media/alice/USB STICK", 6.25}, {"disk_used_bytes:/media/alice/USB STICK", 2e9},
      {"disk_total_bytes:/media/alice/USB STICK", 32e9},
      // No available figure: the whole volume counts as free.
      {"disk_pct:/mnt/backup", 0}, {"disk_used_bytes:/mnt/backup", 0},
      {"disk_total_bytes:/mnt/backup", 3e9},
      // Available above the total is clamped to it.
      {"disk_pct:/run/media/bob/DATA", 0}, {"disk_used_bytes:/run/media/bob/DATA", 0},
      {"disk_total_bytes:/run/media/bob/DATA", 1000},
      {"disk_pct", 60.0}, {"disk_used_bytes", 60e9}, {"disk_total_bytes", 100e9},
      // Two counters near the 32-bit limit sum past it.
      {"network_rx_bytes", 8e9}, {"network_tx_bytes", 300},
      {"uptime_seconds", 12345.67},
  };
  EXPECT_EQ(pairs(samples), expected);
  for (const auto& s : samples) EXPECT_EQ(s.recorded_at, "2026-12-04T16:03:08Z");
}

TEST(MetricsVolumes, CapOfTwelveInTableOrderRootStillReportedUnsuffixed) {
  FakeSources src = fixtureMachine();
  std::vector<platform::MountEntry> table;
  for (int i = 0; i < 20; ++i) {
    std::string mp = "/media/disk" + std::to_string(i);
    table.push_back({"/dev/sd" + std::to_string(i), mp, "ext4", "rw"});
    src.capacities[mp] = {1000, 250};
  }
  table.push_back({"/dev/root", "/", "overlay", "rw"});  // past the cap
  src.mountTable = table;
  std::vector<std::string> expected;
  for (int i = 0; i < 12; ++i) expected.push_back("disk_total_bytes:/media/disk" + std::to_string(i));
  expected.push_back("disk_total_bytes");
  EXPECT_EQ(named(Metrics::sample(kNow, src), "disk_total_bytes"), expected);
}

TEST(MetricsVolumes, RootAcceptedWhateverItsFileSystem) {
  FakeSources src = fixtureMachine();
  src.mountTable = std::vector<platform::MountEntry>{{"overlay", "/", "overlay", "rw"}};
  EXPECT_EQ(named(Metrics::sample(kNow, src), "disk_pct:"), std::vector<std::string>{"disk_pct:/"});
}

TEST(MetricsNetwork, LoopbackOnlyOrUnreadableGivesNoNetworkMetrics) {
  FakeSources src = fixtureMachine();
  src.interfaces = std::vector<platform::InterfaceStats>{{"lo", 500, 500}, {"lo2", 7, 7}};
  EXPECT_TRUE(named(Metrics::sample(kNow, src), "network_").empty());
  src.interfaces.reset();
  EXPECT_TRUE(named(Metrics::sample(kNow, src), "network_").empty());
  // A zero sum in one direction drops only that metric.
  src.interfaces = std::vector<platform::InterfaceStats>{{"eth0", 0, 9}};
  EXPECT_EQ(named(Metrics::sample(kNow, src), "network_"), std::vector<std::string>{"network_tx_bytes"});
}

TEST(MetricsMissingSources, NothingMadeUp) {
  vela::testing::TempDir empty;
  FakeSources bare(empty.path());
  EXPECT_TRUE(Metrics::sample(kNow, bare).empty());

  // The kernel's page count stands in for physical memory, but no percentage follows.
  bare.physicalMemory = 8'000'000'000;
  EXPECT_EQ(pairs(Metrics::sample(kNow, bare)), (Pairs{{"memory_total_bytes", 8e9}}));

  vela::testing::TempDir broken;
  std::filesystem::create_directories(broken.path() + "/proc");
  vela::testing::writeFile(broken.path() + "/proc/loadavg", "0.10 0.20\n");
  vela::testing::writeFile(broken.path() + "/proc/meminfo", "MemTotal: 1000 kB\n");
  vela::testing::writeFile(broken.path() + "/proc/uptime", "garbage\n");
  FakeSources partial(broken.path());
  EXPECT_EQ(pairs(Metrics::sample(kNow, partial)), (Pairs{{"memory_total_bytes", 1024000}}));
}

TEST(MetricsRounding, TwoDecimalsHalvesAwayFromZero) {
  EXPECT_DOUBLE_EQ(Metrics::roundTwo(0.125), 0.13);  // 12.5 is exact in binary
  EXPECT_DOUBLE_EQ(Metrics::roundTwo(99.999), 100.0);
}

TEST(MetricsValueText, ShortestRoundTripWithIntegralSuffix) {
  EXPECT_EQ(Metrics::valueText(60), "60.0");
  EXPECT_EQ(Metrics::valueText(26.76), "26.76");
  // Round values stay in plain digits, where the shortest text has an exponent.
  EXPECT_EQ(Metrics::valueText(1024000000), "1024000000.0");
  EXPECT_EQ(Metrics::valueText(0.0005), "0.0005");
  EXPECT_EQ(Metrics::valueText(-0.0), "-0.0");
  std::mt19937_64 rng(7);
  for (int i = 0; i < 2000; ++i) {
    double v = std::uniform_real_distribution<double>(0, 1e15)(rng) / (i % 2 ? 1 : 1e10);
    EXPECT_EQ(std::strtod(Metrics::valueText(v).c_str(), nullptr), v);
  }
}

}  // namespace
}  // namespace vela
