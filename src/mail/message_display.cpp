// The view page's picture of a message. The body is chosen from the text parts by the
// multipart structure the reader recorded (one version of each alternative, every
// inline text of a mixed message), converted to UTF-8, and made safe: HTML through the
// allow-list sanitiser with inline cid: images as data: URLs, plain text escaped.
#include "mail/message_display.h"

#include <algorithm>
#include <array>
#include <map>

#include "mail/attachment_view.h"
#include "mail/charset.h"
#include "mail/html_sanitiser.h"
#include "mail/id_message.h"
#include "platform/ascii.h"
#include "platform/base64.h"
#include "platform/escape.h"
#include "platform/text_encoding.h"

namespace kestrune {
namespace {

// All inline images of one message together may add this many bytes to the page; an
// image beyond it is left out rather than sent to the browser.
constexpr std::size_t kMaxInlineImageBytes = 16u * 1024u * 1024u;

std::string JoinCrLf(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) {
    text += line;
    text += "\r\n";
  }
  return text;
}

bool IsHtmlType(std::string_view content_type) {
  return FindIgnoringAsciiCase(content_type, "html") != std::string_view::npos;
}

// A Content-Id as written ("<id>", maybe with blanks) reduced to the id.
std::string_view BareContentId(std::string_view value) {
  value = TrimBlanks(value);
  if (value.size() >= 2 && value.front() == '<' && value.back() == '>') {
    value = value.substr(1, value.size() - 2);
  }
  return TrimBlanks(value);
}

// The data: URLs of a message's inline images, by content id. Each image is encoded once
// however often the HTML names it, and all references together stay within
// kMaxInlineImageBytes.
class CidResolver {
 public:
  explicit CidResolver(const TIdMessage& message) : message_(message) {}

  std::string operator()(std::string_view id) {
    auto cached = urls_.find(std::string(id));
    if (cached == urls_.end()) cached = urls_.emplace(std::string(id), Encode(id)).first;
    const std::string& url = cached->second;
    if (url.empty() || url.size() > kMaxInlineImageBytes - used_) return {};
    used_ += url.size();
    return url;
  }

 private:
  const TIdAttachment* Find(std::string_view id) const {
    const TIdMessageParts& parts = message_.MessageParts;
    // Content ids are compared exactly first; some senders change the letter case.
    for (bool exact : {true, false}) {
      for (std::size_t i = 0; i < parts.Count(); ++i) {
        const TIdMessagePart& part = parts[i];
        if (!part.IsAttachment() || part.ContentID.empty()) continue;
        std::string_view bare = BareContentId(part.ContentID);
        if (exact ? bare == id : EqualsIgnoringAsciiCase(bare, id)) {
          return static_cast<const TIdAttachment*>(&part);
        }
      }
    }
    return nullptr;
  }

  std::string Encode(std::string_view id) const {
    const TIdAttachment* found = Find(id);
    if (found == nullptr) return {};
    std::string_view type = SniffImageType(found->Content);
    // An image that could never fit is not encoded at all.
    if (type.empty() || found->Content.size() / 3 * 4 > kMaxInlineImageBytes) return {};
    return "data:" + std::string(type) + ";base64," + Base64Encode(found->Content);
  }

