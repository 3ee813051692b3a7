#include "telemetry/hardware_snapshot.h"

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/temp_dir.h"
#include "telemetry/byte_size.h"
#include "telemetry/fake_sources.h"

namespace vela {
namespace {

using testing::FakeSources;
using testing::fixturePath;
using Call = std::pair<std::string, std::vector<std::string>>;

// Replays recorded tool output and remembers what was run.
struct RecordedTools {
  std::map<std::string, std::optional<std::string>> outputs;
  std::vector<Call> calls;

  ToolRunner runner() {
    return [this](const std::string& path, const std::vector<std::string>& args, double) {
      calls.emplace_back(path, args);
      auto it = outputs.find(path);
      return it == outputs.end() ? std::nullopt : it->second;
    };
  }
};

std::string fixture(const std::string& name) {
  return vela::testing::readFileOrEmpty(fixturePath(name));
}

TEST(ByteSize, TextsAndNumbers) {
  EXPECT_EQ(ByteSize::parse("16 GB"), 16'000'000'000u);
  EXPECT_EQ(ByteSize::parse("500,11 GB"), 500'110'000'000u);
  EXPECT_EQ(ByteSize::parse("1,02 TB"), 1'020'000'000'000u);
  EXPECT_EQ(ByteSize::parse("12 kb"), 12'000u);
  EXPECT_EQ(ByteSize::parse("18446744073709551615"), 18446744073709551615u);
  EXPECT_EQ(ByteSize::parse("1.9"), 1u);      // no unit: bytes, truncated
  EXPECT_EQ(ByteSize::parse("7 XB"), 7u);     // unknown unit multiplies by one
  EXPECT_EQ(ByteSize::parse("No Module Installed"), std::nullopt);
  EXPECT_EQ(ByteSize::parse("-5 GB"), std::nullopt);
  EXPECT_EQ(ByteSize::parse("99999999999 TB"), std::nullopt);  // past 64 bits
  EXPECT_EQ(ByteSize::fromJSON(nlohmann::json(5)), 5u);
  EXPECT_EQ(ByteSize::fromJSON(nlohmann::json(-1)), std::nullopt);
  EXPECT_EQ(ByteSize::fromJSON(nlohmann::json(2.5)), 2u);
  EXPECT_EQ(ByteSize::fromJSON(nlohmann::json("2 GB")), 2'000'000'000u);
}

TEST(HardwareParsers, DmidecodeModulesOnePerSlot) {
  auto modules = HardwareSnapshot::modulesFromDmidecode(fixture("dmidecode-memory.txt"));
  ASSERT_EQ(modules.size(), 3u);
  EXPECT_EQ(modules[0].slot, "ChannelA-DIMM0");
  EXPECT_EQ(modules[0].size_bytes, 8'000'000'000u);
  EXPECT_EQ(modules[0].type, "DDR4");
  EXPECT_EQ(modules[0].manufacturer, "Samsung");
  // An empty slot keeps its name; placeholders are absent, not text.
  EXPECT_EQ(modules[1].slot, "ChannelB-DIMM0");
  EXPECT_EQ(modules[1].size_bytes, std::nullopt);
  EXPECT_EQ(modules[1].type, std::nullopt);
  EXPECT_EQ(modules[1].manufacturer, std::nullopt);
  // A nested list's "Type: Other" must not override the device's own type.
  EXPECT_EQ(modules[2].type, "DDR4");
  EXPECT_EQ(modules[2].size_bytes, 16'384'000'000u);
  EXPECT_TRUE(HardwareSnapshot::modulesFromDmidecode("").empty());
}

TEST(HardwareParsers, LsblkWholeDisksOnly) {
  auto disks = HardwareSnapshot::disksFromLsblk(fixture("lsblk.json"));
  ASSERT_EQ(disks.size(), 2u);
  EXPECT_EQ(disks[0].name, "sda");
  EXPECT_EQ(disks[0].model, "WDC WD40EFRX-68N");
  EXPECT_EQ(disks[0].size_bytes, 4000787030016u);
  EXPECT_EQ(disks[0].type, "HDD");
  EXPECT_EQ(disks[0].mount, "/srv/data");  // found two levels down
  EXPECT_EQ(disks[1].name, "nvme0n1");
  EXPECT_EQ(disks[1].type, "SSD");
  EXPECT_EQ(disks[1].mount, "/boot/efi");

  // Older lsblk: flags and sizes as text.
  auto old = HardwareSnapshot::disksFromLsblk(
      R"({"blockdevices":[{"name":"sdb","model":null,"size":"1,5 TB","rota":"1","type":"disk",
          "mountpoint":"[SWAP]"},{"name":"sdc","size":"letters","type":"disk"}]})");
  ASSERT_EQ(old.size(), 2u);
  EXPECT_EQ(old[0].size_bytes, 1'500'000'000'000u);
  EXPECT_EQ(old[0].type, "HDD");
  EXPECT_EQ(old[0].model, std::nullopt);
  EXPECT_EQ(old[0].mount, std::nullopt);
  EXPECT_EQ(old[1].size_bytes, std::nullopt);
  EXPECT_EQ(old[1].type, std::nullopt);

  EXPECT_TRUE(HardwareSnapshot::disksFromLsblk("not json").empty());
  EXPECT_TRUE(HardwareSnapshot::disksFromLsblk(R"({"blockdevices":{}})").empty());
}

TEST(HardwareCollect, RootReadsModuleTable) {
  FakeSources src;
  src.root = true;
  src.processors = 2;
  RecordedTools tools;
  tools.outputs["/usr/sbin/dmidecode"] = fixture("dmidecode-memory.txt");
  tools.outputs["/usr/bin/lsblk"] = fixture("lsblk.json");
  auto s = HardwareSnapshot::collect(src, tools.runner());

  EXPECT_EQ(s.cpu.model, "Intel(R) Core(TM) i7-8650U CPU @ 1.90GHz");
  EXPECT_EQ(s.cpu.threads, 4);  // cpuinfo lists more than are online
  EXPECT_EQ(s.cpu.cores, 2);    // two distinct cores in the topology
  EXPECT_EQ(s.cpu.arch, "x86_64");
  EXPECT_EQ(s.memory.total_bytes, 16'777'216'000u);
  EXPECT_EQ(s.memory.type, "DDR4");
  EXPECT_EQ(s.memory.modules.size(), 3u);
  EXPECT_EQ(s.disks.size(), 2u);
  ASSERT_EQ(tools.calls.size(), 2u);
  EXPECT_EQ(tools.calls[0], (Call{"/usr/sbin/dmidecode", {"-t", "memory"}}));
  EXPECT_EQ(tools.calls[1].first, "/usr/bin/lsblk");
}

TEST(HardwareCollect, WithoutRootOrToolsFallsBackToKernelView) {
  FakeSources src;
  RecordedTools tools;
  auto s = HardwareSnapshot::collect(src, tools.runner());
  ASSERT_EQ(s.memory.modules.size(), 1u);
  EXPECT_EQ(s.memory.modules[0].slot, "System memory");
  EXPECT_EQ(s.memory.modules[0].size_bytes, 16'777'216'000u);
  EXPECT_EQ(s.memory.type, std::nullopt);
  EXPECT_TRUE(s.disks.empty());
  ASSERT_EQ(tools.calls.size(), 1u);  // dmidecode is not even tried
  EXPECT_EQ(tools.calls[0].first, "/usr/bin/lsblk");

  src.root = true;  // root, but dmidecode fails
  EXPECT_EQ(HardwareSnapshot::collect(src, tools.runner()).memory.modules.size(), 1u);
}

TEST(HardwareCollect, EmptyMachineStillEncodes) {
  vela::testing::TempDir empty;
  FakeSources src(empty.path());
  src.machineName.reset();
  src.processors = 3;
  RecordedTools tools;
  auto j = HardwareSnapshot::collect(src, tools.runner()).toJSON();
  EXPECT_EQ(j.dump(),
            R"({"cpu":{"arch":"unknown","cores":3,"threads":3},"disks":[],)"
            R"("memory":{"modules":[{"slot":"System memory"}],"total_bytes":0}})");
}

}  // namespace
}  // namespace vela
