// What the view page shows of a message: its body as safe HTML (an HTML part sanitised,
// plain text escaped with its line breaks and web links), and the list of its
// attachments addressed by position. Everything here treats the message as hostile.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrune {

class TIdMessage;

struct DisplayOptions {
  // Remote images, style sheets and fonts (http:, https:, protocol-relative URLs) are
  // kept only when on; otherwise they are removed and `blocked_remote` says so.
  bool allow_remote = false;
  // The body is shown in the sandboxed frame. Off (a print copy, where the body goes
  // straight into the page): HTML keeps no style sheets and no "position" declarations.
  bool own_frame = true;
  // Plain text: ">" quotes set apart as nested blocks by level; from the third level on
  // they are folded behind fold_label (when not empty), openable without script.
  bool quote_blocks = false;
  std::string fold_label;
};

struct DisplayedBody {
  // An HTML fragment, safe to place into a document: the sanitised HTML part (inline
  // cid: images as data: URLs), or the escaped plain text.
  std::string html;
  bool is_html = false;         // came from an HTML part: shown in the sandboxed frame
  bool blocked_remote = false;  // remote content was removed (offer to load it)
  bool truncated = false;       // an HTML part was longer than the sanitiser reads (1 MiB)
};

// The body to show, as the view page fills it: with no text part the message's Body (as
// HTML when the message itself is text/html, else as plain text); of each alternative
// one version (the last HTML one, else the last plain one, else the last text part);
// the inline text parts of a mixed message in order, each in its own <div>. Text of any
// charset comes out as UTF-8. All inline images together add at most 16 MiB.
DisplayedBody BuildDisplayedBody(const TIdMessage& message, const DisplayOptions& options);

// Plain text as HTML: escaped, line breaks kept as <br>, http(s) and www. addresses made
// into links that open in a new tab without a referrer.
std::string PlainTextToHtml(std::string_view text);

// Quotes nested deeper than this are shown at this depth.
inline constexpr int kMaxQuoteDepth = 8;
// The first quote level that is folded away.
inline constexpr int kFoldedQuoteLevel = 3;

// The quote level of a plain-text line (its leading ">" marks, blanks between them
// allowed) and where its text starts (after the marks and one blank).
std::pair<int, std::size_t> QuoteLevel(std::string_view line);

// Plain text as PlainTextToHtml makes it, with each run of quoted lines in a
// <blockquote class="kst-quote kst-quote-N"> nested by level; the third level and deeper
// inside a <details> whose summary is fold_label (no fold when it is empty).
std::string QuotedPlainTextToHtml(std::string_view text, std::string_view fold_label);

// The whole document for the sandboxed frame (its srcdoc) around a sanitised fragment: a
// Content-Security-Policy that allows no script and, unless allow_remote, no remote
// loads; links open in a new tab.
std::string SandboxedDocument(std::string_view sanitised_html, bool allow_remote);

struct AttachmentEntry {
  std::size_t part_index = 0;  // position in MessageParts: how a download names it
  std::string file_name;       // safe to show and to offer as a download name
  std::string content_type;
  std::size_t size = 0;  // decoded bytes
};

// The attachment parts in part order; a part without a usable name gets "attachment" +
// its number (and an extension from its type when known).
std::vector<AttachmentEntry> ListAttachments(const TIdMessage& message);

}  // namespace kestrune
