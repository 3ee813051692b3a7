// The daemon killed with SIGKILL at random moments, round after round: while it
// provisions itself from the environment and enrols (saving config.json, the device key
// and the certificate), and while it verifies, runs and reports commands (saving
// replay.json). After each kill its state must load, a restart must come up enrolled
// and working, and no command may run twice, not even when the control plane delivers
// every command of the round again, as one that never saw their results would. The
// commands log their own runs; the control plane keeps every result.
//
// VELA_SOAK_KILLS sets how many kills (default 8, the test command's run;
// scripts/soak.sh uses 100); VELA_SOAK_SEED repeats a run.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <functional>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <thread>

#include "commands/replay_store.h"
#include "config/agent_config.h"
#include "soak/soak_support.h"
#include "support/enrolled_agent.h"

namespace vela {
namespace {

using testing::BackgroundProcess;
using testing::ControlPlane;
using Json = nlohmann::json;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kCommandsPerRound = 3;

// Queues a script that appends `id` to `log`, under that command id.
void queueLoggedRun(const ControlPlane& cp, const std::string& agentID, const std::string& id,
                    const std::string& log) {
  Json body = {{"agent_id", agentID}, {"type", "run_script"}, {"id", id},
               {"payload", {{"script", "echo " + id + " >> " + log}, {"interpreter", "sh"}}}};
  ASSERT_EQ(cp.admin("POST", "/admin/commands", body.dump()).status, 201);
}

// The wire form of every command of `agentID` whose id starts with `prefix` and that
// was handed out, signed again exactly as delivered.
Json redelivery(const ControlPlane& cp, const std::string& agentID, const std::string& prefix) {
  Json wire = Json::array();
  for (const auto& c : Json::parse(cp.commands(agentID))) {
    if (c["status"] == "queued" || !c["id"].get<std::string>().starts_with(prefix)) continue;
    Json sign = {{"agent_id", agentID}, {"type", c["type"]},       {"payload", c["payload"]},
                 {"id", c["id"]},       {"sequence_no", c["sequence_no"]}, {"nonce", c["nonce"]},
                 {"issued_at", c["issued_at"]}};
    wire.push_back(Json::parse(cp.admin("POST", "/admin/sign", sign.dump()).body));
  }
  return wire;
}

std::size_t resultsFor(const ControlPlane& cp, const std::string& id) {
  return testing::countWhere(cp.results(), "command_id", id);
}

TEST(DaemonKillSoak, StateSurvivesKillsAndNoCommandRunsTwice) {
  ControlPlane cp;
  testing::ScopedStateDir state;
  testing::TempDir work;
  const std::string runs = work.file("runs");
  testing::provisionForControlPlane(cp, state.path());
  std::map<std::string, std::optional<std::string>> env = {
      {"VELA_STATE_DIR", state.path()}, {"VELA_SERVER", cp.baseURL()}, {"VELA_TOKEN", std::nullopt}};

  const int kills = testing::soakCount("VELA_SOAK_KILLS", 8);
  std::mt19937 random(testing::soakSeed());

  // A fresh identity: reset, then a daemon that provisions from the environment.
  auto freshIdentity = [&] {
    ASSERT_EQ(testing::runAgent({"reset", "--yes"}, {{"VELA_STATE_DIR", state.path()}}).status, 0);
    env["VELA_TOKEN"] = cp.newToken();
  };
  std::string agentID;
  auto enrolled = [&] {
    agentID = testing::waitForEnrolledAgentID(0ms);
    return !agentID.empty();
  };
  auto killAfter = [&](Clock::duration delay) {
    BackgroundProcess agent(testing::agentExe(), {"run"}, env);
    std::this_thread::sleep_for(delay);
    agent.stop(SIGKILL);
  };
  // Starts the daemon, waits until `ready` holds and stops it; how long that took.
  auto runUntil = [&](const std::function<bool()>& ready) {
    auto started = Clock::now();
    BackgroundProcess agent(testing::agentExe(), {"run"}, env);
    EXPECT_TRUE(BackgroundProcess::waitUntil(ready, 60s)) << agent.err();
    auto took = Clock::now() - started;
    EXPECT_EQ(agent.stop(SIGTERM), 0) << agent.err();
    return took;
  };

  // Calibration: how long an enrolment and a round of commands take, uninterrupted; the
  // faster of two, as a first run pays for cold caches.
  Clock::duration enrolTime = Clock::duration::max(), commandTime = Clock::duration::max();
  for (int pass = 0; pass < 2; ++pass) {
    freshIdentity();
    enrolTime = std::min(enrolTime, runUntil(enrolled));
    const std::string last = "w" + std::to_string(pass) + "-" + std::to_string(kCommandsPerRound - 1);
    for (int j = 0; j < kCommandsPerRound; ++j)
      queueLoggedRun(cp, agentID, "w" + std::to_string(pass) + "-" + std::to_string(j), runs);
    commandTime = std::min(commandTime, runUntil([&] { return resultsFor(cp, last) == 1; }));
  }
  std::cout << "soak: uninterrupted, enrolment " << std::chrono::duration_cast<std::chrono::milliseconds>(enrolTime).count()
            << " ms, " << kCommandsPerRound << " commands " << std::chrono::duration_cast<std::chrono::milliseconds>(commandTime).count()
            << " ms (each kill falls at a random moment within these)" << std::endl;

  std::map<std::string, int> tally;
  int redelivered = 0, tokensSpent = 0;
  for (int round = 0; round < kills; ++round) {
    const bool enrolment = round % 3 == 0;
    const std::string prefix = "k" + std::to_string(round) + "-";
    if (enrolment) {
      freshIdentity();
    } else {
      for (int j = 0; j < kCommandsPerRound; ++j) queueLoggedRun(cp, agentID, prefix + std::to_string(j), runs);
    }
    auto window = std::chrono::duration_cast<std::chrono::microseconds>(enrolment ? enrolTime : commandTime);
    killAfter(std::chrono::microseconds(std::uniform_int_distribution<long>(0, window.count())(random)));

    // What the kill interrupted, and whether what it left loads.
    for (const auto& file : testing::temporaries(state.path())) ++tally["left a half-saved " + file];
    auto stored = AgentConfig::loadStored();
    ASSERT_TRUE(stored) << "round " << round << ": " << stored.error().message;
    std::string replayText = testing::readFileOrEmpty(state.file("replay.json"));
    ASSERT_TRUE(replayText.empty() || ReplayStore::decode(replayText)) << replayText;
    if (enrolment) {
      ++tally[*stored && (*stored)->agentID ? "kills after the enrolment was saved" : "kills during provisioning or enrolment"];
    } else {
      std::size_t reported = 0;
      for (int j = 0; j < kCommandsPerRound; ++j) reported += resultsFor(cp, prefix + std::to_string(j));
      ++tally["kills with " + std::to_string(reported) + " of " + std::to_string(kCommandsPerRound) + " commands reported"];
      // Every command handed out in this round comes again, first in the next poll.
      Json wire = redelivery(cp, agentID, prefix);
      redelivered += static_cast<int>(wire.size());
      if (!wire.empty()) {
        cp.scriptFault({.path = "/api/agent/commands", .status = 200,
                        .body = Json{{"commands", wire}}.dump()});
      }
    }

    // The restart comes up enrolled and runs a new command exactly once.
    if (enrolment) {
      BackgroundProcess agent(testing::agentExe(), {"run"}, env);
      const std::string refused = "Invalid or expired enrollment token";
      BackgroundProcess::waitUntil([&] { return enrolled() || agent.err().find(refused) != std::string::npos; });
      agent.stop(agentID.empty() ? SIGKILL : SIGTERM);
      if (agentID.empty()) {
        // The server took the token and the kill came before the agent saved its
        // reply: a one-time token is spent for good. Enrol with a new one.
        ASSERT_NE(agent.err().find(refused), std::string::npos) << agent.err();
        ++tokensSpent;
        freshIdentity();
      }
    }
    const std::string probe = "p" + std::to_string(round);
    bool queued = false;
    runUntil([&] {
      if (!enrolled()) return false;
      if (!queued) queueLoggedRun(cp, agentID, probe, runs);
      queued = true;
      return resultsFor(cp, probe) == 1;
    });
    ASSERT_EQ(resultsFor(cp, probe), 1u) << "round " << round;
    EXPECT_EQ(testing::temporaries(state.path()), std::vector<std::string>{}) << "round " << round;
  }

  // Each command ran at most once; each one reported ran (every probe was reported).
  std::map<std::string, int> ranTimes;
  std::istringstream lines(testing::readFileOrEmpty(runs));
  for (std::string id; std::getline(lines, id);) ++ranTimes[id];
  int ran = 0;
  for (const auto& [id, n] : ranTimes) {
    EXPECT_EQ(n, 1) << id << " ran " << n << " times";
    ran += id.starts_with("k");
  }
  for (const auto& r : Json::parse(cp.results())) {
    std::string id = r["command_id"];
    EXPECT_EQ(resultsFor(cp, id), 1u) << id;
    EXPECT_EQ(ranTimes[id], 1) << id << " reported but never ran";
  }

  std::cout << "soak: " << kills << " SIGKILLs of the daemon, each followed by a restart\n";
  for (const auto& [what, n] : tally) std::cout << "soak:   " << n << " " << what << "\n";
  std::cout << "soak: " << tokensSpent << " enrolment tokens spent by a kill after the server accepted\n"
            << "soak: " << ran << " of the rounds' commands ran, " << redelivered
            << " deliveries repeated after the kills, none ran twice" << std::endl;
}

}  // namespace
}  // namespace vela
