// The compose page: its controls filled from the session's ComposeState at every render
// and read back into it at every post, the openers (new message, suggestions, a
// contact's click), Send (checks, the message file, the Outbox record, automatic
// contacts, the replied or forwarded state of the source), Print, the quick list and
// the hand-over to the recipient picker and the attachments page.
#include "web/pages/compose_page.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <span>
#include <system_error>
#include <utility>
#include <vector>

#include "mail/address_list.h"
#include "mail/html_sanitiser.h"
#include "mail/id_message.h"
#include "mail/message_display.h"
#include "platform/ascii.h"
#include "platform/atomic_file.h"
#include "platform/escape.h"
#include "platform/random.h"
#include "platform/read_file.h"
#include "platform/text_encoding.h"
#include "search/mail_search.h"
#include "settings/program_config.h"
#include "store/contacts_db.h"
#include "store/email_db.h"
#include "store/mail_store_paths.h"
#include "store/text_utils.h"
#include "web/app/action_feedback.h"
#include "web/app/compose_state.h"
#include "web/app/mail_folders.h"
#include "web/app/page_furniture.h"
#include "web/app/user_session.h"
#include "web/pages/attachments_page.h"
#include "web/pages/compose_files.h"
#include "web/pages/contacts_pages.h"
#include "web/pages/page_texts.h"
#include "web/pages/view_page.h"
#include "web/toolkit/application.h"
#include "web/toolkit/controls_text.h"
#include "web/toolkit/grid.h"
#include "web/toolkit/server_controller.h"

namespace kestrune {
namespace fs = std::filesystem;

namespace {

constexpr const char* kObjectName = "IWNewEmail";
// Where the suggestions message goes, and its subject.
constexpr const char* kSuggestionsAddress = "suggestions@kestrune.org";
constexpr const char* kSuggestionsSubject = "Comments and Suggestions";
constexpr const char* kSignatureFile = "signature.htm";
// A larger signature file is not put into new messages (the sanitiser reads no more).
constexpr std::size_t kMaxSignatureBytes = kMaxSanitiseInput;
constexpr std::size_t kRecordText = TEmailRecord::kTextCapacity;
constexpr int kQuickListRows = 5;

constexpr const char* kEditStyle = "width:100%;height:21;z-index:100;font: 13px;text-align:left";
constexpr const char* kBodyStyle =
    "width:100%;height:100%;z-index:100;font: 13px;BACKGROUND-COLOR: #FFFFFF";

// Text cut to at most max bytes at a UTF-8 character boundary.
std::string CutText(std::string_view text, std::size_t max) {
  if (text.size() <= max) return std::string(text);
  std::size_t cut = max;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut));
}

// Lines of a text (CR LF, LF or CR line ends), for a message body whose lines the writer
// ends with CR LF.
std::vector<std::string> TextLines(std::string_view text) {
  std::vector<std::string> lines;
  std::string line;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(std::move(line));
      line.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line += c;
    }
  }
  if (!line.empty() || lines.empty()) lines.push_back(std::move(line));
  return lines;
}

// The minimal shape of an address: local@domain, neither part empty, one "@", no blank,
// control character, quote, bracket or list separator, a domain of dot-separated labels.
bool IsPlausibleAddress(std::string_view address) {
  if (!IsSafeAddress(address)) return false;
  const std::size_t at = address.find('@');
  if (at == std::string_view::npos || at == 0 || at + 1 >= address.size()) return false;
  if (address.find('@', at + 1) != std::string_view::npos) return false;
  for (char c : address) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F ||
        std::string_view("\"(),:;<>[\\]").find(c) != std::string_view::npos) {
      return false;
    }
  }
  const std::string_view domain = address.substr(at + 1);
  return domain.front() != '.' && domain.back() != '.' &&
         domain.find("..") == std::string_view::npos;
}

// Parses a recipient field by the engines' rule. False when an item has no plausible
// address; list then holds the items.
bool ParseRecipients(std::string_view text, TIdEmailAddressList& list) {
  list.Clear();
  for (const std::string& piece : SplitAddressList(text)) {
    TIdEmailAddressItem item;
    item.SetText(piece);
    if (!IsPlausibleAddress(item.Address)) return false;
    item.Name = ComposeLine(item.Name);
    list.Add(std::move(item));
  }
  return true;
}

// The domain a generated Message-Id names: the sender's, when it is a plain host name.
std::string MessageIdDomain(std::string_view sender) {
  const std::size_t at = sender.rfind('@');
  std::string_view domain = at == std::string_view::npos ? "" : sender.substr(at + 1);
  const bool plain = !domain.empty() && domain.size() <= 200 &&
                     std::all_of(domain.begin(), domain.end(), [](char c) {
                       return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                              (c >= '0' && c <= '9') || c == '-' || c == '.';
                     });
  return plain ? std::string(domain) : "kestrune.invalid";
}