  const TIdMessage& message_;
  std::map<std::string, std::string, std::less<>> urls_;
  std::size_t used_ = 0;
};

struct Piece {
  std::string html;
  bool is_html = false;
};

Piece RenderText(std::string_view utf8, bool as_html, CidResolver& images,
                 const DisplayOptions& options, DisplayedBody& result) {
  Piece piece;
  piece.is_html = as_html;
  if (!as_html) {
    piece.html = options.quote_blocks ? QuotedPlainTextToHtml(utf8, options.fold_label)
                                      : PlainTextToHtml(utf8);
    return piece;
  }
  SanitiseOptions sanitise;
  sanitise.allow_remote = options.allow_remote;
  sanitise.own_frame = options.own_frame;
  sanitise.resolve_cid = [&images](std::string_view id) { return images(id); };
  SanitisedHtml clean = SanitiseHtml(utf8, sanitise);
  result.blocked_remote = result.blocked_remote || clean.blocked_remote;
  result.truncated = result.truncated || clean.truncated;
  piece.html = std::move(clean.html);
  return piece;
}

// Of the versions of one alternative, the last HTML one, else the last plain one, else
// the last of all. Senders put the richest version last; preferring HTML also picks the
// right text when a version itself nests an alternative (its inner parts come after
// the HTML part they belong with).
const TIdText* ChooseAlternative(const std::vector<const TIdText*>& versions) {
  for (std::string_view wanted : {"text/html", "text/plain"}) {
    for (auto it = versions.rbegin(); it != versions.rend(); ++it) {
      if (EqualsIgnoringAsciiCase((*it)->ContentType, wanted)) return *it;
    }
  }
  return versions.back();
}

// Whether a part is text the body shows: a text part, or a plain or HTML file marked
// inline outside any alternative (RFC 2183: an inline part is meant to be displayed; such
// a file is also offered for download, as readers offer it).
bool IsShownText(const TIdMessagePart& part) {
  if (part.IsText()) return true;
  return part.AlternativeGroup == 0 && EqualsIgnoringAsciiCase(part.ContentDisposition, "inline") &&
         (EqualsIgnoringAsciiCase(part.ContentType, "text/plain") ||
          EqualsIgnoringAsciiCase(part.ContentType, "text/html"));
}

bool IsUrlChar(unsigned char c) {
  if (c <= 0x20 || c == 0x7F) return false;
  return c != '<' && c != '>' && c != '"' && c != '`' && c != '{' && c != '}' && c != '|' &&
         c != '\\' && c != '^';
}

// The length of the web address starting at text[at], or 0 when none starts there.
std::size_t WebAddressLength(std::string_view text, std::size_t at) {
  std::size_t prefix = 0;
  std::string_view rest = text.substr(at);
  if (StartsWithIgnoringAsciiCase(rest, "https://")) {
    prefix = 8;
  } else if (StartsWithIgnoringAsciiCase(rest, "http://")) {
    prefix = 7;
  } else if (StartsWithIgnoringAsciiCase(rest, "www.")) {
    prefix = 4;
  } else {
    return 0;
  }
  // An address begins a word: "xhttp://" or "awww.x" are not links.
  if (at > 0) {
    unsigned char before = static_cast<unsigned char>(text[at - 1]);
    if ((before >= 'a' && before <= 'z') || (before >= 'A' && before <= 'Z') ||
        (before >= '0' && before <= '9') || before == '.' || before == '/' || before == '@') {
      return 0;
    }
  }
  std::size_t end = prefix;
  while (end < rest.size() && IsUrlChar(static_cast<unsigned char>(rest[end]))) ++end;
  // Punctuation after an address belongs to the sentence; a closing bracket stays when
  // the address opened it (as in Wikipedia links). The brackets are counted once.
  const auto count = [&](char c) { return std::count(rest.begin(), rest.begin() + end, c); };
  std::ptrdiff_t round = count('(') - count(')');
  std::ptrdiff_t square = count('[') - count(']');
  while (end > prefix) {
    char last = rest[end - 1];
    if (std::string_view(".,;:!?'*").find(last) != std::string_view::npos) {
      --end;
      continue;
    }
    std::ptrdiff_t& balance = last == ')' ? round : square;
    if ((last == ')' || last == ']') && balance < 0) {
      ++balance;  // this bracket closes nothing inside the address
      --end;
      continue;
    }
    break;
  }
  // "http://" or "www." alone is no address.
  if (end == prefix) return 0;
  return end;
}

std::string_view ExtensionForType(std::string_view type) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 16> kExtensions = {{
      {"image/png", ".png"},
      {"image/jpeg", ".jpg"},
      {"image/gif", ".gif"},
      {"image/webp", ".webp"},
      {"text/plain", ".txt"},
      {"text/html", ".html"},
      {"text/calendar", ".ics"},
      {"text/csv", ".csv"},
      {"application/pdf", ".pdf"},
      {"application/zip", ".zip"},
      {"application/json", ".json"},
      {"message/rfc822", ".eml"},
      {"application/msword", ".doc"},
      {"audio/mpeg", ".mp3"},
      {"video/mp4", ".mp4"},
      {"text/vcard", ".vcf"},
  }};
  std::string lower = AsciiLower(type);
  for (const auto& [name, extension] : kExtensions) {
    if (lower == name) return extension;
  }
  return {};
}

