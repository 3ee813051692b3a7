// The daemon's gateway connection cut again and again at random points, with shells
// open: inside the TLS handshake, inside the upgrade answer, halfway through a frame
// the gateway sends (frames larger than a TLS record included, so the agent holds a
// partial frame), while the agent streams shell output, or at a quiet moment; by reset
// or by a bare TCP close. The daemon must come back every time with working shells,
// and in the end be the process it was: descriptors, threads and resident memory back
// near their warm-up figures.
//
// VELA_SOAK_DROPS sets how many drops (default 10, the test command's run;
// scripts/soak.sh uses 1000); VELA_SOAK_SEED repeats a run.

#include <gmock/gmock.h>
#include <signal.h>

#include <chrono>
#include <iostream>
#include <map>
#include <optional>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <thread>

#include "config/agent_config.h"
#include "soak/drop_gateway.h"
#include "soak/soak_support.h"
#include "support/enrolled_agent.h"
#include "util/base64.h"

namespace vela {
namespace {

using testing::BackgroundProcess;
using testing::DropGatewayConnection;
using Json = nlohmann::json;
using namespace std::chrono_literals;

constexpr int kGatewayPort = 8443;  // fixed: the agent dials the control plane's host on it

std::string frame(Json value) { return value.dump(); }

// Opens `count` shells named after `round`, types a command into each and waits for
// every opened frame and every command's output (which the terminal's echo of the
// typed line cannot imitate). Empty when all arrived, else what went wrong.
std::string openWorkingShells(DropGatewayConnection& connection, int round, int count) {
  std::map<std::string, std::string> output;  // session -> its terminal output so far
  std::set<std::string> opened;
  for (int s = 0; s < count; ++s) {
    std::string id = "d" + std::to_string(round) + "-" + std::to_string(s);
    output[id];
    std::string line = "echo ab''cd" + id + "\n";
    if (!connection.sendText(frame({{"type", "shell.open"}, {"session_id", id}, {"shell", "/bin/sh"}})) ||
        !connection.sendText(frame({{"type", "shell.stdin"}, {"session_id", id}, {"data", Base64::encode(line)}}))) {
      return "the connection failed while opening shells";
    }
  }
  auto done = [&] {
    if (opened.size() < output.size()) return false;
    for (const auto& [id, text] : output) {
      if (text.find("abcd" + id) == std::string::npos) return false;
    }
    return true;
  };
  while (!done()) {
    auto text = connection.receiveText(30s);
    if (!text) return "no frame within 30 s; opened " + std::to_string(opened.size()) + " of " + std::to_string(count);
    Json f = Json::parse(*text, nullptr, false);
    std::string id = f.value("session_id", "");
    if (!output.contains(id)) continue;
    std::string type = f.value("type", "");
    if (type == "shell.opened") opened.insert(id);
    if (type == "shell.error" || type == "shell.exit") return "shell " + id + " failed: " + *text;
    if (type == "shell.stdout") {
      auto bytes = Base64::decode(f.value("data", ""));
      if (bytes) output[id].append(bytes->begin(), bytes->end());
    }
  }
  return "";
}

TEST(GatewayDropSoak, DaemonReconnectsAfterEveryDropWithWorkingShells) {
  testing::ControlPlane cp;
  testing::ScopedStateDir state;
  // Few heartbeats and polls: the figures should show the gateway's doing.
  testing::provisionForControlPlane(cp, state.path(), 60);
  testing::DropGateway gateway(cp.dir() + "/server.pem", cp.dir() + "/server.key", kGatewayPort);
  BackgroundProcess agent(testing::agentExe(), {"run"}, {{"VELA_STATE_DIR", state.path()}});
  ASSERT_FALSE(testing::waitForEnrolledAgentID().empty()) << agent.err();
  const std::string bearer = "Bearer " + AgentConfig::load()->deviceToken.value_or("?");

  const int drops = testing::soakCount("VELA_SOAK_DROPS", 10);
  const int warmUp = std::min(3, drops - 1);
  std::mt19937 random(testing::soakSeed());
  auto uniform = [&](std::size_t low, std::size_t high) {
    return std::uniform_int_distribution<std::size_t>(low, high)(random);
  };

  // The next connection, upgraded; the request checked on the way.
  auto upgraded = [&](int round) -> std::unique_ptr<DropGatewayConnection> {
    auto connection = gateway.accept(60s);
    if (!connection) return nullptr;
    auto request = connection->readUpgradeRequest();
    if (!request || !request->starts_with("GET /v1/agent/conn HTTP/1.1\r\n") ||
        request->find(bearer) == std::string::npos || !connection->answerUpgrade(*request)) {
      ADD_FAILURE() << "round " << round << ": bad upgrade: " << request.value_or("(none)");
      return nullptr;
    }
    return connection;
  };

  std::map<std::string, int> tally;
  std::optional<testing::ProcessFigures> before;
  int shells = 0;
  for (int round = 0; round < drops; ++round) {
    const std::size_t roll = uniform(0, 99);
    auto connection = roll < 10 ? gateway.accept(60s) : upgraded(round);
    ASSERT_TRUE(connection) << "no reconnect in round " << round << "\n" << agent.err();
    if (roll < 10) {
      if (roll < 5) {
        ASSERT_TRUE(connection->awaitClientHello(10s));
        ++tally["in the TLS handshake"];
      } else {
        auto request = connection->readUpgradeRequest();
        ASSERT_TRUE(request);
        connection->answerUpgrade(*request, uniform(0, 60));
        ++tally["in the upgrade answer"];
      }
      connection->drop(roll % 2 == 0);
      continue;
    }
    if (round >= warmUp && !before) before = testing::idleFigures(agent.pid());
    const int count = static_cast<int>(uniform(1, 3));
    std::string failed = openWorkingShells(*connection, round, count);
    ASSERT_EQ(failed, "") << "round " << round << "\n" << agent.err();
    shells += count;
    const std::string session = "d" + std::to_string(round) + "-0";
    if (roll < 50) {
      // Past 16 KiB a frame spans TLS records: the agent holds part of it when cut.
      Json resize = {{"type", "shell.resize"}, {"session_id", session}, {"cols", 100}, {"rows", 30},
                     {"pad", std::string(uniform(0, 70'000), 'p')}};
      std::string text = resize.dump();
      connection->sendText(text, uniform(1, DropGatewayConnection::encodedSize(text.size()) - 1));
      ++tally["halfway through a gateway frame"];
    } else if (roll < 80) {
      std::string flood = "yes soak-output-soak-output | head -n 300000\n";
      connection->sendText(frame({{"type", "shell.stdin"}, {"session_id", session}, {"data", Base64::encode(flood)}}));
      for (std::size_t n = uniform(1, 40); n > 0 && connection->receiveText(10s); --n) {
      }
      ++tally["while the agent streams output"];
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(uniform(0, 300)));
      ++tally["at a quiet moment"];
    }
    connection->drop(roll % 2 == 0);
  }

  auto last = upgraded(drops);
  ASSERT_TRUE(last) << "no reconnect after the last drop\n" << agent.err();
  const auto after = testing::idleFigures(agent.pid());
  if (!before) before = after;  // every round after the warm-up cut before the upgrade
  EXPECT_EQ(openWorkingShells(*last, drops, 3), "") << agent.err();
  std::cout << "soak: " << drops << " gateway drops, " << shells << " shells opened and working\n";
  for (const auto& [where, n] : tally) std::cout << "soak:   " << n << " " << where << "\n";
  testing::expectSettled(*before, after);

  // The gateway's close frame, then a bare TCP close before the agent can answer it.
  ASSERT_TRUE(last->sendClose(1000));
  last->drop(false);
  auto closedOnce = upgraded(drops + 1);
  ASSERT_TRUE(closedOnce) << "no reconnect after the gateway's close\n" << agent.err();
  EXPECT_THAT(agent.err(),
              ::testing::HasSubstr("gateway: disconnected (ws closed: 1000); reconnect in "));
  closedOnce->drop();
  EXPECT_EQ(agent.stop(SIGTERM), 0) << agent.err();
}

}  // namespace
}  // namespace vela
