// The session encoder on real GStreamer: what leaves it decodes, at the size its first
// frame fixed, with keyframes where they are asked for. Its branches for the recording
// and the peer are those suites'; the preflight's branch is here.

#include "desktop/linux/media/shared_encoder.h"

#include <gtest/gtest.h>

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>

#include <future>
#include <vector>

#include "desktop/linux/media/encoding_check.h"
#include "desktop/linux/media/gst_runtime.h"
#include "desktop/linux/recording/media_check.h"

namespace vela {
namespace {

using namespace std::chrono_literals;

constexpr int kWidth = 320, kHeight = 240;
constexpr auto kFrameTime = std::chrono::nanoseconds(1'000'000'000 / 30);

DesktopVideoFrame frameOf(int width, int height, std::chrono::nanoseconds pts = 0ns) {
  auto pixels = std::make_shared<const std::vector<std::uint8_t>>(std::size_t(width) * height * 4, 0x80);
  return {{pixels, pixels->data()}, width, height, width * 4, pts};
}

// Waits for the encoder's feed thread to finish what it was given. It writes the input
// buffers' times, and GStreamer recycles that memory for output buffers where
// ThreadSanitizer cannot see it; waiting orders those writes before this thread's reads.
void awaitFeed(SharedEncoder& encoder) {
  std::promise<void> done;
  encoder.after(std::chrono::milliseconds(0), [&] { done.set_value(); });
  done.get_future().wait();
}

class SharedEncoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(GstRuntime::ensureInitialized());
    auto created = SharedEncoder::create();
    ASSERT_TRUE(created) << created.error().message;
    encoder = *created;
  }
  void TearDown() override {
    for (GstSample* sample : samples) gst_sample_unref(sample);
    if (sink) {
      encoder->remove(sink);
      gst_object_unref(sink);
    }
  }

  // An appsink on the encoder's output; what it pulls is kept in `samples`.
  void attachSink() {
    sink = gst_element_factory_make("appsink", nullptr);
    g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
    gst_object_ref_sink(sink);
    encoder->add(GST_ELEMENT(gst_object_ref(sink)), [](const std::string& why) { ADD_FAILURE() << why; });
    ASSERT_TRUE(encoder->link(sink));
  }
  GstSample* pull(GstClockTime wait) {
    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), wait);
    if (sample) samples.push_back(sample);
    return sample;
  }
  testing::DecodedMedia decodeAll() {
    return testing::decodeH264("appsrc name=src format=time", [&](GstElement* src) {
      for (GstSample* sample : samples) gst_app_src_push_sample(GST_APP_SRC(src), sample);
      gst_app_src_end_of_stream(GST_APP_SRC(src));
    });
  }

  std::shared_ptr<SharedEncoder> encoder;
  GstElement* sink = nullptr;
  std::vector<GstSample*> samples;
};

TEST_F(SharedEncoderTest, WhatLeavesDecodesWithAKeyframeFirstAndWhereAsked) {
  // In lock step, each picture awaited before the next frame goes in: a slow (sanitised)
  // build would otherwise see the leaky source drop frames. Such a build may also take a
  // second for a picture, which the encoder rightly takes for a still screen to settle:
  // here, where the frames' own times are the point, that waits for an hour.
  auto created = SharedEncoder::create(30, std::chrono::hours(1));
  ASSERT_TRUE(created) << created.error().message;
  encoder = *created;
  ASSERT_NO_FATAL_FAILURE(attachSink());

  for (int i = 0; i < 30; ++i) {
    if (i == 10) encoder->setBitrate(500'000);  // on the live encoder
    if (i == 20) encoder->requestKeyframe();
    const auto pixels = std::make_shared<const std::vector<std::uint8_t>>(testing::testPattern(kWidth, kHeight, i));
    ASSERT_TRUE(encoder->push({{pixels, pixels->data()}, kWidth, kHeight, kWidth * 4, 5s + i * kFrameTime}));
    ASSERT_NE(pull(10 * GST_SECOND), nullptr) << "picture " << i;
  }
  EXPECT_EQ(encoder->bitrateKbps(), 500u);
  awaitFeed(*encoder);
  std::vector<std::size_t> keyframes;
  const GstClockTime first = GST_BUFFER_PTS(gst_sample_get_buffer(samples[0]));
  for (std::size_t i = 0; i < samples.size(); ++i) {
    GstBuffer* buffer = gst_sample_get_buffer(samples[i]);
    EXPECT_EQ(GST_BUFFER_PTS(buffer) - first, GstClockTime(i * kFrameTime.count())) << "the frames' own times";
    if (!GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT)) keyframes.push_back(i);
  }
  // The interval alone would give one in 60 frames.
  EXPECT_EQ(keyframes, (std::vector<std::size_t>{0, 20}));

  auto media = decodeAll();
  EXPECT_EQ(media.error, "");
  EXPECT_EQ(media.frames, 30);
  EXPECT_EQ(media.width, kWidth);
  EXPECT_EQ(media.height, kHeight);
}

