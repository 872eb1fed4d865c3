#include "tensor_values.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace ks {
namespace tools {
namespace {

TEST(TensorValues, ConvertsHalfPrecisionBothWays) {
  EXPECT_EQ(1.0f, halfToFloat(0x3c00));
  EXPECT_EQ(-2.5f, halfToFloat(0xc100));
  EXPECT_EQ(65504.0f, halfToFloat(0x7bff));
  EXPECT_EQ(std::ldexp(1.0f, -24), halfToFloat(0x0001)) << "smallest subnormal";
  EXPECT_TRUE(std::isinf(halfToFloat(0xfc00)) && halfToFloat(0xfc00) < 0);
  EXPECT_TRUE(std::isnan(halfToFloat(0x7e00)));

  EXPECT_EQ(0x3c00, floatToHalf(1.0f));
  EXPECT_EQ(0xc100, floatToHalf(-2.5f));
  EXPECT_EQ(0x8000, floatToHalf(-0.0f));
  EXPECT_EQ(0x0001, floatToHalf(std::ldexp(1.0f, -24)));
  EXPECT_EQ(0x0000, floatToHalf(std::ldexp(1.0f, -26))) << "below half the smallest subnormal";
  EXPECT_EQ(0x7c00, floatToHalf(70000.0f)) << "overflow becomes infinity";
  EXPECT_EQ(0x7bff, floatToHalf(65504.0f));
  EXPECT_TRUE(floatToHalf(NAN) > 0x7c00 && floatToHalf(NAN) <= 0x7fff);
  // 1 + 2^-11 lies halfway between 1 and the next half: ties go to the even mantissa (1.0).
  EXPECT_EQ(0x3c00, floatToHalf(1.0f + std::ldexp(1.0f, -11)));
  EXPECT_EQ(0x3c02, floatToHalf(1.0f + 3 * std::ldexp(1.0f, -11)));
}

TEST(TensorValues, SummarisesSignedAndWideIntegers) {
  const int8_t bytes[] = {-128, 127, 1};
  const ValueSummary summary =
      summarizeValues(TensorDataType::kInt8, reinterpret_cast<const unsigned char*>(bytes), 3, 2);
  EXPECT_EQ(-128.0, summary.min);
  EXPECT_EQ(127.0, summary.max);
  EXPECT_EQ(0.0, summary.mean);
  EXPECT_EQ((std::vector<double>{-128.0, 127.0}), summary.first);

  const int64_t big[] = {int64_t{1} << 40};
  EXPECT_EQ(std::ldexp(1.0, 40), elementValue(TensorDataType::kInt64, reinterpret_cast<const unsigned char*>(big), 0));
}

TEST(TensorValues, RandomFillDependsOnlyOnTheSeedAndStaysInRange) {
  std::vector<unsigned char> a(size_t{64} * 4), b(size_t{64} * 4), c(size_t{64} * 4);
  fillRandom(TensorDataType::kFloat32, a.data(), 64, 7);
  fillRandom(TensorDataType::kFloat32, b.data(), 64, 7);
  fillRandom(TensorDataType::kFloat32, c.data(), 64, 8);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  const ValueSummary summary = summarizeValues(TensorDataType::kFloat32, a.data(), 64, 0);
  EXPECT_GE(summary.min, -1.0);
  EXPECT_LT(summary.max, 1.0);
  // A fixed value pins the generator and the mapping, so every build feeds the server the same bytes.
  float first;
  std::memcpy(&first, a.data(), sizeof first);
  EXPECT_FLOAT_EQ(-0.8473835f, first);

  std::vector<unsigned char> small(256);
  fillRandom(TensorDataType::kUInt8, small.data(), small.size(), 3);
  for (unsigned char value : small) EXPECT_LT(value, 16);
}

}  // namespace
}  // namespace tools
}  // namespace ks
