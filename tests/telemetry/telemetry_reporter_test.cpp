#include "telemetry/telemetry_reporter.h"

#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/enrolled_agent.h"
#include "support/temp_dir.h"
#include "util/log.h"

namespace vela {
namespace {

using Json = nlohmann::json;
using testing::ControlPlane;
using Clock = std::chrono::system_clock;

const Clock::time_point kStart = Clock::time_point(std::chrono::seconds(1796400188));

class ReporterTest : public testing::ControlPlaneSuite {
 protected:
  TelemetryReporter makeReporter() {
    return TelemetryReporter(http_, Endpoints{cp_->baseURL()}, AgentConfig{}, agent_.deviceToken);
  }
  // Bodies the control plane received for this agent since the test began.
  std::vector<Json> received() {
    Json entries = Json::parse(cp_->heartbeats(agent_.agentID));
    std::vector<Json> bodies;
    for (std::size_t i = seen_; i < entries.size(); ++i) bodies.push_back(entries[i]["body"]);
    return bodies;
  }

  const ControlPlane::Enrolment& agent_ = enrolled();
  const std::size_t seen_ = Json::parse(cp_->heartbeats(agent_.agentID)).size();
};

std::vector<std::string> coreKeys(const Json& body) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : body["metrics"].items()) {
    if (key.starts_with("cpu_core:")) keys.push_back(key);
  }
  return keys;
}

TEST_F(ReporterTest, FirstCarriesHardwareSecondCarriesCoresThenDaily) {
  auto reporter = makeReporter();
  for (int offset : {0, 60, 86399, 86400}) {
    ASSERT_TRUE(reporter.sendHeartbeat(std::nullopt, kStart + std::chrono::seconds(offset)));
  }
  auto bodies = received();
  ASSERT_EQ(bodies.size(), 4u);
  EXPECT_FALSE(bodies[2].contains("hardware"));  // one second short of a day
  EXPECT_TRUE(bodies[3].contains("hardware"));

  EXPECT_TRUE(coreKeys(bodies[0]).empty());
  EXPECT_EQ(bodies[0]["recorded_at"], "2026-12-04T16:03:08Z");

  EXPECT_FALSE(bodies[1].contains("hardware"));
  EXPECT_EQ(coreKeys(bodies[1]).size(), static_cast<std::size_t>(::sysconf(_SC_NPROCESSORS_ONLN)));
  EXPECT_EQ(bodies[1]["recorded_at"], "2026-12-04T16:04:08Z");
}

TEST_F(ReporterTest, RejectionLogsTwoHundredCharactersAndKeepsHardwarePending) {
  vela::testing::TempDir logDir;
  vela::testing::ScopedEnv logFile("VELA_LOG_FILE", logDir.file("agent.log"));
  Log::resetLogFileForTesting();
  // 150 one-byte characters, then two-byte ones: the limit counts characters, not bytes.
  std::string page = "<html><head><title>401 Unauthorized</title></head><body>" +
                     std::string(150 - 56, 'x');
  for (int i = 0; i < 300; ++i) page += "\xc3\xa4";
  cp_->scriptFault({.path = "/api/agent/telemetry", .status = 401, .body = page});

  auto reporter = makeReporter();
  EXPECT_TRUE(reporter.sendHeartbeat(std::vector<MetricSample>{}, kStart).has_value());
  std::string log = vela::testing::readFileOrEmpty(logDir.file("agent.log"));
  std::string expected = "WARN: heartbeat rejected (HTTP 401): " + page.substr(0, 150 + 2 * 50) + "\n";
  EXPECT_TRUE(log.ends_with(expected)) << log;
  Log::resetLogFileForTesting();

  ASSERT_TRUE(reporter.sendHeartbeat(std::vector<MetricSample>{}, kStart + std::chrono::seconds(1)));
  auto bodies = received();
  ASSERT_EQ(bodies.size(), 1u);  // the rejected one never reached the store
  EXPECT_TRUE(bodies[0].contains("hardware"));
}

TEST(ReporterBody, EncodesCompactlyWithOptionalHardware) {
  // A later sample with the same name replaces the earlier value.
  auto body = TelemetryReporter::makeBody(
      {{"cpu_load", 1.5, ""}, {"memory_total_bytes", 17179869184.0, ""}, {"cpu_load", 0.25, ""}},
      kStart, std::nullopt);
  EXPECT_EQ(body.encode().value(),
            R"({"metrics":{"cpu_load":0.25,"memory_total_bytes":17179869184.0},)"
            R"("recorded_at":"2026-12-04T16:03:08Z"})");
  HardwareSnapshot hw;
  hw.disks.push_back({std::string("bad \xff name"), std::nullopt, std::nullopt, std::nullopt, std::nullopt});
  body.hardware = hw;
  auto encoded = body.encode();
  ASSERT_TRUE(encoded.has_value());  // a stray byte from a tool must not block heartbeats
  EXPECT_TRUE(Json::parse(*encoded).contains("hardware"));
}

}  // namespace
}  // namespace vela