// A message id as a header value: "<...>" with no blank or control character.
std::optional<std::string> CleanMessageId(std::string_view id) {
  std::string trimmed(TrimBlanks(id));
  if (trimmed.size() < 3 || trimmed.size() > 998 || trimmed.front() != '<' ||
      trimmed.back() != '>') {
    return std::nullopt;
  }
  for (char c : trimmed) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) return std::nullopt;
  }
  return trimmed;
}

// Decodes the character references a sanitised fragment holds.
void AppendEntity(std::string_view entity, std::string& out) {
  static const std::pair<std::string_view, std::string_view> kNamed[] = {
      {"amp", "&"}, {"lt", "<"}, {"gt", ">"}, {"quot", "\""}, {"apos", "'"}, {"nbsp", " "}};
  for (const auto& [name, text] : kNamed) {
    if (entity == name) {
      out += text;
      return;
    }
  }
  if (entity.size() > 1 && entity.front() == '#') {
    unsigned long code = 0;
    const bool hex = entity[1] == 'x' || entity[1] == 'X';
    const std::string digits(entity.substr(hex ? 2 : 1));
    try {
      code = std::stoul(digits, nullptr, hex ? 16 : 10);
    } catch (...) {
      return;
    }
    if (code == 0xA0) code = ' ';
    if (code < 0x20 && code != '\t') return;
    if (code < 0x110000) AppendUtf8(out, static_cast<char32_t>(code));
  }
}

