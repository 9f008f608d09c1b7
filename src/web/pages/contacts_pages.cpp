// The contacts page and the recipient picker. Their rows are rebuilt from the session's
// copy of Contacts.Dat at every render (read again when another holder saved it); the
// changes run under the file's lock on its current version and act on the contact the
// row showed, found again by name and address.
#include "web/pages/contacts_pages.h"

#include <memory>
#include <utility>

#include "mail/address_list.h"
#include "platform/ascii.h"
#include "platform/escape.h"
#include "store/contacts_db.h"
#include "store/data_file.h"
#include "web/app/compose_state.h"
#include "web/app/user_session.h"
#include "web/pages/compose_page.h"
#include "web/pages/page_texts.h"
#include "web/toolkit/application.h"

namespace kestrune {
namespace {

constexpr const char* kUserIcon =
    "<div align=\"center\"><img border=\"0\" src=\"/Files/user.gif\" width=\"16\" "
    "height=\"16\" alt=\"\"></div>";

// Edit list columns.
constexpr int kListColumns = 4;
constexpr int kListCheck = 1;
constexpr int kListName = 2;
constexpr int kListAddress = 3;
// Picker columns: To, Cc, Bcc boxes, then name and address.
constexpr int kPickColumns = 6;
constexpr int kPickTo = 1;

// The session's contacts as the file holds them now; nullptr when they cannot be read.
TContactsDB* CurrentContacts(TUserSession& state) {
  if (!state.OpenContactsDB()) return nullptr;
  const FileStamp now = StampOf(std::filesystem::path(state.User.UserDir) / TContactsDB::kFileName);
  if (now != state.ContactsDB->FileVersion()) {
    // Every change of these pages is saved at once, so a copy behind the file holds
    // nothing of its own and is read again.
    auto fresh = std::make_unique<TContactsDB>();
    try {
      if (fresh->Open(state.User.UserDir)) state.ContactsDB = std::move(fresh);
    } catch (const std::exception&) {
      // unreadable now: the copy read before stays
    }
  }
  return state.ContactsDB.get();
}

std::vector<ShownContact> ActiveContacts(const TContactsDB* contacts) {
  std::vector<ShownContact> active;
  if (contacts == nullptr) return active;
  for (int i = 1; i <= contacts->GetCount(); ++i) {
    TContactRecord contact;
    if (contacts->GetContact(i, contact)) {
      active.push_back({i, std::move(contact.ContactName), std::move(contact.ContactEmail)});
    }
  }
  return active;
}

void StyleCell(TIWGridCell& cell, int row) {
  cell.Alignment = TIWGridAlignment::taCenter;
  cell.BGColor = row == 0 ? TIWColor::FromRGB(0xEC, 0xE9, 0xD8) : TIWColor::None();
  cell.Font.Bold = row == 0;
}

void GridTag(TIWBaseControl&, TIWHTMLTag& tag) {
  tag.SetAttribute("width", "100%");
  tag.SetAttribute("style", "width:100%;z-index:100;font: 13px;");
}

TIWCheckBox& RowBox(TIWGrid& grid, int row, int column, int position, const std::string& hint,
                    const std::string& label) {
  auto& box = grid.Cell(row, column).SetControl(std::make_unique<TIWCheckBox>(""));
  box.Tag = position;
  box.StatusText = hint;
  box.Hint = hint;
  box.ExtraTagParams.push_back("aria-label=" + label);
  return box;
}

bool BoxChecked(TIWGrid& grid, int row, int column) {
  if (!grid.CellExists(row, column)) return false;
  const auto* box = dynamic_cast<const TIWCheckBox*>(grid.Cell(row, column).Control());
  return box != nullptr && box->Checked;
}

// The toolbar and navigation of both pages: the furniture's own, and the compose openers
// bound here.
void BindNavigation(TIWAppForm& page, PageFurniture& furniture) {
  BindComposeOpeners(furniture, page);
}

std::string JoinAddresses(const std::vector<std::string>& addresses) {
  std::string list;
  for (const std::string& address : addresses) {
    if (!list.empty()) list += "; ";
    list += address;
  }
  return list;
}

}  // namespace

int LocateContact(const TContactsDB& contacts, const ShownContact& shown) {
  const auto same = [&](int index) {
    TContactRecord contact;
    return contacts.GetContact(index, contact) && contact.ContactName == shown.name &&
           contact.ContactEmail == shown.address;
  };
  if (shown.position >= 1 && same(shown.position)) return shown.position;
  for (int i = 1; i <= contacts.GetCount(); ++i) {
    if (same(i)) return i;
  }
  return -1;
}

bool IsStorableContactText(std::string_view text) {
  if (text.size() > TContactRecord::kTextCapacity) return false;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == ',' || c == ';') return false;
  }
  return true;
}

