// The GStreamer H.264 encoder, its Annex-B output checked with a GStreamer decoder.

#include <gtest/gtest.h>

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

#include "desktop/linux/media/gst_h264_encoder.h"
#include "desktop/linux/recording/media_check.h"

namespace vela {
namespace {

using namespace std::chrono_literals;

constexpr int kWidth = 320, kHeight = 240;

PixelBuffer syntheticFrame(int index) {
  auto pixels = std::make_shared<std::vector<std::uint8_t>>(testing::testPattern(kWidth, kHeight, index));
  return PixelBuffer{kWidth, kHeight, kWidth * 4, pixels->data(), static_cast<std::uint64_t>(index + 1), pixels};
}

struct Output {
  Bytes bytes;
  bool keyframe;
};

int nalType(const Bytes& b, std::size_t at) { return b.size() > at ? b[at] & 0x1f : -1; }

class H264EncoderTest : public ::testing::Test {
 protected:
  std::shared_ptr<GstH264Encoder> make(H264Encoder::Config config = {kWidth, kHeight, 30, 1'000'000, 2}) {
    auto encoder = GstH264Encoder::create(config);
    EXPECT_TRUE(encoder) << encoder.error().description();
    if (!encoder) return nullptr;
    (*encoder)->setOnEncodedFrame([this](const Bytes& bytes, bool keyframe) {
      std::lock_guard lock(mu_);
      outputs_.push_back({bytes, keyframe});
    });
    return *encoder;
  }

  std::mutex mu_;
  std::vector<Output> outputs_;
};

TEST_F(H264EncoderTest, OutputDecodesAndEveryKeyframeLeadsWithParameterSets) {
  auto encoder = make();
  ASSERT_TRUE(encoder);
  for (int i = 0; i < 30; ++i) {
    if (i == 10) encoder->setBitrate(500'000);  // on the live encoder
    auto encoded = encoder->encode(syntheticFrame(i), MediaTime(i * 33'333'333LL), i == 20);
    ASSERT_TRUE(encoded) << encoded.error().description();
  }
  encoder->stop();  // delivers everything still in flight

  std::lock_guard lock(mu_);
  ASSERT_EQ(outputs_.size(), 30u);
  EXPECT_TRUE(outputs_.front().keyframe);
  int keyframes = 0;
  for (const auto& out : outputs_) {
    ASSERT_GE(out.bytes.size(), 5u);
    EXPECT_EQ(Bytes(out.bytes.begin(), out.bytes.begin() + 4), (Bytes{0, 0, 0, 1}));
    if (!out.keyframe) continue;
    ++keyframes;
    EXPECT_EQ(nalType(out.bytes, 4), 7) << "SPS first";
    static const Bytes startCode = {0, 0, 0, 1};
    auto second = std::search(out.bytes.begin() + 4, out.bytes.end(), startCode.begin(), startCode.end());
    ASSERT_NE(second, out.bytes.end());
    EXPECT_EQ(nalType(out.bytes, (second - out.bytes.begin()) + 4), 8) << "then PPS";
  }
  EXPECT_EQ(keyframes, 2) << "the first frame and the forced one (the interval is 60 frames)";
  EXPECT_TRUE(outputs_[20].keyframe);

  auto media = testing::decodeH264(
      "appsrc name=src caps=video/x-h264,stream-format=byte-stream,alignment=au format=time",
      [&](GstElement* src) {  // the access units at 30 fps
        for (std::size_t i = 0; i < outputs_.size(); ++i) {
          GstBuffer* buffer = gst_buffer_new_memdup(outputs_[i].bytes.data(), outputs_[i].bytes.size());
          GST_BUFFER_PTS(buffer) = i * GST_SECOND / 30;
          gst_app_src_push_buffer(GST_APP_SRC(src), buffer);
        }
        gst_app_src_end_of_stream(GST_APP_SRC(src));
      });
  EXPECT_EQ(media.error, "");
  EXPECT_EQ(media.frames, 30);
  EXPECT_EQ(media.width, kWidth);
  EXPECT_EQ(media.height, kHeight);
}

TEST_F(H264EncoderTest, AStillPictureIsEncodedForASecondThenOnceASecond) {
  auto encoder = make();
  ASSERT_TRUE(encoder);
  PixelBuffer still = syntheticFrame(0);
  for (int i = 0; i < 120; ++i) ASSERT_TRUE(encoder->encode(still, MediaTime(i * 33'333'333LL), false));
  // 1 + 30 settling repeats, then one refresh per second of the remaining ~3 s.
  EXPECT_GE(encoder->framesSubmitted(), 32u);
  EXPECT_LE(encoder->framesSubmitted(), 35u);
  ASSERT_TRUE(encoder->encode(still, MediaTime(121 * 33'333'333LL), true)) << "a forced keyframe is never skipped";
  encoder->stop();
  std::lock_guard lock(mu_);
  EXPECT_TRUE(outputs_.back().keyframe);
}

TEST_F(H264EncoderTest, FailuresCarryTheirStatus) {
  auto bad = GstH264Encoder::create({0, 240, 30, 1'000'000, 2});
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().description(), "H.264 encoder pipeline failed to start (invalid size or rate)");

  auto encoder = make();
  ASSERT_TRUE(encoder);
  PixelBuffer wrongSize = syntheticFrame(0);
  wrongSize.width = 160;
  auto rejected = encoder->encode(wrongSize, 0ns, false);
  ASSERT_FALSE(rejected);
  EXPECT_EQ(rejected.error().description(),
            "H.264 encoder pipeline rejected a frame (frame size 160x240 does not match the encoder)");
  encoder->stop();
  EXPECT_EQ(encoder->encode(syntheticFrame(1), 0ns, false).error().description(),
            "H.264 encoder pipeline rejected a frame (stopped)");
}

}  // namespace
}  // namespace vela
