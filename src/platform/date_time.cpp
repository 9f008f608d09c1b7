// Conversions between date values, broken-down local time and locale texts.
#include "platform/date_time.h"

#include <cmath>
#include <ctime>

namespace kestrune {
namespace {

// Days from 1970-01-01 to y-m-d in the proleptic Gregorian calendar; a month or day out
// of range counts on (month 13 is January of the next year, 31 February is 3 March), so
// no time-zone or mktime quirk enters the calendar arithmetic.
long long DaysFromCivil(int y, int m, int d) {
  using namespace std::chrono;
  const int months_from_january = m - 1;
  const int year_carry =
      months_from_january >= 0 ? months_from_january / 12 : (months_from_january - 11) / 12;
  const year_month first_of_month =
      year(y + year_carry) /
      month(static_cast<unsigned>(months_from_january - year_carry * 12 + 1));
  const sys_days date = sys_days(first_of_month / 1) + days(d - 1);
  return date.time_since_epoch().count();
}

void CivilFromDays(long long z, int& y, int& m, int& d) {
  using namespace std::chrono;
  const year_month_day date{sys_days(days(z))};
  y = static_cast<int>(date.year());
  m = static_cast<int>(static_cast<unsigned>(date.month()));
  d = static_cast<int>(static_cast<unsigned>(date.day()));
}

constexpr long long kDaysFrom1899To1970 = 25569;
constexpr double kMillisecondsPerDay = 86400000.0;

std::tm ToTm(const LocalDateTime& parts) {
  std::tm tm{};
  tm.tm_year = parts.year - 1900;
  tm.tm_mon = parts.month - 1;
  tm.tm_mday = parts.day;
  tm.tm_hour = parts.hour;
  tm.tm_min = parts.minute;
  tm.tm_sec = parts.second;
  tm.tm_isdst = -1;
  return tm;
}

std::string Format(DateValue value, const char* format) {
  std::tm tm = ToTm(DecodeDateValue(value));
  char buffer[128];
  const std::size_t n = std::strftime(buffer, sizeof buffer, format, &tm);
  return std::string(buffer, n);
}

}  // namespace

DateValue EncodeDateValue(const LocalDateTime& p) {
  const long long days = DaysFromCivil(p.year, p.month, p.day) + kDaysFrom1899To1970;
  const double ms_of_day = ((p.hour * 60.0 + p.minute) * 60.0 + p.second) * 1000.0 + p.millisecond;
  return static_cast<double>(days) + ms_of_day / kMillisecondsPerDay;
}

LocalDateTime DecodeDateValue(DateValue value) {
  // Round to whole milliseconds first so that 0.99999999 of a day does not become 23:59:59.999.
  const long long total_ms = std::llround(value * kMillisecondsPerDay);
  long long days = total_ms / static_cast<long long>(kMillisecondsPerDay);
  long long ms = total_ms % static_cast<long long>(kMillisecondsPerDay);
  if (ms < 0) {
    ms += static_cast<long long>(kMillisecondsPerDay);
    --days;
  }
  LocalDateTime p;
  CivilFromDays(days - kDaysFrom1899To1970, p.year, p.month, p.day);
  p.millisecond = static_cast<int>(ms % 1000);
  p.second = static_cast<int>(ms / 1000 % 60);
  p.minute = static_cast<int>(ms / 60000 % 60);
  p.hour = static_cast<int>(ms / 3600000);
  return p;
}

DateValue DateValueFromTimePoint(std::chrono::system_clock::time_point when) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch());
  const std::time_t seconds = static_cast<std::time_t>(ms.count() / 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  LocalDateTime p{local.tm_year + 1900,
                  local.tm_mon + 1,
                  local.tm_mday,
                  local.tm_hour,
                  local.tm_min,
                  local.tm_sec,
                  static_cast<int>(((ms.count() % 1000) + 1000) % 1000)};
  return EncodeDateValue(p);
}

std::chrono::system_clock::time_point TimePointFromDateValue(DateValue value) {
  const LocalDateTime p = DecodeDateValue(value);
  std::tm tm = ToTm(p);
  const std::time_t seconds = std::mktime(&tm);
  return std::chrono::system_clock::from_time_t(seconds) + std::chrono::milliseconds(p.millisecond);
}

DateValue NowAsDateValue() { return DateValueFromTimePoint(std::chrono::system_clock::now()); }

std::string ShortDateText(DateValue value) { return Format(value, "%x"); }
std::string LongTimeText(DateValue value) { return Format(value, "%X"); }
std::string DateTimeText(DateValue value) {
  return ShortDateText(value) + " " + LongTimeText(value);
}

std::optional<DateValue> ParseDateTimeText(std::string_view text) {
  const std::string copy(text);
  std::tm tm{};
  const char* end = strptime(copy.c_str(), "%x %X", &tm);
  if (end == nullptr) {
    tm = std::tm{};
    end = strptime(copy.c_str(), "%x", &tm);
    if (end == nullptr) return std::nullopt;
  }
  while (*end == ' ') ++end;
  if (*end != '\0') return std::nullopt;
  return EncodeDateValue(
      {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, 0});
}

}  // namespace kestrune
