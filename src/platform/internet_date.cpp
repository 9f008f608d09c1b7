// Header dates. Parsing works on tokens so the many variants in the wild need no separate
// patterns; the calendar arithmetic is <chrono>'s, so no time zone or mktime quirk enters.
#include "platform/internet_date.h"

#include <cstdio>
#include <vector>

#include "platform/ascii.h"

namespace kestrune {
namespace {

constexpr std::size_t kMaxDateLength = 256;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return AsciiLowerChar(c) >= 'a' && AsciiLowerChar(c) <= 'z'; }

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (!IsDigit(c)) return false;
  }
  return true;
}

// Only called on at most four digits, so no overflow.
int ToInt(std::string_view digits) {
  int value = 0;
  for (const char c : digits) value = value * 10 + (c - '0');
  return value;
}

// Offset from UTC in minutes of a zone token, or nullopt.
std::optional<int> ZoneOffset(std::string_view zone) {
  if (zone.size() == 5 && (zone[0] == '+' || zone[0] == '-') && AllDigits(zone.substr(1))) {
    const int hours = ToInt(zone.substr(1, 2));
    const int minutes = ToInt(zone.substr(3, 2));
    if (hours > 23 || minutes > 59) return std::nullopt;
    const int offset = hours * 60 + minutes;
    return zone[0] == '-' ? -offset : offset;
  }
  struct Named {
    std::string_view name;
    int hours;
  };
  static constexpr std::array<Named, 12> kNamed = {{{"ut", 0},
                                                    {"utc", 0},
                                                    {"gmt", 0},
                                                    {"z", 0},
                                                    {"est", -5},
                                                    {"edt", -4},
                                                    {"cst", -6},
                                                    {"cdt", -5},
                                                    {"mst", -7},
                                                    {"mdt", -6},
                                                    {"pst", -8},
                                                    {"pdt", -7}}};
  for (const auto& named : kNamed) {
    if (EqualsIgnoringAsciiCase(zone, named.name)) return named.hours * 60;
  }
  // Military letters are ambiguous in practice (RFC 2822 says treat them as -0000).
  if (zone.size() == 1 && IsLetter(zone[0])) return 0;
  return std::nullopt;
}

// The text with comments removed and commas, tabs and line breaks read as blanks, cut
// into blank-separated tokens that point into `storage`.
std::vector<std::string_view> Tokens(std::string_view text, std::string& storage) {
  storage.clear();
  int depth = 0;
  for (const char c : text) {
    if (c == '(') {
      ++depth;
    } else if (c == ')' && depth > 0) {
      --depth;
    } else if (depth == 0) {
      storage += (c == ',' || c == '\t' || c == '\r' || c == '\n') ? ' ' : c;
    }
  }
  std::vector<std::string_view> tokens;
  std::string_view rest = storage;
  while (!rest.empty()) {
    const std::size_t start = rest.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    rest.remove_prefix(start);
    const std::size_t end = rest.find(' ');
    tokens.push_back(rest.substr(0, end));
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end);
  }
  return tokens;
}

struct DateParts {
  std::string_view day, month, year, time, zone;
};

// Sorts the tokens into their roles by the form they take.
std::optional<DateParts> SplitForms(const std::vector<std::string_view>& tokens) {
  std::size_t i = 0;
  const auto at = [&](std::size_t k) { return k < tokens.size() ? tokens[k] : std::string_view(); };
  // A leading day name ("Tue", "Tuesday"): a word that names no month.
  if (!at(i).empty() && IsLetter(at(i)[0]) && !MonthFromName(at(i))) ++i;
  DateParts parts;
  const std::string_view first = at(i);
  if (first.empty()) return std::nullopt;
  if (const std::size_t dash = first.find('-'); dash != std::string_view::npos) {
    // "06-Nov-94 08:49:37 GMT"
    const std::size_t second_dash = first.find('-', dash + 1);
    if (second_dash == std::string_view::npos) return std::nullopt;
    parts.day = first.substr(0, dash);
    parts.month = first.substr(dash + 1, second_dash - dash - 1);
    parts.year = first.substr(second_dash + 1);
    parts.time = at(i + 1);
    parts.zone = at(i + 2);
  } else if (IsLetter(first[0])) {
    // "Nov  6 08:49:37 1994"
    parts.month = first;
    parts.day = at(i + 1);
    parts.time = at(i + 2);
    parts.year = at(i + 3);
    parts.zone = at(i + 4);
    if (parts.time.empty()) return std::nullopt;
  } else {
    // "5 Mar 2024 14:03:09 +0100", time and zone optional
    parts.day = first;
    parts.month = at(i + 1);
    parts.year = at(i + 2);
    parts.time = at(i + 3);
    parts.zone = at(i + 4);
  }
  return parts;
}

