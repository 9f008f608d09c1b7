// The "Date" field: reading the RFC 822/2822 forms found in mail (obsolete ones
// included) into a local date value, and writing a date value in RFC 822 form with the
// local offset from UTC.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/date_time.h"

namespace kestrune {

// "Tue, 5 Mar 2024 14:03:09 +0100" and the variants: no day name, two-digit years,
// no seconds, zone names (UT, GMT, EST ... PDT, military letters), comments. The
// instant converted to local time; nullopt when the text is no date.
std::optional<DateValue> ParseMailDate(std::string_view text);

// "%s, %d %s %d %s %s": day name, day, month name, year, hh:mm:ss, local offset
// such as +0100, for the local date value `value`.
std::string FormatMailDate(DateValue value);

}  // namespace kestrune
