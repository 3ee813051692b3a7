#include "runtime/agent_runtime.h"

#include <gmock/gmock.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "support/temp_dir.h"
#include "util/serial_queue.h"

namespace vela {
namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;

AgentConfig fastConfig() {
  AgentConfig c;
  c.serverBaseURL = "https://127.0.0.1:1";
  c.agentID = "a-1";
  c.heartbeatIntervalSeconds = c.commandPollIntervalSeconds = 1;
  return c;
}

struct Counted {
  std::atomic<int> heartbeats{0}, polls{0}, updates{0};
  Semaphore secondPoll;
  AgentRuntime::Tasks tasks(std::optional<std::string> heartbeatError = std::nullopt) {
    AgentRuntime::Tasks t;
    t.heartbeat = [this, heartbeatError]() -> Result<void> {
      ++heartbeats;
      if (heartbeatError) return fail(*heartbeatError);
      return {};
    };
    t.poll = [this]() -> Result<void> {
      if (++polls == 2) secondPoll.signal();
      return {};
    };
    t.updateCheck = [this]() -> Result<void> {
      ++updates;
      return {};
    };
    return t;
  }
};

TEST(AgentRuntimeTest, TasksRunOnScheduleFailuresDoNotEndTheLoop) {
  testing::ScopedStateDir state;
  testing::writeFile(state.file("update-0.2.0.staged"), "x");
  std::filesystem::create_directory(state.file("update-dir.staged"));
  testing::writeFile(state.file("update-dir.staged/part"), "x");
  testing::writeFile(state.file("update-notes.txt"), "kept");
  Counted counted;
  auto runtime = AgentRuntime::create(fastConfig(), counted.tasks("control plane down"));

  ::testing::internal::CaptureStderr();
  int status = -1;
  std::thread loop([&] { status = runtime->run(); });
  counted.secondPoll.wait();
  runtime->requestStop();
  loop.join();
  std::string log = ::testing::internal::GetCapturedStderr();

  EXPECT_EQ(status, 0);
  EXPECT_GE(counted.heartbeats.load(), 2);
  EXPECT_EQ(counted.updates.load(), 0);  // the first update check waits a whole interval
  EXPECT_THAT(log, HasSubstr("WARN: heartbeat error: control plane down\n"));
  EXPECT_FALSE(std::filesystem::exists(state.file("update-0.2.0.staged")));
  EXPECT_FALSE(std::filesystem::exists(state.file("update-dir.staged")));
  EXPECT_TRUE(std::filesystem::exists(state.file("update-notes.txt")));
}

// Ten billion seconds would overflow the clock's nanoseconds: held to a year, the
// tasks run once at start and never again, and a stop request still ends the wait.
TEST(AgentRuntimeTest, HugeIntervalsAreHeldToTheMaximumAndNeverFireEarly) {
  testing::ScopedStateDir state;
  Counted counted;
  AgentConfig c = fastConfig();
  c.heartbeatIntervalSeconds = c.commandPollIntervalSeconds = c.updateCheckIntervalSeconds =
      10'000'000'000;
  auto runtime = AgentRuntime::create(c, counted.tasks());
  ::testing::internal::CaptureStderr();
  std::thread loop([&] { runtime->run(); });
  std::this_thread::sleep_for(3s);
  EXPECT_FALSE(runtime->stopping()->cancelled());
  runtime->requestStop();
  loop.join();
  EXPECT_EQ(counted.heartbeats.load(), 1);
  EXPECT_EQ(counted.polls.load(), 1);
  EXPECT_EQ(counted.updates.load(), 0);
  EXPECT_THAT(
      ::testing::internal::GetCapturedStderr(),
      HasSubstr("WARN: updateCheckIntervalSeconds 10000000000 above the maximum; using 31622400\n"));
}

}  // namespace
}  // namespace vela