// Seconds into the day of "hh:mm" or "hh:mm:ss" ("" is midnight), or nullopt.
std::optional<int> SecondsOfDay(std::string_view time) {
  if (time.empty()) return 0;
  std::vector<std::string_view> fields;
  for (std::size_t start = 0;;) {
    const std::size_t colon = time.find(':', start);
    fields.push_back(time.substr(start, colon == std::string_view::npos ? colon : colon - start));
    if (colon == std::string_view::npos || fields.size() > 3) break;
    start = colon + 1;
  }
  if (fields.size() < 2 || fields.size() > 3) return std::nullopt;
  for (const auto field : fields) {
    if (!AllDigits(field) || field.size() > 2) return std::nullopt;
  }
  const int hour = ToInt(fields[0]);
  const int minute = ToInt(fields[1]);
  const int second = fields.size() == 3 ? ToInt(fields[2]) : 0;
  if (hour > 23 || minute > 59 || second > 60) return std::nullopt;
  return (hour * 60 + minute) * 60 + second;
}

}  // namespace

std::optional<int> MonthFromName(std::string_view word) {
  if (word.size() < 3) return std::nullopt;
  for (std::size_t i = 0; i < kMonthNames.size(); ++i) {
    if (EqualsIgnoringAsciiCase(word.substr(0, 3), kMonthNames[i])) return static_cast<int>(i) + 1;
  }
  return std::nullopt;
}

std::optional<std::chrono::sys_seconds> ParseInternetDate(std::string_view text) {
  using namespace std::chrono;
  if (text.size() > kMaxDateLength) return std::nullopt;
  std::string storage;
  const auto parts = SplitForms(Tokens(text, storage));
  if (!parts) return std::nullopt;
  if (!AllDigits(parts->day) || parts->day.size() > 2 || !AllDigits(parts->year) ||
      parts->year.size() > 4) {
    return std::nullopt;
  }
  const auto month_number = MonthFromName(parts->month);
  if (!month_number) return std::nullopt;
  const int day_number = ToInt(parts->day);
  int year_number = ToInt(parts->year);
  if (parts->year.size() <= 2) {
    year_number += year_number < 50 ? 2000 : 1900;
  } else if (parts->year.size() == 3) {
    year_number += 1900;
  }
  if (day_number < 1 || day_number > 31 || year_number < 1900) return std::nullopt;
  const auto seconds_of_day = SecondsOfDay(parts->time);
  if (!seconds_of_day) return std::nullopt;
  const int offset_minutes = ZoneOffset(parts->zone).value_or(0);

  const sys_days date =
      sys_days(year(year_number) / month(*month_number) / 1) + days(day_number - 1);
  return sys_seconds(date) + seconds(*seconds_of_day) - minutes(offset_minutes);
}

std::string FormatRfc1123Date(std::chrono::sys_seconds when) {
  using namespace std::chrono;
  const sys_days date = floor<days>(when);
  const year_month_day ymd(date);
  const hh_mm_ss time(when - date);
  char text[40];
  std::snprintf(text, sizeof text, "%s, %02u %s %04d %02d:%02d:%02d GMT",
                kDayNames[weekday(date).c_encoding()].data(), static_cast<unsigned>(ymd.day()),
                kMonthNames[static_cast<unsigned>(ymd.month()) - 1].data(),
                static_cast<int>(ymd.year()), static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()));
  return text;
}

}  // namespace kestrune
