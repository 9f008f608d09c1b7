// Header fields: raw lines kept for writing back, unfolded values for reading, and the
// writer's wrapping of the fields it sets.
#include "mail/mime_header.h"

#include <charconv>
#include <map>

#include "mail/charset.h"
#include "mail/mime_encoding.h"
#include "platform/text_encoding.h"

namespace kestrune {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::string_view TrimRight(std::string_view text) {
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string PercentDecode(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The name of the field a raw line starts, or "" when it starts none.
std::string FieldName(std::string_view line) {
  std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return {};
  std::string_view name = Trim(line.substr(0, colon));
  if (name.empty()) return {};
  for (char c : name) {
    if (c <= ' ' || c == 127) return {};
  }
  return std::string(name);
}

}  // namespace

std::string THeaderField::Value() const {
  std::string joined;
  for (std::size_t i = 0; i < Lines.size(); ++i) {
    std::string_view line = Lines[i];
    if (i == 0 && !Name.empty()) line.remove_prefix(line.find(':') + 1);
    joined += line;
  }
  // Read as the writer will write it, so that a value means the same after a save.
  return std::string(Trim(SafeHeaderValue(joined)));
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
  if (Trim(safe).empty()) {
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
  std::string rest(TrimRight(line));
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
      if (TrimRight(std::string_view(rest).substr(0, p)).size() < min_cut) continue;
      if (p <= width || best == std::string::npos) {
        best = p;
        best_at_blank = at_blank;
      }
      if (p > width) break;
    }
    if (best == std::string::npos) break;
    std::string_view remainder = std::string_view(rest).substr(best + (best_at_blank ? 1 : 0));
    while (!remainder.empty() && IsBlank(remainder.front())) remainder.remove_prefix(1);
    pieces.emplace_back(TrimRight(std::string_view(rest).substr(0, best)));
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

bool THeaderParams::HasParam(std::string_view name) const {
  std::string lower = AsciiLower(name);
  for (const auto& [key, value] : Params) {
    if (key == lower || key == lower + "*" || key.rfind(lower + "*0", 0) == 0) return true;
  }
  return false;
}

std::string THeaderParams::Param(std::string_view name) const {
  const std::string lower = AsciiLower(name);
  // One pass over the parameters: the plain value, the RFC 2231 extended value
  // (name*=charset'lang'%XX...) and the continuations (name*0, name*1* ...) by number,
  // the extended form of a piece winning over the plain one.
  constexpr int kMaxPieces = 1000;
  const std::string* plain = nullptr;
  const std::string* extended = nullptr;
  std::map<int, std::pair<const std::string*, bool>> pieces;
  for (const auto& [key, value] : Params) {
    if (key == lower) {
      if (plain == nullptr) plain = &value;
      continue;
    }
    if (key.size() <= lower.size() || key.compare(0, lower.size(), lower) != 0 ||
        key[lower.size()] != '*') {
      continue;
    }
    std::string_view rest = std::string_view(key).substr(lower.size() + 1);
    if (rest.empty()) {
      if (extended == nullptr) extended = &value;
      continue;
    }
    const bool piece_extended = rest.back() == '*';
    if (piece_extended) rest.remove_suffix(1);
    int number = -1;
    auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), number);
    if (error != std::errc() || end != rest.data() + rest.size() || number < 0 ||
        number >= kMaxPieces || rest != std::to_string(number)) {
      continue;
    }
    auto& slot = pieces[number];
    if (slot.first == nullptr || (piece_extended && !slot.second)) slot = {&value, piece_extended};
  }
  auto decode_extended = [](std::string_view text) {
    std::size_t q1 = text.find('\'');
    std::size_t q2 = q1 == std::string_view::npos ? q1 : text.find('\'', q1 + 1);
    if (q2 == std::string_view::npos) return BytesToUtf8(PercentDecode(text));
    return CharsetToUtf8(PercentDecode(text.substr(q2 + 1)), text.substr(0, q1));
  };
  if (extended != nullptr) return decode_extended(*extended);
  if (pieces.contains(0)) {
    const bool joined_extended = pieces[0].second;
    std::string joined;
    for (int n = 0; pieces.contains(n); ++n) joined += *pieces[n].first;
    return joined_extended ? decode_extended(joined) : DecodeHeaderWords(joined);
  }
  if (plain != nullptr) return DecodeHeaderWords(*plain);
  return {};
}

THeaderParams ParseHeaderParams(std::string_view value) {
  THeaderParams result;
  std::size_t pos = value.find(';');
  result.Value = std::string(Trim(value.substr(0, pos)));
  while (pos != std::string_view::npos && pos < value.size()) {
    ++pos;  // past ';'
    std::size_t eq = value.find_first_of("=;", pos);
    if (eq == std::string_view::npos || value[eq] == ';') {
      pos = eq;
      continue;
    }
    std::string name = AsciiLower(Trim(value.substr(pos, eq - pos)));
    pos = eq + 1;
    while (pos < value.size() && IsBlank(value[pos])) ++pos;
    std::string param_value;
    if (pos < value.size() && value[pos] == '"') {
      ++pos;
      while (pos < value.size() && value[pos] != '"') {
        if (value[pos] == '\\' && pos + 1 < value.size()) ++pos;
        param_value += value[pos++];
      }
      pos = value.find(';', pos);
    } else {
      std::size_t end = value.find(';', pos);
      param_value = std::string(Trim(
          value.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos)));
      pos = end;
    }
    if (!name.empty()) result.Params.emplace_back(std::move(name), std::move(param_value));
  }
  return result;
}

}  // namespace kestrune
