// Template look-up, parsing and merging. A template is installation markup (trusted),
// read into pieces once per version of the file; only "{%name%}" and "{%=text%}" tags and the HEAD,
// TITLE and BODY elements are replaced, everything else is copied.
#include "web/toolkit/template_processor.h"

#include <sys/stat.h>

#include <cctype>
#include <fstream>
#include <iterator>
#include <mutex>
#include <system_error>
#include <unordered_map>

#include "platform/escape.h"
#include "web/toolkit/http_message.h"

namespace kestrune {

namespace {

constexpr std::size_t kMaxTagNameLength = 200;
constexpr off_t kMaxTemplateBytes = 4 * 1024 * 1024;
// Templates of an installation number a few dozen; past this the cache starts afresh.
constexpr std::size_t kMaxCachedTemplates = 128;
// A file changed this recently may change again within the same clock tick.
constexpr std::chrono::seconds kSettleTime{2};

bool IsSafeFileName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("/\\") == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

// The file of that name in the directory; an exact match first, then one that differs
// only in letter case (template names were chosen on a case-insensitive file system).
std::optional<std::filesystem::path> FindFileIgnoringCase(const std::filesystem::path& dir,
                                                          std::string_view name) {
  std::error_code error;
  const auto exact = dir / std::string(name);
  if (std::filesystem::is_regular_file(exact, error)) return exact;
  for (std::filesystem::directory_iterator it(dir, error), end; !error && it != end;
       it.increment(error)) {
    if (EqualsIgnoringAsciiCase(it->path().filename().string(), name) &&
        std::filesystem::is_regular_file(it->path(), error)) {
      return it->path();
    }
  }
  return std::nullopt;
}

bool IsNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == ':' || c == '_';
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f'; }

// Template text and attribute values are markup already (their entities stay as
// written); only the given quote characters are turned into the one escaper's entities,
// so that the text can stand inside a double-quoted attribute or a script's quotes.
std::string QuotesAsEntities(std::string_view text, std::string_view quotes) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (quotes.find(c) != std::string_view::npos) {
      out += HtmlEscape(std::string_view(&c, 1));
    } else {
      out += c;
    }
  }
  return out;
}

// Parses the attributes of an element tag (the text between the name and ">").
std::vector<TemplateAttribute> ParseAttributes(std::string_view text) {
  std::vector<TemplateAttribute> attributes;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (IsSpace(text[i]) || text[i] == '/')) ++i;
    if (i >= text.size()) break;
    const std::size_t name_start = i;
    while (i < text.size() && !IsSpace(text[i]) && text[i] != '=' && text[i] != '/') ++i;
    TemplateAttribute attribute;
    attribute.name = std::string(text.substr(name_start, i - name_start));
    while (i < text.size() && IsSpace(text[i])) ++i;
    if (i < text.size() && text[i] == '=') {
      ++i;
      while (i < text.size() && IsSpace(text[i])) ++i;
      attribute.has_value = true;
      std::string_view raw;
      char quote = 0;
      if (i < text.size() && (text[i] == '"' || text[i] == '\'')) {
        quote = text[i++];
        const std::size_t end = text.find(quote, i);
        const std::size_t stop = end == std::string_view::npos ? text.size() : end;
        raw = text.substr(i, stop - i);
        i = stop == text.size() ? stop : stop + 1;
      } else {
        const std::size_t start = i;
        while (i < text.size() && !IsSpace(text[i])) ++i;
        raw = text.substr(start, i - start);
      }
      // A value that was in single quotes is written in double ones.
      attribute.value = QuotesAsEntities(raw, quote == '\'' ? "'\"" : "'");
    }
    if (!attribute.name.empty()) attributes.push_back(std::move(attribute));
  }
  return attributes;
}

// The English of a "{%=...%}" tag's inside, or none when it is no such tag: the text
// becomes a key of the language files, so it must fit on one line before a "=".
std::optional<std::string_view> OwnTextKey(std::string_view inside) {
  if (!inside.starts_with('=')) return std::nullopt;
  const std::string_view key = TrimBlanks(inside.substr(1));
  if (key.empty() || key.find_first_of("=[]<>{}\r\n") != std::string_view::npos)
    return std::nullopt;
  return key;
}

