// Recordings that end badly: the recording process killed outright, and the disk
// filling up under a running recording. Each runs the recorder in a child process (this
// test binary again, running one of the DISABLED_ child cases below).

#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <thread>

#include "desktop/recording/desktop_recorder.h"
#include "desktop/recording/media_check.h"
#include "support/agent_process.h"
#include "support/background_process.h"
#include "support/temp_dir.h"

namespace vela {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int kWidth = 640;
constexpr int kHeight = 360;
constexpr const char* kChildDir = "VELA_RECORDER_CHILD_DIR";

std::string self() { return fs::read_symlink("/proc/self/exe").string(); }

std::vector<std::string> childArgs(const std::string& test) {
  return {"--gtest_also_run_disabled_tests", "--gtest_filter=RecorderChild." + test};
}

std::optional<fs::path> onlyFileIn(const std::string& dir) {
  for (const auto& entry : fs::directory_iterator(dir)) return entry.path();
  return std::nullopt;
}

// Frames at 30 fps in real time for `duration`.
void feed(DesktopRecorder& recorder, std::chrono::milliseconds duration, bool noise) {
  const auto frameTime = std::chrono::nanoseconds(1'000'000'000 / 30);
  const auto start = std::chrono::steady_clock::now();
  auto due = start;
  for (int i = 0; std::chrono::steady_clock::now() - start < duration; ++i) {
    auto pixels = testing::testPattern(kWidth, kHeight, i, noise);
    recorder.append(BGRAFrame{pixels.data(), kWidth, kHeight, kWidth * 4}, frameTime * i);
    due += frameTime;
    std::this_thread::sleep_until(due);
  }
}

TEST(RecorderChild, DISABLED_RecordsUntilKilled) {
  const char* dir = std::getenv(kChildDir);
  ASSERT_NE(dir, nullptr);
  auto recorder = DesktopRecorder::create(fs::path(dir));
  ASSERT_TRUE(recorder->start(kWidth, kHeight));
  feed(*recorder, 60s, false);
}

TEST(RecorderChild, DISABLED_RecordsOntoAFullDisk) {
  const char* dir = std::getenv(kChildDir);
  ASSERT_NE(dir, nullptr);
  // Private to this mount namespace: the machine never sees it.
  ASSERT_EQ(::mount("tmpfs", dir, "tmpfs", 0, "size=160k"), 0) << std::strerror(errno);
  auto recorder = DesktopRecorder::create(fs::path(dir));
  ASSERT_TRUE(recorder->start(kWidth, kHeight));
  // Noise does not compress: the first fragment alone overflows the file system.
  feed(*recorder, 3s, true);
  EXPECT_LE(recorder->bytesWritten(), 160 * 1024);
  std::promise<std::optional<DesktopRecordingFinal>> done;
  recorder->finalize([&](auto final) { done.set_value(final); });
  EXPECT_EQ(done.get_future().get(), std::nullopt);
  ::umount(dir);
}

TEST(DesktopRecorderProcess, FileKilledMidRecordingStillDecodesUpToItsLastFragment) {
  testing::TempDir dir;
  testing::BackgroundProcess child(self(), childArgs("DISABLED_RecordsUntilKilled"),
                                   {{kChildDir, dir.path()}});
  ASSERT_TRUE(testing::BackgroundProcess::waitUntil([&] { return onlyFileIn(dir.path()).has_value(); }));
  std::this_thread::sleep_for(3500ms);
  EXPECT_EQ(child.stop(SIGKILL), 128 + SIGKILL);

  auto media = testing::decodeMp4(onlyFileIn(dir.path())->string());
  EXPECT_EQ(media.width, kWidth);
  EXPECT_EQ(media.height, kHeight);
  // Three complete one-second fragments were on disk when the process died.
  EXPECT_GE(media.frames, 3 * 30 - 5) << media.error;
  EXPECT_GE(media.endS - media.firstS, 2.8);
}

TEST(DesktopRecorderProcess, FullDiskStopsTheRecordingOnlyAndFinalizeYieldsNothing) {
  if (::geteuid() != 0 || !fs::exists("/usr/bin/unshare")) {
    GTEST_SKIP() << "needs root and unshare for a private tmpfs";
  }
  testing::TempDir dir;
  auto args = childArgs("DISABLED_RecordsOntoAFullDisk");
  args.insert(args.begin(), {"--mount", "--propagation", "private", self()});
  auto result = testing::runProcess("/usr/bin/unshare", args, {{kChildDir, dir.path()}});
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_NE(result.out.find("[  PASSED  ] 1 test"), std::string::npos) << result.out;
  EXPECT_TRUE(fs::is_empty(dir.path())) << "the tmpfs and its file lived in the child only";
}

}  // namespace
}  // namespace vela
