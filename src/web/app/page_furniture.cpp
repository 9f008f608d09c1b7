// Toolbar, folder navigation, clock and contacts side panel of the mail pages.
#include "web/app/page_furniture.h"

#include <optional>
#include <utility>
#include <vector>

#include "platform/escape.h"
#include "settings/program_config.h"
#include "store/contacts_db.h"
#include "store/email_db.h"
#include "web/app/session_mail.h"
#include "web/app/user_session.h"
#include "web/toolkit/application.h"

namespace kestrune {
namespace {

TIWControl& FolderEntry(TIWAppForm& page, const std::string& name, std::string_view own) {
  if (name == own) return page.AddControl<TIWLabel>(name);
  return page.AddControl<TIWLink>(name);
}

TIWLabel& LayoutLabel(TIWAppForm& page, const char* name, const char* markup) {
  auto& label = page.AddControl<TIWLabel>(name);
  label.Caption = markup;
  label.RawText = true;
  // The label writes its markup bare, without an element of its own.
  label.OnHTMLTag = [](TIWBaseControl&, TIWHTMLTag& tag) { tag.SetTagName(""); };
  return label;
}

void SetCaption(TIWControl& control, const std::string& caption) {
  if (auto* link = dynamic_cast<TIWLink*>(&control)) link->Caption = caption;
  if (auto* label = dynamic_cast<TIWLabel*>(&control)) label->Caption = caption;
}

}  // namespace

PageFurniture::PageFurniture(TIWAppForm& page, std::string_view own_folder)
    : IWCreateEmail(ToolImage(page, "IWCreateEmail", "createmail")),
      IWSendRecv(ToolImage(page, "IWSendRecv", "sendrecv")),
      IWFind(ToolImage(page, "IWFind", "find")),
      IWEditContacts(ToolImage(page, "IWEditContacts", "contacts")),
      IWSettings(ToolImage(page, "IWSettings", "settings")),
      IWLogout(ToolImage(page, "IWLogout", "logout")),
      IWClose(ToolImage(page, "IWClose", "close")),
      IWHomeLink(FolderEntry(page, "IWHomeLink", own_folder)),
      IWInboxLink(FolderEntry(page, "IWInboxLink", own_folder)),
      IWSavedLink(FolderEntry(page, "IWSavedLink", own_folder)),
      IWOutboxLink(FolderEntry(page, "IWOutboxLink", own_folder)),
      IWSentLink(FolderEntry(page, "IWSentLink", own_folder)),
      IWDelLink(FolderEntry(page, "IWDelLink", own_folder)),
      IWSuggest(page.AddControl<TIWLink>("IWSuggest")),
      IWHideContacts(page.AddControl<TIWImageFile>("IWHideContacts")),
      IWContactsLink(page.AddControl<TIWLink>("IWContactsLink")),
      IWContacts(page.AddControl<TIWGrid>("IWContacts")),
      IWNoContacts(LayoutLabel(page, "IWNoContacts", "")),
      IWTableOpen(LayoutLabel(page, "IWTableOpen",
                              "<td height=\"50%\" width=\"150\" colspan=\"2\" valign=\"top\">")),
      IWDivOpen(
          LayoutLabel(page, "IWDivOpen", "<div style=\"height=100%;width=150;overflow=auto\">")),
      IWDivClose(LayoutLabel(page, "IWDivClose", "</div>")),
      IWTableClose(LayoutLabel(page, "IWTableClose",
                               "<td height=\"50%\" width=\"150\" colspan=\"2\" valign=\"top\">")),
      IWFolderToggle(LayoutLabel(page, "IWFolderToggle", "")),
      IWUnread(page.AddControl<TIWLabel>("IWUnread")),
      IWPanelToggle(LayoutLabel(page, "IWPanelToggle", "")),
      IWStatus(page.AddControl<TIWLabel>("IWStatus")),
      page_(page) {
  IWUnread.Font.CSSStyle = "kst-unread";
  IWStatus.Font.CSSStyle = "kst-status";
  // The live region is written on every page, empty when there is nothing to say, so that
  // screen readers know it before a message arrives.
  IWStatus.OnHTMLTag = [](TIWBaseControl&, TIWHTMLTag& tag) {
    tag.SetTagName("div");
    tag.SetAttribute("role", "status");
    tag.SetAttribute("aria-live", "polite");
  };
  IWContacts.SetColumnCount(2);
  IWContacts.OnHTMLTag = [](TIWBaseControl&, TIWHTMLTag& tag) {
    tag.SetAttribute("width", "100%");
    tag.SetAttribute("style", "width:100%;z-index:100;font: 13px;");
  };
  IWHideContacts.UseSize = true;
  IWHideContacts.Width = 16;
  IWHideContacts.Height = 16;
  IWHideContacts.OnClick = [this](TIWBaseControl&) {
    // Works also while the session ends, like the send/receive link.
    if (TUserSession* state = SessionOf(page_.WebApplication())) {
      state->HideContacts = !state->HideContacts;
    }
  };
  IWSendRecv.OnClick = [this](TIWBaseControl&) {
    TIWApplication& session = page_.WebApplication();
    if (TUserSession* state = SessionOf(session); state && state->LoggedIn) {
      SessionSend(session, *state);
      SessionReceive(session, *state);
    }
  };
  const auto close = [this](TIWBaseControl&) {
    TIWApplication& session = page_.WebApplication();
    if (session.SessionEnding()) return;
    session.EndSessionAndRedirect("/files/logout.htm");
  };
  IWLogout.OnClick = close;
  IWClose.OnClick = close;
  const std::pair<TIWControl*, const char*> destinations[] = {
      {&IWHomeLink, "IWMain"},
      {&IWInboxLink, "IWInbox"},
      {&IWSavedLink, "IWSaved"},
      {&IWOutboxLink, "IWOutbox"},
      {&IWSentLink, "IWSent"},
      {&IWDelLink, "IWDeleted"},
      {&IWFind, "IWFind"},
      {&IWContactsLink, "IWEditContacts"},
      {&IWEditContacts, "IWEditContacts"},
  };
  for (const auto& [control, page_name] : destinations) {
    if (control->Name() == own_folder) continue;  // the page's own entry is a label
    OnClick(*control, [this, page_name = std::string(page_name)] { Navigate(page_name); });
  }
  OnClick(IWSettings, [this] { NavigateToSettings(); });
}

void PageFurniture::Navigate(std::string_view object_name) {
  TIWApplication& session = page_.WebApplication();
  TUserSession* state = SessionOf(session);
  if (session.SessionEnding() || state == nullptr || !state->LoggedIn) return;
  if (const TIWPageClass* page_class = state->App().Pages().Named(object_name)) {
    if (OnLeave) OnLeave();
    session.SwitchToPage(object_name, *page_class);
  }
}

void PageFurniture::NavigateToSettings() {
  TUserSession* state = SessionOf(page_.WebApplication());
  if (state == nullptr) return;
  static constexpr const char* kSettingsPages[] = {"IWAdminSettings", "IWUserSettings",
                                                   "IWGenUserSet"};
  const int level = state->User.PermissionLevel;
  if (level < 0 || level > 2) return;
  // The settings pages of levels 1 and 2 show the user's own account, filled afresh.
  state->UserSettingsMode = TUserSession::SettingsMode::Apply;
  state->EditedUser.clear();
  state->SettingsFill = level != 0;
  Navigate(kSettingsPages[level]);
}

void PageFurniture::FillContacts(TUserSession& state) {
  const TWebApp& app = state.App();
  std::vector<std::pair<int, TContactRecord>> active;
  shown_contacts_.clear();
  if (state.OpenContactsDB()) {
    for (int i = 1; i <= state.ContactsDB->GetCount(); ++i) {
      TContactRecord contact;
      if (state.ContactsDB->GetContact(i, contact) && contact.Active == 1) {
        active.emplace_back(i, std::move(contact));
      }
    }
  }
  IWContacts.SetRowCount(0);  // the links of the last render go with their cells
  IWContacts.SetRowCount(static_cast<int>(active.size()));
  for (std::size_t k = 0; k < active.size(); ++k) {
    const auto& [position, contact] = active[k];
    shown_contacts_[position] = {contact.ContactName, contact.ContactEmail};
    const int row = static_cast<int>(k);
    TIWGridCell& icon = IWContacts.Cell(row, 0);
    icon.Text =
        "<div valign=\"middle\"><img border=\"0\" src=\"/Files/user.gif\" width=\"16\" "
        "height=\"16\" alt=\"\"></div>";
    icon.RawText = true;
    icon.Width = "16";
    auto& link = IWContacts.Cell(row, 1).SetControl(std::make_unique<TIWLink>(""));
    link.Caption = contact.ContactName.empty() ? contact.ContactEmail : contact.ContactName;
    link.Tag = position;
    link.StatusText = app.Text(kHtmlDialogStrings, "ContactSendMail") + contact.ContactName;
    link.Hint = link.StatusText;
    link.OnClick = [this](TIWBaseControl& sender) { ContactClick(sender.Tag); };
  }

  const bool collapsed = state.HideContacts;
  const bool none = active.empty();
  IWTableOpen.Caption = collapsed
                            ? "<td width=\"150\" height=\"100%\" colspan=\"2\" valign=\"top\">"
                            : "<td height=\"50%\" width=\"150\" colspan=\"2\" valign=\"top\">";
  IWTableClose.Caption = collapsed ? "<td width=\"150\" colspan=\"2\" valign=\"top\">"
                         : none ? "<td height=\"50%\"  width=\"150\" colspan=\"2\" valign=\"top\">"
                                : "<td height=\"50%\" width=\"150\" colspan=\"2\" valign=\"top\">";
  IWDivOpen.Visible = IWDivClose.Visible = !collapsed;
  IWContacts.Visible = !collapsed && !none;
  IWNoContacts.Visible = !collapsed && none;
  IWHideContacts.ImageFile = collapsed ? "/Files/co.gif" : "/Files/cc.gif";
  IWHideContacts.Caption =
      app.Text(kFrameStrings, collapsed ? "IWShowContacts.Caption" : "IWHideContacts.Caption");
}

void PageFurniture::ContactClick(int position) {
  TIWApplication& session = page_.WebApplication();
  if (session.SessionEnding()) return;
  TUserSession* state = SessionOf(session);
  if (state == nullptr) return;
  const auto shown = shown_contacts_.find(position);
  std::optional<TContactRecord> found;
  if (shown != shown_contacts_.end() && state->OpenContactsDB()) {
    TContactRecord contact;
    for (int i = 1; state->ContactsDB->GetContact(i, contact); ++i) {
      if (contact.Active == 1 && contact.ContactName == shown->second.first &&
          contact.ContactEmail == shown->second.second) {
        found = contact;
        break;
      }
    }
  }
  if (!found) {
    session.ShowUserMessage(state->App().Text(kHtmlDialogStrings, "ContactFindError"));
    return;
  }
  if (OnContactClick) OnContactClick(*found);
}

TIWImageFile& PageFurniture::ToolImage(TIWAppForm& page, const char* name, const char* image) {
  auto& control = page.AddControl<TIWImageFile>(name);
  control.ImageFile = std::string("/Files/") + image + ".gif";
  control.UseSize = true;
  control.Width = 24;
  control.Height = 24;
  return control;
}

void PageFurniture::OnClick(TIWControl& control, std::function<void()> action) {
  control.OnClick = [action = std::move(action)](TIWBaseControl&) { action(); };
}

void PageFurniture::SetFolderCaption(TIWControl& control, const TWebApp& app, int count) {
  const std::string& caption = app.Text(kGlobalStrings, control.Name() + ".Caption");
  SetCaption(control, count > 0 ? caption + " (" + std::to_string(count) + ")" : caption);
  control.Font.Bold = count > 0;
}

void PageFurniture::Render(TUserSession& state) {
  const TWebApp& app = state.App();
  for (TIWControl* control : std::initializer_list<TIWControl*>{
           &IWCreateEmail, &IWSendRecv, &IWFind, &IWEditContacts, &IWSettings, &IWLogout, &IWClose,
           &IWHomeLink, &IWInboxLink, &IWSavedLink, &IWOutboxLink, &IWSentLink, &IWDelLink,
           &IWSuggest, &IWContactsLink, &IWHideContacts}) {
    const std::string hint_key = control->Name() + ".StatusText";
    if (LanguagePack::IsKnown(kGlobalStrings, hint_key)) {
      control->Hint = app.Text(kGlobalStrings, hint_key);
      control->StatusText = control->Hint;
    }
    if (auto* image = dynamic_cast<TIWImageFile*>(control)) image->AltText = control->Hint;
  }
  SetCaption(IWHomeLink, app.Text(kGlobalStrings, "IWHomeLink.Caption"));
  IWSuggest.Caption = app.Text(kGlobalStrings, "IWSuggest.Caption");
  IWContactsLink.Caption = app.Text(kGlobalStrings, "IWContactsLink.Caption");
  IWNoContacts.Caption = app.Text(kGlobalStrings, "IWNoContacts.Caption");

  const bool have_index = state.OpenEmailDB();
  const TUserEmailDB* index = have_index ? state.EmailDB.get() : nullptr;
  SetFolderCaption(IWInboxLink, app, index ? index->CountInboxUnread() : 0);
  SetFolderCaption(IWSavedLink, app, index ? index->CountSavedUnread() : 0);
  SetFolderCaption(IWOutboxLink, app, index ? index->CountOutbox() : 0);
  SetFolderCaption(IWSentLink, app, 0);
  SetFolderCaption(IWDelLink, app, 0);
  IWSuggest.Visible = app.Config().ShowSuggestions;

  FillContacts(state);
  LabelTools(page_, app);
  RenderFrame(app, index ? index->CountInboxUnread() : 0);
  page_.AddToInitProc("tick();");
}

void PageFurniture::RenderFrame(const TWebApp& app, int unread) {
  const std::string folders = HtmlEscape(app.Text(kFrameStrings, "FolderToggle.Caption"));
  // A check box and its label open the folder list on a phone without script; the box
  // sits in the header so that it belongs to a landmark like every other control.
  IWFolderToggle.Caption =
      "<input type=\"checkbox\" id=\"kst-nav-toggle\" class=\"kst-nav-toggle\" aria-label=\"" +
      folders + "\"><label class=\"kst-menu-button\" for=\"kst-nav-toggle\" title=\"" + folders +
      "\"><span class=\"kst-visually-hidden\">" + folders + "</span></label>";
  const std::string contacts = HtmlEscape(app.Text(kFrameStrings, "PanelToggle.Caption"));
  IWPanelToggle.Caption =
      "<input type=\"checkbox\" id=\"kst-panel-toggle\" class=\"kst-panel-check\">"
      "<label class=\"kst-panel-toggle\" for=\"kst-panel-toggle\"><img src=\"/Files/user.gif\" "
      "width=\"16\" height=\"16\" alt=\"\"> " +
      contacts + "</label>";
  std::string count = app.Text(kFrameStrings, "UnreadCount.Caption");
  if (const auto at = count.find("%d"); at != std::string::npos) {
    count.replace(at, 2, std::to_string(unread));
  }
  IWUnread.Caption = count;
}

void PageFurniture::LabelTools(TIWAppForm& page, const TWebApp& app) {
  for (const auto& control : page.Controls()) {
    auto* image = dynamic_cast<TIWImageFile*>(control.get());
    if (image == nullptr || !image->OnClick) continue;
    const std::string key = image->Name() + ".Caption";
    if (image->Caption.empty() && LanguagePack::IsKnown(kFrameStrings, key)) {
      image->Caption = app.Text(kFrameStrings, key);
    }
    if (image->AltText.empty()) image->AltText = image->Hint;
  }
}

}  // namespace kestrune