// Appends the attributes as written in the template, with "../files/" pointing at
// files_url and the own texts in the page's language.
void AppendAttributes(std::string& out, const std::vector<TemplateAttribute>& attributes,
                      std::string_view files_url, TemplateHost& host) {
  bool first = true;
  for (const auto& attribute : attributes) {
    if (!first) out += ' ';
    first = false;
    out += attribute.name;
    if (!attribute.has_value) continue;
    out += "=\"";
    const std::string& value = attribute.value;
    if (value.find("{%=") == std::string::npos &&
        FindIgnoringAsciiCase(value, "../files/") == std::string::npos) {
      out += value;  // nothing to fill in
    } else {
      out += FillOwnTexts(ReplaceIgnoreCase(value, "../files/", files_url),
                          [&host](std::string_view english) { return host.OwnText(english); });
    }
    out += '"';
  }
}

class TemplateParser {
 public:
  explicit TemplateParser(std::string_view text) : text_(text) {}

  std::vector<TemplatePiece> Parse() {
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == '{' && Next(1) == '%' && ParseControlTag()) continue;
      if (c == '<' && ParseMarkup()) continue;
      if (c == '\'') {
        text_piece_ += HtmlEscape("'");
      } else {
        text_piece_ += c;
      }
      ++pos_;
    }
    FlushText();
    return std::move(pieces_);
  }

 private:
  char Next(std::size_t ahead) const {
    return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0';
  }

  void FlushText() {
    if (text_piece_.empty()) return;
    pieces_.push_back({TemplatePiece::Kind::kText, std::move(text_piece_), {}});
    text_piece_.clear();
  }

  bool ParseControlTag() {
    const std::size_t close = text_.find("%}", pos_ + 2);
    if (close == std::string_view::npos || close - pos_ - 2 > kMaxTagNameLength) return false;
    const std::string_view name = TrimBlanks(text_.substr(pos_ + 2, close - pos_ - 2));
    if (name.find_first_of("<>{\r\n") != std::string_view::npos) return false;
    const auto own_text = OwnTextKey(name);
    if (name.starts_with('=') && !own_text) return false;
    FlushText();
    if (own_text) {
      pieces_.push_back({TemplatePiece::Kind::kOwnText, std::string(*own_text), {}});
    } else {
      pieces_.push_back({TemplatePiece::Kind::kControl, std::string(name), {}});
    }
    pos_ = close + 2;
    return true;
  }

  // Copies text_[pos_, end) unchanged (comments, script and style code).
  void CopyRaw(std::size_t end) {
    text_piece_.append(text_.substr(pos_, end - pos_));
    pos_ = end;
  }

  bool ParseMarkup() {
    if (text_.substr(pos_, 4) == "<!--") {
      const std::size_t end = text_.find("-->", pos_ + 4);
      CopyRaw(end == std::string_view::npos ? text_.size() : end + 3);
      return true;
    }
    if (Next(1) == '!' || Next(1) == '?') {
      const std::size_t end = text_.find('>', pos_);
      CopyRaw(end == std::string_view::npos ? text_.size() : end + 1);
      return true;
    }
    const bool closing = Next(1) == '/';
    const std::size_t name_start = pos_ + (closing ? 2 : 1);
    if (name_start >= text_.size() || !std::isalpha(static_cast<unsigned char>(text_[name_start])))
      return false;
    std::size_t i = name_start;
    while (i < text_.size() && IsNameChar(text_[i])) ++i;
    const std::string_view name = text_.substr(name_start, i - name_start);
    // The tag ends at the first ">" outside quotes.
    char quote = 0;
    std::size_t end = i;
    for (; end < text_.size(); ++end) {
      const char c = text_[end];
      if (quote) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '>') {
        break;
      }
    }
    if (end >= text_.size()) return false;
    FlushText();
    TemplatePiece piece;
    piece.kind = TemplatePiece::Kind::kElement;
    piece.text = (closing ? "/" : "") + std::string(name);
    if (!closing) piece.attributes = ParseAttributes(text_.substr(i, end - i));
    pieces_.push_back(std::move(piece));
    pos_ = end + 1;
    if (!closing &&
        (EqualsIgnoringAsciiCase(name, "script") || EqualsIgnoringAsciiCase(name, "style"))) {
      const std::string close_tag = "</" + std::string(name);
      const std::size_t close = FindIgnoringAsciiCase(text_, close_tag, pos_);
      CopyRaw(close == std::string_view::npos ? text_.size() : close);
    }
    return true;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::string text_piece_;
  std::vector<TemplatePiece> pieces_;
};

// What identifies one version of a file.
struct FileStampOf {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::int64_t modified_ns = 0;
  std::int64_t changed_ns = 0;
  friend bool operator==(const FileStampOf&, const FileStampOf&) = default;
};

