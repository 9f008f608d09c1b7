// Mail dates: the header date reader of the platform layer, with the instant converted
// to local time, and the writer's RFC 822 form with the local offset.
#include "mail/mime_date.h"

#include <cstdio>
#include <ctime>

#include "platform/internet_date.h"

namespace kestrune {

std::optional<DateValue> ParseMailDate(std::string_view text) {
  const auto instant = ParseInternetDate(text);
  if (!instant) return std::nullopt;
  // Through time_t rather than the system clock, whose nanosecond count ends in 2262.
  const std::time_t utc = static_cast<std::time_t>(instant->time_since_epoch().count());
  std::tm local{};
  if (localtime_r(&utc, &local) == nullptr) return std::nullopt;
  return EncodeDateValue({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                          local.tm_min, local.tm_sec, 0});
}

std::string FormatMailDate(DateValue value) {
  LocalDateTime parts = DecodeDateValue(value);
  std::tm local{};
  local.tm_year = parts.year - 1900;
  local.tm_mon = parts.month - 1;
  local.tm_mday = parts.day;
  local.tm_hour = parts.hour;
  local.tm_min = parts.minute;
  local.tm_sec = parts.second + (parts.millisecond >= 500 ? 1 : 0);
  local.tm_isdst = -1;
  std::mktime(&local);  // normalises the fields and fills in the weekday and offset
  long offset = local.tm_gmtoff / 60;
  char sign = offset < 0 ? '-' : '+';
  if (offset < 0) offset = -offset;
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%s, %d %s %d %02d:%02d:%02d %c%02ld%02ld",
                kDayNames[local.tm_wday].data(), local.tm_mday, kMonthNames[local.tm_mon].data(),
                local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec, sign, offset / 60,
                offset % 60);
  return buffer;
}

}  // namespace kestrune
