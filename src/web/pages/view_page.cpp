// The message view page: filling it from a message, its render, delete and save through
// the checked index changes, attachment and message downloads sent from memory, the
// print copy in the session's cache directory and the opt-in to remote content.
#include "web/pages/view_page.h"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <span>
#include <stdexcept>

#include "mail/attachment_view.h"
#include "mail/id_message.h"
#include "mail/message_display.h"
#include "platform/ascii.h"
#include "platform/atomic_file.h"
#include "platform/byte_size.h"
#include "platform/date_time.h"
#include "platform/escape.h"
#include "platform/random.h"
#include "platform/read_file.h"
#include "store/email_db.h"
#include "store/mail_store_paths.h"
#include "web/app/compose_state.h"
#include "web/app/language_pack.h"
#include "web/app/user_session.h"
#include "web/pages/compose_page.h"
#include "web/pages/page_texts.h"
#include "web/toolkit/application.h"
#include "web/toolkit/server_controller.h"
#include "web/toolkit/template_processor.h"

namespace kestrune {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kPrintTemplate = "printmail.htm";
// Longest subject part of a message download name, in bytes.
constexpr std::size_t kMaxNameBytes = 80;

// A label whose caption is markup this page builds itself from escaped or sanitised
// parts; written as an element of the given kind.
TIWLabel& MarkupLabel(TIWAppForm& page, const char* name, const char* element) {
  auto& label = page.AddControl<TIWLabel>(name);
  label.RawText = true;
  label.OnHTMLTag = [element](TIWBaseControl&, TIWHTMLTag& tag) { tag.SetTagName(element); };
  return label;
}

// A content type from a message as a header value: "type/subtype" of token characters,
// else plain bytes.
std::string SafeContentType(std::string_view type) {
  const auto token = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("!#$&-^_.+").find(c) != std::string_view::npos;
  };
  const auto slash = type.find('/');
  const bool ok =
      slash != std::string_view::npos && slash > 0 && slash + 1 < type.size() &&
      type.size() <= 127 &&
      std::all_of(type.begin(), type.begin() + static_cast<std::ptrdiff_t>(slash), token) &&
      std::all_of(type.begin() + static_cast<std::ptrdiff_t>(slash) + 1, type.end(), token);
  return ok ? AsciiLower(type) : "application/octet-stream";
}

// A picture or PDF is copied for the browser to open only up to this size, and the
// copies of one message together up to kMaxOpenedMessageBytes; larger ones download.
constexpr std::size_t kMaxOpenedFileBytes = 25u * 1024u * 1024u;
constexpr std::size_t kMaxOpenedMessageBytes = 64u * 1024u * 1024u;

