// Mail dates. Parsing works on tokens so the many variants in the wild need no separate
// patterns; every number is range-checked before it is used.
#include "mail/mime_date.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <vector>

#include "platform/text_encoding.h"

namespace kestrune {
namespace {

constexpr std::array<std::string_view, 7> kDayNames = {"Sun", "Mon", "Tue", "Wed",
                                                       "Thu", "Fri", "Sat"};
constexpr std::array<std::string_view, 12> kMonthNames = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

int ToInt(std::string_view digits) {
  int value = 0;
  for (char c : digits) value = value * 10 + (c - '0');
  return value;
}

std::optional<int> MonthNumber(std::string_view word) {
  if (word.size() < 3) return std::nullopt;
  std::string prefix = AsciiLower(word.substr(0, 3));
  for (std::size_t i = 0; i < kMonthNames.size(); ++i) {
    if (AsciiLower(kMonthNames[i]) == prefix) return static_cast<int>(i) + 1;
  }
  return std::nullopt;
}

// Offset from UTC in minutes of a zone token, or nullopt.
std::optional<int> ZoneOffset(std::string_view zone) {
  if (zone.size() == 5 && (zone[0] == '+' || zone[0] == '-') && AllDigits(zone.substr(1))) {
    int hours = ToInt(zone.substr(1, 2));
    int minutes = ToInt(zone.substr(3, 2));
    if (hours > 23 || minutes > 59) return std::nullopt;
    int offset = hours * 60 + minutes;
    return zone[0] == '-' ? -offset : offset;
  }
  std::string name = AsciiLower(zone);
  struct Named {
    std::string_view name;
    int hours;
  };
  static constexpr std::array<Named, 11> kNamed = {{{"ut", 0},
                                                    {"utc", 0},
                                                    {"gmt", 0},
                                                    {"z", 0},
                                                    {"est", -5},
                                                    {"edt", -4},
                                                    {"cst", -6},
                                                    {"cdt", -5},
                                                    {"mst", -7},
                                                    {"mdt", -6},
                                                    {"pst", -8}}};
  for (const auto& named : kNamed) {
    if (name == named.name) return named.hours * 60;
  }
  if (name == "pdt") return -7 * 60;
  // Military letters are ambiguous in practice (RFC 2822 says treat as -0000).
  if (name.size() == 1 && std::isalpha(static_cast<unsigned char>(name[0]))) return 0;
  return std::nullopt;
}

std::vector<std::string_view> Tokens(std::string_view text, std::string& storage) {
  // Comments removed, commas turned into blanks.
  storage.clear();
  int depth = 0;
  for (char c : text) {
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
    std::size_t start = rest.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    rest.remove_prefix(start);
    std::size_t end = rest.find(' ');
    tokens.push_back(rest.substr(0, end));
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end);
  }
  return tokens;
}

}  // namespace

std::optional<DateValue> ParseMailDate(std::string_view text) {
  if (text.size() > 256) return std::nullopt;
  std::string storage;
  std::vector<std::string_view> tokens = Tokens(text, storage);
  std::size_t i = 0;
  // An optional day name ("Tue", "Tuesday") before the day.
  if (i < tokens.size() && !AllDigits(tokens[i])) ++i;
  if (i + 2 >= tokens.size()) return std::nullopt;
  std::string_view day_text = tokens[i], month_text = tokens[i + 1], year_text = tokens[i + 2];
  if (!AllDigits(day_text) || day_text.size() > 2 || !AllDigits(year_text) ||
      year_text.size() > 4) {
    return std::nullopt;
  }
  auto month = MonthNumber(month_text);
  if (!month) return std::nullopt;
  int day = ToInt(day_text);
  int year = ToInt(year_text);
  if (year_text.size() <= 2) {
    year += year < 50 ? 2000 : 1900;
  } else if (year_text.size() == 3) {
    year += 1900;
  }
  if (day < 1 || day > 31 || year < 1900 || year > 9999) return std::nullopt;
  i += 3;

  int hour = 0, minute = 0, second = 0;
  if (i < tokens.size()) {
    std::string_view time = tokens[i];
    std::vector<std::string_view> fields;
    for (std::size_t start = 0;;) {
      std::size_t colon = time.find(':', start);
      fields.push_back(time.substr(start, colon == std::string_view::npos ? colon : colon - start));
      if (colon == std::string_view::npos) break;
      start = colon + 1;
    }
    if (fields.size() < 2 || fields.size() > 3) return std::nullopt;
    for (auto field : fields) {
      if (!AllDigits(field) || field.size() > 2) return std::nullopt;
    }
    hour = ToInt(fields[0]);
    minute = ToInt(fields[1]);
    second = fields.size() == 3 ? ToInt(fields[2]) : 0;
    if (hour > 23 || minute > 59 || second > 60) return std::nullopt;
    ++i;
  }
  int offset_minutes = 0;
  if (i < tokens.size()) {
    auto offset = ZoneOffset(tokens[i]);
    if (offset) offset_minutes = *offset;
  }

  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = *month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  std::time_t utc = timegm(&tm);
  utc -= static_cast<std::time_t>(offset_minutes) * 60;
  // Through time_t rather than the system clock, whose nanosecond count ends in 2262.
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
                std::string(kDayNames[local.tm_wday]).c_str(), local.tm_mday,
                std::string(kMonthNames[local.tm_mon]).c_str(), local.tm_year + 1900, local.tm_hour,
                local.tm_min, local.tm_sec, sign, offset / 60, offset % 60);
  return buffer;
}

}  // namespace kestrune
