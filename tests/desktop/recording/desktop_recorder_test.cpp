#include "desktop/recording/desktop_recorder.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "desktop/recording/media_check.h"
#include "support/temp_dir.h"

namespace vela {
namespace {

using namespace std::chrono_literals;
using testing::finalizeAndWait;
using testing::TempDir;
using testing::testPattern;

constexpr int kWidth = 640;
constexpr int kHeight = 360;

// Recording itself, durability and finalize are shared_recording_test's, on the sink
// sessions use.
TEST(DesktopRecorder, FailedStartCarriesTheErrorAndLeavesNoFile) {
  TempDir dir;
  // /proc refuses new files even to root, so this holds whoever runs the test.
  for (std::string where : {dir.file("missing/deeper"), std::string("/proc")}) {
    SCOPED_TRACE(where);
    auto recorder = DesktopRecorder::create(where);
    auto started = recorder->start(kWidth, kHeight);
    ASSERT_FALSE(started);
    const std::string& message = started.error().message;
    EXPECT_EQ(message.rfind("recorder: startWriting failed (", 0), 0u) << message;
    EXPECT_EQ(message.back(), ')');
    EXPECT_FALSE(std::filesystem::exists(recorder->url()));
    auto pixels = testPattern(kWidth, kHeight, 0);
    recorder->append(BGRAFrame{pixels.data(), kWidth, kHeight, kWidth * 4}, 0ns);
    EXPECT_FALSE(finalizeAndWait(*recorder));
  }

  auto recorder = DesktopRecorder::create(dir.path());
  auto started = recorder->start(0, 0);
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error().message, "recorder: cannot add video input");
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

}  // namespace
}  // namespace vela