// A date as a <time> element: the instant in UTC for the page's script, which shows it
// in the browser's own time zone, and the server's local text for a browser without it.
std::string LocalTimeMarkup(DateValue value) {
  const std::time_t when = std::chrono::system_clock::to_time_t(TimePointFromDateValue(value));
  std::tm utc{};
  char iso[32] = "";
  if (gmtime_r(&when, &utc) != nullptr) std::strftime(iso, sizeof iso, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return "<time class=\"kst-local-time\" datetime=\"" + std::string(iso) + "\">" +
         HtmlEscape(DateTimeText(value)) + "</time>";
}

std::vector<std::string> ReadLines(const fs::path& file) {
  const std::string text = ReadWholeFile(file);
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

}  // namespace

std::string FillPrintTemplate(const std::vector<std::string>& lines, const std::string& to,
                              const std::string& from, const std::string& subject,
                              const std::string& body_html, const LanguagePack* language) {
  const auto own_text = [language](std::string_view english) {
    return language != nullptr ? language->TemplateText(english) : std::string(english);
  };
  const std::pair<std::string_view, std::string> values[] = {
      {"[To]", HtmlEscape(to)},
      {"[From]", HtmlEscape(from)},
      {"[Subject]", HtmlEscape(subject)},
      {"[EMAILBODY]", body_html},
  };
  std::string out;
  for (const std::string& template_line : lines) {
    const std::string line = FillOwnTexts(template_line, own_text);
    // The first occurrence of each tag in the template line itself, in line order.
    std::vector<std::pair<std::size_t, std::size_t>> hits;  // position, value number
    for (std::size_t v = 0; v < std::size(values); ++v) {
      const std::size_t at = FindIgnoringAsciiCase(line, values[v].first);
      if (at != std::string::npos) hits.emplace_back(at, v);
    }
    std::sort(hits.begin(), hits.end());
    std::size_t copied = 0;
    for (const auto& [at, v] : hits) {
      if (at < copied) continue;  // inside a tag already replaced
      out.append(line, copied, at - copied);
      out += values[v].second;
      copied = at + values[v].first.size();
    }
    out.append(line, copied);
    out += "\r\n";
  }
  return out;
}

std::string MessageDownloadName(const std::string& subject) {
  std::string name;
  for (char c : subject) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      name += ' ';
    } else if (std::string_view("/\\:*?\"<>|").find(c) != std::string_view::npos) {
      name += '_';
    } else {
      name += c;
    }
  }
  std::string_view trimmed = TrimBlanks(name);
  while (!trimmed.empty() && trimmed.front() == '.') trimmed.remove_prefix(1);
  std::string base(trimmed);
  if (base.size() > kMaxNameBytes) {
    std::size_t cut = kMaxNameBytes;
    while (cut > 0 && (static_cast<unsigned char>(base[cut]) & 0xC0) == 0x80) --cut;
    base = std::string(TrimBlanks(std::string_view(base).substr(0, cut)));
  }
  if (base.empty()) base = "message";
  return base + ".eml";
}

std::string StoredMessageAsRfc822(const std::string& stored) {
  std::string out;
  out.reserve(stored.size());
  std::size_t start = 0;
  while (start < stored.size()) {
    std::size_t end = stored.find('\n', start);
    const bool last = end == std::string::npos;
    if (last) end = stored.size();
    std::string_view line(stored.data() + start, end - start);
    std::string_view bare = line;
    if (!bare.empty() && bare.back() == '\r') bare.remove_suffix(1);
    if (bare == ".") break;  // the end line of the stored file
    if (bare.starts_with("..")) line.remove_prefix(1);
    out.append(line);
    if (!last) out += '\n';
    start = end + 1;
  }
  return out;
}

TIWPageClass ViewMailPageClass() { return TIWViewMail::PageClass(); }

TIWPageClass TIWViewMail::PageClass() {
  return PageClassOf<TIWViewMail>("TIWViewMail", "IWViewMail");
}