// A name to show and to offer for download: valid UTF-8, no directory part, no control
// characters and none of the invisible direction marks that can make "txt.exe" look
// like "exe.txt"; "" when nothing usable is left.
std::string CleanFileName(std::string_view name) {
  std::string text = BytesToUtf8(name);
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) continue;
    if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
        static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      ++i;  // C1 control characters
      continue;
    }
    if (c == 0xE2 && i + 2 < text.size()) {
      unsigned char b1 = static_cast<unsigned char>(text[i + 1]);
      unsigned char b2 = static_cast<unsigned char>(text[i + 2]);
      // U+200B..U+200F, U+202A..U+202E, U+2066..U+2069
      bool marks = (b1 == 0x80 && b2 >= 0x8B && b2 <= 0x8F) ||
                   (b1 == 0x80 && b2 >= 0xAA && b2 <= 0xAE) ||
                   (b1 == 0x81 && b2 >= 0xA6 && b2 <= 0xA9);
      if (marks) {
        i += 2;
        continue;
      }
    }
    out += static_cast<char>(c);
  }
  out = SafeAttachmentFileName(out);
  if (out == "attachment") return {};
  return out;
}

}  // namespace

DisplayedBody BuildDisplayedBody(const TIdMessage& message, const DisplayOptions& options) {
  DisplayedBody result;
  const TIdMessageParts& parts = message.MessageParts;
  std::vector<Piece> pieces;
  CidResolver images(message);
  bool has_text = false;
  for (std::size_t i = 0; i < parts.Count(); ++i) has_text = has_text || IsShownText(parts[i]);
  if (!has_text) {
    std::string text = CharsetToUtf8(JoinCrLf(message.Body), message.CharSet);
    // A message that is one HTML document is shown as HTML, not as its source.
    bool as_html = AsciiLower(message.ContentType) == "text/html";
    pieces.push_back(RenderText(text, as_html, images, options, result));
  } else {
    std::vector<bool> done(parts.Count(), false);
    for (std::size_t i = 0; i < parts.Count(); ++i) {
      if (!IsShownText(parts[i]) || done[i]) continue;
      if (parts[i].IsAttachment()) {
        const auto& file = static_cast<const TIdAttachment&>(parts[i]);
        std::string text = CharsetToUtf8(file.Content, file.CharSet) + "\r\n";
        pieces.push_back(RenderText(text, IsHtmlType(file.ContentType), images, options, result));
        continue;
      }
      const auto* chosen = static_cast<const TIdText*>(&parts[i]);
      std::size_t group = parts[i].AlternativeGroup;
      if (group != 0) {
        std::vector<const TIdText*> versions;
        for (std::size_t j = i; j < parts.Count(); ++j) {
          if (parts[j].IsText() && parts[j].AlternativeGroup == group) {
            versions.push_back(static_cast<const TIdText*>(&parts[j]));
            done[j] = true;
          }
        }
        chosen = ChooseAlternative(versions);
      }
      std::string text = chosen->TextAsUtf8();
      if (!text.empty() || !chosen->Body.empty()) text += "\r\n";
      pieces.push_back(RenderText(text, IsHtmlType(chosen->ContentType), images, options, result));
    }
  }
  for (const auto& piece : pieces) result.is_html = result.is_html || piece.is_html;
  if (pieces.size() == 1) {
    result.html = std::move(pieces[0].html);
  } else {
    // Several texts (a mixed message): each in its own block, in part order.
    for (const auto& piece : pieces) result.html += "<div>" + piece.html + "</div>";
  }
  return result;
}

std::string PlainTextToHtml(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  std::size_t plain_start = 0;
  auto flush = [&](std::size_t end) {
    std::string_view run = text.substr(plain_start, end - plain_start);
    std::size_t i = 0;
    while (i < run.size()) {
      std::size_t brk = run.find_first_of("\r\n", i);
      out += HtmlEscape(run.substr(i, brk == std::string_view::npos ? brk : brk - i));
      if (brk == std::string_view::npos) break;
      out += "<br>\n";
      i = brk + 1;
      if (run[brk] == '\r' && i < run.size() && run[i] == '\n') ++i;
    }
  };
  for (std::size_t i = 0; i < text.size();) {
    char c = text[i];
    if (c != 'h' && c != 'H' && c != 'w' && c != 'W') {
      ++i;
      continue;
    }
    std::size_t length = WebAddressLength(text, i);
    if (length == 0) {
      ++i;
      continue;
    }
    flush(i);
    std::string_view address = text.substr(i, length);
    std::string href(address);
    if (StartsWithIgnoringAsciiCase(address, "www.")) href = "http://" + href;
    out += "<a href=\"" + AttributeEscape(href) +
           "\" target=\"_blank\" rel=\"noopener noreferrer\">" + HtmlEscape(address) + "</a>";
    i += length;
    plain_start = i;
  }
  flush(text.size());
  return out;
}

