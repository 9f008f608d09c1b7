// The mail folder pages. Each render reads the session's index again when another holder
// saved it, lists one page of the folder's rows (only those records are read; the counts
// look at statuses alone) and remembers which message each row showed. The toolbar's
// actions go through MoveMessages / PurgeMessages with exactly those messages, so a row
// whose record changed meanwhile is skipped and reported, never acted on blindly.
#include "web/pages/folder_pages.h"

#include <algorithm>
#include <array>
#include <memory>
#include <utility>

#include "mail/address_list.h"
#include "platform/ascii.h"
#include "platform/escape.h"
#include "settings/program_config.h"
#include "store/contacts_db.h"
#include "store/email_db.h"
#include "web/app/user_session.h"
#include "web/pages/compose_page.h"
#include "web/pages/page_texts.h"
#include "web/pages/view_page.h"
#include "web/toolkit/application.h"

namespace kestrune {

// What makes one folder page differ from the others.
struct FolderPageKind {
  MailFolder folder;
  const char* class_name;
  const char* object_name;
  const char* template_file;
  const char* own_entry;  // the navigation entry written as a label on this page
  bool TUserSession::*select_all;
  bool lists_recipient;  // To and Sent columns instead of From and Received
  bool can_save;
  bool can_undelete;
  bool delete_purges;  // the Deleted page's Delete removes messages for good
};

namespace {

namespace st = email_status;

constexpr std::array<FolderPageKind, 5> kFolderPages = {{
    {MailFolder::kInbox, "TIWInbox", "IWInbox", "inbox.htm", "IWInboxLink",
     &TUserSession::InboxSelectAll, false, true, false, false},
    {MailFolder::kOutbox, "TIWOutbox", "IWOutbox", "outbox.htm", "IWOutboxLink",
     &TUserSession::OutboxSelectAll, true, false, false, false},
    {MailFolder::kSent, "TIWSent", "IWSent", "sent.htm", "IWSentLink", &TUserSession::SentSelectAll,
     true, false, false, false},
    {MailFolder::kSaved, "TIWSaved", "IWSaved", "saved.htm", "IWSavedLink",
     &TUserSession::SavedSelectAll, false, false, false, false},
    {MailFolder::kDeleted, "TIWDeleted", "IWDeleted", "deleted.htm", "IWDelLink",
     &TUserSession::DeletedSelectAll, false, true, true, true},
}};

constexpr int kColumns = 5;
constexpr int kIconColumn = 0;
constexpr int kCheckColumn = 1;
constexpr int kAddressColumn = 2;
constexpr int kSubjectColumn = 3;
constexpr int kDateColumn = 4;

// Shown in the link cell when the record has no address, so the message can still be
// opened (a blank cell is written without its link).
constexpr const char* kNoAddress = "(unknown)";

// The link-colour block every mail page carries in its head.
const std::vector<std::string> kLinkStyle = {
    "<style type=\"text/css\">",
    "<!--",
    "A:link {text-decoration: none}",
    "A:visited {text-decoration: none}",
    "A:active {text-decoration: none}",
    "A:hover {text-decoration: underline}",
    "A:link {color: #000000; }",
    "A:active {color: #000000; }",
    "A:visited {color: #000000; }",
    "A:hover {color: #0000FF; }",
    "-->",
    "</style>",
};

struct StateIcon {
  const char* image;
  const char* alt_key;  // of the feedback section
};

// The image of a message's state and its text for readers that cannot see it.
StateIcon StateIconOf(std::int32_t status) {
  switch (status) {
    case st::kInboxUnread:
    case st::kSavedUnread:
      return {"ue.gif", "MessageState.Unread"};
    case st::kInboxReplied:
    case st::kSavedReplied:
      return {"rpe.gif", "MessageState.Replied"};
    case st::kInboxForwarded:
    case st::kSavedForwarded:
      return {"rpe.gif", "MessageState.Forwarded"};
    case st::kDeleted:
      return {"re.gif", "MessageState.Deleted"};
    case st::kOutbox:
      return {"re.gif", "MessageState.Waiting"};
    case st::kSent:
      return {"re.gif", "MessageState.Sent"};
    default:
      return {"re.gif", "MessageState.Read"};
  }
}

std::string IconImage(const TWebApp& app, const char* image, const char* alt_key) {
  return std::string("<img border=\"0\" src=\"/Files/") + image +
         "\" width=\"16\" height=\"16\" alt=\"" +
         AttributeEscape(app.Text(kFeedbackStrings, alt_key)) + "\">";
}

bool IsUnread(std::int32_t status) {
  return status == st::kInboxUnread || status == st::kSavedUnread;
}

std::int32_t ToDeleted(std::int32_t) { return st::kDeleted; }
std::int32_t ToInboxRead(std::int32_t) { return st::kInboxRead; }

void SetHint(TIWImageFile& image, const TWebApp& app, const char* key) {
  image.Hint = app.Text(kGlobalStrings, key);
  image.StatusText = image.Hint;
  image.AltText = image.Hint;
}

}  // namespace

std::string StatusIconHtml(const TWebApp& app, const TEmailRecord& record) {
  std::string html = "<div valign=\"middle\">";
  if (record.HasAttachment) html += IconImage(app, "atm.gif", "MessageState.Attachment");
  const StateIcon icon = StateIconOf(record.Status);
  html += IconImage(app, icon.image, icon.alt_key);
  return html + "</div>";
}

TIWFolderPage::TIWFolderPage(TIWApplication& session, std::string name, std::string class_name,
                             const FolderPageKind& kind)
    : TIWAppForm(session, std::move(name), std::move(class_name)),
      Furniture(*this, kind.own_entry),
      IWUserName(AddControl<TIWLabel>("IWUserName")),
      Grid(AddControl<TIWGrid>(kind.object_name)),
      IWNoMsgs(AddControl<TIWLabel>("IWNoMsgs")),
      IWDelete(PageFurniture::ToolImage(*this, "IWDelete", "delete")),
      IWOlder(AddControl<TIWLink>("IWOlder")),
      IWNewer(AddControl<TIWLink>("IWNewer")),
      IWPageInfo(AddControl<TIWLabel>("IWPageInfo")),
      IWSortOrder(AddControl<TIWLink>("IWSortOrder")),
      IWPageSizeLabel(AddControl<TIWLabel>("IWPageSizeLabel")),
      IWPageSize(AddControl<TIWComboBox>("IWPageSize")),
      Feedback(*this, Furniture.IWStatus),
      kind_(kind) {
  TemplateProcessor.Templates.Default = kind.template_file;
  ExtraHeader = kLinkStyle;
  OnCreate = [this](TIWAppForm&) { SelectAll() = false; };
  OnRender = [this](TIWAppForm&) { Render(); };

  Grid.SetColumnCount(kColumns);
  Grid.OnRenderCell = [this](TIWGridCell& cell, int row, int column) {
    StyleCell(cell, row, column);
  };
  Grid.OnCellClick = [this](TIWGrid&, int row, int) { OpenMessage(row); };
  Grid.OnHTMLTag = [this](TIWBaseControl&, TIWHTMLTag& tag) {
    if (WebApplication().SessionEnding()) return;
    tag.SetAttribute("width", "100%");
    tag.SetAttribute("style", "width:100%;z-index:100;font: 13px;");
  };

  if (kind.can_save) {
    IWSave = &PageFurniture::ToolImage(*this, "IWSave", "save");
    IWSave->OnClick = [this](TIWBaseControl&) {
      MoveCheckedTo(SavedStatus, MailFolder::kSaved, "SaveLocateError");
    };
  }
  if (kind.can_undelete) {
    IWUnDelete = &PageFurniture::ToolImage(*this, "IWUnDelete", "undelete");
    IWUnDelete->OnClick = [this](TIWBaseControl&) {
      MoveCheckedTo(ToInboxRead, MailFolder::kInbox, "RestoreLocateError");
    };
  }
  IWDelete.OnClick = [this](TIWBaseControl&) { DeleteClick(); };
  if (kind.delete_purges) {
    IWPurgeQuestion = &AddControl<TIWLabel>("IWPurgeQuestion");
    IWConfirmPurge = &AddControl<TIWButton>("IWConfirmPurge");
    IWCancelPurge = &AddControl<TIWButton>("IWCancelPurge");
    IWConfirmPurge->OnClick = [this](TIWBaseControl&) { ConfirmPurgeClick(); };
    // Keeping them needs nothing: the next render forgets the question.
    IWCancelPurge->OnClick = [](TIWBaseControl&) {};
  }
  PageFurniture::OnClick(IWSortOrder, [this] { SortOrderClick(); });
  IWPageSize.OnChange = [this](TIWBaseControl&) { PageSizeChange(); };

  // The next render fits the step to the folder as it is then.
  PageFurniture::OnClick(IWOlder, [this] { TurnPage(+1); });
  PageFurniture::OnClick(IWNewer, [this] { TurnPage(-1); });

  // Every way off the page turns its select-all flag off first.
  // Every way off the page turns its select-all flag off first.
  Furniture.OnLeave = [this] { SelectAll() = false; };
  // The compose openers start a message of their own; the flag goes off first here too.
  PageFurniture::OnClick(Furniture.IWCreateEmail, [this] {
    if (WebApplication().SessionEnding()) return;
    SelectAll() = false;
    StartNewMessage(*this);
  });
  PageFurniture::OnClick(Furniture.IWSuggest, [this] {
    if (WebApplication().SessionEnding()) return;
    SelectAll() = false;
    StartSuggestions(*this);
  });
  Furniture.OnContactClick = [this](const TContactRecord& contact) {
    SelectAll() = false;
    StartNewMessage(*this, contact.ContactEmail);
  };
  for (TIWImageFile* quit : {&Furniture.IWLogout, &Furniture.IWClose}) {
    quit->OnClick = [this, end = quit->OnClick](TIWBaseControl& sender) {
      if (!WebApplication().SessionEnding()) SelectAll() = false;
      if (end) end(sender);
    };
  }
}

MailFolder TIWFolderPage::Folder() const { return kind_.folder; }

bool& TIWFolderPage::SelectAll() const { return SessionOf(WebApplication())->*kind_.select_all; }

void TIWFolderPage::Render() {
  TIWApplication& session = WebApplication();
  TUserSession* state = SessionOf(session);
  if (session.SessionEnding() || state == nullptr || !state->LoggedIn) return;
  const TWebApp& app = state->App();
  // Texts, counters, contacts and clock; this also reloads the session's index when
  // another holder saved it since it was read.
  Furniture.Render(*state);
  IWUserName.Caption = state->LoginName;
  SetHint(IWDelete, app, "IWDelete.StatusText");
  if (IWSave) SetHint(*IWSave, app, "IWSave.StatusText");
  if (IWUnDelete) SetHint(*IWUnDelete, app, "IWUndelete.StatusText");
  IWNoMsgs.Caption = app.Text(kGlobalStrings, "IWNoMsgs.Caption");
  RefreshGrid(*state);
  IWSortOrder.Caption =
      app.Text(kFeedbackStrings, state->Preferences().NewestFirst ? "IWSortOrder.OldestFirst"
                                                                  : "IWSortOrder.NewestFirst");
  IWSortOrder.Hint = app.Text(kFeedbackStrings, "IWSortOrder.StatusText");
  IWPageSizeLabel.Caption = app.Text(kFeedbackStrings, "IWPageSize.Caption");
  SetTexts(app, kFeedbackStrings, IWOlder);
  SetTexts(app, kFeedbackStrings, IWNewer);
  FillPageSizes(*state);
  if (IWPurgeQuestion != nullptr) ShowPurgeQuestion(app);
  Feedback.Render(*state);
}

int TIWFolderPage::PageSize(TUserSession& state) const {
  return std::max(0, state.Preferences().PageSize.value_or(state.App().Config().FolderPageSize));
}

void TIWFolderPage::RefreshGrid(TUserSession& state) {
  Grid.SetRowCount(0);  // the check boxes of the last render go with their cells
  shown_.clear();
  Grid.SetRowCount(1);
  FillHeader(state);

  const TUserEmailDB* index =
      state.EmailDB && state.EmailDB->IsOpen() ? state.EmailDB.get() : nullptr;
  const int total = index ? FolderCount(*index, kind_.folder) : 0;
  IWNoMsgs.Visible = total <= 0;
  const int page_size = PageSize(state);
  if (page_size == 0 || total <= 0) {
    newer_skipped_ = 0;
  } else {
    // Whole pages counted from the newest message; past the oldest page, the oldest.
    newer_skipped_ = std::min(newer_skipped_ / page_size, (total - 1) / page_size) * page_size;
  }
  if (total <= 0) {
    ShowPageInfo(0, 0, 0);
    return;
  }

  // The index numbers of the page's messages, found from the newest end by their
  // statuses alone; only these records are read.
  const int wanted = page_size == 0 ? total : page_size;
  std::vector<int> numbers;
  int seen = 0;
  for (int n = index->GetCount(); n >= 1 && static_cast<int>(numbers.size()) < wanted; --n) {
    const std::optional<std::int32_t> status = index->GetStatus(n);
    if (!status || !InFolder(kind_.folder, *status)) continue;
    if (++seen > newer_skipped_) numbers.push_back(n);
  }
  // Index order within the page, unless the user asked for the newest first. Either way
  // shown_ keeps the index number of every row, so actions reach the messages shown.
  if (!state.Preferences().NewestFirst) std::reverse(numbers.begin(), numbers.end());

  Grid.SetRowCount(static_cast<int>(numbers.size()) + 1);
  int row = 1;
  for (int n : numbers) {
    TEmailRecord record;
    if (!index->GetEmail(n, record)) continue;
    FillRow(row++, n, record);
  }
  Grid.SetRowCount(row);
  const int last = total - newer_skipped_;
  ShowPageInfo(total, last - static_cast<int>(shown_.size()) + 1, last);
}

void TIWFolderPage::FillHeader(const TUserSession& state) {
  const TWebApp& app = state.App();
  TIWGridCell& icons = Grid.Cell(0, kIconColumn);
  icons.Text.clear();
  icons.Width = "45";
  auto& select_all =
      Grid.Cell(0, kCheckColumn).SetControl(std::make_unique<TIWCheckBox>("IWSelectAll"));
  select_all.Caption = app.Text(kGlobalStrings, "SelectAll");
  select_all.Tag = -1;
  select_all.Checked = SelectAll();
  select_all.OnClick = [this](TIWBaseControl&) { SelectAllClick(); };
  Grid.Cell(0, kAddressColumn).Text =
      app.Text(kGlobalStrings, kind_.lists_recipient ? "ToEmailHeading" : "FromEmailHeading");
  TIWGridCell& subject = Grid.Cell(0, kSubjectColumn);
  subject.Text = app.Text(kGlobalStrings, "SubjectEmailHeading");
  subject.Wrap = true;
  Grid.Cell(0, kDateColumn).Text =
      app.Text(kGlobalStrings, kind_.lists_recipient ? "SentEmailHeading" : "ReceivedEmailHeading");
}

void TIWFolderPage::FillRow(int row, int index_number, const TEmailRecord& record) {
  shown_.push_back({{index_number, record.FileName}, record.Status});
  TIWGridCell& icon = Grid.Cell(row, kIconColumn);
  icon.Text = StatusIconHtml(SessionOf(WebApplication())->App(), record);
  icon.RawText = true;

  // Everything else comes from the message and is written as data.
  auto& check = Grid.Cell(row, kCheckColumn).SetControl(std::make_unique<TIWCheckBox>(""));
  check.Tag = index_number;
  // Rows the purge question asks about stay ticked while it is asked.
  check.Checked =
      SelectAll() || (ask_purge_ && std::any_of(purge_asked_.begin(), purge_asked_.end(),
                                                [&](const ShownMessage& asked) {
                                                  return asked.index == index_number;
                                                }));
  const std::string& address = kind_.lists_recipient ? record.Recipient : record.Sender;
  check.ExtraTagParams.push_back("aria-label=" +
                                 (record.Subject.empty() ? address : record.Subject));

  // The names read best; the addresses are the tooltip. Subject and address both open it.
  TIWGridCell& link = Grid.Cell(row, kAddressColumn);
  const std::string names = AddressNames(address);
  link.Text = TrimBlanks(names).empty() ? kNoAddress : names;
  link.Title = address;
  link.Clickable = true;
  TIWGridCell& subject = Grid.Cell(row, kSubjectColumn);
  subject.Text = record.Subject;
  subject.Wrap = true;
  subject.Clickable = true;
  Grid.Cell(row, kDateColumn).Text = record.DateText;
}

void TIWFolderPage::StyleCell(TIWGridCell& cell, int row, int column) const {
  cell.Alignment = TIWGridAlignment::taCenter;
  const bool unread = row >= 1 && row <= static_cast<int>(shown_.size()) &&
                      IsUnread(shown_[static_cast<std::size_t>(row - 1)].status);
  cell.BGColor = row == 0 ? TIWColor::FromRGB(0xEC, 0xE9, 0xD8) : TIWColor::None();
  cell.Font.Bold = row == 0 || column == kCheckColumn || unread;
}

void TIWFolderPage::ShowPageInfo(int total, int first, int last) {
  const int page_size = PageSize(*SessionOf(WebApplication()));
  const bool paged = page_size > 0 && total > page_size;
  IWOlder.Visible = IWNewer.Visible = IWPageInfo.Visible = paged;
  if (!paged) return;
  IWOlder.Enabled = first > 1;
  IWNewer.Enabled = newer_skipped_ > 0;
  IWPageInfo.Caption =
      std::to_string(first) + "-" + std::to_string(last) + " of " + std::to_string(total);
}

void TIWFolderPage::TurnPage(int direction) {
  TUserSession* state = SessionOf(WebApplication());
  if (WebApplication().SessionEnding() || state == nullptr) return;
  SelectAll() = false;  // the checks were for the rows of the page left
  const int page_size = PageSize(*state);
  newer_skipped_ = std::max(0, newer_skipped_ + direction * page_size);
}

void TIWFolderPage::OpenMessage(int row) {
  if (WebApplication().SessionEnding()) return;
  if (row < 1 || row > static_cast<int>(shown_.size())) return;
  ShowMessageInViewPage(*this, shown_[static_cast<std::size_t>(row - 1)].message);
}

void TIWFolderPage::SelectAllClick() { SelectAll() = !SelectAll(); }

std::vector<ShownMessage> TIWFolderPage::CheckedMessages() {
  std::vector<ShownMessage> checked;
  for (int row = 1; row < Grid.RowCount() && row <= static_cast<int>(shown_.size()); ++row) {
    if (!Grid.CellExists(row, kCheckColumn)) continue;
    const auto* box = dynamic_cast<const TIWCheckBox*>(Grid.Cell(row, kCheckColumn).Control());
    if (box != nullptr && box->Checked) {
      checked.push_back(shown_[static_cast<std::size_t>(row - 1)].message);
    }
  }
  return checked;
}

void TIWFolderPage::FinishAction(const std::vector<int>& skipped, const char* error_key) {
  TIWApplication& session = WebApplication();
  const TWebApp& app = SessionOf(session)->App();
  for (int n : skipped) {
    session.ShowUserMessage(app.Text(kHtmlDialogStrings, error_key) + std::to_string(n));
  }
  SelectAll() = false;
}

void TIWFolderPage::MoveCheckedTo(std::int32_t (*new_status)(std::int32_t), MailFolder to,
                                  const char* error_key) {
  TUserSession& state = *SessionOf(WebApplication());
  const std::vector<ShownMessage> checked = CheckedMessages();
  if (checked.empty()) {
    TellUser(state, FeedbackText(state.App(), "NothingTicked", {}));
    FinishAction({}, error_key);
    return;
  }
  std::vector<MovedMessage> moved;
  const std::vector<int> skipped = MoveMessages(state, kind_.folder, checked, new_status, &moved);
  TellMoved(state, kind_.folder, to, std::move(moved));
  FinishAction(skipped, error_key);
}

void TIWFolderPage::DeleteClick() {
  if (!kind_.delete_purges) {
    MoveCheckedTo(ToDeleted, MailFolder::kDeleted, "DeleteLocateError");
    return;
  }
  // Nothing is destroyed here: the page asks first, about exactly these messages.
  TUserSession& state = *SessionOf(WebApplication());
  purge_asked_ = CheckedMessages();
  if (purge_asked_.empty()) {
    TellUser(state, FeedbackText(state.App(), "NothingTicked", {}));
    FinishAction({}, "DeleteLocateError");
    return;
  }
  ask_purge_ = true;
}

void TIWFolderPage::ShowPurgeQuestion(const TWebApp& app) {
  if (!ask_purge_) purge_asked_.clear();
  ask_purge_ = false;
  const bool asking = !purge_asked_.empty();
  IWPurgeQuestion->Visible = IWConfirmPurge->Visible = IWCancelPurge->Visible = asking;
  if (!asking) return;
  IWPurgeQuestion->RawText = true;  // escaped here so that the question wraps
  IWPurgeQuestion->Caption =
      HtmlEscape(CountText(app, "ConfirmPurge", static_cast<int>(purge_asked_.size())));
  IWConfirmPurge->Caption = app.Text(kFeedbackStrings, "IWConfirmPurge.Caption");
  IWCancelPurge->Caption = app.Text(kFeedbackStrings, "IWCancelPurge.Caption");
}

void TIWFolderPage::ConfirmPurgeClick() {
  TIWApplication& session = WebApplication();
  if (session.SessionEnding()) return;
  TUserSession& state = *SessionOf(session);
  const std::vector<ShownMessage> asked = std::move(purge_asked_);
  purge_asked_.clear();
  if (asked.empty()) return;
  const std::vector<int> skipped = PurgeMessages(state, asked);
  TellUser(state,
           CountText(state.App(), "Purged", static_cast<int>(asked.size() - skipped.size())));
  FinishAction(skipped, "DeleteLocateError");
}

void TIWFolderPage::SortOrderClick() {
  TUserSession* state = SessionOf(WebApplication());
  if (WebApplication().SessionEnding() || state == nullptr || !state->LoggedIn) return;
  UserPreferences preferences = state->Preferences();
  preferences.NewestFirst = !preferences.NewestFirst;
  state->SavePreferences(preferences);
  SelectAll() = false;  // the ticks were for rows in the other order
  newer_skipped_ = 0;
}

void TIWFolderPage::FillPageSizes(TUserSession& state) {
  // The usual sizes, and the one in force when it is another (the server's setting).
  std::vector<int> sizes = {25, 50, 100, 200, 500};
  const int current = PageSize(state);
  if (current > 0 && std::find(sizes.begin(), sizes.end(), current) == sizes.end()) {
    sizes.insert(std::upper_bound(sizes.begin(), sizes.end(), current), current);
  }
  IWPageSize.Items.clear();
  for (int size : sizes) IWPageSize.Items.push_back(std::to_string(size));
  const auto at = std::find(sizes.begin(), sizes.end(), current);
  IWPageSize.SetItemIndex(at == sizes.end() ? -1 : static_cast<int>(at - sizes.begin()));
  IWPageSize.RequireSelection = at != sizes.end();
}

void TIWFolderPage::PageSizeChange() {
  TUserSession* state = SessionOf(WebApplication());
  if (WebApplication().SessionEnding() || state == nullptr || !state->LoggedIn) return;
  // Only an item the page offered is taken (the toolkit turns anything else into -1).
  const int index = IWPageSize.ItemIndex();
  if (index < 0 || index >= static_cast<int>(IWPageSize.Items.size())) return;
  UserPreferences preferences = state->Preferences();
  preferences.PageSize = std::stoi(IWPageSize.Items[static_cast<std::size_t>(index)]);
  state->SavePreferences(preferences);
  SelectAll() = false;
  newer_skipped_ = 0;
}

std::string AddressNames(std::string_view text) {
  TIdEmailAddressList list;
  list.SetText(text);
  std::string names;
  for (const TIdEmailAddressItem& item : list) {
    const std::string& shown = item.Name.empty() ? item.Address : item.Name;
    if (shown.empty()) continue;
    if (!names.empty()) names += ", ";
    names += shown;
  }
  return names.empty() ? std::string(text) : names;
}

std::vector<TIWPageClass> FolderPageClasses() {
  std::vector<TIWPageClass> classes;
  for (const FolderPageKind& kind : kFolderPages) {
    TIWPageClass page_class;
    page_class.ClassName = kind.class_name;
    page_class.ObjectName = kind.object_name;
    page_class.Factory = [&kind](TIWApplication& session) -> std::unique_ptr<TIWAppForm> {
      return std::make_unique<TIWFolderPage>(session, kind.object_name, kind.class_name, kind);
    };
    classes.push_back(std::move(page_class));
  }
  return classes;
}

}  // namespace kestrune