// ---------------------------------------------------------------- contacts page

TIWPageClass EditContactsPageClass() { return TIWEditContacts::PageClass(); }

TIWPageClass TIWEditContacts::PageClass() {
  return PageClassOf<TIWEditContacts>("TIWEditContacts", "IWEditContacts");
}

TIWEditContacts::TIWEditContacts(TIWApplication& session, std::string name, std::string class_name)
    : TIWAppForm(session, std::move(name), std::move(class_name)),
      IWUserName(AddControl<TIWLabel>("IWUserName")),
      IWContactsList(AddControl<TIWGrid>("IWContactsList")),
      IWNoContactsList(AddControl<TIWLabel>("IWNoContactsList")),
      IWContactName(AddControl<TIWEdit>("IWContactName")),
      IWContactAddress(AddControl<TIWEdit>("IWContactAddress")),
      IWContactMeth(AddControl<TIWButton>("IWContactMeth")),
      IWEdit(AddControl<TIWButton>("IWEdit")),
      IWDelete(AddControl<TIWButton>("IWDelete")),
      IWSendEmail(AddControl<TIWButton>("IWSendEmail")),
      IWAddContact(PageFurniture::ToolImage(*this, "IWAddContact", "addcon")),
      IWDelContact(PageFurniture::ToolImage(*this, "IWDelContact", "delcon")),
      IWCancel(AddControl<TIWButton>("IWCancel")),
      Furniture(*this, "IWContactsLink") {
  TemplateProcessor.Templates.Default = "editcontacts.htm";
  OnRender = [this](TIWAppForm&) { Render(); };
  IWContactsList.SetColumnCount(kListColumns);
  IWContactsList.OnHTMLTag = GridTag;
  IWContactsList.OnRenderCell = [](TIWGridCell& cell, int row, int) { StyleCell(cell, row); };
  IWContactsList.OnCellClick = [this](TIWGrid&, int row, int) { CellClick(row); };
  Furniture.IWContactsLink.Enabled = false;  // the page's own entry, written as a label
  BindNavigation(*this, Furniture);

  IWContactMeth.OnClick = [this](TIWBaseControl&) { ContactMethClick(); };
  IWEdit.OnClick = [this](TIWBaseControl&) { EditClick(); };
  IWDelete.OnClick = [this](TIWBaseControl&) { DeleteClick(); };
  IWDelContact.OnClick = [this](TIWBaseControl&) { DeleteClick(); };
  IWAddContact.OnClick = [this](TIWBaseControl&) { AddContactClick(); };
  IWSendEmail.OnClick = [this](TIWBaseControl&) { SendEmailClick(); };
  IWCancel.OnClick = [this](TIWBaseControl&) { Furniture.Navigate("IWMain"); };
}

