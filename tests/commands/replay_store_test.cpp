#include "commands/replay_store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "commands/command_verifier.h"
#include "commands/commands_test_support.h"
#include "platform/file_io.h"

namespace vela {
namespace {

using testing::readFileOrEmpty;
using testing::ScopedStateDir;
using testing::writeFile;

TEST(ReplayStoreTest, FileFormatPermissionsAndReload) {
  ScopedStateDir state;
  ReplayStore store;  // the state directory's replay.json
  EXPECT_EQ(store.url(), state.file("replay.json"));
  ASSERT_TRUE(store.accept(5, "a"));
  ASSERT_TRUE(store.accept(3, "b"));  // a lower number keeps the mark but adds the nonce
  EXPECT_EQ(readFileOrEmpty(state.file("replay.json")),
            R"({"highWaterSeq":5,"recentNonces":["a","b"]})");
  EXPECT_EQ(platform::fileMode(state.file("replay.json")).value(), 0600u);

  ReplayStore reloaded;
  EXPECT_EQ(reloaded.state(), store.state());
  EXPECT_TRUE(reloaded.isNonceSeen("b"));
  EXPECT_FALSE(reloaded.isNonceSeen("c"));

  reloaded.clear();
  EXPECT_EQ(ReplayStore().state(), ReplayStore::State{});
  EXPECT_FALSE(reloaded.isNonceSeen("a"));
}

TEST(ReplayStoreTest, UnusableFilesGiveTheEmptyState) {
  ScopedStateDir state;
  for (const char* text : {"", "{", "[]", "null", R"({"highWaterSeq":5})",
                           R"({"highWaterSeq":"5","recentNonces":[]})",
                           R"({"highWaterSeq":5.5,"recentNonces":[]})",
                           R"({"highWaterSeq":9223372036854775808,"recentNonces":[]})",
                           R"({"highWaterSeq":5,"recentNonces":["a",1]})", "\xFF\xFE"}) {
    writeFile(state.file("replay.json"), text);
    EXPECT_EQ(ReplayStore().state(), ReplayStore::State{}) << text;
  }
  writeFile(state.file("replay.json"), R"({"recentNonces":["x"],"highWaterSeq":-4,"extra":1})");
  EXPECT_EQ(ReplayStore().highWater(), -4);
  EXPECT_TRUE(ReplayStore().isNonceSeen("x"));
}

std::string stateFile(std::int64_t mark, const std::vector<std::string>& nonces) {
  std::string text = R"({"highWaterSeq":)" + std::to_string(mark) + R"(,"recentNonces":[)";
  for (std::size_t i = 0; i < nonces.size(); ++i) text += (i ? ",\"" : "\"") + nonces[i] + "\"";
  return text + "]}";
}

std::vector<std::string> numbered(const std::string& prefix, int from, int to) {
  std::vector<std::string> out;
  for (int i = from; i <= to; ++i) out.push_back(prefix + std::to_string(i));
  return out;
}

TEST(ReplayStoreTest, KeepsTheNewest1024Nonces) {
  ScopedStateDir state;
  // Start from a full window (writing 1024 accepts durably one by one is slow).
  writeFile(state.file("replay.json"), stateFile(1024, numbered("n", 1, 1024)));
  ReplayStore store;
  EXPECT_TRUE(store.isNonceSeen("n1"));
  ASSERT_TRUE(store.accept(1025, "n1025"));
  EXPECT_EQ(store.state().recentNonces.size(), 1024u);
  EXPECT_FALSE(store.isNonceSeen("n1"));  // accepted 1025 accepts ago
  EXPECT_TRUE(store.isNonceSeen("n2"));
  EXPECT_EQ(ReplayStore().state().recentNonces.front(), "n2");
  EXPECT_EQ(ReplayStore().state().recentNonces.back(), "n1025");

  // An oversized file is cut to its newest entries on load.
  writeFile(state.file("replay.json"), stateFile(1, numbered("", 0, 1099)));
  ReplayStore loaded;
  EXPECT_EQ(loaded.state().recentNonces.size(), 1024u);
  EXPECT_FALSE(loaded.isNonceSeen("75"));
  EXPECT_TRUE(loaded.isNonceSeen("76"));

  // A nonce held twice is remembered while one copy remains in the window.
  auto nonces = numbered("f", 1, 1022);
  nonces.insert(nonces.begin(), {"same", "same"});
  writeFile(state.file("replay.json"), stateFile(5, nonces));
  ReplayStore dup;
  ASSERT_TRUE(dup.accept(6, "x"));
  EXPECT_TRUE(dup.isNonceSeen("same"));
  ASSERT_TRUE(dup.accept(7, "y"));
  EXPECT_FALSE(dup.isNonceSeen("same"));
}

// A child accepting signed commands as fast as it can is killed without warning, again
// and again: replay.json must always decode, and its mark must never go back.
TEST(ReplayStoreCrashTest, SurvivesRepeatedSigkillDuringAccepts) {
  ScopedStateDir state;
  testing::TestSigner signer;
  const std::string file = state.file("replay.json");
  std::int64_t lastMark = 0;
  for (int round = 0; round < 12; ++round) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      CommandVerifier verifier(signer.publicKey(), "agent-1", ReplayStore(file), 300);
      for (std::int64_t seq = verifier.replay().highWater() + 1;; ++seq) {
        auto wire = testing::signedCommand(
            signer, {.sequenceNo = seq, .nonce = "r" + std::to_string(seq)});
        auto command = IncomingCommand::parse(wire, "agent-1");
        if (!command || !verifier.verifyAndAccept(*command, std::chrono::system_clock::now())) {
          ::_exit(3);
        }
      }
    }
    // Let the child get going (the first rounds also cover a kill before any write).
    std::this_thread::sleep_for(std::chrono::milliseconds(round < 2 ? 1 : 20 + 13 * round));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "child stopped on its own with " << status;

    std::string text = readFileOrEmpty(file);
    if (text.empty() && lastMark == 0) continue;  // killed before its first write
    auto decoded = ReplayStore::decode(text);
    ASSERT_TRUE(decoded) << "round " << round << ": " << text.substr(0, 200);
    EXPECT_GE(decoded->highWaterSeq, lastMark);
    EXPECT_LE(decoded->recentNonces.size(), ReplayStore::kMaxNonces);
    if (!decoded->recentNonces.empty()) {
      EXPECT_EQ(decoded->recentNonces.back(), "r" + std::to_string(decoded->highWaterSeq));
    }
    lastMark = decoded->highWaterSeq;
  }
  EXPECT_GT(lastMark, 0);
}

}  // namespace
}  // namespace vela
