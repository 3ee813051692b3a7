// Length-prefixed access units to Annex-B. That parameter sets lead every keyframe is
// checked on real encoder output (h264_encoder_test).

#include "desktop/linux/media/annex_b.h"

#include <gtest/gtest.h>

namespace vela {
namespace {

const Bytes kSPS = {0x67, 0x42, 0xc0, 0x1f};
const Bytes kPPS = {0x68, 0xce, 0x3c, 0x80};

TEST(AnnexBTest, ALyingLengthEndsTheConversionWithWhatWasWritten) {
  Bytes sample = {0, 0, 0, 1, 0x41, 0, 0, 0, 9, 0x41, 0x42};  // second unit claims 9 bytes, has 2
  EXPECT_EQ(AnnexB::convert(sample, nullptr), (Bytes{0, 0, 0, 1, 0x41}));
  EXPECT_EQ(AnnexB::convert(Bytes{0, 0, 0}, nullptr), Bytes{});             // not even a length
  EXPECT_EQ(AnnexB::convert(Bytes{0xff, 0xff, 0xff, 0xff, 1}, nullptr), Bytes{});  // huge length
}

TEST(AnnexBTest, DecoderRecordYieldsItsParameterSetsAndRejectsTruncation) {
  Bytes record = {1, 0x42, 0xc0, 0x1f, 0xff, 0xe1, 0, 4};
  record.insert(record.end(), kSPS.begin(), kSPS.end());
  record.insert(record.end(), {1, 0, 4});
  record.insert(record.end(), kPPS.begin(), kPPS.end());
  auto sets = AnnexB::fromDecoderRecord(record);
  ASSERT_TRUE(sets);
  EXPECT_EQ(sets->sps, std::vector<Bytes>{kSPS});
  EXPECT_EQ(sets->pps, std::vector<Bytes>{kPPS});
  for (std::size_t cut = 0; cut < record.size(); ++cut)
    EXPECT_FALSE(AnnexB::fromDecoderRecord(std::span(record).first(cut))) << cut;
}

}  // namespace
}  // namespace vela