TIWViewMail::TIWViewMail(TIWApplication& session, std::string name, std::string class_name)
    : TIWAppForm(session, std::move(name), std::move(class_name)),
      IWUserName(AddControl<TIWLabel>("IWUserName")),
      IWFrom(MarkupLabel(*this, "IWFrom", "span")),
      IWTo(MarkupLabel(*this, "IWTo", "span")),
      IWSubject(MarkupLabel(*this, "IWSubject", "span")),
      IWEmailBody(MarkupLabel(*this, "IWEmailBody", "div")),
      IWAttachLbl(AddControl<TIWLabel>("IWAttachLbl")),
      IWAttachments(AddControl<TIWComboBox>("IWAttachments")),
      IWSaveAttach(AddControl<TIWButton>("IWSaveAttach")),
      IWReply(PageFurniture::ToolImage(*this, "IWReply", "reply")),
      IWForward(PageFurniture::ToolImage(*this, "IWForward", "forward")),
      IWPrint(PageFurniture::ToolImage(*this, "IWPrint", "print")),
      IWSave(PageFurniture::ToolImage(*this, "IWSave", "save")),
      IWDelete(PageFurniture::ToolImage(*this, "IWDelete", "delete")),
      IWRemoteNote(AddControl<TIWLabel>("IWRemoteNote")),
      IWShowRemote(AddControl<TIWLink>("IWShowRemote")),
      IWDownloadMessage(AddControl<TIWLink>("IWDownloadMessage")),
      IWPrintLink(MarkupLabel(*this, "IWPrintLink", "span")),
      IWFromLbl(AddControl<TIWLabel>("IWFromLbl")),
      IWToLbl(AddControl<TIWLabel>("IWToLbl")),
      IWCcLbl(AddControl<TIWLabel>("IWCcLbl")),
      IWCc(MarkupLabel(*this, "IWCc", "span")),
      IWDateLbl(AddControl<TIWLabel>("IWDateLbl")),
      IWDate(MarkupLabel(*this, "IWDate", "span")),
      IWReceivedLbl(AddControl<TIWLabel>("IWReceivedLbl")),
      IWReceived(AddControl<TIWLabel>("IWReceived")),
      IWAttachList(AddControl<TIWGrid>("IWAttachList")),
      Furniture(*this, "") {
  TemplateProcessor.Templates.Default = "viewmail.htm";
  OnRender = [this](TIWAppForm&) { Render(); };
  IWAttachments.OnHTMLTag = [](TIWBaseControl&, TIWHTMLTag& tag) {
    tag.SetAttribute("style", "z-index:100;font: 13px;width:40%;");
  };
  IWAttachments.RequireSelection = true;
  IWAttachList.SetColumnCount(5);
  IWAttachList.BorderSize = 0;
  IWAttachList.OnHTMLTag = [](TIWBaseControl&, TIWHTMLTag& tag) {
    tag.SetAttribute("class", "kst-attach-list");
  };
  IWAttachList.OnCellClick = [this](TIWGrid&, int row, int column) {
    if (column == 1 && row >= 0) DownloadAttachment(static_cast<std::size_t>(row));
  };
  IWPrintLink.Visible = false;
  IWSaveAttach.OnClick = [this](TIWBaseControl&) { SaveAttachClick(); };
  IWPrint.OnClick = [this](TIWBaseControl&) { PrintClick(); };
  IWReply.OnClick = [this](TIWBaseControl&) { ReplyClick(); };
  IWForward.OnClick = [this](TIWBaseControl&) { ForwardClick(); };
  IWSave.OnClick = [this](TIWBaseControl&) { SaveClick(); };
  IWDelete.OnClick = [this](TIWBaseControl&) { DeleteClick(); };
  IWShowRemote.OnClick = [this](TIWBaseControl&) { ShowRemoteClick(); };
  IWDownloadMessage.OnClick = [this](TIWBaseControl&) { DownloadMessageClick(); };
  // Home is a link here too; the furniture binds the folder links.
  BindComposeOpeners(Furniture, *this);
}

void TIWViewMail::Fill(const TIdMessage& message, const TEmailRecord& record,
                       const ShownMessage& shown) {
  const TWebApp& app = SessionOf(WebApplication())->App();
  shown_ = shown;
  from_saved_ = InFolder(MailFolder::kSaved, record.Status);
  allow_remote_ = false;  // remote content is allowed per message, never carried over
  IWPrintLink.Visible = false;
  IWFrom.Caption = HtmlEscape(message.From.Text());
  IWTo.Caption = HtmlEscape(message.Recipients.Text());
  IWSubject.Caption = HtmlEscape(message.Subject);
  IWCc.Caption = HtmlEscape(message.CCList.Text());
  IWCc.Visible = IWCcLbl.Visible = !message.CCList.Empty();
  IWDate.Visible = IWDateLbl.Visible = message.Date != 0;
  if (message.Date != 0) IWDate.Caption = LocalTimeMarkup(message.Date);
  IWReceived.Caption = record.DateText;
  IWReceived.Visible = IWReceivedLbl.Visible = !record.DateText.empty();

  const std::vector<AttachmentEntry> attachments = ListAttachments(message);
  IWAttachments.Items.clear();
  IWAttachments.NoSelectionText.clear();
  attachment_parts_.clear();
  // The record's flag is what the folder lists show; a message that has attachment parts
  // offers them even when the flag says otherwise, so none is ever out of reach.
  const bool show = record.HasAttachment || !attachments.empty();
  IWAttachLbl.Visible = IWAttachments.Visible = IWSaveAttach.Visible = show;
  IWSaveAttach.Enabled = true;
  if (show) {
    for (const AttachmentEntry& entry : attachments) {
      IWAttachments.Items.push_back(entry.file_name);
      attachment_parts_.push_back(entry.part_index);
    }
    if (IWAttachments.Items.empty()) {
      IWAttachments.Items.push_back(app.Text(kHtmlDialogStrings, "AttachmentNotFoundError"));
      IWSaveAttach.Enabled = false;
    }
    IWAttachments.SetItemIndex(0);
  } else {
    IWAttachments.SetItemIndex(-1);
  }
  FillAttachmentList(message, record.HasAttachment);
  FillBody(message);
}

