#include "telemetry/hardware_snapshot.h"

#include <map>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <nlohmann/json.hpp>

#include "support/temp_dir.h"
#include "telemetry/byte_size.h"
#include "telemetry/fake_sources.h"
#include "util/canonical_json.h"

namespace vela {
namespace {

using ::testing::ElementsAre;
using ::testing::Key;
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
      return outputs.contains(path) ? outputs[path] : std::nullopt;
    };
  }
};

std::string fixture(const std::string& name) { return testing::readFileOrEmpty(fixturePath(name)); }

// The record as an independent reader sees it.
nlohmann::json tree(const JSONValue& value) { return nlohmann::json::parse(CanonicalJSON::encode(value)); }

TEST(ByteSize, TextsAndNumbers) {
  EXPECT_EQ(ByteSize::parse("1,02 TB"), 1'020'000'000'000u);
  EXPECT_EQ(ByteSize::parse("12 kb"), 12'000u);
  EXPECT_EQ(ByteSize::parse("18446744073709551615"), 18446744073709551615u);
  EXPECT_EQ(ByteSize::parse("1.9"), 1u);      // no unit: bytes, truncated
  EXPECT_EQ(ByteSize::parse("7 XB"), 7u);     // unknown unit multiplies by one
  EXPECT_EQ(ByteSize::parse("-5 GB"), std::nullopt);
  EXPECT_EQ(ByteSize::parse("99999999999 TB"), std::nullopt);  // past 64 bits
  EXPECT_EQ(ByteSize::fromJSON(JSONValue(-1)), std::nullopt);
  EXPECT_EQ(ByteSize::fromJSON(JSONValue(2.5)), 2u);
  EXPECT_EQ(ByteSize::fromJSON(JSONValue::number("-0")), 0u);
  EXPECT_EQ(ByteSize::fromJSON(JSONValue::number("18446744073709551615")), 18446744073709551615u);
  // Past 64 bits a size is read as a double, which does not fit either.
  EXPECT_EQ(ByteSize::fromJSON(JSONValue::number("18446744073709551616")), std::nullopt);
  EXPECT_EQ(ByteSize::fromJSON(JSONValue::number("1.5e3")), 1500u);
  EXPECT_EQ(ByteSize::fromJSON(JSONValue(true)), std::nullopt);
}

// Both tools' fixture output, collected as root: the processor from cpuinfo and the
// topology (threads as cpuinfo lists them, more than are online), one module per slot
// (an empty slot keeps its name, its placeholders absent; a nested list's "Type: Other"
// does not override the device's own type), and whole disks only, each with the first
// mount found below it.
TEST(HardwareCollect, RootReadsModuleTableAndWholeDisks) {
  FakeSources src;
  src.root = true;
  RecordedTools tools;
  tools.outputs["/usr/sbin/dmidecode"] = fixture("dmidecode-memory.txt");
  tools.outputs["/usr/bin/lsblk"] = fixture("lsblk.json");
  EXPECT_EQ(tree(HardwareSnapshot::collect(src, tools.runner()).toJSON()), nlohmann::json::parse(R"({
    "cpu": {"model": "Intel(R) Core(TM) i7-8650U CPU @ 1.90GHz", "cores": 2, "threads": 4, "arch": "x86_64"},
    "memory": {"total_bytes": 16777216000, "type": "DDR4", "modules": [
      {"slot": "ChannelA-DIMM0", "size_bytes": 8000000000, "type": "DDR4", "manufacturer": "Samsung"},
      {"slot": "ChannelB-DIMM0"},
      {"slot": "ChannelB-DIMM1", "size_bytes": 16384000000, "type": "DDR4", "manufacturer": "Micron"}]},
    "disks": [
      {"name": "sda", "model": "WDC WD40EFRX-68N", "size_bytes": 4000787030016, "type": "HDD", "mount": "/srv/data"},
      {"name": "nvme0n1", "model": "Samsung SSD 970 EVO Plus 1TB", "size_bytes": 1000204886016, "type": "SSD",
       "mount": "/boot/efi"}]})"));
  EXPECT_THAT(tools.calls, ElementsAre(Call{"/usr/sbin/dmidecode", {"-t", "memory"}},
                                       Key("/usr/bin/lsblk")));
}

TEST(HardwareParsers, OlderLsblkAndUnusableOutput) {
  // Older lsblk: flags and sizes as text.
  HardwareSnapshot s;
  s.disks = HardwareSnapshot::disksFromLsblk(
      R"({"blockdevices":[{"name":"sdb","model":null,"size":"1,5 TB","rota":"1","type":"disk",
          "mountpoint":"[SWAP]"},{"name":"sdc","size":"letters","type":"disk"}]})");
  EXPECT_EQ(tree(s.toJSON())["disks"],
            nlohmann::json::parse(R"([{"name":"sdb","size_bytes":1500000000000,"type":"HDD"},{"name":"sdc"}])"));
  EXPECT_TRUE(HardwareSnapshot::disksFromLsblk("not json").empty());
  EXPECT_TRUE(HardwareSnapshot::disksFromLsblk(R"({"blockdevices":{}})").empty());
  EXPECT_TRUE(HardwareSnapshot::modulesFromDmidecode("").empty());
}

TEST(HardwareCollect, WithoutRootOrToolsFallsBackToKernelView) {
  FakeSources src;
  RecordedTools tools;
  const auto kernelView = nlohmann::json::parse(
      R"({"total_bytes":16777216000,"modules":[{"slot":"Unified","size_bytes":16777216000}]})");
  auto s = HardwareSnapshot::collect(src, tools.runner());
  EXPECT_EQ(tree(s.toJSON())["memory"], kernelView);
  EXPECT_TRUE(s.disks.empty());
  EXPECT_THAT(tools.calls, ElementsAre(Key("/usr/bin/lsblk")));  // dmidecode is not even tried

  src.root = true;  // root, but dmidecode fails
  EXPECT_EQ(tree(HardwareSnapshot::collect(src, tools.runner()).toJSON())["memory"], kernelView);
}

TEST(HardwareCollect, EmptyMachineStillEncodes) {
  vela::testing::TempDir empty;
  FakeSources src(empty.path());
  src.machineName.reset();
  src.processors = 3;
  RecordedTools tools;
  auto j = HardwareSnapshot::collect(src, tools.runner()).toJSON();
  EXPECT_EQ(CanonicalJSON::encode(j),
            R"({"cpu":{"arch":"unknown","cores":3,"threads":3},"disks":[],)"
            R"("memory":{"modules":[{"slot":"Unified"}],"total_bytes":0}})");
}

}  // namespace
}  // namespace vela