// A plain-text rendering of a sanitised HTML fragment for the text/plain part: tags
// dropped, blanks collapsed as a browser does, line breaks at <br> and after blocks,
// "- " before list items, "> " before quoted lines, references decoded.
std::string HtmlToPlainText(std::string_view html) {
  std::string out;
  int quote_depth = 0;
  bool pending_space = false;
  const auto at_line_start = [&] { return out.empty() || out.back() == '\n'; };
  const auto new_line = [&] {
    out += '\n';
    pending_space = false;
  };
  const auto begin_text = [&] {
    if (at_line_start()) {
      for (int q = 0; q < quote_depth; ++q) out += "> ";
    } else if (pending_space) {
      out += ' ';
    }
    pending_space = false;
  };
  std::size_t i = 0;
  while (i < html.size()) {
    const char c = html[i];
    if (c == '<') {
      const std::size_t end = html.find('>', i);
      if (end == std::string_view::npos) break;
      std::string_view tag = html.substr(i + 1, end - i - 1);
      i = end + 1;
      const bool closing = !tag.empty() && tag.front() == '/';
      if (closing) tag.remove_prefix(1);
      std::size_t name_end = 0;
      while (name_end < tag.size() && std::isalnum(static_cast<unsigned char>(tag[name_end]))) {
        ++name_end;
      }
      const std::string name = AsciiLower(tag.substr(0, name_end));
      if (name == "style" && !closing) {  // a style block is no text
        const std::size_t close = FindIgnoringAsciiCase(html.substr(i), "</style");
        i = close == std::string::npos ? html.size() : i + close;
        continue;
      }
      if (name == "br") {
        if (at_line_start()) begin_text();
        new_line();
      } else if (name == "blockquote") {
        if (!at_line_start()) new_line();
        quote_depth = std::max(0, quote_depth + (closing ? -1 : 1));
      } else if (name == "li" && !closing) {
        if (!at_line_start()) new_line();
        begin_text();
        out += "- ";
      } else if (name == "p" || name == "div" || name == "tr" || name == "ul" || name == "ol" ||
                 name == "table" || name == "li" || name == "hr" ||
                 (name.size() == 2 && name[0] == 'h' && name[1] >= '1' && name[1] <= '6')) {
        if (!at_line_start()) new_line();
      } else if (name == "td" || name == "th") {
        pending_space = true;
      }
      continue;
    }
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      pending_space = !at_line_start();
      ++i;
      continue;
    }
    begin_text();
    if (c == '&') {
      const std::size_t semi = html.find(';', i);
      if (semi != std::string_view::npos && semi - i <= 10) {
        AppendEntity(html.substr(i + 1, semi - i - 1), out);
        i = semi + 1;
        continue;
      }
    }
    out += c;
    ++i;
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

TIWLabel& BareLabel(TIWAppForm& page, const char* name) {
  auto& label = page.AddControl<TIWLabel>(name);
  label.RawText = true;
  label.OnHTMLTag = [](TIWBaseControl&, TIWHTMLTag& tag) { tag.SetTagName(""); };
  return label;
}

class TIWNewEmail : public TIWAppForm {
 public:
  TIWNewEmail(TIWApplication& session, std::string name, std::string class_name);
  static TIWPageClass PageClass() { return PageClassOf<TIWNewEmail>("TIWNewEmail", kObjectName); }

  TIWLabel& IWUserName;
  TIWLabel& IWFrom;
  TIWEdit& IWTo;
  TIWEdit& IWCCList;
  TIWEdit& IWBccList;
  TIWEdit& IWSubject;
  TRichTextMemo& IWEmailBody;
  TIWLabel& IWBodyFlag;
  TIWImageFile& IWToAddr;
  TIWImageFile& IWCcAddr;
  TIWImageFile& IWBccAddr;
  TIWLabel& IWAttachs;
  TIWButton& IWAddEditAttachments;
  TIWButton& IWSend;
  TIWButton& IWCancel;
  TIWGrid& IWQuickList;
  TIWLabel& IWNoQuickList;
  TIWImageFile& IWPrint;
  TIWLabel& IWPrintLink;
  // Files attached on this page: a field for several at once (or dropped on the page),
  // its Attach button for a browser without script, the list with a remove per file;
  // and the contacts the recipient boxes complete from.
  TIWLabel& IWFilesLbl;
  TIWFile& IWComposeFiles;
  TIWButton& IWAttachFiles;
  TIWGrid& IWFileList;
  TIWLabel& IWDropHint;
  TIWLabel& IWContactList;
  PageFurniture Furniture;

 private:
  TUserSession& State() const { return *SessionOf(WebApplication()); }
  void Render();
  void ReadPosted();
  void FillControls(TUserSession& state);
  void FillQuickList(TUserSession& state);
  void SendClick();
  bool CheckRecipients(const TIWEdit& field, std::string_view text, TIdEmailAddressList& list);
  // Returns the Outbox message stored.
  ShownMessage StoreMessage(TUserSession& state, const TIdMessage& message, TEmailRecord record);
  void AddRecipientContacts(TUserSession& state, const TIdEmailAddressList& to);
  void MarkSource(TUserSession& state);
  void PrintClick();
  void QuickListClick(int row);

  // The plain text a script-less browser last posted and the HTML made of it: while the
  // state's body is that HTML, the text area shows the text as typed.
  std::string plain_text_;
  std::string plain_html_;
  // The stored name of the file each row of IWFileList showed.
  std::vector<std::string> shown_files_;
  // The contact (name, address) each quick list row showed.
  std::vector<std::pair<std::string, std::string>> quick_rows_;
};

TIWNewEmail::TIWNewEmail(TIWApplication& session, std::string name, std::string class_name)
    : TIWAppForm(session, std::move(name), std::move(class_name)),
      IWUserName(AddControl<TIWLabel>("IWUserName")),
      IWFrom(AddControl<TIWLabel>("IWFrom")),
      IWTo(AddControl<TIWEdit>("IWTo")),
      IWCCList(AddControl<TIWEdit>("IWCCList")),
      IWBccList(AddControl<TIWEdit>("IWBccList")),
      IWSubject(AddControl<TIWEdit>("IWSubject")),
      IWEmailBody(AddControl<TRichTextMemo>("IWEmailBody")),
      IWBodyFlag(BareLabel(*this, "IWBodyFlag")),
      IWToAddr(AddControl<TIWImageFile>("IWToAddr")),
      IWCcAddr(AddControl<TIWImageFile>("IWCcAddr")),
      IWBccAddr(AddControl<TIWImageFile>("IWBccAddr")),
      IWAttachs(AddControl<TIWLabel>("IWAttachs")),
      IWAddEditAttachments(AddControl<TIWButton>("IWAddEditAttachments")),
      IWSend(AddControl<TIWButton>("IWSend")),
      IWCancel(AddControl<TIWButton>("IWCancel")),
      IWQuickList(AddControl<TIWGrid>("IWQuickList")),
      IWNoQuickList(BareLabel(*this, "IWNoQuickList")),
      IWPrint(PageFurniture::ToolImage(*this, "IWPrint", "print")),
      IWPrintLink(BareLabel(*this, "IWPrintLink")),
      IWFilesLbl(AddControl<TIWLabel>("IWFilesLbl")),
      IWComposeFiles(AddControl<TIWFile>("IWComposeFiles")),
      IWAttachFiles(AddControl<TIWButton>("IWAttachFiles")),
      IWFileList(AddControl<TIWGrid>("IWFileList")),
      IWDropHint(AddControl<TIWLabel>("IWDropHint")),
      IWContactList(BareLabel(*this, "IWContactList")),
      Furniture(*this, "") {
  TemplateProcessor.Templates.Default = "newmail.htm";
  OnRender = [this](TIWAppForm&) { Render(); };
  for (TIWEdit* edit : {&IWTo, &IWCCList, &IWBccList, &IWSubject}) {
    edit->OnHTMLTag = [](TIWBaseControl&, TIWHTMLTag& tag) {
      tag.SetAttribute("style", kEditStyle);
    };
  }
  for (TIWEdit* edit : {&IWTo, &IWCCList, &IWBccList}) {
    edit->OnHTMLTag = [](TIWBaseControl&, TIWHTMLTag& tag) {
      tag.SetAttribute("style", kEditStyle);
      tag.SetAttribute("list", kContactsDatalistId);
      tag.SetAttribute("autocomplete", "off");
    };
  }
  IWComposeFiles.Multiple = true;
  IWFileList.SetColumnCount(3);
  IWFileList.BorderSize = 0;
  IWFileList.OnHTMLTag = [](TIWBaseControl&, TIWHTMLTag& tag) {
    tag.SetAttribute("class", "kst-file-list");
  };
  IWFileList.OnCellClick = [this](TIWGrid&, int row, int column) {
    if (WebApplication().SessionEnding() || State().Compose.ReadOnly) return;
    if (column != 2 || row < 0 || static_cast<std::size_t>(row) >= shown_files_.size()) return;
    RemoveAttachment(State(), shown_files_[static_cast<std::size_t>(row)]);
    State().Compose.AttachmentsFlag = !State().Compose.Attachments.empty();
  };
  IWAttachFiles.OnClick = [this](TIWBaseControl&) {
    if (WebApplication().SessionEnding()) return;
    AttachPostedFiles(WebApplication(), State(), IWComposeFiles);
  };
  IWEmailBody.OnHTMLTag = [this](TIWBaseControl&, TIWHTMLTag& tag) {
    AddEditorTexts(State().App(), tag);
    tag.SetAttribute("style", kBodyStyle);
    tag.SetAttribute("class", "kst-editor");
    tag.SetAttribute("rows", "16");
  };
  IWAttachs.OnHTMLTag = [](TIWBaseControl&, TIWHTMLTag& tag) { tag.SetTagName(""); };
  IWQuickList.SetColumnCount(2);
  IWQuickList.OnHTMLTag = [](TIWBaseControl&, TIWHTMLTag& tag) {
    tag.SetAttribute("width", "100%");
    tag.SetAttribute("style", "width:100%;z-index:100;font: 13px;");
  };
  for (TIWImageFile* book : {&IWToAddr, &IWCcAddr, &IWBccAddr}) {
    book->ImageFile = "/Files/addrbook.gif";
    book->UseSize = true;
    book->Width = 16;
    book->Height = 16;
    book->OnClick = [this](TIWBaseControl&) {
      if (WebApplication().SessionEnding() || State().Compose.ReadOnly) return;
      ShowRecipientPicker(*this);
    };
  }
  IWPrintLink.Visible = false;

  IWSend.OnClick = [this](TIWBaseControl&) { SendClick(); };
  IWCancel.OnClick = [this](TIWBaseControl&) { Furniture.Navigate("IWMain"); };
  IWPrint.OnClick = [this](TIWBaseControl&) { PrintClick(); };
  IWAddEditAttachments.OnClick = [this](TIWBaseControl&) {
    if (WebApplication().SessionEnding() || State().Compose.ReadOnly) return;
    ShowAttachmentsPage(*this);
  };
  IWQuickList.OnCellClick = [this](TIWGrid&, int row, int) { QuickListClick(row); };

  // Leaving the page by a link drops the message with its files.
  Furniture.OnLeave = [this] { ResetCompose(State().Compose, State().User.UserDir); };
  BindComposeOpeners(Furniture, *this);

  // Every action first takes what the browser posted into the compose state, so that a
  // page that stays (send/receive, the contacts toggle, an alert) or one that comes back
  // (the picker, the attachments page) shows what the user typed.
  for (const auto& control : Controls()) {
    if (!control->OnClick) continue;
    control->OnClick = [this, action = std::move(control->OnClick)](TIWBaseControl& sender) {
      ReadPosted();
      action(sender);
    };
  }
  for (TIWGrid* grid : {&IWQuickList, &IWFileList}) {
    grid->OnCellClick = [this, action = std::move(grid->OnCellClick)](TIWGrid& sender, int row,
                                                                      int column) {
      ReadPosted();
      action(sender, row, column);
    };
  }
}

void TIWNewEmail::ReadPosted() {
  TIWApplication& session = WebApplication();
  TUserSession* state = SessionOf(session);
  if (state == nullptr || !state->LoggedIn) return;
  ComposeState& compose = state->Compose;
  // The suggestions message keeps its recipient and subject whatever is posted.
  if (!compose.ReadOnly) {
    compose.To = ComposeLine(IWTo.Text);
    compose.Cc = ComposeLine(IWCCList.Text);
    compose.Bcc = ComposeLine(IWBccList.Text);
    compose.Subject = ComposeLine(IWSubject.Text);
  }
  const std::string text = IWEmailBody.Text();
  if (IWEmailBody.PostedHtml) {
    compose.Body = text;
    plain_text_.clear();
    plain_html_.clear();
  } else {
    plain_text_ = text;
    plain_html_ = text.empty() ? std::string() : PlainTextToHtml(text);
    compose.Body = plain_html_;
  }
}

void TIWNewEmail::FillControls(TUserSession& state) {
  const ComposeState& compose = state.Compose;
  IWFrom.Caption = state.User.EmailAddress;
  IWTo.Text = compose.To;
  IWCCList.Text = compose.Cc;
  IWBccList.Text = compose.Bcc;
  IWSubject.Text = compose.Subject;
  for (TIWEdit* edit : {&IWTo, &IWCCList, &IWBccList, &IWSubject})
    edit->ReadOnly = compose.ReadOnly;
  const bool plain = !compose.Body.empty() && compose.Body == plain_html_;
  IWEmailBody.SetText(plain ? plain_text_ : compose.Body);
  IWBodyFlag.Caption = RichTextFlagHtml(!plain && !compose.Body.empty());
  std::string attachments;
  for (const ComposeAttachment& file : compose.Attachments) {
    attachments += AttachmentListText(file) + "; ";
  }
  IWAttachs.Caption = attachments;
  // The list below shows the files with their sizes and a remove button each.
  IWAttachs.Visible = false;
  IWAddEditAttachments.Enabled = !compose.ReadOnly;
  FillComposeFileList(state, IWFileList, shown_files_);
  IWComposeFiles.Visible = IWAttachFiles.Visible = IWDropHint.Visible = !compose.ReadOnly;
  IWContactList.Caption = compose.ReadOnly ? std::string() : ContactsDatalist(state);
}

void TIWNewEmail::FillQuickList(TUserSession& state) {
  const TWebApp& app = state.App();
  IWQuickList.SetRowCount(0);
  quick_rows_.clear();
  if (state.OpenContactsDB()) {
    TContactRecord contact;
    bool more = state.ContactsDB->FirstQuickContact(contact);
    while (more && static_cast<int>(quick_rows_.size()) < kQuickListRows) {
      quick_rows_.emplace_back(contact.ContactName, contact.ContactEmail);
      more = state.ContactsDB->NextQuickContact(contact);
    }
  }
  IWQuickList.SetRowCount(static_cast<int>(quick_rows_.size()));
  for (std::size_t k = 0; k < quick_rows_.size(); ++k) {
    const int row = static_cast<int>(k);
    TIWGridCell& icon = IWQuickList.Cell(row, 0);
    // The arrow is a link of its own: its image names what it does.
    std::string add = app.Text(kFrameStrings, "QuickListAdd.Caption");
    if (const auto at = add.find("%s"); at != std::string::npos) {
      add.replace(at, 2,
                  quick_rows_[k].first.empty() ? quick_rows_[k].second : quick_rows_[k].first);
    }
    icon.Text =
        "<div valign=\"middle\"><img border=\"0\" src=\"/Files/left.gif\" width=\"16\" "
        "height=\"16\" alt=\"" +
        HtmlEscape(add) + "\"></div>";
    icon.RawText = true;
    icon.Width = "18";
    icon.Clickable = true;
    TIWGridCell& name = IWQuickList.Cell(row, 1);
    name.Text = quick_rows_[k].first.empty() ? quick_rows_[k].second : quick_rows_[k].first;
    name.Clickable = true;
  }
  IWQuickList.Hint = app.Text(kHtmlDialogStrings, "ContactAddRecipients");
  IWQuickList.StatusText = IWQuickList.Hint;
  IWQuickList.Visible = !quick_rows_.empty();
  IWNoQuickList.Visible = quick_rows_.empty();
}

void TIWNewEmail::Render() {
  TIWApplication& session = WebApplication();
  TUserSession* state = SessionOf(session);
  if (session.SessionEnding() || state == nullptr || !state->LoggedIn) return;
  const TWebApp& app = state->App();
  for (TIWControl* control : std::initializer_list<TIWControl*>{
           &IWTo, &IWCCList, &IWSubject, &IWToAddr, &IWAddEditAttachments, &IWSend}) {
    SetTexts(app, kNewEmailStrings, *control);
  }
  IWBccList.Hint = app.Text(kNewEmailStrings, "IWBCCList.StatusText");
  IWCcAddr.Hint = app.Text(kNewEmailStrings, "IWCCAddr.StatusText");
  IWBccAddr.Hint = app.Text(kNewEmailStrings, "IWBCCAddr.StatusText");
  for (TIWControl* control :
       std::initializer_list<TIWControl*>{&IWBccList, &IWCcAddr, &IWBccAddr}) {
    control->StatusText = control->Hint;
  }
  SetTexts(app, kGlobalStrings, IWCancel);
  SetTexts(app, kGlobalStrings, IWPrint);
  for (TIWImageFile* image : {&IWToAddr, &IWCcAddr, &IWBccAddr, &IWPrint}) {
    image->AltText = image->Hint;
  }
  IWNoQuickList.Caption = app.Text(kNewEmailStrings, "IWNoQuickList.Caption");
  for (TIWControl* control :
       std::initializer_list<TIWControl*>{&IWComposeFiles, &IWAttachFiles, &IWFileList}) {
    SetTexts(app, kWritingStrings, *control);
  }
  IWDropHint.Caption = app.Text(kWritingStrings, "DropFiles");
  IWFilesLbl.Caption = app.Text(kWritingStrings, "IWFilesLbl.Caption");
  Furniture.Render(*state);
  IWUserName.Caption = state->LoginName;
  FillQuickList(*state);
  FillControls(*state);
}

bool TIWNewEmail::CheckRecipients(const TIWEdit& field, std::string_view text,
                                  TIdEmailAddressList& list) {
  if (ParseRecipients(text, list)) return true;
  WebApplication().ShowUserMessage(State().App().Text(kHtmlDialogStrings, "EmailAddressError"));
  SetActiveControl(field);
  return false;
}

void TIWNewEmail::SendClick() {
  TIWApplication& session = WebApplication();
  if (session.SessionEnding()) return;
  TUserSession& state = State();
  if (!state.LoggedIn) return;
  const TWebApp& app = state.App();
  ComposeState& compose = state.Compose;
  if (compose.ReadOnly) {  // fixed whatever the browser sent
    compose.To = kSuggestionsAddress;
    compose.Cc.clear();
    compose.Bcc.clear();
    compose.Subject = kSuggestionsSubject;
    compose.Attachments.clear();
    compose.AttachmentsFlag = false;
  }

  TIdMessage message;
  message.Clear();
  message.NoEncode = false;
  if (compose.To.empty() && compose.Cc.empty() && compose.Bcc.empty()) {
    session.ShowUserMessage(app.Text(kHtmlDialogStrings, "EmailAddressError"));
    SetActiveControl(IWTo);
    return;
  }
  if (!CheckRecipients(IWTo, compose.To, message.Recipients) ||
      !CheckRecipients(IWCCList, compose.Cc, message.CCList) ||
      !CheckRecipients(IWBccList, compose.Bcc, message.BccList)) {
    return;
  }
  if (message.Recipients.Empty() && message.CCList.Empty() && message.BccList.Empty()) {
    session.ShowUserMessage(app.Text(kHtmlDialogStrings, "EmailAddressError"));
    SetActiveControl(IWTo);
    return;
  }
  if (compose.Subject.empty()) {
    session.ShowUserMessage(app.Text(kHtmlDialogStrings, "SubjectError"));
    SetActiveControl(IWSubject);
    return;
  }

  // What the user saw listed is what is sent: a listed file that is gone stops the send.
  const fs::path store = state.User.UserDir;
  const bool with_files = compose.AttachmentsFlag && !compose.Attachments.empty();
  std::vector<fs::path> files;
  if (with_files) {
    const fs::path folder = ComposeFolder(compose, store);
    for (const ComposeAttachment& attachment : compose.Attachments) {
      const fs::path file = folder / attachment.file_name;
      std::error_code error;
      if (attachment.file_name.empty() || !fs::is_regular_file(file, error)) {
        session.ShowUserMessage(app.Text(kHtmlDialogStrings, "FileLocateError"));
        return;
      }
      files.push_back(file);
    }
  }

  message.From.Name = ComposeLine(state.User.EmailDisplayName);
  message.From.Address = ComposeLine(state.User.EmailAddress);
  message.Subject = compose.Subject;
  message.Headers.Set("Message-Id", "<" + RandomHex(16) + ".kestrune@" +
                                        MessageIdDomain(message.From.Address) + ">");
  if (compose.Reply && compose.ReplySource != -1) {
    // The replied-to message's id threads the reply in the recipients' mail programs.
    if (const std::optional<ShownMessage> source = CurrentMessage(state, compose.ReplySource)) {
      TIdMessage original;
      original.NoDecode = true;
      try {
        original.LoadFromFile(MessageFilePath(store, source->file_name));
        if (const auto id = CleanMessageId(original.MsgId)) {
          message.Headers.Set("In-Reply-To", *id);
          std::string references = ComposeLine(original.References);
          if (references.empty()) {
            references = *id;
          } else if (references.find(*id) == std::string::npos) {
            references += " " + *id;
          }
          message.References = CutText(references, 900);
        }
      } catch (const std::exception&) {
        // The reply is sent all the same, without threading.
      }
    }
  }

  const SanitisedHtml html{SanitiseComposedHtml(compose.Body)};
  if (!with_files) {
    message.ContentType = "text/html";
    message.CharSet = "utf-8";
    message.Body = TextLines(html.html);
  } else {
    message.ContentType = "multipart/related";
    TIdText& plain = message.MessageParts.AddText("text/plain");
    plain.CharSet = "utf-8";
    plain.Body = TextLines(HtmlToPlainText(html.html));
    TIdText& rich = message.MessageParts.AddText("text/html");
    rich.CharSet = "utf-8";
    rich.Body = TextLines(html.html);
    for (std::size_t k = 0; k < files.size(); ++k) {
      TIdAttachment& part = message.MessageParts.AddAttachmentFromFile(
          files[k], compose.Attachments[k].file_name, message.MaxMessageSize());
      part.ContentDisposition = "inline";
    }
  }

  TEmailRecord record;
  record.Subject = CutText(compose.Subject, kRecordText);
  record.Sender = CutText(state.User.EmailAddress, kRecordText);
  record.Recipient = compose.To.empty() ? "None" : CutText(compose.To, kRecordText);
  record.DateText.clear();
  record.HasAttachment = with_files;
  record.Status = email_status::kOutbox;
  const ShownMessage queued = StoreMessage(state, message, record);

  if (state.User.AutoAddContacts) AddRecipientContacts(state, message.Recipients);
  MarkSource(state);
  ResetCompose(compose, store);
  plain_text_.clear();
  plain_html_.clear();
  TellQueued(session, state, queued);
  session.SwitchToPage("IWMain", app.Pages().Main);
}

ShownMessage TIWNewEmail::StoreMessage(TUserSession& state, const TIdMessage& message,
                                       TEmailRecord record) {
  const fs::path store = state.User.UserDir;
  const UniqueFile file = CreateUniqueFile(store, ".eml");
  ShownMessage queued;
  try {
    message.SaveToFile(file.path);
    record.FileName = file.base_name + ".eml";
    if (!state.OpenEmailDB()) throw std::runtime_error("The message index cannot be opened.");
    TUserEmailDB& index = *state.EmailDB;
    try {
      index.ChangeUnderLock([&] {
        index.AddEmail(record);
        queued = {index.GetCount(), record.FileName};
      });
    } catch (...) {
      state.EmailDB.reset();  // the next page reads the file again
      throw;
    }
  } catch (...) {
    std::error_code ignored;
    fs::remove(file.path, ignored);
    throw;
  }
  IndexStoredMessage(store, record.FileName);  // never fails the save
  return queued;
}

void TIWNewEmail::AddRecipientContacts(TUserSession& state, const TIdEmailAddressList& to) {
  if (to.Empty() || !state.OpenContactsDB()) return;
  TContactsDB& contacts = *state.ContactsDB;
  bool added = false;
  for (const TIdEmailAddressItem& item : to) {
    bool known = false;
    for (int i = 1; i <= contacts.GetCount() && !known; ++i) {
      TContactRecord contact;
      known = contacts.GetContact(i, contact) && contact.Active == 1 &&
              EqualsIgnoringAsciiCase(contact.ContactEmail, item.Address);
    }
    if (!known && contacts.AddContact(item.Address, item.Address)) added = true;
  }
  if (added) contacts.Save(state.User.UserDir);
}

void TIWNewEmail::MarkSource(TUserSession& state) {
  const ComposeState& compose = state.Compose;
  if (compose.ReplySource == -1 || (!compose.Reply && !compose.Forward)) return;
  const std::optional<ShownMessage> source = CurrentMessage(state, compose.ReplySource);
  if (!source) return;  // the source keeps its state; the message is stored all the same
  const bool forward = compose.Forward;
  MoveMessages(state, std::nullopt, std::span<const ShownMessage>(&*source, 1),
               [forward](std::int32_t status) -> std::int32_t {
                 if (status == 0 || status == 1) return forward ? 3 : 2;
                 if (status == 7 || status == 8) return forward ? 10 : 9;
                 return status;
               });
}

void TIWNewEmail::PrintClick() {
  TIWApplication& session = WebApplication();
  if (session.SessionEnding()) return;
  TUserSession& state = State();
  const ComposeState& compose = state.Compose;
  const SanitisedHtml html =
      SanitiseHtml(compose.Body, SanitiseOptions{.allow_remote = false, .own_frame = false});
  std::vector<std::string> lines =
      TextLines(ReadWholeFile(session.Controller().TemplateDir / "printmail.htm"));
  const std::string filled = FillPrintTemplate(
      lines, compose.To, state.User.EmailAddress, compose.Subject,
      "<div class=\"mail-html\">" + html.html + "</div>", &state.App().Language());
  const std::string file_name = "print" + RandomHex(16) + ".htm";
  fs::create_directories(session.CacheDirectory());
  WriteNewFile(session.CacheDirectory() / file_name, filled, 0600);
  const std::string url = session.CacheURL() + file_name;
  AddToInitProc("NewWindow(\"" + ScriptStringEscape(url) +
                "\",\"\",\"menubar=no,toolbar=no\");\r\n");
  IWPrintLink.Caption = "<a href=\"" + AttributeEscape(url) +
                        "\" target=\"_blank\" rel=\"noopener\">" +
                        HtmlEscape(state.App().Text(kMessageViewStrings, "OpenPrintCopy")) + "</a>";
  IWPrintLink.Visible = true;
}

void TIWNewEmail::QuickListClick(int row) {
  TIWApplication& session = WebApplication();
  if (session.SessionEnding()) return;
  TUserSession& state = State();
  if (state.Compose.ReadOnly) return;
  if (row < 0 || static_cast<std::size_t>(row) >= quick_rows_.size()) return;
  const auto& [name, address] = quick_rows_[static_cast<std::size_t>(row)];
  // The contact the row showed, found again by name and address: a save since may have
  // moved it to another position or removed it.
  int position = -1;
  TContactRecord contact;
  if (state.OpenContactsDB()) {
    for (int i = 1; i <= state.ContactsDB->GetCount() && position < 0; ++i) {
      if (state.ContactsDB->GetContact(i, contact) && contact.Active == 1 &&
          contact.ContactName == name && contact.ContactEmail == address) {
        position = i;
      }
    }
  }
  if (position < 0) {
    session.ShowUserMessage(state.App().Text(kHtmlDialogStrings, "ContactFindError"));
    return;
  }
  state.Compose.To = ComposeLine(contact.ContactEmail);
  ++contact.UseCount;
  if (state.ContactsDB->SetContact(position, contact)) state.ContactsDB->Save(state.User.UserDir);
}

// Resets the session's composition for a new opener; nullptr when the session has no
// signed-in user.
TUserSession* FreshComposition(TIWAppForm& from) {
  TIWApplication& session = from.WebApplication();
  TUserSession* state = SessionOf(session);
  if (session.SessionEnding() || state == nullptr || !state->LoggedIn) return nullptr;
  ResetCompose(state->Compose, state->User.UserDir);
  return state;
}

}  // namespace