// Capture delivers nothing on a still screen. The encoder then idles but for one picture
// a second after the change (for the recording's muxer) and one for each keyframe asked
// for, here or by a branch's decoder, each stamped with the time the picture stayed.
TEST_F(SharedEncoderTest, AStillScreenIsEncodedAgainOnlyToSettleAndWhenAKeyframeIsAsked) {
  ASSERT_NO_FATAL_FAILURE(attachSink());
  auto next = [&](GstClockTime wait) {
    GstSample* sample = pull(wait);
    awaitFeed(*encoder);
    return sample ? gst_sample_get_buffer(sample) : nullptr;
  };
  auto isKey = [](GstBuffer* b) { return !GST_BUFFER_FLAG_IS_SET(b, GST_BUFFER_FLAG_DELTA_UNIT); };
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const auto pixels = std::make_shared<const std::vector<std::uint8_t>>(testing::testPattern(kWidth, kHeight, 1));
  ASSERT_TRUE(encoder->push({{pixels, pixels->data()}, kWidth, kHeight, kWidth * 4, 7s}));
  GstBuffer* first = next(10 * GST_SECOND);
  ASSERT_NE(first, nullptr);
  // Relative to the first picture's: x264 may offset them all.
  auto since = [origin = GST_BUFFER_PTS(first)](GstBuffer* b) { return GST_BUFFER_PTS(b) - origin; };

  GstBuffer* settled = next(10 * GST_SECOND);
  ASSERT_NE(settled, nullptr) << "the picture a second after the change";
  EXPECT_FALSE(isKey(settled));
  EXPECT_GE(since(settled), GstClockTime(FrameFeed::kSettleDelay.count() * GST_MSECOND));
  EXPECT_EQ(next(1500 * GST_MSECOND), nullptr) << "a still screen after that costs nothing";

  encoder->requestKeyframe();
  GstBuffer* asked = next(10 * GST_SECOND);
  ASSERT_NE(asked, nullptr);
  EXPECT_TRUE(isKey(asked));
  const auto stayed = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start);
  EXPECT_GE(since(asked), GstClockTime(2500 * GST_MSECOND));
  EXPECT_LE(since(asked), GstClockTime(stayed.count()));

  // A decoder that lost a picture asks from its branch, upstream, as webrtcbin does.
  GstPad* input = gst_element_get_static_pad(sink, "sink");
  gst_pad_push_event(input, gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 1));
  gst_object_unref(input);
  GstBuffer* recovered = next(10 * GST_SECOND);
  ASSERT_NE(recovered, nullptr);
  EXPECT_TRUE(isKey(recovered));
  // A frame captured before the repeat went in still leaves after it in time.
  ASSERT_TRUE(encoder->push({{pixels, pixels->data()}, kWidth, kHeight, kWidth * 4, 7s + kFrameTime}));
  GstBuffer* late = next(10 * GST_SECOND);
  ASSERT_NE(late, nullptr);
  EXPECT_GT(GST_BUFFER_PTS(late), GST_BUFFER_PTS(recovered));
  EXPECT_EQ(encoder->feedCounts().fresh, 2u);
  EXPECT_EQ(encoder->feedCounts().repeats, 3u);

  auto media = decodeAll();
  EXPECT_EQ(media.error, "");
  EXPECT_EQ(media.frames, 5);
}

