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
using testing::writeFile;

std::string stateText(std::int64_t mark, int firstNonce, int lastNonce) {
  std::string text = R"({"highWaterSeq":)" + std::to_string(mark) + R"(,"recentNonces":[)";
  for (int i = firstNonce; i <= lastNonce; ++i) {
    text += (i > firstNonce ? ",\"n" : "\"n") + std::to_string(i) + "\"";
  }
  return text + "]}";
}

TEST(ReplayStoreTest, FileFormatAndUnusableFiles) {
  testing::ScopedStateDir state;
  ReplayStore store;
  ASSERT_TRUE(store.accept(5, "a"));
  ASSERT_TRUE(store.accept(3, "b"));  // a lower number keeps the mark, adds the nonce
  EXPECT_EQ(readFileOrEmpty(state.file("replay.json")),
            R"({"highWaterSeq":5,"recentNonces":["a","b"]})");
  EXPECT_EQ(platform::fileMode(state.file("replay.json")).value(), 0600u);
  store.clear();
  EXPECT_EQ(ReplayStore().state(), ReplayStore::State{});
  EXPECT_FALSE(store.isNonceSeen("a"));

  for (const char* text : {"{", R"({"highWaterSeq":"5","recentNonces":[]})",
                           R"({"highWaterSeq":9223372036854775808,"recentNonces":[]})"}) {
    writeFile(state.file("replay.json"), text);
    EXPECT_EQ(ReplayStore().state(), ReplayStore::State{}) << text;
  }
}

TEST(ReplayStoreTest, RemembersTheNewest1024Nonces) {
  testing::ScopedStateDir state;
  writeFile(state.file("replay.json"), stateText(1024, 1, 1024));  // a full window
  ReplayStore store;
  EXPECT_TRUE(store.isNonceSeen("n1"));
  ASSERT_TRUE(store.accept(1025, "n1025"));
  EXPECT_FALSE(store.isNonceSeen("n1"));  // accepted 1025 accepts ago
  EXPECT_TRUE(store.isNonceSeen("n2"));
  EXPECT_EQ(ReplayStore().state().recentNonces.size(), 1024u);

  writeFile(state.file("replay.json"), stateText(1, 0, 1099));  // oversized: newest kept
  EXPECT_FALSE(ReplayStore().isNonceSeen("n75"));
  EXPECT_TRUE(ReplayStore().isNonceSeen("n76"));
}

// A child accepting signed commands in a loop is killed without warning, again and
// again: replay.json must always decode, and its mark must never go back.
TEST(ReplayStoreCrashTest, SurvivesRepeatedSigkillDuringAccepts) {
  testing::ScopedStateDir state;
  testing::TestSigner signer;
  const std::string file = state.file("replay.json");
  std::int64_t lastMark = 0;
  for (int round = 0; round < 12; ++round) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      CommandVerifier verifier(signer.publicKey(), "agent-1", ReplayStore(file), 300);
      for (std::int64_t seq = verifier.replay().highWater() + 1;; ++seq) {
        auto wire = testing::signedCommand(signer, {.sequenceNo = seq, .nonce = std::to_string(seq)});
        auto command = IncomingCommand::parse(wire, "agent-1");
        if (!verifier.verifyAndAccept(*command, std::chrono::system_clock::now())) ::_exit(3);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(round < 2 ? 1 : 20 + 13 * round));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "child ended on its own: " << status;

    std::string text = readFileOrEmpty(file);
    if (text.empty() && lastMark == 0) continue;  // killed before its first write
    auto decoded = ReplayStore::decode(text);
    ASSERT_TRUE(decoded) << "round " << round << ": " << text.substr(0, 200);
    EXPECT_GE(decoded->highWaterSeq, lastMark);
    EXPECT_EQ(decoded->recentNonces.back(), std::to_string(decoded->highWaterSeq));
    lastMark = decoded->highWaterSeq;
  }
  EXPECT_GT(lastMark, 0);
}

}  // namespace
}  // namespace vela
