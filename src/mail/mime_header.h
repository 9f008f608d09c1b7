// A header section as read and as written: fields in their order, each kept as the raw
// lines it was read from (so a fetched message's fields are written back as they came)
// and unfolded when its value is asked for. Also the decoding of structured fields'
// parameters and the wrapping of fields the writer sets.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/header_params.h"

namespace kestrune {

// One field: its name and the lines it occupies (the first "Name: value", then any
// continuation lines starting with a blank or tab). A line without a colon that is no
// continuation is kept as a field with an empty name and written back unchanged.
struct THeaderField {
  std::string Name;
  std::vector<std::string> Lines;

  // The value unfolded (continuation line breaks removed), CR, LF and NUL read as blanks
  // (as the writer writes them), and trimmed of blanks.
  std::string Value() const;
};

class TIdHeaderList {
 public:
  std::size_t Count() const { return fields_.size(); }
  bool Empty() const { return fields_.empty(); }
  const THeaderField& operator[](std::size_t index) const { return fields_[index]; }
  auto begin() const { return fields_.begin(); }
  auto end() const { return fields_.end(); }
  void Clear() { fields_.clear(); }

  // Adds one raw line as read: a line starting with a blank or tab continues the last
  // field, any other line starts a new field.
  void AddRawLine(std::string_view line);

  // Appends the field name + ": " + value, the value made safe (CR, LF, NUL -> blank).
  void Add(std::string_view name, std::string_view value);

  // The unfolded value of the first field named `name` (any letter case), or nullopt.
  std::optional<std::string> Find(std::string_view name) const;
  // Find or "" when absent.
  std::string Value(std::string_view name) const;
  bool Contains(std::string_view name) const { return Find(name).has_value(); }

  // Writes the field in the place of the first field of that name (removing any further
  // fields of the name), or at the end when absent; an empty value removes the fields.
  // The value is made safe and, when the whole line is longer than 78 characters,
  // wrapped by WrapHeaderLine.
  void Set(std::string_view name, std::string_view value);

  // Removes every field named `name` (any letter case).
  void Remove(std::string_view name);

  // All lines in order, without line ends. In a line that starts no field, CR, LF and
  // NUL read as "?", so that it cannot start a field or continue one when written.
  std::vector<std::string> Lines() const;

 private:
  std::vector<THeaderField> fields_;
};

// Whether a raw header line starts a field: a name of visible characters (blanks around
// it allowed) before a colon.
bool StartsHeaderField(std::string_view line);

// CR, LF and NUL replaced by a blank: what keeps a value from starting another field.
std::string SafeHeaderValue(std::string_view value);

// A character of a line as the writer writes it: a bare CR or a NUL becomes a blank (mail
// data may hold neither). The reader compares boundary lines through the same mapping, so
// that a line is a boundary before a save exactly when it is one after.
inline char AsWritten(char c) { return c == '\r' || c == '\0' ? ' ' : c; }

// "Name: value" wrapped at a blank, tab or comma at or before column 78: each
// continuation line starts with one blank; trailing blanks are removed from every piece.
// A piece with no break point within the width is broken at its first break point after.
std::vector<std::string> WrapHeaderLine(std::string_view line, std::size_t width = 78);

// The value of a parameter of a structured field (Content-Type, Content-Disposition)
// decoded to UTF-8: RFC 2231 extended values through their charset, plain values and
// continuations through RFC 2047 encoded words; "" when absent.
std::string MimeParam(const HeaderParams& params, std::string_view name);

}  // namespace kestrune