void TIWEditContacts::Render() {
  TIWApplication& session = WebApplication();
  TUserSession* state = SessionOf(session);
  if (session.SessionEnding() || state == nullptr || !state->LoggedIn) return;
  const TWebApp& app = state->App();
  for (TIWControl* control :
       std::initializer_list<TIWControl*>{&IWNoContactsList, &IWContactName, &IWContactAddress,
                                          &IWEdit, &IWDelete, &IWAddContact, &IWDelContact}) {
    SetTexts(app, kEditContactsStrings, *control);
  }
  IWSendEmail.Caption = app.Text(kEditContactsStrings, "IWSendMail.Caption");
  IWSendEmail.Hint = IWSendEmail.StatusText =
      app.Text(kEditContactsStrings, "IWSendMail.StatusText");
  const std::string mode = update_mode_ ? "IWContactMeth.Update" : "IWContactMeth.Add";
  IWContactMeth.Caption = app.Text(kEditContactsStrings, mode + ".Caption");
  IWContactMeth.Hint = IWContactMeth.StatusText =
      app.Text(kEditContactsStrings, mode + ".StatusText");
  SetTexts(app, kGlobalStrings, IWCancel);
  for (TIWImageFile* image : {&IWAddContact, &IWDelContact}) image->AltText = image->Hint;
  IWContactsList.Hint = app.Text(kEditContactsStrings, "ContactEditString");
  IWContactsList.StatusText = IWContactsList.Hint;
  IWContactName.ExtraTagParams = {"autocomplete=off"};
  IWContactAddress.ExtraTagParams = {"autocomplete=off", "inputmode=email"};
  FillList(*state);
  Furniture.Render(*state);
  IWUserName.Caption = state->LoginName;
}

void TIWEditContacts::FillList(TUserSession& state) {
  const TWebApp& app = state.App();
  shown_ = ActiveContacts(CurrentContacts(state));
  IWContactsList.SetRowCount(0);  // the boxes of the last render go with their cells
  IWContactsList.SetRowCount(static_cast<int>(shown_.size()) + 1);
  IWContactsList.Cell(0, 0).Width = "20";
  IWContactsList.Cell(0, kListCheck).Width = "25";
  IWContactsList.Cell(0, kListName).Text = app.Text(kEditContactsStrings, "ContactNameHeading");
  IWContactsList.Cell(0, kListAddress).Text =
      app.Text(kEditContactsStrings, "ContactEmailAddressHeading");
  const std::string& select_hint = app.Text(kEditContactsStrings, "ContactSelectString");
  for (std::size_t k = 0; k < shown_.size(); ++k) {
    const ShownContact& contact = shown_[k];
    const int row = static_cast<int>(k) + 1;
    TIWGridCell& icon = IWContactsList.Cell(row, 0);
    icon.Text = kUserIcon;
    icon.RawText = true;
    icon.Width = "20";
    RowBox(IWContactsList, row, kListCheck, contact.position, select_hint,
           contact.name.empty() ? contact.address : contact.name);
    // Names and addresses are data: the grid escapes them.
    TIWGridCell& name = IWContactsList.Cell(row, kListName);
    name.Text = contact.name;
    name.Clickable = true;
    TIWGridCell& address = IWContactsList.Cell(row, kListAddress);
    address.Text = contact.address;
    address.Clickable = true;
  }
  IWContactsList.Visible = !shown_.empty();
  IWNoContactsList.Visible = shown_.empty();
}

std::vector<ShownContact> TIWEditContacts::Checked() const {
  std::vector<ShownContact> checked;
  for (int row = 1; row < IWContactsList.RowCount() && row <= static_cast<int>(shown_.size());
       ++row) {
    if (BoxChecked(IWContactsList, row, kListCheck)) {
      checked.push_back(shown_[static_cast<std::size_t>(row - 1)]);
    }
  }
  return checked;
}

void TIWEditContacts::EditContact(const ShownContact& shown) {
  IWContactName.Text = shown.name;
  IWContactAddress.Text = shown.address;
  update_mode_ = true;
  edited_ = shown;
}

void TIWEditContacts::CellClick(int row) {
  TIWApplication& session = WebApplication();
  if (session.SessionEnding()) return;
  TUserSession& state = *SessionOf(session);
  if (row < 1 || row > static_cast<int>(shown_.size())) return;
  const ShownContact& shown = shown_[static_cast<std::size_t>(row - 1)];
  const TContactsDB* contacts = CurrentContacts(state);
  if (contacts == nullptr || LocateContact(*contacts, shown) < 0) {
    session.ShowUserMessage(state.App().Text(kHtmlDialogStrings, "ContactEditLocateError") +
                            std::to_string(shown.position));
    return;
  }
  EditContact(shown);
}

