// An independent check of sanitised HTML for tests and the fuzzer: the text is parsed
// again with gumbo, as a browser would parse it, and every element, attribute, URL and
// style text found is compared with what a mail view may hold. The lists here are
// written out on their own on purpose, so that a fault in the sanitiser's tables is not
// copied into its check.
#pragma once

#include <gumbo.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::testing_html {

inline std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

inline std::string Squeezed(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (static_cast<unsigned char>(c) > 0x20 && c != 0x7F) out += c;
  }
  return Lower(out);
}

inline bool SafeImageUrl(std::string_view url, bool allow_remote) {
  std::string s = Squeezed(url);
  for (std::string_view type : {"data:image/png", "data:image/gif", "data:image/jpeg",
                                "data:image/jpg", "data:image/webp"}) {
    if (s.rfind(type, 0) == 0 && s.size() > type.size() &&
        (s[type.size()] == ';' || s[type.size()] == ',')) {
      return true;
    }
  }
  return allow_remote &&
         (s.rfind("http:", 0) == 0 || s.rfind("https:", 0) == 0 || s.rfind("//", 0) == 0);
}

inline bool SafeLinkUrl(std::string_view url) {
  std::string s = Squeezed(url);
  return s.rfind("http:", 0) == 0 || s.rfind("https:", 0) == 0 || s.rfind("mailto:", 0) == 0 ||
         s.rfind("#", 0) == 0;
}

// Problems with style text ("" when none).
inline std::string CssProblem(std::string_view css, bool allow_remote) {
  std::string s = Lower(css);
  for (std::string_view bad : {"expression", "javascript:", "vbscript:", "@import", "behavior",
                               "binding", "\\", "/*", "<", "image-set(", "image("}) {
    if (s.find(bad) != std::string::npos) return "style holds " + std::string(bad);
  }
  std::size_t at = 0;
  while ((at = s.find("url(", at)) != std::string::npos) {
    at += 4;
    std::string_view rest = std::string_view(s).substr(at);
    while (!rest.empty() && (rest[0] == ' ' || rest[0] == '"' || rest[0] == '\'')) {
      rest.remove_prefix(1);
    }
    if (!SafeImageUrl(rest.substr(0, rest.find_first_of(")\"' ")), allow_remote)) {
      return "style loads " + std::string(rest.substr(0, 40));
    }
  }
  return {};
}

// Every problem found, one text each; empty for safe HTML.
inline std::vector<std::string> UnsafeParts(std::string_view html, bool allow_remote) {
  static const std::set<std::string> kElements = {
      "html",   "head",  "body",    "a",       "abbr",     "acronym",    "address", "article",
      "aside",  "b",     "bdi",     "bdo",     "big",      "blockquote", "br",      "caption",
      "center", "cite",  "code",    "col",     "colgroup", "dd",         "del",     "details",
      "dfn",    "div",   "dl",      "dt",      "em",       "figcaption", "figure",  "font",
      "footer", "h1",    "h2",      "h3",      "h4",       "h5",         "h6",      "header",
      "hgroup", "hr",    "i",       "img",     "ins",      "kbd",        "li",      "main",
      "mark",   "nav",   "ol",      "p",       "pre",      "q",          "rp",      "rt",
      "ruby",   "s",     "samp",    "section", "small",    "span",       "strike",  "strong",
      "style",  "sub",   "summary", "sup",     "table",    "tbody",      "td",      "tfoot",
      "th",     "thead", "time",    "tr",      "tt",       "u",          "ul",      "var",
      "wbr"};
  static const std::set<std::string> kAttributes = {
      "abbr",        "align",     "alt",      "axis",  "bgcolor",    "border",  "cellpadding",
      "cellspacing", "char",      "charoff",  "class", "clear",      "color",   "cols",
      "colspan",     "compact",   "datetime", "dir",   "face",       "frame",   "headers",
      "height",      "hspace",    "id",       "lang",  "name",       "noshade", "nowrap",
      "open",        "reversed",  "rowspan",  "rules", "scope",      "size",    "span",
      "start",       "summary",   "title",    "type",  "valign",     "value",   "vspace",
      "width",       "translate", "href",     "src",   "background", "style",   "target",
      "rel"};
  std::vector<std::string> problems;
  GumboOutput* output = gumbo_parse_with_options(&kGumboDefaultOptions, html.data(), html.size());
  std::vector<const GumboNode*> stack{output->document};
  while (!stack.empty()) {
    const GumboNode* node = stack.back();
    stack.pop_back();
    const GumboVector* children = nullptr;
    if (node->type == GUMBO_NODE_DOCUMENT) children = &node->v.document.children;
    if (node->type == GUMBO_NODE_TEMPLATE) problems.push_back("template element");
    if (node->type == GUMBO_NODE_ELEMENT) {
      const GumboElement& e = node->v.element;
      std::string name = e.tag == GUMBO_TAG_UNKNOWN
                             ? "unknown:" + std::string(e.original_tag.data, e.original_tag.length)
                             : gumbo_normalized_tagname(e.tag);
      if (e.tag_namespace != GUMBO_NAMESPACE_HTML) problems.push_back("foreign element " + name);
      if (!kElements.count(name)) problems.push_back("element " + name);
      for (unsigned i = 0; i < e.attributes.length; ++i) {
        const auto* a = static_cast<const GumboAttribute*>(e.attributes.data[i]);
        std::string attr = a->name;
        std::string value = a->value;
        if (!kAttributes.count(attr)) problems.push_back("attribute " + attr + " on " + name);
        if (attr == "href" && (name != "a" || !SafeLinkUrl(value))) {
          problems.push_back("href " + value);
        }
        if ((attr == "src" || attr == "background") && !SafeImageUrl(value, allow_remote)) {
          problems.push_back(attr + " " + value);
        }
        if (attr == "style") {
          std::string problem = CssProblem(value, allow_remote);
          if (!problem.empty()) problems.push_back(problem);
        }
        if (attr == "target" && value != "_blank") problems.push_back("target " + value);
        if (attr == "rel" && value != "noopener noreferrer") problems.push_back("rel " + value);
      }
      if (name == "a") {
        bool has_href = false;
        bool has_rel = false;
        for (unsigned i = 0; i < e.attributes.length; ++i) {
          std::string_view attr = static_cast<const GumboAttribute*>(e.attributes.data[i])->name;
          has_href = has_href || attr == "href";
          has_rel = has_rel || attr == "rel";
        }
        if (has_href && !has_rel) problems.push_back("link without rel");
      }
      if (name == "style") {
        std::string css;
        for (unsigned i = 0; i < e.children.length; ++i) {
          const auto* child = static_cast<const GumboNode*>(e.children.data[i]);
          if (child->type == GUMBO_NODE_TEXT) css += child->v.text.text;
        }
        std::string problem = CssProblem(css, allow_remote);
        if (!problem.empty()) problems.push_back(problem);
      }
      children = &e.children;
    }
    if (children != nullptr) {
      for (unsigned i = 0; i < children->length; ++i) {
        stack.push_back(static_cast<const GumboNode*>(children->data[i]));
      }
    }
  }
  gumbo_destroy_output(&kGumboDefaultOptions, output);
  return problems;
}

}  // namespace kestrune::testing_html
