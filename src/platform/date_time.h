// Date values as the data files store them: an IEEE double counting days since
// 30 December 1899 (local time), the fraction being the time of day. Also the
// locale's short-date and long-time texts (strftime %x / %X) used in logs and lists.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace kestrune {

using DateValue = double;

struct LocalDateTime {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

DateValue EncodeDateValue(const LocalDateTime& parts);
LocalDateTime DecodeDateValue(DateValue value);

DateValue DateValueFromTimePoint(std::chrono::system_clock::time_point when);
std::chrono::system_clock::time_point TimePointFromDateValue(DateValue value);
DateValue NowAsDateValue();

// "%x" and "%X" of the process locale; ShortDateText + " " + LongTimeText is the
// form the logs and message lists show, and ParseDateTimeText reads it back.
std::string ShortDateText(DateValue value);
std::string LongTimeText(DateValue value);
std::string DateTimeText(DateValue value);
std::optional<DateValue> ParseDateTimeText(std::string_view text);

}  // namespace kestrune