TEST_F(SharedEncoderTest, TheFirstFrameFixesTheSizeAndFramesOfAnotherAreRefused) {
  EXPECT_FALSE(encoder->push(frameOf(321, 240))) << "I420 needs even sizes";
  EXPECT_FALSE(encoder->push(DesktopVideoFrame{nullptr, kWidth, kHeight, kWidth * 4, 0ns}));
  EXPECT_TRUE(encoder->push(frameOf(kWidth, kHeight)));
  EXPECT_EQ(encoder->bitrateKbps(), 2000u) << "the rule for the size, at its floor";
  EXPECT_FALSE(encoder->push(frameOf(640, 480, kFrameTime)));
  EXPECT_TRUE(encoder->push(frameOf(kWidth, kHeight, 2 * kFrameTime)));
  auto other = encoder->configure(640, 480);
  ASSERT_FALSE(other);
  EXPECT_EQ(other.error().message, "the session encoder runs at 320x240");
}

// A screen larger than 1080p is scaled once before x264, aspect kept, to what the
// budget holds; the recording and every peer share the scaled picture.
TEST_F(SharedEncoderTest, LargeScreensAreSentScaledToTheBudget) {
  using Size = DesktopVideoInput::Size;
  EXPECT_EQ(encoder->sentSize({1920, 1080}), (Size{1920, 1080}));
  EXPECT_EQ(encoder->sentSize({1280, 1024}), (Size{1280, 1024}));
  EXPECT_EQ(encoder->sentSize({2560, 1440}), (Size{1920, 1080}));
  EXPECT_EQ(encoder->sentSize({3840, 2160}), (Size{1920, 1080}));
  const Size wide = encoder->sentSize({2560, 1600});
  EXPECT_EQ(wide, (Size{1820, 1138})) << "16:10, even sides";
  EXPECT_LE(std::int64_t{wide.width} * wide.height, SharedEncoder::kMaxSentPixels);

  ASSERT_NO_FATAL_FAILURE(attachSink());
  for (int i = 0; i < 3; ++i) {
    const auto pixels = std::make_shared<const std::vector<std::uint8_t>>(testing::testPattern(2560, 1440, i));
    ASSERT_TRUE(encoder->push({{pixels, pixels->data()}, 2560, 1440, 2560 * 4, i * kFrameTime}));
    ASSERT_NE(pull(10 * GST_SECOND), nullptr);
  }
  EXPECT_EQ(encoder->bitrateKbps(), 1920u * 1080 * 30 / 10 / 1000) << "the rate for the size sent";
  auto media = decodeAll();
  EXPECT_EQ(media.error, "");
  EXPECT_EQ(media.frames, 3);
  EXPECT_EQ(media.width, 1920);
  EXPECT_EQ(media.height, 1080);
}

// desktop-probe's tally counts the frame still in the encoder when it finishes.
TEST(EncodingCheckTest, FinishCountsThePictureStillInFlight) {
  auto check = EncodingCheck::create(10);
  ASSERT_TRUE(check) << check.error().message;
  ASSERT_TRUE((*check)->push(frameOf(kWidth, kHeight)));
  const auto tally = (*check)->finish();
  EXPECT_EQ(tally.pictures, 1u);
  EXPECT_GT(tally.bytes, 4u);
  EXPECT_TRUE(tally.keyframe);
  EXPECT_FALSE((*check)->push(frameOf(kWidth, kHeight, 1s))) << "an ended input takes nothing";
}

}  // namespace
}  // namespace vela
