// Parameters of structured header fields ("type/subtype; name=value; name=\"quoted\""),
// as MIME parts and HTTP form parts write them, and the RFC 2231 forms mail uses for
// long and non-ASCII values (name*0, name*1*, name*=charset'lang'%XX). Decoding a
// charset is left to the caller: this layer knows no charsets.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrune {

// How a backslash inside a quoted value is read.
enum class QuotedEscapes {
  kBackslash,  // "\x" is x, as mail writes it
  kQuoteOnly,  // only "\"" is an escape: browsers send Windows paths with bare backslashes
};

struct HeaderParams {
  std::string Value;  // the part before the first ";", trimmed, e.g. "text/plain"
  std::vector<std::pair<std::string, std::string>> Params;  // names lower-cased, in order
  bool Unterminated = false;  // the last quoted value had no closing quote

  // The value of the first parameter called `name` (any case) exactly as written, or
  // nullopt: no RFC 2231 forms.
  std::optional<std::string> Find(std::string_view name) const;
};

HeaderParams ParseHeaderParams(std::string_view value,
                               QuotedEscapes escapes = QuotedEscapes::kBackslash);

// A parameter value gathered from its RFC 2231 forms. The extended form
// (name*=charset'lang'%XX..., or continuations whose first piece is extended) wins over
// continuations (name*0, name*1 ...), which win over the plain name=value; of repeated
// parameters the first counts.
struct ExtendedParam {
  std::string Text;  // the joined value; for an extended one the %XX escapes decoded
  bool Extended = false;
  std::string Charset;  // of an extended value ("" when it names none)
  std::string Language;
};
std::optional<ExtendedParam> FindExtendedParam(const HeaderParams& params, std::string_view name);

}  // namespace kestrune