TIWViewMail::~TIWViewMail() {
  for (const fs::path& file : cache_files_) {
    std::error_code ignored;  // the session's cache goes with the session in any case
    fs::remove(file, ignored);
  }
}

void TIWViewMail::FillAttachmentList(const TIdMessage& message, bool flagged) {
  TIWApplication& session = WebApplication();
  const TWebApp& app = SessionOf(session)->App();
  for (const fs::path& file : cache_files_) {
    std::error_code ignored;
    fs::remove(file, ignored);
  }
  cache_files_.clear();
  // The list replaces the drop-down: every file visible at once, each with its own link.
  IWAttachments.Visible = IWSaveAttach.Visible = false;
  const std::vector<AttachmentEntry> attachments = ListAttachments(message);
  IWAttachList.SetRowCount(0);
  IWAttachList.Visible = IWAttachLbl.Visible;
  if (!IWAttachList.Visible) return;
  if (attachments.empty()) {
    IWAttachList.SetRowCount(1);
    IWAttachList.Cell(0, 1).Text = app.Text(kHtmlDialogStrings, "AttachmentNotFoundError");
    return;
  }
  const std::string open_caption = app.Text(kMessageViewStrings, "OpenAttachment.Caption");
  const std::string open_hint = app.Text(kMessageViewStrings, "OpenAttachment.StatusText");
  IWAttachList.SetRowCount(static_cast<int>(attachments.size()));
  std::size_t copied = 0;
  for (std::size_t k = 0; k < attachments.size(); ++k) {
    const AttachmentEntry& entry = attachments[k];
    const int row = static_cast<int>(k);
    TIWGridCell& preview = IWAttachList.Cell(row, 0);
    preview.Text = "<span class=\"kst-file-icon\" aria-hidden=\"true\"></span>";
    preview.RawText = true;
    TIWGridCell& name = IWAttachList.Cell(row, 1);
    name.Text = entry.file_name;
    name.Clickable = true;
    name.Wrap = true;
    IWAttachList.Cell(row, 2).Text = ByteSizeText(entry.size);
    IWAttachList.Cell(row, 3).Text = SafeContentType(entry.content_type);
    IWAttachList.Cell(row, 4).Text.clear();

    const auto* part = dynamic_cast<const TIdAttachment*>(&message.MessageParts[entry.part_index]);
    if (part == nullptr) continue;
    const std::optional<InlineView> view =
        SafeInlineView(entry.content_type, entry.file_name, part->Content);
    if (!view || part->Content.size() > kMaxOpenedFileBytes ||
        copied + part->Content.size() > kMaxOpenedMessageBytes) {
      continue;  // only downloads, as a file the browser does not show by itself
    }
    // A private copy under a random name of the type its bytes are: the session's cache
    // serves it to this session alone, as a document that runs nothing.
    const std::string file_name = "file" + RandomHex(16) + view->extension;
    fs::create_directories(session.CacheDirectory());
    WriteNewFile(session.CacheDirectory() / file_name, part->Content, 0600);
    cache_files_.push_back(session.CacheDirectory() / file_name);
    copied += part->Content.size();
    const std::string url = AttributeEscape(session.CacheURL() + file_name);
    if (view->is_image) {
      preview.Text = "<a href=\"" + url + "\" target=\"_blank\" rel=\"noopener\" tabindex=\"-1\">" +
                     "<img class=\"kst-thumb\" src=\"" + url + "\" alt=\"" +
                     AttributeEscape(entry.file_name) + "\" loading=\"lazy\"></a>";
    }
    TIWGridCell& open = IWAttachList.Cell(row, 4);
    open.Text = "<a class=\"kst-open\" href=\"" + url +
                "\" target=\"_blank\" rel=\"noopener\" title=\"" + AttributeEscape(open_hint) +
                "\">" + HtmlEscape(open_caption) + "</a>";
    open.RawText = true;
  }
}