std::int64_t Nanoseconds(const timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

struct CachedTemplate {
  FileStampOf stamp;
  std::shared_ptr<const std::vector<TemplatePiece>> pieces;
};

class TemplateCache {
 public:
  std::shared_ptr<const std::vector<TemplatePiece>> Find(const std::string& path,
                                                         const FileStampOf& stamp) {
    const std::lock_guard lock(mutex_);
    const auto found = entries_.find(path);
    if (found == entries_.end() || !(found->second.stamp == stamp)) return nullptr;
    return found->second.pieces;
  }

  void Store(const std::string& path, CachedTemplate entry) {
    const std::lock_guard lock(mutex_);
    if (entries_.size() >= kMaxCachedTemplates && !entries_.contains(path)) entries_.clear();
    entries_[path] = std::move(entry);
  }

 private:
  std::mutex mutex_;
  std::unordered_map<std::string, CachedTemplate> entries_;
};

TemplateCache& Templates() {
  static TemplateCache cache;
  return cache;
}

}  // namespace

std::shared_ptr<const std::vector<TemplatePiece>> LoadTemplatePieces(
    const std::filesystem::path& path, std::chrono::system_clock::time_point now) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
      info.st_size > kMaxTemplateBytes) {
    return nullptr;
  }
  const FileStampOf stamp{info.st_dev, info.st_ino, info.st_size, Nanoseconds(info.st_mtim),
                          Nanoseconds(info.st_ctim)};
  const std::string key = path.string();
  if (auto pieces = Templates().Find(key, stamp)) return pieces;

  // Read after the stamp was taken: a change while reading gives a newer stamp, and the
  // next render reads the file again.
  std::ifstream in(path, std::ios::binary);
  if (!in) return nullptr;
  std::string text;
  text.reserve(static_cast<std::size_t>(info.st_size));
  text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (text.size() > static_cast<std::size_t>(kMaxTemplateBytes)) return nullptr;
  auto pieces = std::make_shared<const std::vector<TemplatePiece>>(ParseTemplate(text));

  const std::int64_t settled_before =
      std::chrono::duration_cast<std::chrono::nanoseconds>((now - kSettleTime).time_since_epoch())
          .count();
  if (stamp.modified_ns < settled_before && stamp.changed_ns < settled_before) {
    Templates().Store(key, {stamp, pieces});
  }
  return pieces;
}

std::optional<std::filesystem::path> TIWTemplateProcessorHTML::FindTemplate(
    const std::filesystem::path& template_dir, std::string_view class_name,
    TIWBrowser browser) const {
  if (!Enabled) return std::nullopt;
  std::string name = Templates.Default;
  if (browser == TIWBrowser::brIE && !Templates.IE.empty()) name = Templates.IE;
  if (browser == TIWBrowser::brNetscape6 && !Templates.Netscape6.empty())
    name = Templates.Netscape6;
  if (name.empty()) {
    std::string_view stem = class_name;
    if (!stem.empty() && (stem.front() == 'T' || stem.front() == 't')) stem.remove_prefix(1);
    name = std::string(stem) + ".html";
  }
  if (!IsSafeFileName(name)) return std::nullopt;
  return FindFileIgnoringCase(template_dir, name);
}

std::vector<TemplatePiece> ParseTemplate(std::string_view text) {
  return TemplateParser(text).Parse();
}

std::optional<std::string> FindElementAttribute(const std::vector<TemplatePiece>& pieces,
                                                std::string_view element,
                                                std::string_view attribute) {
  for (const auto& piece : pieces) {
    if (piece.kind != TemplatePiece::Kind::kElement ||
        !EqualsIgnoringAsciiCase(piece.text, element))
      continue;
    for (const auto& candidate : piece.attributes) {
      if (EqualsIgnoringAsciiCase(candidate.name, attribute)) return candidate.value;
    }
    return std::nullopt;
  }
  return std::nullopt;
}

