#include "telemetry/inventory.h"

#include <filesystem>
#include <set>
#include <sstream>

#include <gmock/gmock.h>
#include <nlohmann/json.hpp>

#include "platform/host_facts.h"
#include "support/background_process.h"
#include "support/temp_dir.h"
#include "telemetry/fake_sources.h"
#include "telemetry/metrics.h"
#include "telemetry/system_info.h"
#include "util/iso_time.h"

namespace vela {
namespace {

using testing::FakeSources;

const auto kNow = std::chrono::system_clock::time_point(std::chrono::seconds(1796400188));

TEST(InventoryCollect, FastAndSlowVariantsFromFixture) {
  FakeSources src;
  src.processors = 4;
  auto inv = Inventory::collect(false, kNow, src);
  EXPECT_EQ(nlohmann::json::parse(inv.jsonData()), nlohmann::json::parse(R"({
    "collected_at": "2026-12-04T16:03:08Z", "agent_version": "0.1.0",
    "hostname": "ws-042", "computer_name": "ws-042", "os": "linux", "os_version": "12",
    "os_build": "6.1.0-18-amd64", "arch": "amd64", "hardware_model": "ThinkPad T480",
    "cpu_brand": "Intel(R) Core(TM) i7-8650U CPU @ 1.90GHz", "cpu_cores": 4,
    "physical_memory_bytes": 16777216000, "boot_time": "2026-01-01T00:00:00Z"})"));
  // The slow variant adds the pretty name and the serial number.
  inv = Inventory::collect(true, kNow, src);
  EXPECT_EQ(inv.computer_name, "Alice's \"Work\" Laptop");
  EXPECT_EQ(inv.serial_number, "PF1ABCDE");
}

TEST(InventoryCollect, BareMachineUsesFallbacksAndOmitsTheRest) {
  vela::testing::TempDir empty;
  FakeSources src(empty.path());
  src.release.reset();
  src.machineName = "riscv64";
  auto inv = Inventory::collect(true, kNow, src);
  EXPECT_EQ(inv.computer_name, "ws-042");
  // Compact, keys sorted, absent optionals omitted.
  EXPECT_EQ(inv.jsonData(),
            R"({"agent_version":"0.1.0","arch":"riscv64","collected_at":"2026-12-04T16:03:08Z",)"
            R"("computer_name":"ws-042","cpu_cores":2,"hardware_model":"unknown",)"
            R"("hostname":"ws-042","os":"linux","os_version":"unknown","physical_memory_bytes":0})");
}

TEST(SystemInfo, ArchNamesAndPlaceholders) {
  EXPECT_EQ(HostFacts::normalizeArch("aarch64"), "arm64");

  vela::testing::TempDir dir;
  std::filesystem::create_directories(dir.path() + "/sys/class/dmi/id");
  std::filesystem::create_directories(dir.path() + "/etc");
  vela::testing::writeFile(dir.path() + "/sys/class/dmi/id/product_serial", "Not Specified\n");
  vela::testing::writeFile(dir.path() + "/sys/class/dmi/id/product_name", "  \n");
  vela::testing::writeFile(dir.path() + "/etc/machine-info", "PRETTY_HOSTNAME=\n");
  vela::testing::writeFile(dir.path() + "/etc/os-release", "VERSION_ID=24.04\nVERSION_ID_X=1\n");
  FakeSources src(dir.path());
  EXPECT_EQ(SystemInfo::serialNumber(src), std::nullopt);
  EXPECT_EQ(SystemInfo::hardwareModel(src), std::nullopt);
  EXPECT_EQ(HostFacts::computerName(src), "ws-042");
  EXPECT_EQ(HostFacts::osVersion(src), "24.04");
}

// The two commands as an administrator runs them.
TEST(TelemetryCommands, MetricsPrintsOneLinePerSample) {
  auto r = vela::testing::runAgent({"metrics"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::istringstream lines(r.out);
  std::string line;
  std::set<std::string> names;
  while (std::getline(lines, line)) {
    ASSERT_THAT(line, ::testing::MatchesRegex("[^=]+=[^ ]+ @ .+"));
    auto eq = line.find('=');
    auto at = line.find(" @ ");
    std::string value = line.substr(eq + 1, at - eq - 1);
    EXPECT_EQ(Metrics::valueText(std::stod(value)), value) << line;
    EXPECT_TRUE(ISOTime::parseSeconds(line.substr(at + 3)).has_value()) << line;
    names.insert(line.substr(0, eq));
    EXPECT_FALSE(line.starts_with("cpu_core:")) << line;
  }
  EXPECT_THAT(names, ::testing::IsSupersetOf({"cpu_load", "memory_pct", "memory_total_bytes",
                                              "disk_pct:/", "disk_pct", "uptime_seconds"}));
}

TEST(TelemetryCommands, InventoryPrintsPrettySortedJSON) {
  auto r = vela::testing::runAgent({"inventory"});
  EXPECT_EQ(r.status, 0) << r.err;
  auto doc = nlohmann::json::parse(r.out, nullptr, false);
  ASSERT_FALSE(doc.is_discarded()) << r.out;
  EXPECT_EQ(doc["os"], "linux");
  EXPECT_TRUE(r.out.starts_with("{\n  \"agent_version\": \"0.1.0\",\n")) << r.out;
}

}  // namespace
}  // namespace vela