void TIWViewMail::FillBody(const TIdMessage& message) {
  DisplayOptions options;
  options.allow_remote = allow_remote_;
  options.quote_blocks = true;
  options.fold_label =
      SessionOf(WebApplication())->App().Text(kMessageViewStrings, "ShowQuotedText");
  const DisplayedBody body = BuildDisplayedBody(message, options);
  if (body.is_html) {
    // No script runs in the frame and it has no origin of its own: it cannot reach the
    // page, and its own policy keeps remote loads out until the user allows them.
    IWEmailBody.Caption =
        "<iframe class=\"kst-mail-frame\" title=\"Message text\" "
        "sandbox=\"allow-popups allow-popups-to-escape-sandbox\" referrerpolicy=\"no-referrer\" "
        "srcdoc=\"" +
        AttributeEscape(SandboxedDocument(body.html, allow_remote_)) + "\"></iframe>";
  } else {
    IWEmailBody.Caption = "<div class=\"kst-mail-text\">" + body.html + "</div>";
  }
  IWRemoteNote.Visible = IWShowRemote.Visible = body.blocked_remote && !allow_remote_;
}

void TIWViewMail::Render() {
  TUserSession& state = *SessionOf(WebApplication());
  const TWebApp& app = state.App();
  if (WebApplication().SessionEnding()) return;
  for (TIWControl* control :
       std::initializer_list<TIWControl*>{&IWReply, &IWPrint, &IWSave, &IWDelete}) {
    SetTexts(app, kGlobalStrings, *control);
  }
  IWForward.Hint = app.Text(kGlobalStrings, "IWForward.StatutsText");
  IWForward.StatusText = IWForward.Hint;
  for (TIWImageFile* image : {&IWReply, &IWForward, &IWPrint, &IWSave, &IWDelete}) {
    image->AltText = image->Hint;
  }
  for (TIWControl* control : std::initializer_list<TIWControl*>{
           &IWFromLbl, &IWToLbl, &IWCcLbl, &IWDateLbl, &IWReceivedLbl, &IWAttachList, &IWRemoteNote,
           &IWShowRemote, &IWDownloadMessage}) {
    SetTexts(app, kMessageViewStrings, *control);
  }
  SetTexts(app, kViewMailStrings, IWAttachLbl);
  SetTexts(app, kViewMailStrings, IWSaveAttach);
  IWAttachments.Hint = app.Text(kAttachmentsStrings, "IWAttachments.StatusText");
  IWAttachments.StatusText = IWAttachments.Hint;
  Furniture.Render(state);
  IWUserName.Caption = state.LoginName;

  // Save is offered unless the message already lies in Saved, however it was opened.
  TEmailRecord record;
  if (state.EmailDB && state.EmailDB->GetEmail(shown_.index, record) &&
      record.FileName == shown_.file_name) {
    from_saved_ = InFolder(MailFolder::kSaved, record.Status);
  }
  IWSave.Visible = !from_saved_;
  // Reply and forward lead to the compose page, when the program has one.
  const bool can_compose = app.Pages().Named("IWNewEmail") != nullptr;
  IWReply.Visible = IWForward.Visible = can_compose;
}

bool TIWViewMail::LoadShown(TUserSession& state, TIdMessage& message, const char* error_key) {
  const std::optional<ShownMessage> current = CurrentMessage(state, shown_.index);
  if (!current || current->file_name != shown_.file_name) {
    WebApplication().ShowUserMessage(state.App().Text(kHtmlDialogStrings, error_key) +
                                     std::to_string(shown_.index));
    return false;
  }
  message.Clear();
  message.NoDecode = false;
  message.LoadFromFile(MessageFilePath(state.User.UserDir, shown_.file_name));
  return true;
}