std::string ComposeLine(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == '\r' || byte == '\n' || byte == '\t') {
      out += ' ';
    } else if (byte < 0x20 || byte == 0x7F) {
      continue;
    } else if (byte == 0xC2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      ++i;  // a C1 control character (U+0080 to U+009F)
    } else {
      out += text[i];
    }
  }
  return std::string(TrimBlanks(out));
}

std::string FreeAttachmentName(const fs::path& folder, std::string_view name) {
  std::error_code error;
  if (!fs::exists(folder / fs::path(std::string(name)), error)) return std::string(name);
  const std::string text(name);
  const std::size_t dot = text.rfind('.');
  const bool has_ext = dot != std::string::npos && dot > 0;
  const std::string stem = has_ext ? text.substr(0, dot) : text;
  const std::string ext = has_ext ? text.substr(dot) : std::string();
  for (int n = 2;; ++n) {
    std::string candidate = stem + "-" + std::to_string(n) + ext;
    if (!fs::exists(folder / candidate, error)) return candidate;
  }
}

void TRichTextMemo::SetValue(std::string_view value, const PostedForm& post) {
  TIWMemo::SetValue(value, post);
  PostedHtml = false;
  for (const auto& [name, field] : post.fields) {
    if (name == "KstBodyIsHtml") PostedHtml = field == "1";
  }
}

