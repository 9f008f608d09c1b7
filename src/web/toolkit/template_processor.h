// Page templates: finding a page's template file (TIWTemplateProcessorHTML), reading it
// into pieces (text, "{%name%}" control tags, element tags) and merging the pieces with
// the toolkit's head, body, form and controls.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "web/toolkit/browser.h"

namespace kestrune {

class TIWTemplateProcessorHTML {
 public:
  struct TemplateNames {
    std::string Default;    // "inbox.htm"
    std::string IE;         // alternative for Internet Explorer
    std::string Netscape6;  // alternative for Gecko browsers
  };

  TemplateNames Templates;
  bool MasterFormTag = true;  // one FORM wraps the whole body
  bool Enabled = true;

  // The template file for a page of that class and browser in the directory, or none
  // when the binder is disabled or the file does not exist. Without a default name the
  // class name without its leading "T" + ".html" is looked for. Names holding a path
  // separator or ".." are not looked up.
  std::optional<std::filesystem::path> FindTemplate(const std::filesystem::path& template_dir,
                                                    std::string_view class_name,
                                                    TIWBrowser browser) const;
};

struct TemplateAttribute {
  std::string name;
  std::string value;  // as attribute text: entities kept, apostrophes as "&#39;"
  bool has_value = false;
};

struct TemplatePiece {
  enum class Kind {
    kText,     // copied as it is
    kControl,  // "{%name%}": text holds the name
    kOwnText,  // "{%=English text%}": the template's own words, text holds the English
    kElement,  // "<name attrs>": text holds the name as written, "/body" for a closing tag
  };
  Kind kind = Kind::kText;
  std::string text;
  std::vector<TemplateAttribute> attributes;
};

// Splits a template. "{%=English text%}" stands for the template's own words in the page's
// language, in text and in attribute values alike; a text that cannot be a key of the
// language files (holding "=", "]" or a line break) is not such a tag and stays as written.
// Apostrophes in text and attribute values become "&#39;", which the browser shows as the same
// character; the content of script and style elements and of comments is copied unchanged so that
// their code keeps working.
std::vector<TemplatePiece> ParseTemplate(std::string_view text);

// The pieces of the template file at path, or null when it is not a readable plain file of
// at most 4 MiB. Parsed pieces are kept per path and used again while the file keeps its
// size, modification time and inode, so an administrator's edit shows on the next render;
// a file changed in the last two seconds is read afresh each time, since a second edit in
// the same clock tick would leave its stamp unchanged (now: the time that is measured against).
std::shared_ptr<const std::vector<TemplatePiece>> LoadTemplatePieces(
    const std::filesystem::path& path,
    std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

// The value of an attribute of the first element of that name (case-insensitive), or
// none; used to read the template BODY's OnLoad before the head is written.
std::optional<std::string> FindElementAttribute(const std::vector<TemplatePiece>& pieces,
                                                std::string_view element,
                                                std::string_view attribute);

// Turns attribute text back into the characters it stands for (&amp; &lt; &gt; &quot;
// &#39; and numeric references), for code moved from an attribute into a script.
std::string DecodeAttributeText(std::string_view text);

// text with each "{%=English%}" tag replaced by own_text(English), escaped for text and
// attributes; the English is read back from attribute text first. For files that are
// filled without the merge (the print copy).
std::string FillOwnTexts(std::string_view text,
                         const std::function<std::string(std::string_view)>& own_text);

// What the merge asks of the page.
class TemplateHost {
 public:
  virtual ~TemplateHost() = default;
  // The written control of that name (case-insensitive), or empty when the page has no
  // visible control of that name.
  virtual std::string ControlHTML(std::string_view name) = 0;
  // The toolkit's head content (links, scripts, page script).
  virtual std::string HeadContent() = 0;
  // The page title, or none to keep the template's.
  virtual std::optional<std::string> Title() = 0;
  // The language tag for the HTML element's lang attribute; empty keeps the template's.
  virtual std::string PageLanguage() { return {}; }
  // The template's own words ("{%=Inbox%}") in the page's language, as plain text; the
  // English itself when there is no translation.
  virtual std::string OwnText(std::string_view english) { return std::string(english); }
  // The merged BODY opening tag followed by the opening FORM tag (with MasterFormTag).
  virtual std::string BodyOpen(const std::vector<TemplateAttribute>& template_body) = 0;
  // The hidden inputs, "</FORM>\r\n" (with MasterFormTag) and "</BODY>".
  virtual std::string BodyClose() = 0;
};

// Writes the page from the template pieces; "../files/" in attributes becomes
// url_base + "/files/".
std::string MergeTemplate(const std::vector<TemplatePiece>& pieces, std::string_view url_base,
                          TemplateHost& host);

}  // namespace kestrune
