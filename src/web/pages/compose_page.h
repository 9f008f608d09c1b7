// The compose page TIWNewEmail and the ways other pages put a message on it. The page
// keeps nothing of the message itself: every post is read into the session's
// ComposeState and every render fills the controls from it, so the recipient picker, the
// attachments page and reply / forward change the message the page then shows.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "web/toolkit/app_form.h"
#include "web/toolkit/controls_text.h"
#include "web/toolkit/page_class.h"

namespace kestrune {

class PageFurniture;
class TIWHTMLTag;
class TWebApp;

// A text area the rich-text editor (editor.js) works on: its post also says, through the
// hidden field "KstBodyIsHtml" the editor sets to "1", whether it holds HTML.
class TRichTextMemo : public TIWMemo {
 public:
  using TIWMemo::TIWMemo;
  bool PostedHtml = false;
  void SetValue(std::string_view value, const PostedForm& post) override;
};

// Gives the text area the editor's own texts (button names, the link dialog) in the page's
// language as "data-text-" + name attributes, which editor.js reads.
void AddEditorTexts(const TWebApp& app, TIWHTMLTag& tag);

// The hidden "KstBodyIsHtml" field a rich-text page writes next to its text area: "1"
// when the text area is filled with HTML, "0" for plain text (a browser without script).
std::string RichTextFlagHtml(bool html);

// The compose page's class, registered with the session's pages.
TIWPageClass NewEmailPageClass();

// Starts a new message: the session's compose state reset (its old files removed), To set
// to `to`, the signature added when the user keeps one; then shows the compose page and
// discards `from` unless it is the compose page itself.
void StartNewMessage(TIWAppForm& from, std::string_view to = {});

// Starts the suggestions message: the product's suggestions address and subject, both
// fixed (the server ignores posted changes), no attachments, no signature.
void StartSuggestions(TIWAppForm& from);

// Binds a page's toolbar image IWCreateEmail, its IWSuggest link and its side panel's
// contact click to the openers above.
void BindComposeOpeners(PageFurniture& furniture, TIWAppForm& page);

// Shows the compose page with the session's compose state as it is (after the picker or
// the attachments page changed it, or after reply and forward filled it), discarding
// `from` unless it is the compose page itself.
void ShowComposePage(TIWAppForm& from);

// A composed HTML body (or a signature, which becomes part of one) made safe: the
// allow-list every sent message body goes through.
std::string SanitiseComposedHtml(std::string_view html);

// A single-line field as it may go into a message header: CR, LF and tab become spaces,
// NUL and every other control character (C0, DEL, C1) are removed, blanks trimmed.
std::string ComposeLine(std::string_view text);

// A name for a file added to a composition folder: `name` itself when no file of that
// name is there, else "name-2.ext", "name-3.ext" ... (the first one free).
std::string FreeAttachmentName(const std::filesystem::path& folder, std::string_view name);

}  // namespace kestrune