void TIWViewMail::DeleteClick() {
  TIWApplication& session = WebApplication();
  TUserSession& state = *SessionOf(session);
  if (DeleteMessage(state, shown_) == DeleteOutcome::kNotFound) {
    session.ShowUserMessage(state.App().Text(kHtmlDialogStrings, "DeleteLocateError") +
                            std::to_string(shown_.index));
    return;
  }
  session.SwitchToPage("IWMain", state.App().Pages().Main);
}

void TIWViewMail::SaveClick() {
  TIWApplication& session = WebApplication();
  TUserSession& state = *SessionOf(session);
  // A message already in Saved keeps its replied or forwarded state.
  const auto to_saved = [](std::int32_t status) {
    return InFolder(MailFolder::kSaved, status) ? status : SavedStatus(status);
  };
  const std::vector<int> skipped =
      MoveMessages(state, std::nullopt, std::span<const ShownMessage>(&shown_, 1), to_saved);
  if (!skipped.empty()) {
    session.ShowUserMessage(state.App().Text(kHtmlDialogStrings, "SaveLocateError") +
                            std::to_string(shown_.index));
    return;
  }
  session.SwitchToPage("IWMain", state.App().Pages().Main);
}

void TIWViewMail::SaveAttachClick() {
  if (WebApplication().SessionEnding()) return;
  const int item = IWAttachments.ItemIndex();
  DownloadAttachment(item < 0 ? attachment_parts_.size() : static_cast<std::size_t>(item));
}

void TIWViewMail::DownloadAttachment(std::size_t item) {
  TIWApplication& session = WebApplication();
  if (session.SessionEnding()) return;
  TUserSession& state = *SessionOf(session);
  TIdMessage message;
  if (!LoadShown(state, message, "LocateEmailIndexError")) return;
  if (item >= attachment_parts_.size()) {
    session.ShowUserMessage(state.App().Text(kHtmlDialogStrings, "SelectFileError"));
    return;
  }
  const std::size_t part = attachment_parts_[item];
  for (const AttachmentEntry& entry : ListAttachments(message)) {
    if (entry.part_index != part || part >= message.MessageParts.Count()) continue;
    const auto* attachment = dynamic_cast<const TIdAttachment*>(&message.MessageParts[part]);
    if (attachment == nullptr) break;
    session.SendDownload(attachment->Content, entry.file_name, SafeContentType(entry.content_type),
                         true);
    return;
  }
  session.ShowUserMessage(state.App().Text(kHtmlDialogStrings, "FileLocateError"));
}

void TIWViewMail::PrintClick() {
  TIWApplication& session = WebApplication();
  if (session.SessionEnding()) return;
  TUserSession& state = *SessionOf(session);
  TIdMessage message;
  if (!LoadShown(state, message, "EmailLocateError")) return;
  // The copy is a page of its own: its body never loads anything remote.
  const DisplayedBody body =
      BuildDisplayedBody(message, DisplayOptions{.allow_remote = false, .own_frame = false});
  const std::string body_html = body.is_html ? "<div class=\"mail-html\">" + body.html + "</div>"
                                             : "<div class=\"mail-text\">" + body.html + "</div>";
  const fs::path template_file = session.Controller().TemplateDir / kPrintTemplate;
  const std::string filled =
      FillPrintTemplate(ReadLines(template_file), message.Recipients.Text(), message.From.Text(),
                        message.Subject, body_html, &state.App().Language());
  // 128 random bits: the name is the only thing that tells the copy apart in the URL,
  // and the cache answers it to this session alone. It goes with the session.
  const std::string file_name = "print" + RandomHex(16) + ".htm";
  fs::create_directories(session.CacheDirectory());
  WriteNewFile(session.CacheDirectory() / file_name, filled, 0600);
  const std::string url = session.CacheURL() + file_name;
  AddToInitProc("NewWindow(\"" + ScriptStringEscape(url) +
                "\",\"\",\"menubar=no,toolbar=no\");\r\n");
  // A browser that blocks windows a page opens by itself still gets the copy by a click.
  IWPrintLink.Caption = "<a href=\"" + AttributeEscape(url) +
                        "\" target=\"_blank\" rel=\"noopener\">" +
                        HtmlEscape(state.App().Text(kMessageViewStrings, "OpenPrintCopy")) + "</a>";
  IWPrintLink.Visible = true;
}

