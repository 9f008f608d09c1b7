// Structured header parameters and their RFC 2231 continuations.
#include "platform/header_params.h"

#include <charconv>
#include <map>

#include "platform/ascii.h"

namespace kestrune {
namespace {

// Continuations are numbered from 0; more than this many pieces is no real value.
constexpr int kMaxPieces = 1000;

// "charset'language'%XX..." split and decoded; a value without the two quotes is taken
// as escapes alone.
ExtendedParam DecodeExtended(std::string_view text) {
  ExtendedParam result;
  result.Extended = true;
  const std::size_t q1 = text.find('\'');
  const std::size_t q2 = q1 == std::string_view::npos ? q1 : text.find('\'', q1 + 1);
  if (q2 == std::string_view::npos) {
    result.Text = DecodePercentEscapes(text);
    return result;
  }
  result.Charset = std::string(text.substr(0, q1));
  result.Language = std::string(text.substr(q1 + 1, q2 - q1 - 1));
  result.Text = DecodePercentEscapes(text.substr(q2 + 1));
  return result;
}

}  // namespace

std::optional<std::string> HeaderParams::Find(std::string_view name) const {
  for (const auto& [key, value] : Params) {
    if (EqualsIgnoringAsciiCase(key, name)) return value;
  }
  return std::nullopt;
}

HeaderParams ParseHeaderParams(std::string_view value, QuotedEscapes escapes) {
  HeaderParams result;
  std::size_t pos = value.find(';');
  result.Value = std::string(TrimBlanks(value.substr(0, pos)));
  while (pos != std::string_view::npos && pos < value.size()) {
    ++pos;  // past ';'
    const std::size_t eq = value.find_first_of("=;", pos);
    if (eq == std::string_view::npos || value[eq] == ';') {
      pos = eq;
      continue;
    }
    std::string name = AsciiLower(TrimBlanks(value.substr(pos, eq - pos)));
    pos = eq + 1;
    while (pos < value.size() && IsBlank(value[pos])) ++pos;
    std::string param_value;
    if (pos < value.size() && value[pos] == '"') {
      ++pos;
      while (pos < value.size() && value[pos] != '"') {
        if (value[pos] == '\\' && pos + 1 < value.size() &&
            (escapes == QuotedEscapes::kBackslash || value[pos + 1] == '"')) {
          ++pos;
        }
        param_value += value[pos++];
      }
      if (pos >= value.size()) result.Unterminated = true;
      pos = value.find(';', pos);
    } else {
      const std::size_t end = value.find(';', pos);
      param_value = std::string(TrimBlanks(
          value.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos)));
      pos = end;
    }
    if (!name.empty()) result.Params.emplace_back(std::move(name), std::move(param_value));
  }
  return result;
}

std::optional<ExtendedParam> FindExtendedParam(const HeaderParams& params, std::string_view name) {
  const std::string lower = AsciiLower(name);
  // One pass: the plain value, the extended value and the numbered pieces, the extended
  // form of a piece winning over the plain one.
  const std::string* plain = nullptr;
  const std::string* extended = nullptr;
  std::map<int, std::pair<const std::string*, bool>> pieces;
  for (const auto& [key, value] : params.Params) {
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
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), number);
    if (error != std::errc() || end != rest.data() + rest.size() || number < 0 ||
        number >= kMaxPieces || rest != std::to_string(number)) {
      continue;
    }
    auto& slot = pieces[number];
    if (slot.first == nullptr || (piece_extended && !slot.second)) slot = {&value, piece_extended};
  }
  if (extended != nullptr) return DecodeExtended(*extended);
  if (pieces.contains(0)) {
    std::string joined;
    for (int n = 0; pieces.contains(n); ++n) joined += *pieces[n].first;
    if (pieces[0].second) return DecodeExtended(joined);
    return ExtendedParam{std::move(joined), false, {}, {}};
  }
  if (plain != nullptr) return ExtendedParam{*plain, false, {}, {}};
  return std::nullopt;
}

}  // namespace kestrune
