#include "telemetry/cpu_core_sampler.h"

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "telemetry/fake_sources.h"

namespace vela {
namespace {

using testing::FakeSources;
using testing::MetricPairs;
using testing::pairs;

const auto kNow = std::chrono::system_clock::time_point(std::chrono::seconds(1796400188));

class CPUCoreSamplerTest : public ::testing::Test {
 protected:
  CPUCoreSamplerTest() : sources_(dir_.path()) {
    std::filesystem::create_directories(dir_.path() + "/proc");
  }
  void writeStat(const std::string& text) { testing::writeFile(dir_.path() + "/proc/stat", text); }

  vela::testing::TempDir dir_;
  FakeSources sources_;
};

TEST_F(CPUCoreSamplerTest, FirstCallRecordsSecondReportsPerCoreShare) {
  CPUCoreSampler sampler(sources_);
  writeStat(
      "cpu  0 0 0 0\n"
      "cpu0 100 0 100 800 0 0 0 0\n"
      "cpu1 100 0 100 800 0 0 0 0\n"
      "cpu2 100 0 100 800 0 0 0 0\n"
      "intr 1 2 3\n");
  EXPECT_TRUE(sampler.sample(kNow).empty());
  // cpu0: 50 user + 25 nice + 25 system of 300 ticks; cpu1: idle and I/O wait only;
  // cpu2: interrupts and steal count as busy, 1 of 3 ticks.
  writeStat(
      "cpu  0 0 0 0\n"
      "cpu0 150 25 125 1000 0 0 0 0\n"
      "cpu1 100 0 100 1000 100 0 0 0\n"
      "cpu2 100 0 100 802 0 0 0 1\n");
  EXPECT_EQ(pairs(sampler.sample(kNow)),
            (MetricPairs{{"cpu_core:0", 33.33}, {"cpu_core:1", 0.0}, {"cpu_core:2", 33.33}}));
}

TEST_F(CPUCoreSamplerTest, RoundsThatCannotBeCompared) {
  CPUCoreSampler sampler(sources_);
  writeStat("cpu0 1 0 1 10\ncpu1 1 0 1 10\n");
  sampler.sample(kNow);
  writeStat("cpu0 2 0 2 20\n");  // a processor went away: skip one round
  EXPECT_TRUE(sampler.sample(kNow).empty());
  std::filesystem::remove(dir_.path() + "/proc/stat");  // unreadable: the last good one is kept
  EXPECT_TRUE(sampler.sample(kNow).empty());
  writeStat("cpu0 garbage\n");
  EXPECT_TRUE(sampler.sample(kNow).empty());
  writeStat("cpu0 12 0 2 20\n");
  EXPECT_EQ(pairs(sampler.sample(kNow)), (MetricPairs{{"cpu_core:0", 100.0}}));
  // Counters that stand still or run backwards (hot-plug) report 0, not garbage.
  writeStat("cpu0 12 0 2 20\n");
  EXPECT_EQ(sampler.sample(kNow)[0].value, 0.0);
  writeStat("cpu0 1 0 1 5\n");
  EXPECT_EQ(sampler.sample(kNow)[0].value, 0.0);
}

}  // namespace
}  // namespace vela