void AddEditorTexts(const TWebApp& app, TIWHTMLTag& tag) {
  static constexpr std::pair<const char*, const char*> kEditorTexts[] = {
      {"toolbar", "Editor.Toolbar"},
      {"area", "Editor.Area"},
      {"bold", "Editor.Bold"},
      {"italic", "Editor.Italic"},
      {"underline", "Editor.Underline"},
      {"bullets", "Editor.Bullets"},
      {"numbers", "Editor.Numbers"},
      {"quote", "Editor.Quote"},
      {"link", "Editor.Link"},
      {"clear", "Editor.Clear"},
      {"bulletsface", "Editor.BulletsFace"},
      {"numbersface", "Editor.NumbersFace"},
      {"quoteface", "Editor.QuoteFace"},
      {"linkface", "Editor.LinkFace"},
      {"clearface", "Editor.ClearFace"},
      {"linkprompt", "Editor.LinkPrompt"},
      {"linkrefused", "Editor.LinkRefused"},
  };
  for (const auto& [name, key] : kEditorTexts) {
    tag.SetAttribute(std::string("data-text-") + name, app.Text(kWritingStrings, key));
  }
}

std::string RichTextFlagHtml(bool html) {
  return std::string("<input type=\"hidden\" name=\"KstBodyIsHtml\" value=\"") +
         (html ? "1" : "0") + "\">";
}

