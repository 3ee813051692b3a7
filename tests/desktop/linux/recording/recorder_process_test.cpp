// A recording whose process is killed outright: the recorder runs in a child process
// (this test binary again, running the DISABLED_ child case below). A full disk under a
// running recording is shared_recording_test's.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>

#include "desktop/linux/media/gst_runtime.h"
#include "desktop/linux/recording/media_check.h"
#include "support/background_process.h"
#include "support/temp_dir.h"
#include "util/process_info.h"

namespace vela {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int kWidth = 640, kHeight = 360;
constexpr const char* kChildDir = "VELA_RECORDER_CHILD_DIR";

std::optional<fs::path> onlyFileIn(const std::string& dir) {
  for (const auto& entry : fs::directory_iterator(dir)) return entry.path();
  return std::nullopt;
}

// Movie fragments that have begun on disk ("moof" boxes).
int fragmentsIn(const fs::path& file) {
  std::string bytes = testing::readFileOrEmpty(file);
  int count = 0;
  for (auto at = bytes.find("moof"); at != std::string::npos; at = bytes.find("moof", at + 4))
    ++count;
  return count;
}

TEST(RecorderChild, DISABLED_RecordsUntilKilled) {
  const char* dir = std::getenv(kChildDir);
  ASSERT_NE(dir, nullptr);
  ASSERT_TRUE(GstRuntime::ensureInitialized());
  auto encoder = SharedEncoder::create();
  ASSERT_TRUE(encoder) << encoder.error().message;
  auto recorder = testing::sessionRecorder(*encoder, fs::path(dir));
  ASSERT_TRUE(recorder->start(kWidth, kHeight));
  testing::feed(**encoder, kWidth, kHeight, 60 * 30);
}

TEST(DesktopRecorderProcess, FileKilledMidRecordingStillDecodesUpToItsLastFragment) {
  testing::TempDir dir;
  testing::BackgroundProcess child(
      ProcessInfo::executablePath(),
      {"--gtest_also_run_disabled_tests", "--gtest_filter=RecorderChild.DISABLED_RecordsUntilKilled"},
      {{kChildDir, dir.path()}});
  // A fourth fragment has begun, so three are complete whatever the kill interrupts.
  ASSERT_TRUE(testing::BackgroundProcess::waitUntil([&] {
    auto file = onlyFileIn(dir.path());
    return file && fragmentsIn(*file) >= 4;
  }));
  EXPECT_EQ(child.stop(SIGKILL), 128 + SIGKILL);

  auto media = testing::decodeMp4(onlyFileIn(dir.path())->string());
  EXPECT_EQ(media.width, kWidth);
  EXPECT_EQ(media.height, kHeight);
  // Three complete one-second fragments were on disk when the process died.
#if !defined(VELA_TSAN)  // under ThreadSanitizer the live source outruns the encoder
  EXPECT_GE(media.frames, 3 * 30 - 5) << media.error;
#endif
  EXPECT_GE(media.endS - media.firstS, 2.8);
}

}  // namespace
}  // namespace vela