std::pair<int, std::size_t> QuoteLevel(std::string_view line) {
  int level = 0;
  std::size_t i = 0;
  while (i < line.size() && line[i] == '>') {
    ++level;
    ++i;
    // "> > text" is two levels as much as ">> text".
    std::size_t next = i;
    while (next < line.size() && line[next] == ' ') ++next;
    if (next < line.size() && line[next] == '>') i = next;
  }
  if (level > 0 && i < line.size() && line[i] == ' ') ++i;
  return {level, i};
}

std::string QuotedPlainTextToHtml(std::string_view text, std::string_view fold_label) {
  std::string out;
  int depth = 0;
  std::string run;
  const auto open = [&](int level) {
    if (level == kFoldedQuoteLevel && !fold_label.empty()) {
      out += "<details class=\"kst-quote-fold\"><summary>" + HtmlEscape(fold_label) + "</summary>";
    }
    out += "<blockquote class=\"kst-quote kst-quote-" +
           std::to_string(std::min(level, kFoldedQuoteLevel)) + "\">";
  };
  const auto close = [&](int level) {
    out += "</blockquote>";
    if (level == kFoldedQuoteLevel && !fold_label.empty()) out += "</details>";
  };
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    start = end + 1;
    const auto [found_level, skip] = QuoteLevel(line);
    // Deeper quotes are shown at the deepest level a reader can still tell apart; this
    // also keeps a hostile message from nesting thousands of blocks.
    const int level = std::min(found_level, kMaxQuoteDepth);
    if (level != depth) {
      if (!run.empty()) {
        if (run.back() == '\n') run.pop_back();  // the block ends the line
        out += PlainTextToHtml(run);
        run.clear();
      }
      while (depth > level) close(depth--);
      while (depth < level) open(++depth);
    }
    run.append(line.substr(skip));
    run += '\n';
  }
  if (!run.empty()) out += PlainTextToHtml(run);
  while (depth > 0) close(depth--);
  return out;
}

std::string SandboxedDocument(std::string_view sanitised_html, bool allow_remote) {
  std::string remote = allow_remote ? " http: https:" : "";
  std::string out =
      "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">\n"
      "<meta name=\"referrer\" content=\"no-referrer\">\n"
      "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; img-src data:" +
      remote + "; style-src 'unsafe-inline'" + remote + "; font-src data:" + remote +
      "; base-uri 'none'; form-action 'none'\">\n"
      "<base target=\"_blank\">\n"
      "<style>html,body{margin:0;padding:0}body{padding:8px;overflow-wrap:anywhere;"
      "word-wrap:break-word;font-family:system-ui,-apple-system,\"Segoe UI\",sans-serif}"
      "img{max-width:100%;height:auto}table{max-width:100%}pre{white-space:pre-wrap}</style>\n"
      "</head><body>";
  out += sanitised_html;
  out += "</body></html>\n";
  return out;
}

std::vector<AttachmentEntry> ListAttachments(const TIdMessage& message) {
  std::vector<AttachmentEntry> list;
  const TIdMessageParts& parts = message.MessageParts;
  std::size_t number = 0;
  for (std::size_t i = 0; i < parts.Count(); ++i) {
    if (!parts[i].IsAttachment()) continue;
    ++number;
    const auto& attachment = static_cast<const TIdAttachment&>(parts[i]);
    AttachmentEntry entry;
    entry.part_index = i;
    entry.size = attachment.Content.size();
    std::string type = AsciiLower(attachment.ContentType);
    bool type_ok = !type.empty() && type.find('/') != std::string::npos &&
                   std::all_of(type.begin(), type.end(), [](char c) {
                     return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                            std::string_view("/.+-_").find(c) != std::string_view::npos;
                   });
    entry.content_type = type_ok ? type : "application/octet-stream";
    entry.file_name = CleanFileName(attachment.FileName);
    if (entry.file_name.empty()) {
      entry.file_name = "attachment" + std::to_string(number);
      entry.file_name += ExtensionForType(entry.content_type);
    }
    list.push_back(std::move(entry));
  }
  return list;
}

}  // namespace kestrune