// The quote block a reply starts with: the original's sender, the user, the date and the
// subject as escaped text in quoted attributes, then the shown body (safe HTML already).
static std::string ReplyQuote(const TIdMessage& message, const TEmailRecord& record,
                              const TUserRecord& user, const std::string& body_html) {
  const auto person = [](const std::string& address, const std::string& name) {
    const std::string shown = name.empty() ? address : name;
    return "<A title=\"" + AttributeEscape(address) +
           "\" href=\"mailto:" + AttributeEscape(address) + "\">" + HtmlEscape(shown) + "</A>";
  };
  const std::string lines[] = {
      "<DIV>&nbsp;</DIV>",
      "<BLOCKQUOTE style=\"PADDING-RIGHT: 0px; PADDING-LEFT: 5px; MARGIN-LEFT: 5px; "
      "BORDER-LEFT: #000000 2px solid; MARGIN-RIGHT: 0px\">",
      "  <DIV style=\"FONT: 10pt arial\">----- Original Message ----- </DIV>",
      "  <DIV style=\"BACKGROUND: #e4e4e4; FONT: 10pt arial; font-color: "
      "black\"><B>From:&nbsp;</B>" +
          person(ComposeLine(message.From.Address), ComposeLine(message.From.Name)) + "</DIV>",
      "<DIV style=\"FONT: 10pt arial\"><B>To:&nbsp;</B>" +
          person(user.EmailAddress, user.EmailDisplayName) + "</DIV>",
      "<DIV style=\"FONT: 10pt arial\"><B>Sent:&nbsp;</B>" + HtmlEscape(record.DateText) + "</DIV>",
      "<DIV style=\"FONT: 10pt arial\"><B>Subject:&nbsp;</B>" +
          HtmlEscape(ComposeLine(message.Subject)) + "</DIV>",
      body_html,
      "</BLOCKQUOTE>",
  };
  std::string out;
  for (const std::string& line : lines) out += line + "\r\n";
  return out;
}

void TIWViewMail::ReplyClick() {
  TIWApplication& session = WebApplication();
  if (session.SessionEnding()) return;
  TUserSession& state = *SessionOf(session);
  ComposeState& compose = state.Compose;
  // A reply starts from nothing: no recipient, file or flag of an earlier message.
  ResetCompose(compose, state.User.UserDir);
  const std::optional<ShownMessage> current = CurrentMessage(state, shown_.index);
  TEmailRecord record;
  if (!current || current->file_name != shown_.file_name || !state.EmailDB ||
      !state.EmailDB->GetEmail(shown_.index, record)) {
    ShowComposePage(*this);
    session.ShowUserMessage(state.App().Text(kHtmlDialogStrings, "ReplyGenerateError"));
    return;
  }
  TIdMessage message;
  message.NoDecode = false;
  message.LoadFromFile(MessageFilePath(state.User.UserDir, shown_.file_name));
  compose.To = ComposeLine(message.From.Address);
  compose.Subject = ComposeLine("Re: " + message.Subject);
  compose.ReplySource = shown_.index;
  compose.Reply = true;
  compose.Forward = false;
  const DisplayedBody body =
      BuildDisplayedBody(message, DisplayOptions{.allow_remote = false, .own_frame = false});
  compose.Body = ReplyQuote(message, record, state.User, body.html);
  ShowComposePage(*this);
}

