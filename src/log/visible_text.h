// Text from outside (a user name, a server reply, a file name) made safe for a line of
// the debug log or of a one-line error message: control characters become visible
// escapes, so such text can never end a line early or forge the next one.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrune {

// CR, LF and TAB become "\r", "\n" and "\t"; every other byte below 0x20 and DEL
// become "\xNN". All other bytes (UTF-8 included) are kept.
std::string VisibleText(std::string_view text);

// VisibleText cut to at most max_bytes: a longer result ends in "..." and is cut at a
// UTF-8 character boundary, never inside an escape.
std::string VisibleTextLimited(std::string_view text, std::size_t max_bytes);

}  // namespace kestrune
