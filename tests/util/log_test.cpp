#include "util/log.h"

#include <gtest/gtest.h>

#include <algorithm>
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