void TIWViewMail::ForwardClick() {
  TIWApplication& session = WebApplication();
  if (session.SessionEnding()) return;
  TUserSession& state = *SessionOf(session);
  ComposeState& compose = state.Compose;
  const fs::path store = state.User.UserDir;
  ResetCompose(compose, store);
  const std::optional<ShownMessage> current = CurrentMessage(state, shown_.index);
  if (!current || current->file_name != shown_.file_name) {
    ShowComposePage(*this);
    session.ShowUserMessage(state.App().Text(kHtmlDialogStrings, "ForwardGenerateError"));
    return;
  }
  TIdMessage message;
  message.NoDecode = false;
  message.LoadFromFile(MessageFilePath(store, shown_.file_name));
  compose.Subject = ComposeLine("Fwd: " + message.Subject);
  compose.Body =
      BuildDisplayedBody(message, DisplayOptions{.allow_remote = false, .own_frame = false}).html;
  // The attachments go into the composition's own folder; two of one name stay apart.
  for (const AttachmentEntry& entry : ListAttachments(message)) {
    const auto* part = dynamic_cast<const TIdAttachment*>(&message.MessageParts[entry.part_index]);
    if (part == nullptr) continue;
    const fs::path folder = ComposeFolder(compose, store);
    const std::string name = FreeAttachmentName(folder, SafeAttachmentFileName(entry.file_name));
    if (!part->SaveToFile(folder / name)) {
      throw std::runtime_error("Cannot write the forwarded attachment " + name + ".");
    }
    compose.Attachments.push_back(ComposeAttachment{name, part->Content.size()});
  }
  compose.AttachmentsFlag = !compose.Attachments.empty();
  compose.ReplySource = shown_.index;
  compose.Forward = true;
  compose.Reply = false;
  ShowComposePage(*this);
}

void TIWViewMail::ShowRemoteClick() {
  TIWApplication& session = WebApplication();
  if (session.SessionEnding()) return;
  TUserSession& state = *SessionOf(session);
  TIdMessage message;
  if (!LoadShown(state, message, "EmailLocateError")) return;
  allow_remote_ = true;
  FillBody(message);
}

void TIWViewMail::DownloadMessageClick() {
  TIWApplication& session = WebApplication();
  if (session.SessionEnding()) return;
  TUserSession& state = *SessionOf(session);
  const std::optional<ShownMessage> current = CurrentMessage(state, shown_.index);
  if (!current || current->file_name != shown_.file_name) {
    session.ShowUserMessage(state.App().Text(kHtmlDialogStrings, "LocateEmailIndexError") +
                            std::to_string(shown_.index));
    return;
  }
  TIdMessage message;
  const fs::path file = MessageFilePath(state.User.UserDir, shown_.file_name);
  const std::string stored = ReadWholeFile(file);
  message.LoadFromText(stored);
  session.SendDownload(StoredMessageAsRfc822(stored), MessageDownloadName(message.Subject),
                       "message/rfc822", true);
}

void ShowMessageInViewPage(TIWAppForm& from, const ShownMessage& message, bool mark_opened) {
  TIWApplication& session = from.WebApplication();
  TUserSession* state = SessionOf(session);
  if (session.SessionEnding() || state == nullptr || !state->LoggedIn) return;
  const std::optional<TEmailRecord> record =
      mark_opened ? OpenMessage(*state, message) : ShownRecord(*state, message);
  // A damaged or imported index may name a file outside the mail store: never opened.
  if (!record || !IsPlainStoreFileName(record->FileName)) {
    session.ShowUserMessage(state->App().Text(kHtmlDialogStrings, "EmailLocateError") +
                            std::to_string(message.index));
    return;
  }
  TIdMessage loaded;
  loaded.NoDecode = false;
  loaded.LoadFromFile(MessageFilePath(state->User.UserDir, record->FileName));

  TIWAppForm* page = session.FindPage("IWViewMail");
  auto* view = dynamic_cast<TIWViewMail*>(page);
  if (view == nullptr) view = dynamic_cast<TIWViewMail*>(&session.CreatePage(ViewMailPageClass()));
  state->ViewedMessage = message.index;
  view->Fill(loaded, *record, ShownMessage{message.index, record->FileName});
  session.ShowPage(view);
  if (&from != view) session.DiscardPage(&from);
}

}  // namespace kestrune
