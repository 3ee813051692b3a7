// The daemon against a control plane that answers its polls and heartbeats with a long
// run of failures: server errors, garbage bodies, dropped connections and the odd
// answer slower than the client waits. Afterwards it must be the process it was:
// descriptors, threads and resident memory back near their warm-up figures, commands
// running exactly once again, and its state files whole and loadable.
//
// VELA_SOAK_COUNT sets how many failing answers (default 24, the test command's run;
// scripts/soak.sh uses 200).

#include <gtest/gtest.h>
#include <signal.h>

#include <iostream>
#include <nlohmann/json.hpp>
#include <thread>

#include "commands/replay_store.h"
#include "config/agent_config.h"
#include "soak/soak_support.h"
#include "support/enrolled_agent.h"

namespace vela {
namespace {

using testing::BackgroundProcess;
using testing::ControlPlane;
using namespace std::chrono_literals;

std::size_t countOf(const std::string& jsonArray) { return nlohmann::json::parse(jsonArray).size(); }

// The i-th failing answer: server errors, garbage and drops, and with `slow` every 50th
// one (the 11th first) later than the client's 30-second limit.
ControlPlane::Fault failure(int i, const std::string& path, bool slow) {
  ControlPlane::Fault f;
  f.path = path;
  switch (slow && i % 50 == 10 ? 4 : i % 4) {
    case 0: f.status = 500; break;
    case 1:
      f.status = 200;
      f.body = i % 8 == 1 ? "{\"data\":[{\"sequence_no\":" : "<html>\x01 not json</html>";
      break;
    case 2: f.drop = true; break;
    case 3: f.status = 503; f.body = "{\"data\": \"not a list\"}"; break;
    default: f.delaySeconds = 31; break;
  }
  return f;
}

TEST(ControlPlaneFaultsSoak, DaemonRecoversFromALongRunOfBadAnswers) {
  ControlPlane cp;
  testing::ScopedStateDir state;
  testing::provisionForControlPlane(cp, state.path());

  BackgroundProcess agent(testing::agentExe(), {"run"}, {{"VELA_STATE_DIR", state.path()}});
  std::string agentID = testing::waitForEnrolledAgentID();
  ASSERT_FALSE(agentID.empty()) << agent.err();

  // Warm-up: a few commands executed and reported, so every lazily built part exists.
  for (int i = 0; i < 3; ++i) cp.queueCommand(agentID, "ping");
  ASSERT_TRUE(BackgroundProcess::waitUntil([&] { return countOf(cp.results(agentID)) >= 3; })) << agent.err();
  const auto before = testing::idleFigures(agent.pid());

  const std::string polls = "/api/agent/commands", beats = "/api/agent/telemetry";
  const int count = testing::soakCount("VELA_SOAK_COUNT", 24);
  const std::size_t pollsBefore = testing::countWhere(cp.requests(), "path", polls);
  for (int i = 0; i < count; ++i) {
    cp.scriptFault(failure(i, polls, true));
    cp.scriptFault(failure(i + 1, beats, false));
  }
  ASSERT_TRUE(BackgroundProcess::waitUntil(
      [&] { return testing::countWhere(cp.requests(), "path", polls) >= pollsBefore + count; },
      std::chrono::seconds(30 + count * 3)))
      << agent.err();
  cp.clearFaults();

  std::string id = cp.queueCommand(agentID, "ping");
  ASSERT_TRUE(BackgroundProcess::waitUntil([&] { return countOf(cp.results(agentID)) >= 4; })) << agent.err();
  std::this_thread::sleep_for(3s);  // time to run it twice, if it were to
  const auto after = testing::idleFigures(agent.pid());
  std::cout << "soak: " << count << " bad answers to each of polls and heartbeats\n";
  testing::expectSettled(before, after);

  EXPECT_EQ(testing::countWhere(cp.results(agentID), "command_id", id), 1u);

  EXPECT_EQ(agent.stop(SIGTERM), 0);
  auto stored = AgentConfig::loadStored();
  ASSERT_TRUE(stored && *stored) << (stored ? "" : stored.error().message);
  EXPECT_EQ((*stored)->agentID, agentID);
  auto replay = ReplayStore::decode(testing::readFileOrEmpty(state.file("replay.json")));
  ASSERT_TRUE(replay.has_value());
  EXPECT_EQ(replay->recentNonces.size(), 4u);
  EXPECT_EQ(testing::temporaries(state.path()), std::vector<std::string>{});
}

}  // namespace
}  // namespace vela
