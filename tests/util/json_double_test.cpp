#include "util/json_double.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <utility>

namespace vela {
namespace {

TEST(JSONDoubleTest, PlainFromTenToTheMinusFiveUpToTenToTheFifteen) {
  const std::pair<double, const char*> cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {2.0, "2.0"},
      {17179869184.0, "17179869184.0"},
      {0.25, "0.25"},
      {-1.5, "-1.5"},
      {1e14, "100000000000000.0"},
      {123456789012345.6, "123456789012345.6"},
      {1e15, "1e+15"},
      {1.5e300, "1.5e+300"},
      {1e-4, "0.0001"},
      {1e-5, "1e-05"},
      {1.5e-5, "1.5e-05"},
      {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {0.30000000000000004, "0.30000000000000004"},
      // Grisu2 is not always shortest ("1e+23" would read back the same); the bytes
      // stay as they have always been sent.
      {1e23, "9.999999999999999e+22"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(JSONDouble::text(value), text) << text;
  EXPECT_TRUE(JSONDouble::value(std::nan("")).isNull());
  EXPECT_TRUE(JSONDouble::value(-std::numeric_limits<double>::infinity()).isNull());
  EXPECT_EQ(*JSONDouble::value(0.5).numberText(), "0.5");
}

// The heartbeat's numbers were written by nlohmann::json; any double, whatever its bits,
// must come out the same.
TEST(JSONDoubleTest, SameTextAsTheFormerWriterForAnyDouble) {
  std::mt19937_64 random(20240611);
  for (int i = 0; i < 200000; ++i) {
    const double value = i % 2 == 0 ? std::bit_cast<double>(random())
                                    : static_cast<double>(random() % 100000000) / 1000.0;
    if (!std::isfinite(value)) continue;
    ASSERT_EQ(JSONDouble::text(value), nlohmann::json(value).dump()) << std::hexfloat << value;
  }
}

}  // namespace
}  // namespace vela
