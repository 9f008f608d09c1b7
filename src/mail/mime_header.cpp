// Header fields: raw lines kept for writing back, unfolded values for reading, and the
// writer's wrapping of the fields it sets.
#include "mail/mime_header.h"

#include "mail/charset.h"
#include "mail/mime_encoding.h"
#include "platform/text_encoding.h"

namespace kestrune {
namespace {

// The name of the field a raw line starts, or "" when it starts none.
std::string FieldName(std::string_view line) {
  std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return {};
  std::string_view name = TrimBlanks(line.substr(0, colon));
  if (name.empty()) return {};
  for (char c : name) {
    if (c <= ' ' || c == 127) return {};
  }
  return std::string(name);
}

}  // namespace

bool StartsHeaderField(std::string_view line) { return !FieldName(line).empty(); }

std::string THeaderField::Value() const {
  std::string joined;
  for (std::size_t i = 0; i < Lines.size(); ++i) {
    std::string_view line = Lines[i];
    if (i == 0 && !Name.empty()) line.remove_prefix(line.find(':') + 1);
    joined += line;
  }
  // Read as the writer will write it, so that a value means the same after a save.
  return std::string(TrimBlanks(SafeHeaderValue(joined)));
}

void TIdHeaderList::AddRawLine(std::string_view line) {
  if (!line.empty() && IsBlank(line.front()) && !fields_.empty()) {
    fields_.back().Lines.emplace_back(line);
    return;
  }
  fields_.push_back(THeaderField{FieldName(line), {std::string(line)}});
}

void TIdHeaderList::Add(std::string_view name, std::string_view value) {
  std::string line = std::string(name) + ": " + SafeHeaderValue(value);
  fields_.push_back(THeaderField{std::string(name), {std::move(line)}});
}

std::optional<std::string> TIdHeaderList::Find(std::string_view name) const {
  for (const auto& field : fields_) {
    if (!field.Name.empty() && EqualsIgnoringAsciiCase(field.Name, name)) return field.Value();
  }
  return std::nullopt;
}

std::string TIdHeaderList::Value(std::string_view name) const {
  return Find(name).value_or(std::string());
}

void TIdHeaderList::Set(std::string_view name, std::string_view value) {
  std::string safe = SafeHeaderValue(value);
  if (TrimBlanks(safe).empty()) {
    Remove(name);
    return;
  }
  THeaderField field{std::string(name), WrapHeaderLine(std::string(name) + ": " + safe)};
  bool placed = false;
  std::vector<THeaderField> kept;
  kept.reserve(fields_.size() + 1);
  for (auto& existing : fields_) {
    if (!existing.Name.empty() && EqualsIgnoringAsciiCase(existing.Name, name)) {
      if (!placed) kept.push_back(field);
      placed = true;
    } else {
      kept.push_back(std::move(existing));
    }
  }
  if (!placed) kept.push_back(std::move(field));
  fields_ = std::move(kept);
}

void TIdHeaderList::Remove(std::string_view name) {
  std::erase_if(fields_, [name](const THeaderField& field) {
    return !field.Name.empty() && EqualsIgnoringAsciiCase(field.Name, name);
  });
}

std::vector<std::string> TIdHeaderList::Lines() const {
  std::vector<std::string> lines;
  for (const auto& field : fields_) {
    lines.insert(lines.end(), field.Lines.begin(), field.Lines.end());
    if (field.Name.empty() && !field.Lines.empty()) {
      // A line that starts no field must not turn into one (or into a continuation)
      // when the writer blanks its control characters: "Content-Type\0: x" would
      // become a Content-Type field, "\0boundary=x" part of the field before it.
      std::string& first = lines[lines.size() - field.Lines.size()];
      for (char& c : first) {
        if (c == '\r' || c == '\n' || c == '\0') c = '?';
      }
    }
  }
  return lines;
}

std::string SafeHeaderValue(std::string_view value) {
  std::string out(value);
  for (char& c : out) {
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  }
  return out;
}

std::vector<std::string> WrapHeaderLine(std::string_view line, std::size_t width) {
  std::vector<std::string> pieces;
  std::string rest(TrimTrailingBlanks(line));
  bool first = true;
  while (rest.size() > width) {
    // A cut at p keeps rest[0, p) on this line. At a blank the blank itself goes; after
    // a comma the comma stays. A continuation line must keep more than its leading blank.
    const std::size_t min_cut = first ? 1 : 2;
    std::size_t best = std::string::npos;
    bool best_at_blank = false;
    for (std::size_t p = min_cut; p < rest.size(); ++p) {
      bool at_blank = IsBlank(rest[p]);
      bool after_comma = rest[p - 1] == ',';
      if (!at_blank && !after_comma) continue;
      if (TrimTrailingBlanks(std::string_view(rest).substr(0, p)).size() < min_cut) continue;
      if (p <= width || best == std::string::npos) {
        best = p;
        best_at_blank = at_blank;
      }
      if (p > width) break;
    }
    if (best == std::string::npos) break;
    std::string_view remainder = std::string_view(rest).substr(best + (best_at_blank ? 1 : 0));
    while (!remainder.empty() && IsBlank(remainder.front())) remainder.remove_prefix(1);
    pieces.emplace_back(TrimTrailingBlanks(std::string_view(rest).substr(0, best)));
    if (remainder.empty()) {
      rest.clear();
      break;
    }
    rest = " " + std::string(remainder);
    first = false;
  }
  if (!rest.empty() || pieces.empty()) pieces.push_back(std::move(rest));
  return pieces;
}

std::string MimeParam(const HeaderParams& params, std::string_view name) {
  const auto param = FindExtendedParam(params, name);
  if (!param) return {};
  if (!param->Extended) return DecodeHeaderWords(param->Text);
  if (param->Charset.empty()) return BytesToUtf8(param->Text);
  return CharsetToUtf8(param->Text, param->Charset);
}

}  // namespace kestrune
