// The one escaper for everything the server writes into HTML: element text,
// attribute values and JavaScript string literals. Data is escaped by default;
// only a page's own layout markup is written raw.
#pragma once

#include <string>
#include <string_view>

namespace kestrune {

// Text for an HTML element body or a quoted attribute value: & < > " ' become entities.
std::string HtmlEscape(std::string_view text);
// The same, appended to out.
void AppendHtmlEscaped(std::string& out, std::string_view text);

// Same rules as HtmlEscape; a separate name so that call sites say what they produce.
inline std::string AttributeEscape(std::string_view text) { return HtmlEscape(text); }

// Text for the inside of a JavaScript string literal (either quote kind): backslash,
// quotes, CR, LF and other control characters become escapes, and "<" and ">" become
// \x3C and \x3E so that the text can never close a <script> element.
std::string ScriptStringEscape(std::string_view text);

// A script string literal placed inside an HTML attribute (onclick="..."): script
// escaping first, then attribute escaping.
inline std::string ScriptInAttribute(std::string_view text) {
  return AttributeEscape(ScriptStringEscape(text));
}

}  // namespace kestrune
