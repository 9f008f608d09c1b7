// The administrator's page: accounts grid and server switches.
#include "web/pages/admin_settings_page.h"

#include <memory>
#include <utility>

#include "log/debug_log.h"
#include "settings/program_config.h"
#include "store/user_list.h"
#include "web/app/user_session.h"
#include "web/pages/account_update.h"
#include "web/pages/compose_page.h"
#include "web/pages/page_texts.h"
#include "web/pages/user_settings_page.h"
#include "web/toolkit/application.h"

namespace kestrune {
namespace {

constexpr int kColumns = 5;
constexpr int kCheckColumn = 1;
constexpr int kNameColumn = 2;

constexpr const char* kUserIcon =
    "<div valign=\"middle\"><img border=\"0\" src=\"/Files/user.gif\" width=\"16\" "
    "height=\"16\" alt=\"\"></div>";

void StyleCell(TIWGridCell& cell, int row) {
  cell.Alignment = TIWGridAlignment::taCenter;
  cell.BGColor = row == 0 ? TIWColor::FromRGB(0xEC, 0xE9, 0xD8) : TIWColor::None();
  cell.Font.Bold = row == 0;
}

}  // namespace

TIWPageClass AdminSettingsPageClass() { return TIWAdminSettings::PageClass(); }

TIWPageClass TIWAdminSettings::PageClass() {
  return PageClassOf<TIWAdminSettings>("TIWAdminSettings", "IWAdminSettings");
}

TIWAdminSettings::TIWAdminSettings(TIWApplication& session, std::string name,
                                   std::string class_name)
    : TIWAppForm(session, std::move(name), std::move(class_name)),
      IWUserName(AddControl<TIWLabel>("IWUserName")),
      IWAddUser(PageFurniture::ToolImage(*this, "IWAddUser", "adduser")),
      IWDelUser(PageFurniture::ToolImage(*this, "IWDelUser", "deluser")),
      IWUsers(AddControl<TIWGrid>("IWUsers")),
      IWAllowWebReg(AddControl<TIWCheckBox>("IWAllowWebReg")),
      IWShowSuggest(AddControl<TIWCheckBox>("IWShowSuggest")),
      Furniture(*this, "") {
  TemplateProcessor.Templates.Default = "adminsettings.htm";
  OnRender = [this](TIWAppForm&) { Render(); };
  IWUsers.SetColumnCount(kColumns);
  IWUsers.OnHTMLTag = [](TIWBaseControl&, TIWHTMLTag& tag) {
    tag.SetAttribute("width", "100%");
    tag.SetAttribute("style", "width:100%;z-index:100;font: 13px;");
  };
  IWUsers.OnRenderCell = [](TIWGridCell& cell, int row, int) { StyleCell(cell, row); };
  IWUsers.OnCellClick = [this](TIWGrid&, int row, int column) { CellClick(row, column); };
  IWAddUser.OnClick = [this](TIWBaseControl&) { AddUserClick(); };
  IWDelUser.OnClick = [this](TIWBaseControl&) { DelUserClick(); };
  IWAllowWebReg.OnClick = [this](TIWBaseControl&) { SwitchClick(true); };
  IWShowSuggest.OnClick = [this](TIWBaseControl&) { SwitchClick(false); };
  BindComposeOpeners(Furniture, *this);
}

TUserSession* TIWAdminSettings::Administrator() {
  TIWApplication& session = WebApplication();
  TUserSession* state = SessionOf(session);
  if (session.SessionEnding() || state == nullptr || !state->LoggedIn) return nullptr;
  if (ActsAsAdministrator(*state)) return state;
  Furniture.Navigate("IWMain");
  session.ShowUserMessage(state->App().Text(kFeedbackStrings, "NotAdministrator"));
  return nullptr;
}

void TIWAdminSettings::Render() {
  TIWApplication& session = WebApplication();
  TUserSession* state = SessionOf(session);
  if (session.SessionEnding() || state == nullptr || !state->LoggedIn) return;
  const TWebApp& app = state->App();
  SetTexts(app, kGlobalStrings, IWAddUser);
  SetTexts(app, kGlobalStrings, IWDelUser);
  for (TIWImageFile* image : {&IWAddUser, &IWDelUser}) image->AltText = image->Hint;
  SetTexts(app, kAdminSettingsStrings, IWAllowWebReg);
  SetTexts(app, kAdminSettingsStrings, IWShowSuggest);
  const TProgramConfig& config = app.Config();
  IWAllowWebReg.Visible = config.LoginType == 0;
  IWAllowWebReg.Checked = config.AllowWebReg;
  IWShowSuggest.Checked = config.ShowSuggestions;
  FillGrid(*state);
  Furniture.Render(*state);
  IWUserName.Caption = state->LoginName;
}

void TIWAdminSettings::FillGrid(TUserSession& state) {
  const TWebApp& app = state.App();
  shown_.clear();
  // Only an administrator by Users.Dat as it is now sees the accounts.
  if (ActsAsAdministrator(state)) {
    TUserList& users = *state.UserList;
    const int count = users.GetCount();
    for (int i = 1; i <= count; ++i) {
      TUserRecord user;
      if (users.GetUser(i, user)) shown_.push_back({i, user.UserName, user.UserDir});
    }
  }
  IWUsers.SetRowCount(0);  // the boxes of the last render go with their cells
  IWUsers.SetRowCount(static_cast<int>(shown_.size()) + 1);
  IWUsers.Cell(0, 0).Width = "45";
  IWUsers.Cell(0, kCheckColumn).Width = "50";
  IWUsers.Cell(0, kNameColumn).Text = app.Text(kAdminSettingsStrings, "UserNameHeading");
  IWUsers.Cell(0, 3).Text = app.Text(kAdminSettingsStrings, "EmailAddressHeading");
  IWUsers.Cell(0, 4).Text = app.Text(kAdminSettingsStrings, "PermissionLevelHeading");
  static constexpr const char* kLevelKeys[] = {"Administrator.Caption", "PowerUser.Caption",
                                               "User.Caption"};
  for (std::size_t k = 0; k < shown_.size(); ++k) {
    const int row = static_cast<int>(k) + 1;
    TUserRecord user;
    state.UserList->GetUser(shown_[k].index, user);
    TIWGridCell& icon = IWUsers.Cell(row, 0);
    icon.Text = kUserIcon;
    icon.RawText = true;
    auto& box = IWUsers.Cell(row, kCheckColumn).SetControl(std::make_unique<TIWCheckBox>(""));
    box.Tag = shown_[k].index;
    box.ExtraTagParams.push_back("aria-label=" + user.UserName);
    // Names and addresses are data: the grid escapes them.
    TIWGridCell& name = IWUsers.Cell(row, kNameColumn);
    name.Text = user.UserName;
    name.Clickable = true;
    IWUsers.Cell(row, 3).Text = user.EmailAddress;
    const int level = user.PermissionLevel;
    IWUsers.Cell(row, 4).Text =
        level >= 0 && level <= 2 ? app.Text(kUserSettingsStrings, kLevelKeys[level]) : "";
  }
}

void TIWAdminSettings::CellClick(int row, int column) {
  if (row < 1 || row > static_cast<int>(shown_.size()) || column != kNameColumn) return;
  TUserSession* state = Administrator();
  if (state == nullptr) return;
  const ShownAccount& shown = shown_[static_cast<std::size_t>(row - 1)];
  TUserRecord account;
  if (!state->UserList->Reload() || !state->UserList->FindUser(shown.name, account) ||
      account.UserDir != shown.user_dir) {
    WebApplication().ShowUserMessage(state->App().Text(kHtmlDialogStrings, "UserLocateError") +
                                     std::to_string(shown.index));
    return;
  }
  state->UserSettingsMode = TUserSession::SettingsMode::Save;
  state->EditedUser = account.UserName;
  state->SettingsFill = true;
  Furniture.Navigate("IWUserSettings");
}

void TIWAdminSettings::AddUserClick() {
  TUserSession* state = Administrator();
  if (state == nullptr) return;
  state->UserSettingsMode = TUserSession::SettingsMode::Add;
  state->EditedUser.clear();
  state->SettingsFill = true;
  Furniture.Navigate("IWUserSettings");
}

void TIWAdminSettings::DelUserClick() {
  TUserSession* state = Administrator();
  if (state == nullptr) return;
  TIWApplication& session = WebApplication();
  const TWebApp& app = state->App();
  for (int row = 1; row < IWUsers.RowCount() && row <= static_cast<int>(shown_.size()); ++row) {
    if (!IWUsers.CellExists(row, kCheckColumn)) continue;
    const auto* box = dynamic_cast<const TIWCheckBox*>(IWUsers.Cell(row, kCheckColumn).Control());
    if (box == nullptr || !box->Checked) continue;
    const ShownAccount& shown = shown_[static_cast<std::size_t>(row - 1)];
    switch (
        DeleteAccount(*state->UserList, shown.name, shown.user_dir, app.Config().UserDirectories)) {
      case AccountChange::kDone:
        AddDebugLine("Web Admin: " + state->User.UserName + " deleted user " + shown.name);
        break;
      case AccountChange::kRefused:
        session.ShowUserMessage(app.Text(kHtmlDialogStrings, "DelAdminError"));
        break;
      default:
        session.ShowUserMessage(app.Text(kHtmlDialogStrings, "UserLocateError") +
                                std::to_string(shown.index));
        break;
    }
  }
  state->UserList->Reload();
}

void TIWAdminSettings::SwitchClick(bool web_registration) {
  TUserSession* state = Administrator();
  if (state == nullptr) return;
  // In memory only; the console's exit saver writes AllowWebReg, ShowSuggestions lasts
  // until the program ends.
  if (web_registration) {
    if (state->App().Config().LoginType == 0) state->App().SetAllowWebReg(IWAllowWebReg.Checked);
  } else {
    state->App().SetShowSuggestions(IWShowSuggest.Checked);
  }
}

}  // namespace kestrune