void TIWEditContacts::EditClick() {
  TIWApplication& session = WebApplication();
  if (session.SessionEnding()) return;
  TUserSession& state = *SessionOf(session);
  const TWebApp& app = state.App();
  const TContactsDB* contacts = CurrentContacts(state);
  int readable = 0;
  for (const ShownContact& shown : Checked()) {
    if (contacts == nullptr || LocateContact(*contacts, shown) < 0) {
      session.ShowUserMessage(app.Text(kHtmlDialogStrings, "ContactEditLocateError") +
                              std::to_string(shown.position));
      continue;
    }
    if (readable++ == 0) EditContact(shown);
  }
  if (readable > 1) session.ShowUserMessage(app.Text(kHtmlDialogStrings, "ContactMultiEditError"));
}

void TIWEditContacts::AddContactClick() {
  if (WebApplication().SessionEnding()) return;
  IWContactName.Text.clear();
  IWContactAddress.Text.clear();
  update_mode_ = false;
  SetActiveControl(IWContactName);
}

void TIWEditContacts::ContactMethClick() {
  TIWApplication& session = WebApplication();
  if (session.SessionEnding()) return;
  TUserSession& state = *SessionOf(session);
  const TWebApp& app = state.App();
  const std::string name(TrimBlanks(IWContactName.Text));
  const std::string address(TrimBlanks(IWContactAddress.Text));
  const auto refuse = [&](const char* key, const TIWEdit& focus) {
    session.ShowUserMessage(app.Text(kHtmlDialogStrings, key));
    SetActiveControl(focus);
  };
  if (name.empty() && address.empty())
    return refuse("ContactNoNameEmailAddressError", IWContactName);
  if (address.empty()) return refuse("ContactNoEmailAddressError", IWContactAddress);
  if (name.empty()) return refuse("ContactNoNameError", IWContactName);
  for (const TIWEdit* box : {&IWContactName, &IWContactAddress}) {
    if (!IsStorableContactText(box == &IWContactName ? name : address)) {
      session.ShowUserMessage(app.Text(kFeedbackStrings, "ContactTextError"));
      SetActiveControl(*box);
      return;
    }
  }
  TContactsDB* contacts = CurrentContacts(state);
  if (contacts == nullptr) return;

  const char* error = nullptr;
  if (!update_mode_) {
    // The check and the addition under one lock: no other holder adds the same between.
    contacts->ChangeUnderLock([&] {
      TContactRecord existing;
      if (contacts->FindContact(name, existing)) {
        error = "ContactNameExists";
      } else if (contacts->FindContact(address, existing)) {
        error = "ContactEmailAddressExists";
      } else {
        contacts->AddContact(name, address);
      }
    });
    if (error != nullptr) {
      return refuse(
          error, error == std::string_view("ContactNameExists") ? IWContactName : IWContactAddress);
    }
  } else {
    bool found = false;
    contacts->ChangeUnderLock([&] {
      const int index = LocateContact(*contacts, edited_);
      if (index < 0) return;
      TContactRecord contact;
      contacts->GetContact(index, contact);
      contact.ContactName = name;
      contact.ContactEmail = address;
      found = contacts->SetContact(index, contact);
    });
    if (!found) {
      session.ShowUserMessage(app.Text(kHtmlDialogStrings, "ContactSaveLocateError") +
                              std::to_string(edited_.position));
      return;
    }
    update_mode_ = false;
  }
  IWContactName.Text.clear();
  IWContactAddress.Text.clear();
}

void TIWEditContacts::DeleteClick() {
  TIWApplication& session = WebApplication();
  if (session.SessionEnding()) return;
  TUserSession& state = *SessionOf(session);
  const std::vector<ShownContact> checked = Checked();
  TContactsDB* contacts = CurrentContacts(state);
  if (checked.empty() || contacts == nullptr) return;
  std::vector<int> missing;
  // One save for all: it drops the deleted contacts.
  contacts->ChangeUnderLock([&] {
    missing.clear();
    for (const ShownContact& shown : checked) {
      const int index = LocateContact(*contacts, shown);
      if (index < 0) {
        missing.push_back(shown.position);
      } else {
        contacts->DeleteContact(index);
      }
    }
  });
  for (int position : missing) {
    session.ShowUserMessage(state.App().Text(kHtmlDialogStrings, "ContactDeleteLocateError") +
                            std::to_string(position));
  }
}

