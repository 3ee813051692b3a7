#include "desktop/recording/desktop_recorder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <regex>
#include <thread>

#include "desktop/recording/media_check.h"
#include "support/temp_dir.h"
#include "util/agent_crypto.h"

namespace vela {
namespace {

using namespace std::chrono_literals;
using testing::decodeMp4;
using testing::finalizeAndWait;
using testing::TempDir;
using testing::testPattern;

constexpr int kWidth = 640;
constexpr int kHeight = 360;

TEST(DesktopRecorder, RecordsThreeSecondsOfPlayableFragmentedMP4DurableOnceFramesCame) {
  TempDir dir;
  auto recorder = DesktopRecorder::create(dir.path());
  EXPECT_TRUE(std::regex_match(recorder->url().filename().string(),
                               std::regex("vela-desktop-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB]"
                                          "[0-9A-F]{3}-[0-9A-F]{12}\\.mp4")));
  EXPECT_EQ(recorder->url().parent_path(), dir.path());

  std::atomic<int> durableCalls = 0;
  std::atomic<std::int64_t> bytesWhenDurable = -1;
  recorder->setOnFirstChunkDurable([&] {
    bytesWhenDurable = recorder->bytesWritten();
    ++durableCalls;
  });
  ASSERT_TRUE(recorder->start(kWidth, kHeight));
  EXPECT_EQ(std::filesystem::status(recorder->url()).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  std::this_thread::sleep_for(800ms);  // a started recording without frames is not yet durable
  EXPECT_LE(recorder->bytesWritten(), DesktopRecorder::kDurableBytes);
  EXPECT_EQ(durableCalls.load(), 0);
  testing::feed(*recorder, kWidth, kHeight, 90);
  EXPECT_EQ(durableCalls.load(), 1);
  EXPECT_GT(bytesWhenDurable.load(), DesktopRecorder::kDurableBytes);
  EXPECT_EQ(recorder->bytesWritten(), std::filesystem::file_size(recorder->url()));

  auto final = finalizeAndWait(*recorder);
  ASSERT_TRUE(final);
  std::string onDisk = testing::readFileOrEmpty(recorder->url());
  EXPECT_EQ(final->sha256, AgentCrypto::sha256Hex(onDisk));
  EXPECT_EQ(final->bytes, std::int64_t(onDisk.size()));
  EXPECT_EQ(final->storage, "file://" + recorder->url().string());
  EXPECT_EQ(final->format, "fmp4");
  EXPECT_NEAR(final->durationS, 3.0, 0.2);
  std::this_thread::sleep_for(600ms);
  EXPECT_EQ(durableCalls.load(), 1) << "the durability callback fires once";

  auto media = decodeMp4(recorder->url());
  EXPECT_EQ(media.error, "");
  EXPECT_EQ(media.width, kWidth);
  EXPECT_EQ(media.height, kHeight);
  EXPECT_NEAR(media.endS - media.firstS, 3.0, 0.2);
  // A live recording drops frames rather than fall behind the screen, and a busy machine
  // makes it drop some; fewer than two thirds would mean it drops them unprovoked.
  EXPECT_GE(media.frames, 60);
}

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