TIWPageClass NewEmailPageClass() { return TIWNewEmail::PageClass(); }

void ShowComposePage(TIWAppForm& from) {
  TIWApplication& session = from.WebApplication();
  if (session.SessionEnding()) return;
  TIWAppForm* page = session.FindPage(kObjectName);
  if (page == nullptr) page = &session.CreatePage(NewEmailPageClass());
  session.ShowPage(page);
  if (&from != page) session.DiscardPage(&from);
}

void StartNewMessage(TIWAppForm& from, std::string_view to) {
  TUserSession* state = FreshComposition(from);
  if (state == nullptr) return;
  state->Compose.To = ComposeLine(to);
  if (state->User.AddSignature) {
    // The file may have been edited by hand since the signature page stored it clean.
    const fs::path signature = fs::path(state->User.UserDir) / kSignatureFile;
    std::error_code error;
    try {
      if (fs::is_regular_file(signature, error)) {
        if (const auto text = ReadFileIfExists(signature, kMaxSignatureBytes)) {
          state->Compose.Body = SanitiseComposedHtml(*text);
        }
      }
    } catch (const std::exception&) {
      // An unreadable or oversized file: the message starts without a signature.
    }
  }
  ShowComposePage(from);
}

std::string SanitiseComposedHtml(std::string_view html) {
  SanitiseOptions options;
  options.allow_remote = true;
  return SanitiseHtml(html, options).html;
}

void StartSuggestions(TIWAppForm& from) {
  TUserSession* state = FreshComposition(from);
  if (state == nullptr) return;
  state->Compose.To = kSuggestionsAddress;
  state->Compose.Subject = kSuggestionsSubject;
  state->Compose.ReadOnly = true;
  ShowComposePage(from);
}

void BindComposeOpeners(PageFurniture& furniture, TIWAppForm& page) {
  PageFurniture::OnClick(furniture.IWCreateEmail, [&page] { StartNewMessage(page); });
  PageFurniture::OnClick(furniture.IWSuggest, [&page] { StartSuggestions(page); });
  furniture.OnContactClick = [&page](const TContactRecord& contact) {
    StartNewMessage(page, contact.ContactEmail);
  };
}

}  // namespace kestrune