void TIWEditContacts::SendEmailClick() {
  TIWApplication& session = WebApplication();
  if (session.SessionEnding()) return;
  TUserSession& state = *SessionOf(session);
  const TContactsDB* contacts = CurrentContacts(state);
  std::vector<std::string> addresses;
  std::vector<int> missing;
  for (const ShownContact& shown : Checked()) {
    if (contacts == nullptr || LocateContact(*contacts, shown) < 0) {
      missing.push_back(shown.position);
    } else {
      addresses.push_back(shown.address);
    }
  }
  // The new message first, so the alerts are shown on the page the user then sees.
  if (!addresses.empty()) StartNewMessage(*this, JoinAddresses(addresses));
  for (int position : missing) {
    session.ShowUserMessage(state.App().Text(kHtmlDialogStrings, "ContactEditLocateError") +
                            std::to_string(position));
  }
}

// ---------------------------------------------------------------- recipient picker

TIWPageClass SelContactsPageClass() { return TIWSelContacts::PageClass(); }

TIWPageClass TIWSelContacts::PageClass() {
  return PageClassOf<TIWSelContacts>("TIWSelContacts", "IWSelContacts");
}

TIWSelContacts::TIWSelContacts(TIWApplication& session, std::string name, std::string class_name)
    : TIWAppForm(session, std::move(name), std::move(class_name)),
      IWUserName(AddControl<TIWLabel>("IWUserName")),
      IWRepList(AddControl<TIWGrid>("IWRepList")),
      IWNoReps(AddControl<TIWLabel>("IWNoReps")),
      IWContactSearch(AddControl<TIWLabel>("IWContactSearch")),
      IWOkay(AddControl<TIWButton>("IWOkay")),
      IWCancel(AddControl<TIWButton>("IWCancel")),
      Furniture(*this, "") {
  TemplateProcessor.Templates.Default = "selcontacts.htm";
  OnRender = [this](TIWAppForm&) { Render(); };
  IWRepList.SetColumnCount(kPickColumns);
  IWRepList.OnHTMLTag = GridTag;
  IWRepList.OnRenderCell = [](TIWGridCell& cell, int row, int) { StyleCell(cell, row); };
  IWContactSearch.RawText = true;
  IWContactSearch.OnHTMLTag = [](TIWBaseControl&, TIWHTMLTag& tag) { tag.SetTagName(""); };
  BindNavigation(*this, Furniture);
  IWOkay.OnClick = [this](TIWBaseControl&) { OkayClick(); };
  IWCancel.OnClick = [this](TIWBaseControl&) { CancelClick(); };
}