std::string DecodeAttributeText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '&') {
      out += text[i];
      continue;
    }
    const std::size_t semicolon = text.find(';', i);
    if (semicolon == std::string_view::npos || semicolon - i > 10) {
      out += '&';
      continue;
    }
    const std::string_view entity = text.substr(i + 1, semicolon - i - 1);
    std::string decoded;
    if (entity == "amp")
      decoded = "&";
    else if (entity == "lt")
      decoded = "<";
    else if (entity == "gt")
      decoded = ">";
    else if (entity == "quot")
      decoded = "\"";
    else if (entity == "apos")
      decoded = "'";
    else if (entity.size() > 1 && entity[0] == '#') {
      unsigned long code = 0;
      bool ok = true;
      const bool hex = entity[1] == 'x' || entity[1] == 'X';
      for (char c : entity.substr(hex ? 2 : 1)) {
        const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                          : hex && std::isxdigit(static_cast<unsigned char>(c))
                              ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                              : -1;
        if (digit < 0 || code > 0x10FFFF) {
          ok = false;
          break;
        }
        code = code * (hex ? 16 : 10) + static_cast<unsigned long>(digit);
      }
      // Only ASCII references are turned back; they are all that escaping produces.
      if (ok && code > 0 && code < 0x80) decoded = std::string(1, static_cast<char>(code));
    }
    if (decoded.empty()) {
      out += '&';
      continue;
    }
    out += decoded;
    i = semicolon;
  }
  return out;
}

std::string FillOwnTexts(std::string_view text,
                         const std::function<std::string(std::string_view)>& own_text) {
  std::string out;
  std::size_t from = 0;
  for (std::size_t open = text.find("{%=", from); open != std::string_view::npos;
       open = text.find("{%=", from)) {
    const std::size_t close = text.find("%}", open + 3);
    if (close == std::string_view::npos) break;
    const auto key = OwnTextKey(text.substr(open + 2, close - open - 2));
    if (!key) {
      out.append(text.substr(from, open + 3 - from));
      from = open + 3;
      continue;
    }
    out.append(text.substr(from, open - from));
    out += AttributeEscape(own_text(DecodeAttributeText(*key)));
    from = close + 2;
  }
  out.append(text.substr(from));
  return out;
}

std::string MergeTemplate(const std::vector<TemplatePiece>& pieces, std::string_view url_base,
                          TemplateHost& host) {
  const std::string files_url = std::string(url_base) + "/files/";
  std::size_t template_size = 0;
  for (const TemplatePiece& piece : pieces) template_size += piece.text.size();
  std::string out;
  out.reserve(template_size + 8192);  // room for the head and the controls
  bool head_written = false;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const TemplatePiece& piece = pieces[i];
    switch (piece.kind) {
      case TemplatePiece::Kind::kText:
        out += piece.text;
        continue;
      case TemplatePiece::Kind::kControl:
        out += host.ControlHTML(piece.text);
        continue;
      case TemplatePiece::Kind::kOwnText:
        out += HtmlEscape(host.OwnText(piece.text));
        continue;
      case TemplatePiece::Kind::kElement:
        break;
    }
    const std::string& name = piece.text;
    if (EqualsIgnoringAsciiCase(name, "head") && !head_written) {
      out += "<HEAD>\r\n" + host.HeadContent();
      head_written = true;
    } else if (EqualsIgnoringAsciiCase(name, "title")) {
      if (auto title = host.Title()) {
        out += "<TITLE>" + HtmlEscape(*title) + "</TITLE>";
        while (i + 1 < pieces.size() && !(pieces[i + 1].kind == TemplatePiece::Kind::kElement &&
                                          EqualsIgnoringAsciiCase(pieces[i + 1].text, "/title"))) {
          ++i;
        }
        ++i;  // the closing tag
      } else {
        out += "<" + name + ">";
      }
    } else if (EqualsIgnoringAsciiCase(name, "body")) {
      if (!head_written) {
        out += "<HEAD>\r\n" + host.HeadContent() + "</HEAD>\r\n";
        head_written = true;
      }
      std::vector<TemplateAttribute> attributes = piece.attributes;
      for (auto& attribute : attributes) {
        attribute.value = ReplaceIgnoreCase(attribute.value, "../files/", files_url);
      }
      out += host.BodyOpen(attributes);
    } else if (EqualsIgnoringAsciiCase(name, "/body")) {
      out += host.BodyClose();
    } else if (std::string language;
               EqualsIgnoringAsciiCase(name, "html") && !(language = host.PageLanguage()).empty()) {
      // The page says which language its texts are in, whatever the template was written in.
      std::vector<TemplateAttribute> attributes;
      for (const auto& attribute : piece.attributes) {
        if (!EqualsIgnoringAsciiCase(attribute.name, "lang")) attributes.push_back(attribute);
      }
      attributes.push_back({"lang", AttributeEscape(language), true});
      out += '<';
      out += name;
      out += ' ';
      AppendAttributes(out, attributes, files_url, host);
      out += '>';
    } else {
      out += '<';
      out += name;
      if (!piece.attributes.empty()) out += ' ';
      AppendAttributes(out, piece.attributes, files_url, host);
      out += '>';
    }
  }
  return out;
}

}  // namespace kestrune
