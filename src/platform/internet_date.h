// The dates of mail and HTTP headers: one reader for the forms both protocols use, the
// day and month names they are written with, and the HTTP/cookie writing form.
#pragma once

#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace kestrune {

inline constexpr std::array<std::string_view, 7> kDayNames = {"Sun", "Mon", "Tue", "Wed",
                                                              "Thu", "Fri", "Sat"};
inline constexpr std::array<std::string_view, 12> kMonthNames = {
    "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// 1-12 for a word whose first three letters name a month ("Mar", "march"), any case.
std::optional<int> MonthFromName(std::string_view word);

// The instant a header date names, or nullopt when the text is no date. Read forms:
//   "Tue, 5 Mar 2024 14:03:09 +0100" and its obsolete variants in mail: no day name,
//       two- and three-digit years, no seconds, no time, zone names (UT, GMT, EST ... PDT,
//       military letters), comments in parentheses;
//   "Sun, 06 Nov 1994 08:49:37 GMT"    (HTTP's preferred form);
//   "Sunday, 06-Nov-94 08:49:37 GMT"   (the obsolete HTTP/cookie form);
//   "Sun Nov  6 08:49:37 1994"         (C's asctime).
// A missing or unknown zone counts as UTC. Every number is range-checked; a day past
// the end of its month counts on into the next.
std::optional<std::chrono::sys_seconds> ParseInternetDate(std::string_view text);

// "Sun, 06 Nov 1994 08:49:37 GMT": the form HTTP headers and cookie expiry dates use.
std::string FormatRfc1123Date(std::chrono::sys_seconds when);

}  // namespace kestrune
