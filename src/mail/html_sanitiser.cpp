// The HTML mail allow-list. The input is parsed by gumbo exactly as a browser parses a
// document, and a new fragment is written from that tree: only allow-listed elements
// in the HTML namespace, only allow-listed attributes, URLs whose scheme is known to be
// harmless, and style text with the dangerous declarations removed. Element text and
// attribute values go through HtmlEscape, so no text can become markup when the
// fragment is parsed again; the only raw text written is filtered CSS inside <style>,
// which never holds "<".
#include "mail/html_sanitiser.h"

#include <gumbo.h>

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/ascii.h"
#include "platform/escape.h"
#include "platform/text_encoding.h"

namespace kestrune {
namespace {

enum class ElementRule {
  kDrop,    // the element and everything inside it go
  kUnwrap,  // the tags go, the content is walked as if it stood in the parent
  kKeep,    // written with its allowed attributes and its content
  kVoid,    // written with its allowed attributes; has no content
  kStyle,   // a style sheet, written after CSS filtering
};

struct NamedRule {
  std::string_view name;
  ElementRule rule;
};

// Elements not listed are unwrapped: their text stays, their tags go.
constexpr std::array kElementRules = {
    NamedRule{"a", ElementRule::kKeep},
    NamedRule{"abbr", ElementRule::kKeep},
    NamedRule{"acronym", ElementRule::kKeep},
    NamedRule{"address", ElementRule::kKeep},
    NamedRule{"article", ElementRule::kKeep},
    NamedRule{"aside", ElementRule::kKeep},
    NamedRule{"b", ElementRule::kKeep},
    NamedRule{"bdi", ElementRule::kKeep},
    NamedRule{"bdo", ElementRule::kKeep},
    NamedRule{"big", ElementRule::kKeep},
    NamedRule{"blockquote", ElementRule::kKeep},
    NamedRule{"caption", ElementRule::kKeep},
    NamedRule{"center", ElementRule::kKeep},
    NamedRule{"cite", ElementRule::kKeep},
    NamedRule{"code", ElementRule::kKeep},
    NamedRule{"colgroup", ElementRule::kKeep},
    NamedRule{"dd", ElementRule::kKeep},
    NamedRule{"del", ElementRule::kKeep},
    NamedRule{"details", ElementRule::kKeep},
    NamedRule{"dfn", ElementRule::kKeep},
    NamedRule{"div", ElementRule::kKeep},
    NamedRule{"dl", ElementRule::kKeep},
    NamedRule{"dt", ElementRule::kKeep},
    NamedRule{"em", ElementRule::kKeep},
    NamedRule{"figcaption", ElementRule::kKeep},
    NamedRule{"figure", ElementRule::kKeep},
    NamedRule{"font", ElementRule::kKeep},
    NamedRule{"footer", ElementRule::kKeep},
    NamedRule{"h1", ElementRule::kKeep},
    NamedRule{"h2", ElementRule::kKeep},
    NamedRule{"h3", ElementRule::kKeep},
    NamedRule{"h4", ElementRule::kKeep},
    NamedRule{"h5", ElementRule::kKeep},
    NamedRule{"h6", ElementRule::kKeep},
    NamedRule{"header", ElementRule::kKeep},
    NamedRule{"hgroup", ElementRule::kKeep},
    NamedRule{"i", ElementRule::kKeep},
    NamedRule{"ins", ElementRule::kKeep},
    NamedRule{"kbd", ElementRule::kKeep},
    NamedRule{"li", ElementRule::kKeep},
    NamedRule{"main", ElementRule::kKeep},
    NamedRule{"mark", ElementRule::kKeep},
    NamedRule{"nav", ElementRule::kKeep},
    NamedRule{"ol", ElementRule::kKeep},
    NamedRule{"p", ElementRule::kKeep},
    NamedRule{"pre", ElementRule::kKeep},
    NamedRule{"q", ElementRule::kKeep},
    NamedRule{"rp", ElementRule::kKeep},
    NamedRule{"rt", ElementRule::kKeep},
    NamedRule{"ruby", ElementRule::kKeep},
    NamedRule{"s", ElementRule::kKeep},
    NamedRule{"samp", ElementRule::kKeep},
    NamedRule{"section", ElementRule::kKeep},
    NamedRule{"small", ElementRule::kKeep},
    NamedRule{"span", ElementRule::kKeep},
    NamedRule{"strike", ElementRule::kKeep},
    NamedRule{"strong", ElementRule::kKeep},
    NamedRule{"sub", ElementRule::kKeep},
    NamedRule{"summary", ElementRule::kKeep},
    NamedRule{"sup", ElementRule::kKeep},
    NamedRule{"table", ElementRule::kKeep},
    NamedRule{"tbody", ElementRule::kKeep},
    NamedRule{"td", ElementRule::kKeep},
    NamedRule{"tfoot", ElementRule::kKeep},
    NamedRule{"th", ElementRule::kKeep},
    NamedRule{"thead", ElementRule::kKeep},
    NamedRule{"time", ElementRule::kKeep},
    NamedRule{"tr", ElementRule::kKeep},
    NamedRule{"tt", ElementRule::kKeep},
    NamedRule{"u", ElementRule::kKeep},
    NamedRule{"ul", ElementRule::kKeep},
    NamedRule{"var", ElementRule::kKeep},
    NamedRule{"br", ElementRule::kVoid},
    NamedRule{"col", ElementRule::kVoid},
    NamedRule{"hr", ElementRule::kVoid},
    NamedRule{"img", ElementRule::kVoid},
    NamedRule{"wbr", ElementRule::kVoid},
    NamedRule{"style", ElementRule::kStyle},
    // The sandboxed frame runs no script, so it shows what <noscript> holds; gumbo reads
    // that content as markup too, and it is written without the element around it.
    // Script, plug-ins, frames, forms' controls, document metadata, media that loads by
    // itself, and elements whose content is raw text to the parser go with their content.
    NamedRule{"applet", ElementRule::kDrop},
    NamedRule{"area", ElementRule::kDrop},
    NamedRule{"audio", ElementRule::kDrop},
    NamedRule{"base", ElementRule::kDrop},
    NamedRule{"basefont", ElementRule::kDrop},
    NamedRule{"bgsound", ElementRule::kDrop},
    NamedRule{"button", ElementRule::kDrop},
    NamedRule{"canvas", ElementRule::kDrop},
    NamedRule{"command", ElementRule::kDrop},
    NamedRule{"datalist", ElementRule::kDrop},
    NamedRule{"dialog", ElementRule::kDrop},
    NamedRule{"embed", ElementRule::kDrop},
    NamedRule{"frame", ElementRule::kDrop},
    NamedRule{"frameset", ElementRule::kDrop},
    NamedRule{"iframe", ElementRule::kDrop},
    NamedRule{"input", ElementRule::kDrop},
    NamedRule{"isindex", ElementRule::kDrop},
    NamedRule{"keygen", ElementRule::kDrop},
    NamedRule{"link", ElementRule::kDrop},
    NamedRule{"map", ElementRule::kDrop},
    NamedRule{"math", ElementRule::kDrop},
    NamedRule{"menuitem", ElementRule::kDrop},
    NamedRule{"meta", ElementRule::kDrop},
    NamedRule{"meter", ElementRule::kDrop},
    NamedRule{"noembed", ElementRule::kDrop},
    NamedRule{"noframes", ElementRule::kDrop},
    NamedRule{"noscript", ElementRule::kUnwrap},
    NamedRule{"object", ElementRule::kDrop},
    NamedRule{"optgroup", ElementRule::kDrop},
    NamedRule{"option", ElementRule::kDrop},
    NamedRule{"output", ElementRule::kDrop},
    NamedRule{"param", ElementRule::kDrop},
    NamedRule{"progress", ElementRule::kDrop},
    NamedRule{"script", ElementRule::kDrop},
    NamedRule{"select", ElementRule::kDrop},
    NamedRule{"source", ElementRule::kDrop},
    NamedRule{"svg", ElementRule::kDrop},
    NamedRule{"template", ElementRule::kDrop},
    NamedRule{"textarea", ElementRule::kDrop},
    NamedRule{"title", ElementRule::kDrop},
    NamedRule{"track", ElementRule::kDrop},
    NamedRule{"video", ElementRule::kDrop},
};

ElementRule RuleFor(std::string_view name) {
  for (const auto& entry : kElementRules) {
    if (entry.name == name) return entry.rule;
  }
  return ElementRule::kUnwrap;
}

// Attributes kept on any allowed element as they are (their values are escaped).
// URL-bearing and style attributes are handled on their own.
constexpr std::array<std::string_view, 44> kPlainAttributes = {
    "abbr",        "align",     "alt",      "axis",  "bgcolor", "border",  "cellpadding",
    "cellspacing", "char",      "charoff",  "class", "clear",   "color",   "cols",
    "colspan",     "compact",   "datetime", "dir",   "face",    "frame",   "headers",
    "height",      "hspace",    "id",       "lang",  "name",    "noshade", "nowrap",
    "open",        "reversed",  "rowspan",  "rules", "scope",   "size",    "span",
    "start",       "summary",   "title",    "type",  "valign",  "value",   "vspace",
    "width",       "translate",
};

bool IsPlainAttribute(std::string_view name) {
  for (auto allowed : kPlainAttributes) {
    if (allowed == name) return true;
  }
  return false;
}

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

void AppendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// The URL as a browser reads it: leading and trailing blanks and control characters
// stripped, tabs and line breaks inside removed. nullopt-like "" with `bad` set when
// another control character is inside (no browser reads such a scheme as written).
std::string CleanUrl(std::string_view url, bool& bad) {
  std::size_t begin = 0;
  std::size_t end = url.size();
  while (begin < end && static_cast<unsigned char>(url[begin]) <= 0x20) ++begin;
  while (end > begin && static_cast<unsigned char>(url[end - 1]) <= 0x20) --end;
  std::string out;
  bad = false;
  for (char c : url.substr(begin, end - begin)) {
    if (c == '\t' || c == '\n' || c == '\r') continue;
    if (IsControl(static_cast<unsigned char>(c))) bad = true;
    out += c;
  }
  return out;
}

// The lower-cased scheme of a cleaned URL, or "" for a relative one.
std::string SchemeOf(std::string_view url) {
  std::size_t colon = url.find(':');
  if (colon == std::string_view::npos || colon == 0) return {};
  for (std::size_t i = 0; i < colon; ++i) {
    char c = url[i];
    bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    bool other = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
    if (!alpha && (i == 0 || !other)) return {};
  }
  return AsciiLower(url.substr(0, colon));
}

bool IsSafeDataImage(std::string_view url) {
  std::string lower = AsciiLower(url.substr(0, 32));
  for (std::string_view type : {"data:image/png", "data:image/gif", "data:image/jpeg",
                                "data:image/jpg", "data:image/webp"}) {
    if (lower.size() > type.size() && lower.compare(0, type.size(), type) == 0) {
      char next = lower[type.size()];
      if (next == ';' || next == ',') return true;
    }
  }
  return false;
}

// A protocol-relative "//host" (or the "/\host" browsers read the same way).
bool IsProtocolRelative(std::string_view url) {
  return url.size() >= 2 && (url[0] == '/' || url[0] == '\\') && (url[1] == '/' || url[1] == '\\');
}

// ---------------------------------------------------------------------------------
// CSS

// CSS with its escapes resolved and its comments removed; backslashes, "<" and control
// characters taken out and a "/*" that the unescaping would form split, so that the text
// has one reading and is the same after a second pass.
std::string NormaliseCss(std::string_view css) {
  std::string out;
  out.reserve(css.size());
  auto emit = [&out](std::uint32_t cp) {
    if (cp == '\\' || cp == '<') return;
    if (cp < 0x20 || cp == 0x7F) cp = ' ';
    if (cp == '*' && !out.empty() && out.back() == '/') out += ' ';
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else {
      AppendUtf8(out, cp);
    }
  };
  std::size_t i = 0;
  while (i < css.size()) {
    char c = css[i];
    if (c == '/' && i + 1 < css.size() && css[i + 1] == '*') {
      std::size_t end = css.find("*/", i + 2);
      i = end == std::string_view::npos ? css.size() : end + 2;
      emit(' ');
      continue;
    }
    if (c != '\\') {
      // Bytes of UTF-8 sequences are copied as they are.
      if (static_cast<unsigned char>(c) >= 0x80) {
        out += c;
      } else {
        emit(static_cast<unsigned char>(c));
      }
      ++i;
      continue;
    }
    ++i;
    if (i >= css.size()) break;
    std::uint32_t cp = 0;
    int digits = 0;
    while (i < css.size() && digits < 6 && HexValue(css[i]) >= 0) {
      cp = cp * 16 + static_cast<std::uint32_t>(HexValue(css[i]));
      ++i;
      ++digits;
    }
    if (digits > 0) {
      if (i < css.size() && (css[i] == ' ' || css[i] == '\t' || css[i] == '\n' || css[i] == '\f')) {
        ++i;
      } else if (i < css.size() && css[i] == '\r') {
        ++i;
        if (i < css.size() && css[i] == '\n') ++i;
      }
      if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
      emit(cp);
      continue;
    }
    char escaped = css[i];
    if (escaped == '\n' || escaped == '\r' || escaped == '\f') {
      ++i;  // a line continuation inside a string
      continue;
    }
    if (static_cast<unsigned char>(escaped) >= 0x80) {
      out += escaped;
    } else {
      emit(static_cast<unsigned char>(escaped));
    }
    ++i;
  }
  return out;
}

// Words that bind script or behaviour to an element or pull in another sheet.
constexpr std::array<std::string_view, 9> kBannedCss = {
    "expression",  "behavior",  "behaviour", "-moz-binding", "binding",
    "javascript:", "vbscript:", "@import",   "livescript:",
};
// Functions other than url() that load an image by URL.
constexpr std::array<std::string_view, 5> kLoaderFunctions = {
    "image-set(", "image(", "cross-fade(", "element(", "src(",
};

// Whether one declaration, selector or at-rule prelude may stay.
bool CssSegmentAllowed(std::string_view segment, bool allow_remote, bool allow_positioning,
                       bool& blocked_remote) {
  std::string lower = AsciiLower(segment);
  if (!allow_positioning) {
    std::string_view property = TrimBlanks(std::string_view(lower).substr(0, lower.find(':')));
    if (lower.find(':') != std::string::npos && property == "position") return false;
  }
  for (auto banned : kBannedCss) {
    if (lower.find(banned) != std::string::npos) return false;
  }
  for (auto loader : kLoaderFunctions) {
    if (lower.find(loader) != std::string::npos) return false;
  }
  std::size_t at = 0;
  while ((at = lower.find("url(", at)) != std::string::npos) {
    at += 4;
    std::size_t start = at;
    while (start < lower.size() && (lower[start] == ' ')) ++start;
    if (start < lower.size() && (lower[start] == '"' || lower[start] == '\'')) ++start;
    std::string_view rest = std::string_view(lower).substr(start);
    std::string_view url = rest.substr(0, rest.find_first_of(")\"' "));
    if (IsSafeDataImage(url)) continue;
    std::string scheme = SchemeOf(url);
    bool remote =
        scheme == "http" || scheme == "https" || (scheme.empty() && IsProtocolRelative(url));
    if (remote && allow_remote) continue;
    if (remote) blocked_remote = true;
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------
// Nesting before the parse

// The parser checks the stack of open elements for most tags, so its work grows with
// the square of the nesting: 40,000 nested <div> take seconds. Before parsing, a scan
// that follows the nesting from above (it may count more open elements than the parser
// has, never fewer) takes out the start tags that would open more than
// kMaxParseDepth elements; their text stays.
constexpr std::size_t kMaxParseDepth = 4 * kMaxSanitiseDepth;

// Elements that never nest in themselves without a counted element between: void
// elements, those an equal start tag closes, and those that exist once.
bool OpensNoLevel(GumboTag tag) {
  switch (tag) {
    case GUMBO_TAG_AREA:
    case GUMBO_TAG_BASE:
    case GUMBO_TAG_BASEFONT:
    case GUMBO_TAG_BGSOUND:
    case GUMBO_TAG_BR:
    case GUMBO_TAG_COL:
    case GUMBO_TAG_EMBED:
    case GUMBO_TAG_FRAME:
    case GUMBO_TAG_HR:
    case GUMBO_TAG_IMAGE:
    case GUMBO_TAG_IMG:
    case GUMBO_TAG_INPUT:
    case GUMBO_TAG_ISINDEX:
    case GUMBO_TAG_KEYGEN:
    case GUMBO_TAG_LINK:
    case GUMBO_TAG_META:
    case GUMBO_TAG_PARAM:
    case GUMBO_TAG_SOURCE:
    case GUMBO_TAG_TRACK:
    case GUMBO_TAG_WBR:
    case GUMBO_TAG_P:
    case GUMBO_TAG_LI:
    case GUMBO_TAG_DD:
    case GUMBO_TAG_DT:
    case GUMBO_TAG_OPTION:
    case GUMBO_TAG_OPTGROUP:
    case GUMBO_TAG_TR:
    case GUMBO_TAG_TD:
    case GUMBO_TAG_TH:
    case GUMBO_TAG_THEAD:
    case GUMBO_TAG_TBODY:
    case GUMBO_TAG_TFOOT:
    case GUMBO_TAG_COLGROUP:
    case GUMBO_TAG_CAPTION:
    case GUMBO_TAG_RB:
    case GUMBO_TAG_RT:
    case GUMBO_TAG_RP:
    case GUMBO_TAG_RTC:
    case GUMBO_TAG_HTML:
    case GUMBO_TAG_HEAD:
    case GUMBO_TAG_BODY:
    case GUMBO_TAG_A:
    case GUMBO_TAG_NOBR:
      return true;
    default:
      return false;
  }
}

// The parser's "special" elements: an end tag of another name does not close past them.
bool IsSpecial(GumboTag tag) {
  switch (tag) {
    case GUMBO_TAG_ADDRESS:
    case GUMBO_TAG_APPLET:
    case GUMBO_TAG_ARTICLE:
    case GUMBO_TAG_ASIDE:
    case GUMBO_TAG_BLOCKQUOTE:
    case GUMBO_TAG_BUTTON:
    case GUMBO_TAG_CENTER:
    case GUMBO_TAG_DETAILS:
    case GUMBO_TAG_DIR:
    case GUMBO_TAG_DIV:
    case GUMBO_TAG_DL:
    case GUMBO_TAG_FIELDSET:
    case GUMBO_TAG_FIGCAPTION:
    case GUMBO_TAG_FIGURE:
    case GUMBO_TAG_FOOTER:
    case GUMBO_TAG_FORM:
    case GUMBO_TAG_FRAMESET:
    case GUMBO_TAG_H1:
    case GUMBO_TAG_H2:
    case GUMBO_TAG_H3:
    case GUMBO_TAG_H4:
    case GUMBO_TAG_H5:
    case GUMBO_TAG_H6:
    case GUMBO_TAG_HEADER:
    case GUMBO_TAG_HGROUP:
    case GUMBO_TAG_IFRAME:
    case GUMBO_TAG_LISTING:
    case GUMBO_TAG_MAIN:
    case GUMBO_TAG_MARQUEE:
    case GUMBO_TAG_MENU:
    case GUMBO_TAG_NAV:
    case GUMBO_TAG_NOEMBED:
    case GUMBO_TAG_NOFRAMES:
    case GUMBO_TAG_NOSCRIPT:
    case GUMBO_TAG_OBJECT:
    case GUMBO_TAG_OL:
    case GUMBO_TAG_PLAINTEXT:
    case GUMBO_TAG_PRE:
    case GUMBO_TAG_SCRIPT:
    case GUMBO_TAG_SECTION:
    case GUMBO_TAG_SELECT:
    case GUMBO_TAG_STYLE:
    case GUMBO_TAG_SUMMARY:
    case GUMBO_TAG_TABLE:
    case GUMBO_TAG_TEMPLATE:
    case GUMBO_TAG_TEXTAREA:
    case GUMBO_TAG_TITLE:
    case GUMBO_TAG_UL:
    case GUMBO_TAG_XMP:
    case GUMBO_TAG_MI:
    case GUMBO_TAG_MO:
    case GUMBO_TAG_MN:
    case GUMBO_TAG_MS:
    case GUMBO_TAG_MTEXT:
    case GUMBO_TAG_ANNOTATION_XML:
    case GUMBO_TAG_FOREIGNOBJECT:
    case GUMBO_TAG_DESC:
      return true;
    default:
      return false;
  }
}

bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// `html` with the start tags removed that would open elements beyond max_depth. Every
// "<" followed by a letter counts as a tag, also inside comments and raw text, so the
// scan never sees fewer tags than the parser.
std::string LimitNesting(std::string_view html, std::size_t max_depth) {
  std::string out;
  out.reserve(html.size());
  std::vector<GumboTag> open;
  std::size_t i = 0;
  while (i < html.size()) {
    std::size_t lt = html.find('<', i);
    if (lt == std::string_view::npos) {
      out += html.substr(i);
      break;
    }
    out += html.substr(i, lt - i);
    std::size_t name_start = lt + 1;
    bool closing = name_start < html.size() && html[name_start] == '/';
    if (closing) ++name_start;
    if (name_start >= html.size() || !IsAsciiLetter(html[name_start])) {
      out += '<';
      i = lt + 1;
      continue;
    }
    std::size_t name_end = name_start;
    while (name_end < html.size() &&
           std::string_view(" \t\n\f\r/>").find(html[name_end]) == std::string_view::npos) {
      ++name_end;
    }
    std::size_t gt = html.find('>', name_end);
    std::size_t end = gt == std::string_view::npos ? html.size() : gt + 1;
    std::string name = AsciiLower(html.substr(name_start, name_end - name_start));
    GumboTag tag = gumbo_tagn_enum(name.data(), static_cast<unsigned>(name.size()));
    bool keep = true;
    if (closing) {
      for (std::size_t depth = open.size(); depth > 0; --depth) {
        if (open[depth - 1] == tag) {
          open.resize(depth - 1);
          break;
        }
        if (IsSpecial(open[depth - 1])) break;
      }
    } else if (!OpensNoLevel(tag)) {
      if (open.size() >= max_depth) {
        keep = false;
      } else {
        open.push_back(tag);
      }
    }
    if (keep) out += html.substr(lt, end - lt);
    i = end;
  }
  return out;
}

// ---------------------------------------------------------------------------------
// The tree walk

class FragmentWriter {
 public:
  explicit FragmentWriter(const SanitiseOptions& options) : options_(options) {}

  void Write(const GumboNode* root) {
    struct Frame {
      const GumboVector* children;
      unsigned next;
      std::string_view close;  // element name (static in gumbo) of the end tag, or ""
    };
    std::vector<Frame> stack;
    stack.push_back({&root->v.document.children, 0, {}});
    while (!stack.empty()) {
      Frame& frame = stack.back();
      if (frame.next >= frame.children->length) {
        if (!frame.close.empty()) {
          out_ += "</";
          out_ += frame.close;
          out_ += '>';
          --depth_;
        }
        stack.pop_back();
        continue;
      }
      const auto* node = static_cast<const GumboNode*>(frame.children->data[frame.next++]);
      if (node->type == GUMBO_NODE_TEXT || node->type == GUMBO_NODE_WHITESPACE ||
          node->type == GUMBO_NODE_CDATA) {
        out_ += HtmlEscape(node->v.text.text);
        continue;
      }
      if (node->type != GUMBO_NODE_ELEMENT) continue;  // comments, templates
      const GumboElement& element = node->v.element;
      if (element.tag_namespace != GUMBO_NAMESPACE_HTML) continue;  // SVG, MathML
      std::string_view name = ElementName(element);
      ElementRule rule = RuleFor(name);
      if (rule == ElementRule::kKeep && depth_ >= kMaxSanitiseDepth) rule = ElementRule::kUnwrap;
      switch (rule) {
        case ElementRule::kDrop:
          break;
        case ElementRule::kUnwrap:
          stack.push_back({&element.children, 0, {}});
          break;
        case ElementRule::kStyle:
          WriteStyleSheet(element);
          break;
        case ElementRule::kVoid:
          WriteStartTag(name, element);
          break;
        case ElementRule::kKeep: {
          WriteStartTag(name, element);
          // A line break right after <pre> is eaten by the parser: write one more so
          // that the text's own first line break survives a second parse.
          if (name == "pre" && element.children.length > 0) {
            const auto* first = static_cast<const GumboNode*>(element.children.data[0]);
            if ((first->type == GUMBO_NODE_TEXT || first->type == GUMBO_NODE_WHITESPACE) &&
                first->v.text.text[0] == '\n') {
              out_ += '\n';
            }
          }
          ++depth_;
          stack.push_back({&element.children, 0, name});
          break;
        }
      }
    }
  }

  std::string Take() { return std::move(out_); }
  bool BlockedRemote() const { return blocked_remote_; }

 private:
  static std::string_view ElementName(const GumboElement& element) {
    if (element.tag == GUMBO_TAG_UNKNOWN) return {};
    return gumbo_normalized_tagname(element.tag);
  }

  void WriteStartTag(std::string_view name, const GumboElement& element) {
    out_ += '<';
    out_ += name;
    bool is_link = false;
    for (unsigned i = 0; i < element.attributes.length; ++i) {
      const auto* attribute = static_cast<const GumboAttribute*>(element.attributes.data[i]);
      if (attribute->attr_namespace != GUMBO_ATTR_NAMESPACE_NONE) continue;
      std::string_view attr = attribute->name;
      std::string_view value = attribute->value;
      std::string kept;
      if (attr == "href") {
        if (name != "a") continue;
        kept = SafeUrl(value, UrlUse::kLink, options_, &blocked_remote_);
        if (kept.empty()) continue;
        is_link = true;
      } else if (attr == "src") {
        if (name != "img") continue;
        kept = SafeUrl(value, UrlUse::kImage, options_, &blocked_remote_);
        if (kept.empty()) continue;
      } else if (attr == "background") {
        if (name != "table" && name != "td" && name != "th" && name != "tr") continue;
        kept = SafeUrl(value, UrlUse::kImage, options_, &blocked_remote_);
        if (kept.empty()) continue;
      } else if (attr == "style") {
        kept = SanitiseCss(value, options_.allow_remote, &blocked_remote_, options_.own_frame);
        if (kept.find_first_not_of(" \t;") == std::string::npos) continue;
      } else if (IsPlainAttribute(attr)) {
        kept = std::string(value);
      } else {
        continue;
      }
      out_ += ' ';
      out_ += attr;
      out_ += "=\"";
      out_ += AttributeEscape(kept);
      out_ += '"';
    }
    if (is_link) out_ += " target=\"_blank\" rel=\"noopener noreferrer\"";
    out_ += '>';
  }

  void WriteStyleSheet(const GumboElement& element) {
    if (!options_.own_frame) return;
    std::string css;
    for (unsigned i = 0; i < element.children.length; ++i) {
      const auto* child = static_cast<const GumboNode*>(element.children.data[i]);
      if (child->type == GUMBO_NODE_TEXT || child->type == GUMBO_NODE_WHITESPACE ||
          child->type == GUMBO_NODE_CDATA) {
        css += child->v.text.text;
      }
    }
    std::string kept = SanitiseCss(css, options_.allow_remote, &blocked_remote_);
    if (kept.find_first_not_of(" \t\r\n;") == std::string::npos) return;
    out_ += "<style>";
    out_ += kept;
    out_ += "</style>";
  }

  const SanitiseOptions& options_;
  std::string out_;
  std::size_t depth_ = 0;
  bool blocked_remote_ = false;
};

}  // namespace

std::string SafeUrl(std::string_view url, UrlUse use, const SanitiseOptions& options,
                    bool* blocked_remote) {
  bool bad = false;
  std::string clean = CleanUrl(url, bad);
  if (bad || clean.empty()) return {};
  std::string scheme = SchemeOf(clean);
  bool remote = scheme == "http" || scheme == "https";
  if (scheme.empty() && IsProtocolRelative(clean)) {
    // Written out with its scheme so that no base URL can change what it means.
    clean = "https://" + clean.substr(2);
    remote = true;
  }
  if (use == UrlUse::kLink) {
    if (remote || scheme == "mailto") return clean;
    if (scheme.empty() && clean[0] == '#') return clean;
    // Other relative links would point into this server's own pages.
    return {};
  }
  if (remote) {
    if (options.allow_remote) return clean;
    if (blocked_remote) *blocked_remote = true;
    return {};
  }
  if (scheme == "cid" && options.resolve_cid) {
    std::string id = DecodePercentEscapes(std::string_view(clean).substr(4));
    std::string data = options.resolve_cid(id);
    if (IsSafeDataImage(data)) return data;
    return {};
  }
  if (scheme == "data" && IsSafeDataImage(clean)) return clean;
  return {};
}

std::string SanitiseCss(std::string_view css, bool allow_remote, bool* blocked_remote,
                        bool allow_positioning) {
  std::string text = NormaliseCss(css);
  std::string out;
  out.reserve(text.size());
  bool blocked = false;
  std::size_t start = 0;
  char quote = 0;
  int parens = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    char c = i < text.size() ? text[i] : '\0';
    if (i < text.size()) {
      if (quote != 0) {
        if (c == quote) quote = 0;
        continue;
      }
      if (c == '"' || c == '\'') {
        quote = c;
        continue;
      }
      if (c == '(') ++parens;
      if (c == ')' && parens > 0) --parens;
      if (parens > 0 || (c != ';' && c != '{' && c != '}')) continue;
    }
    std::string_view segment = std::string_view(text).substr(start, i - start);
    if (CssSegmentAllowed(segment, allow_remote, allow_positioning, blocked)) {
      out += segment;
    } else if (c == '{') {
      out += "x-removed";  // keeps the braces of the rule in step
    }
    if (i < text.size()) out += c;
    start = i + 1;
    quote = 0;
    parens = 0;
  }
  if (blocked && blocked_remote) *blocked_remote = true;
  return out;
}

SanitisedHtml SanitiseHtml(std::string_view html, const SanitiseOptions& options) {
  SanitisedHtml result;
  if (html.size() > kMaxSanitiseInput) {
    html = html.substr(0, Utf8PrefixLength(html, kMaxSanitiseInput));
    result.truncated = true;
  }
  std::string valid;
  if (!IsValidUtf8(html)) {
    valid = BytesToUtf8(html);
    html = valid;
  }
  // Parse errors are not wanted, and gumbo copies the stack of open elements into each
  // one it records: unlimited, a few thousand unclosed elements cost gigabytes.
  std::string limited = LimitNesting(html, kMaxParseDepth);
  html = limited;
  GumboOptions parse_options = kGumboDefaultOptions;
  parse_options.max_errors = 0;
  GumboOutput* output = gumbo_parse_with_options(&parse_options, html.data(), html.size());
  FragmentWriter writer(options);
  writer.Write(output->document);
  gumbo_destroy_output(&parse_options, output);
  result.html = writer.Take();
  // Blanks before the first element are dropped by every parser; writing none keeps a
  // second pass over the output equal to the first.
  result.html.erase(0, result.html.find_first_not_of(" \t\n\f\r"));
  result.blocked_remote = writer.BlockedRemote();
  return result;
}

}  // namespace kestrune