void TIWSelContacts::Render() {
  TIWApplication& session = WebApplication();
  TUserSession* state = SessionOf(session);
  if (session.SessionEnding() || state == nullptr || !state->LoggedIn) return;
  const TWebApp& app = state->App();
  SetTexts(app, kGlobalStrings, IWOkay);
  SetTexts(app, kGlobalStrings, IWCancel);
  IWNoReps.Caption = app.Text(kGlobalStrings, "IWNoContacts.Caption");
  IWRepList.Hint = app.Text(kSelContactsStrings, "AddContacts.StatusText");
  IWRepList.StatusText = IWRepList.Hint;

  shown_ = ActiveContacts(CurrentContacts(*state));
  IWRepList.SetRowCount(0);  // all boxes start unticked at every render
  IWRepList.SetRowCount(static_cast<int>(shown_.size()) + 1);
  IWRepList.Cell(0, 0).Width = "20";
  const std::pair<std::string_view, const char*> headings[] = {
      {kGlobalStrings, "ToEmailHeading"},
      {kGlobalStrings, "CcEmailHeading"},
      {kGlobalStrings, "BccEmailHeading"},
      {kGlobalStrings, "NameEmailHeading"},
      {kAdminSettingsStrings, "EmailAddressHeading"},
  };
  for (int column = 1; column < kPickColumns; ++column) {
    const auto& [section, key] = headings[column - 1];
    IWRepList.Cell(0, column).Text = app.Text(section, key);
  }
  const char* const hints[] = {"AddContactsTo.StatusText", "AddContactsCc.StatusText",
                               "AddContactsBcc.StatusText"};
  const char* const fields[] = {"To", "Cc", "Bcc"};
  for (std::size_t k = 0; k < shown_.size(); ++k) {
    const ShownContact& contact = shown_[k];
    const int row = static_cast<int>(k) + 1;
    TIWGridCell& icon = IWRepList.Cell(row, 0);
    icon.Text = kUserIcon;
    icon.RawText = true;
    icon.Width = "20";
    const std::string& label = contact.name.empty() ? contact.address : contact.name;
    for (int box = 0; box < 3; ++box) {
      RowBox(IWRepList, row, kPickTo + box, contact.position,
             app.Text(kSelContactsStrings, hints[box]), std::string(fields[box]) + ": " + label);
    }
    IWRepList.Cell(row, 4).Text = contact.name;
    IWRepList.Cell(row, 5).Text = contact.address;
  }
  IWRepList.Visible = !shown_.empty();
  IWNoReps.Visible = shown_.empty();
  const std::string search = AttributeEscape(app.Text(kWritingStrings, "ContactSearch"));
  IWContactSearch.Caption =
      "<input type=\"search\" id=\"kst-contact-search\" hidden placeholder=\"" + search +
      "\" aria-label=\"" + search + "\">";
  IWContactSearch.Visible = shown_.size() > 1;
  Furniture.Render(*state);
  IWUserName.Caption = state->LoginName;
}

void TIWSelContacts::OkayClick() {
  TIWApplication& session = WebApplication();
  if (session.SessionEnding()) return;
  TUserSession& state = *SessionOf(session);
  ComposeState& compose = state.Compose;
  if (compose.ReadOnly) {  // the suggestions message keeps its recipient
    ShowComposePage(*this);
    return;
  }
  const TContactsDB* contacts = CurrentContacts(state);
  std::vector<std::string> lists[3];
  std::vector<int> missing;
  bool any = false;
  for (int row = 1; row < IWRepList.RowCount() && row <= static_cast<int>(shown_.size()); ++row) {
    const ShownContact& shown = shown_[static_cast<std::size_t>(row - 1)];
    for (int box = 0; box < 3; ++box) {
      if (!BoxChecked(IWRepList, row, kPickTo + box)) continue;
      if (contacts == nullptr || LocateContact(*contacts, shown) < 0) {
        missing.push_back(shown.position);
        continue;
      }
      // The name goes with the address, as the recipient's mail program shows it.
      lists[box].push_back(RecipientText(shown.name, shown.address));
      any = true;
    }
  }
  if (any) {
    compose.To = JoinAddresses(lists[0]);
    compose.Cc = JoinAddresses(lists[1]);
    compose.Bcc = JoinAddresses(lists[2]);
  }
  ShowComposePage(*this);
  for (int position : missing) {
    session.ShowUserMessage(state.App().Text(kHtmlDialogStrings, "ContactFindError") +
                            std::to_string(position));
  }
}

void TIWSelContacts::CancelClick() {
  if (WebApplication().SessionEnding()) return;
  ShowComposePage(*this);
}

void ShowRecipientPicker(TIWAppForm& from) {
  TIWApplication& session = from.WebApplication();
  TUserSession* state = SessionOf(session);
  if (session.SessionEnding() || state == nullptr || !state->LoggedIn) return;
  TIWAppForm* page = session.FindPage("IWSelContacts");
  if (page == nullptr) page = &session.CreatePage(SelContactsPageClass());
  session.ShowPage(page);  // the compose page stays underneath
}

}  // namespace kestrune
