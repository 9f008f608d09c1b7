// User-name keys (case folding and look-alikes), new-name rules and greeting names.
#include "store/user_names.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <utility>

#include "platform/ascii.h"
#include "platform/text_encoding.h"
#include "store/text_utils.h"
#include "store/user_list.h"

namespace kestrune {
namespace {

constexpr std::string_view kReservedKey = "admin";

// One code point of valid UTF-8 at text[pos], advancing pos; nullopt (pos unchanged)
// when the bytes there are not a valid sequence.
std::optional<char32_t> DecodeAt(std::string_view text, std::size_t& pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : 4;
  if (lead >= 0xF8 || (lead >= 0x80 && lead < 0xC0)) return std::nullopt;
  if (pos + length > text.size() || !IsValidUtf8(text.substr(pos, length))) return std::nullopt;
  char32_t code = length == 1 ? lead : lead & (0x3F >> (length - 1));
  for (std::size_t i = 1; i < length; ++i) {
    code = (code << 6) | (static_cast<unsigned char>(text[pos + i]) & 0x3F);
  }
  pos += length;
  return code;
}

// Pairs where the capital is even and the small letter the next odd code point.
bool InEvenPairRange(char32_t c) {
  return (c >= 0x0100 && c <= 0x012F) || (c >= 0x0132 && c <= 0x0137) ||
         (c >= 0x014A && c <= 0x0177) || (c >= 0x0460 && c <= 0x0481) ||
         (c >= 0x048A && c <= 0x04BF) || (c >= 0x04D0 && c <= 0x052F) ||
         (c >= 0x03D8 && c <= 0x03EF);
}
// Pairs where the capital is odd.
bool InOddPairRange(char32_t c) {
  return (c >= 0x0139 && c <= 0x0148) || (c >= 0x0179 && c <= 0x017E) ||
         (c >= 0x04C1 && c <= 0x04CE);
}

// Simple case folding of the scripts covered (see the header).
char32_t FoldCase(char32_t c) {
  if (c >= 'A' && c <= 'Z') return c + 0x20;
  if ((c >= 0x00C0 && c <= 0x00DE && c != 0x00D7)) return c + 0x20;
  if (c == 0x00B5) return 0x03BC;
  if (c == 0x0178) return 0x00FF;
  if (InEvenPairRange(c)) return c | 1;
  if (InOddPairRange(c)) return (c & 1) ? c + 1 : c;
  if (c >= 0x0391 && c <= 0x03AB && c != 0x03A2) return c + 0x20;
  if (c == 0x0386) return 0x03AC;
  if (c >= 0x0388 && c <= 0x038A) return c + 37;
  if (c == 0x038C) return 0x03CC;
  if (c == 0x038E || c == 0x038F) return c + 63;
  if (c == 0x03C2) return 0x03C3;
  if (c >= 0x0400 && c <= 0x040F) return c + 0x50;
  if (c >= 0x0410 && c <= 0x042F) return c + 0x20;
  if (c == 0x04C0) return 0x04CF;
  if (c >= 0x0531 && c <= 0x0556) return c + 0x30;
  if (c >= 0xFF21 && c <= 0xFF3A) return c + 0x20;
  return c;
}

// After folding: letters drawn like ASCII ones, as those.
constexpr std::array<std::pair<char32_t, char>, 39> kLookAlikes = {{
    {0x0131, 'i'}, {0x0130, 'i'}, {0x017F, 's'}, {0x0269, 'i'}, {0x0261, 'g'},  //
    {0x03B1, 'a'}, {0x03B5, 'e'}, {0x03B9, 'i'}, {0x03BA, 'k'}, {0x03BD, 'v'},  // Greek
    {0x03BF, 'o'}, {0x03C1, 'p'}, {0x03C4, 't'}, {0x03C5, 'u'}, {0x03C7, 'x'},
    {0x03B7, 'n'}, {0x03BC, 'u'}, {0x03F2, 'c'}, {0x03F3, 'j'}, {0x0430, 'a'},
    {0x0435, 'e'}, {0x043E, 'o'}, {0x0440, 'p'}, {0x0441, 'c'},  // Cyrillic
    {0x0443, 'y'}, {0x0445, 'x'}, {0x0456, 'i'}, {0x0458, 'j'}, {0x0455, 's'},
    {0x0501, 'd'}, {0x051B, 'q'}, {0x051D, 'w'}, {0x04BB, 'h'}, {0x04CF, 'l'},
    {0x0432, 'b'}, {0x043A, 'k'}, {0x043C, 'm'}, {0x043D, 'h'}, {0x0442, 't'},
}};

// Blanks other than the ASCII space and characters that show nothing.
bool IsInvisible(char32_t c) {
  return c == 0x00A0 || c == 0x00AD || c == 0x034F || c == 0x061C || c == 0x115F || c == 0x1160 ||
         c == 0x1680 || c == 0x180E || (c >= 0x2000 && c <= 0x200F) ||
         (c >= 0x2028 && c <= 0x202F) || (c >= 0x205F && c <= 0x206F) || c == 0x3000 ||
         c == 0x3164 || c == 0xFEFF || c == 0xFFA0 || (c >= 0xFE00 && c <= 0xFE0F) ||
         (c >= 0xFFF9 && c <= 0xFFFB) || (c >= 0xE0000 && c <= 0xE0FFF);
}

bool IsCombiningMark(char32_t c) { return c >= 0x0300 && c <= 0x036F; }

// Whether name holds an invisible character (false for bytes that are not UTF-8).
bool HasInvisible(std::string_view name) {
  for (std::size_t pos = 0; pos < name.size();) {
    const auto code = DecodeAt(name, pos);
    if (!code) {
      ++pos;
    } else if (IsInvisible(*code)) {
      return true;
    }
  }
  return false;
}

bool HasEdgeBlank(std::string_view name) {
  return !name.empty() && (name.front() == ' ' || name.back() == ' ');
}

}  // namespace

std::string UserNameKey(std::string_view name) {
  std::string key;
  for (std::size_t pos = 0; pos < name.size();) {
    const auto decoded = DecodeAt(name, pos);
    if (!decoded) {
      key += name[pos++];
      continue;
    }
    char32_t code = *decoded;
    if (code >= 0xFF01 && code <= 0xFF5E) code -= 0xFEE0;  // fullwidth forms
    if (code == 0x00DF || code == 0x1E9E) {
      key += "ss";
      continue;
    }
    code = FoldCase(code);
    if (IsCombiningMark(code)) continue;
    for (const auto& [look_alike, latin] : kLookAlikes) {
      if (code == look_alike) code = static_cast<unsigned char>(latin);
    }
    AppendUtf8(key, code);
  }
  return key;
}

NewUserNameProblem CheckNewUserName(std::string_view name, bool allow_admin) {
  if (!IsValidUserDirectoryName(name)) return NewUserNameProblem::kNotADirectoryName;
  if (HasEdgeBlank(name)) return NewUserNameProblem::kEdgeBlank;
  if (HasInvisible(name)) return NewUserNameProblem::kInvisible;
  if (UserNameKey(name) == kReservedKey &&
      !(allow_admin && EqualsIgnoringAsciiCase(name, kReservedKey))) {
    return NewUserNameProblem::kReserved;
  }
  return NewUserNameProblem::kNone;
}

std::string GreetingName(std::string_view stored_name) {
  const bool look_alike =
      UserNameKey(stored_name) == kReservedKey && !EqualsIgnoringAsciiCase(stored_name, "admin");
  if (!look_alike && !HasEdgeBlank(stored_name) && !HasInvisible(stored_name)) {
    return ProperCase(stored_name);
  }
  // ProperCase changes ASCII letters only, so the positions of the rest stay.
  const std::string proper = ProperCase(stored_name);
  std::string shown;
  for (std::size_t pos = 0; pos < proper.size();) {
    const bool edge = pos == 0 || pos + 1 == proper.size();
    const auto code = DecodeAt(proper, pos);
    if (!code) {
      shown += "<?>";
      ++pos;
    } else if (*code >= 0x80 || (*code == ' ' && edge)) {
      char text[16];
      std::snprintf(text, sizeof text, "<U+%04X>", static_cast<unsigned>(*code));
      shown += text;
    } else {
      shown += static_cast<char>(*code);
    }
  }
  return shown;
}

}  // namespace kestrune
