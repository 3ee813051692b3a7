#include "util/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "support/temp_dir.h"

namespace vela {
namespace {

using testing::ScopedEnv;
using testing::TempDir;

class LogTest : public ::testing::Test {
 protected:
  void TearDown() override {
    Log::verbose = false;
    Log::resetLogFileForTesting();
  }
};

TEST_F(LogTest, DebugBuilderRunsOnlyWhenVerbose) {
  int built = 0;
  auto builder = [&] {
    ++built;
    return std::string("expensive");
  };
  Log::debug(builder);
  EXPECT_EQ(built, 0);
  Log::verbose = true;
  Log::debug(builder);
  EXPECT_EQ(built, 1);
  EXPECT_EQ(Log::formatLine(Log::Level::debug, "T", "x"), "[T] DEBUG: x\n");
}

TEST_F(LogTest, LogFileIsAppendedNeverTruncated) {
  TempDir dir;
  std::string path = dir.file("agent.log");
  testing::writeFile(path, "earlier line\n");
  ScopedEnv env("VELA_LOG_FILE", path);
  Log::resetLogFileForTesting();
  ::testing::internal::CaptureStderr();
  Log::info("first");
  Log::warn("second");
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(testing::readFileOrEmpty(path), "earlier line\n" + err);
  std::regex line(R"(\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] INFO: first\n\[[^\]]+\] WARN: second\n)");
  EXPECT_TRUE(std::regex_match(err, line)) << err;
}

// Past the limit the file becomes "<file>.1", the previous ".1" goes, and no line is
// split between the two or lost from the newest ones.
TEST_F(LogTest, LogFileIsRotatedPastItsLimitKeepingOnePreviousFile) {
  TempDir dir;
  const std::string path = dir.file("agent.log");
  ScopedEnv env("VELA_LOG_FILE", path);
  Log::resetLogFileForTesting(100);
  ::testing::internal::CaptureStderr();
  for (int i = 0; i < 12; ++i) Log::info("line " + std::to_string(i));
  std::string err = ::testing::internal::GetCapturedStderr();
  const std::string previous = testing::readFileOrEmpty(path + ".1");
  const std::string current = testing::readFileOrEmpty(path);
  EXPECT_LE(previous.size(), 100u);
  EXPECT_LE(current.size(), 100u);
  ASSERT_FALSE(previous.empty());
  EXPECT_TRUE(err.ends_with(previous + current)) << err;
  EXPECT_TRUE(current.ends_with("INFO: line 11\n")) << current;
  EXPECT_FALSE(std::filesystem::exists(path + ".2"));
  EXPECT_TRUE(previous.starts_with("[") && current.starts_with("[")) << previous << current;

  // Someone else rotated it: this writer fills the renamed file to the limit, then
  // moves to the new one without renaming it over theirs.
  Log::resetLogFileForTesting(100);
  std::filesystem::remove(path);
  std::filesystem::remove(path + ".1");
  ::testing::internal::CaptureStderr();
  Log::info("before");
  std::filesystem::rename(path, path + ".1");
  testing::writeFile(path, "theirs\n");
  Log::info("after 0");
  Log::info("after 1");
  ::testing::internal::GetCapturedStderr();
  const std::string renamed = testing::readFileOrEmpty(path + ".1");
  EXPECT_NE(renamed.find("INFO: before\n"), std::string::npos) << renamed;
  EXPECT_NE(renamed.find("INFO: after 0\n"), std::string::npos) << renamed;
  const std::string theirs = testing::readFileOrEmpty(path);
  EXPECT_TRUE(theirs.starts_with("theirs\n[")) << theirs;
  EXPECT_TRUE(theirs.ends_with("INFO: after 1\n")) << theirs;
}

// Standard error sent into the log file already carries each line.
TEST_F(LogTest, LogFileThatIsStandardErrorGetsEachLineOnce) {
  TempDir dir;
  const std::string path = dir.file("agent.log");
  ScopedEnv env("VELA_LOG_FILE", path);
  Log::resetLogFileForTesting();
  int saved = ::dup(STDERR_FILENO);
  int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  ASSERT_GE(file, 0);
  ::dup2(file, STDERR_FILENO);
  Log::warn("only once");
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(file);
  const std::string logged = testing::readFileOrEmpty(path);
  EXPECT_EQ(std::count(logged.begin(), logged.end(), '\n'), 1) << logged;
}

// A value from the network (an agent id, a command id, a reply body) must not start a
// forged line of its own or send escape sequences to a terminal.
TEST_F(LogTest, ControlCharactersInMessagesAreEscaped) {
  EXPECT_EQ(Log::escapeControlCharacters("a\nb\r\tc\x1B[2J\x7F\x01 \xC2\x9B \xC3\xA9 \xE2\x80\x94"),
            "a\\nb\\r\\tc\\x1B[2J\\x7F\\x01 \\u009B \xC3\xA9 \xE2\x80\x94");
  ::testing::internal::CaptureStderr();
  Log::info("Enrolled as agent a-1\n[2026-12-04T16:03:08Z] INFO: forged");
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_NE(err.find("INFO: Enrolled as agent a-1\\n[2026-12-04T16:03:08Z] INFO: forged\n"),
            std::string::npos);
}

}  // namespace
}  // namespace vela
