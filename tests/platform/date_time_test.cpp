#include "platform/date_time.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

TEST(DateValue, EncodesTheDelphiEpochAndKnownDays) {
  EXPECT_DOUBLE_EQ(EncodeDateValue({1899, 12, 30}), 0.0);
  EXPECT_DOUBLE_EQ(EncodeDateValue({1900, 1, 1}), 2.0);
  EXPECT_DOUBLE_EQ(EncodeDateValue({2000, 1, 1, 12, 0, 0, 0}), 36526.5);
  EXPECT_DOUBLE_EQ(EncodeDateValue({1899, 12, 29}), -1.0);
}

TEST(DateValue, DecodeRoundTripsToTheMillisecond) {
  const LocalDateTime in{2026, 12, 9, 23, 59, 59, 999};
  const LocalDateTime out = DecodeDateValue(EncodeDateValue(in));
  EXPECT_EQ(out.year, 2026);
  EXPECT_EQ(out.month, 12);
  EXPECT_EQ(out.day, 9);
  EXPECT_EQ(out.hour, 23);
  EXPECT_EQ(out.minute, 59);
  EXPECT_EQ(out.second, 59);
  EXPECT_EQ(out.millisecond, 999);
}

TEST(DateValue, TimePointConversionRoundTrips) {
  const auto now = std::chrono::system_clock::now();
  const auto back = TimePointFromDateValue(DateValueFromTimePoint(now));
  const auto diff = std::chrono::duration_cast<std::chrono::milliseconds>(back - now).count();
  EXPECT_LE(std::abs(diff), 1);
}

TEST(DateTimeText, ParsesBackWhatItWrites) {
  const DateValue value = EncodeDateValue({2024, 2, 29, 8, 5, 3, 0});
  const auto parsed = ParseDateTimeText(DateTimeText(value));
  ASSERT_TRUE(parsed.has_value());
  EXPECT_NEAR(*parsed, value, 1e-9);
  EXPECT_FALSE(ParseDateTimeText("not a date").has_value());
}

}  // namespace
}  // namespace kestrune
