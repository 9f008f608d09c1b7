// The user settings page in its three modes.
#include "web/pages/user_settings_page.h"

#include <filesystem>
#include <optional>
#include <utility>

#include "log/debug_log.h"
#include "platform/ascii.h"
#include "settings/program_config.h"
#include "store/user_names.h"
#include "web/app/session_controller.h"
#include "web/app/session_mail.h"
#include "web/pages/account_update.h"
#include "web/pages/compose_page.h"
#include "web/pages/page_texts.h"
#include "web/toolkit/application.h"

namespace kestrune {
namespace {

const char* const kModeKeys[] = {"IWOkayMeth.Apply", "IWOkayMeth.Save", "IWOkayMeth.Add"};

// The port box of a stored port; empty for an account without a POP3 mailbox.
std::string PortText(int port) { return port == 0 ? std::string() : std::to_string(port); }

void ShowReadOnly(TIWEdit& box, bool read_only) {
  box.ReadOnly = read_only;
  box.Editable = !read_only;  // a read-only box takes no posted value
}

void ShowEnabled(TIWControl& control, bool enabled) {
  control.Enabled = enabled;
  control.Editable = enabled;  // nor does a disabled one
}

}  // namespace

void OpenSignaturePage(TIWAppForm& from, TUserSession& state, const std::string& dir) {
  TIWApplication& session = from.WebApplication();
  const TIWPageClass* signature = state.App().Pages().Named("IWSignature");
  if (signature == nullptr || session.SessionEnding()) return;
  state.SignatureReturnPage = from.Name();
  state.SignatureDir = dir;
  state.SignatureStored = false;
  TIWAppForm* page = session.FindPage("IWSignature");
  if (page == nullptr) page = &session.CreatePage(*signature);
  session.ShowPage(page);  // the settings page stays underneath
}

TIWPageClass UserSettingsPageClass() { return TIWUserSettings::PageClass(); }

TIWPageClass TIWUserSettings::PageClass() {
  return PageClassOf<TIWUserSettings>("TIWUserSettings", "IWUserSettings");
}

TIWUserSettings::TIWUserSettings(TIWApplication& session, std::string name, std::string class_name)
    : TIWAppForm(session, std::move(name), std::move(class_name)),
      IWLoggedUser(AddControl<TIWLabel>("IWLoggedUser")),
      IWUserName(AddControl<TIWEdit>("IWUserName")),
      IWUserPass(AddControl<TIWEdit>("IWUserPass")),
      IWUserConfirm(AddControl<TIWEdit>("IWUserConfirm")),
      IWUserPermissions(AddControl<TIWRadioGroup>("IWUserPermissions")),
      IWSysCheckEmail(AddControl<TIWCheckBox>("IWSysCheckEmail")),
      IWLogonCheckEmail(AddControl<TIWCheckBox>("IWLogonCheckEmail")),
      IWAutoAddContacts(AddControl<TIWCheckBox>("IWAutoAddContacts")),
      IWAddSig(AddControl<TIWCheckBox>("IWAddSig")),
      IWDisplayName(AddControl<TIWEdit>("IWDisplayName")),
      IWEmailAddress(AddControl<TIWEdit>("IWEmailAddress")),
      IWServerAddress(AddControl<TIWEdit>("IWServerAddress")),
      IWServerPort(AddControl<TIWEdit>("IWServerPort")),
      IWServerUserName(AddControl<TIWEdit>("IWServerUserName")),
      IWServerUserPass(AddControl<TIWEdit>("IWServerUserPass")),
      IWLeaveMsgs(AddControl<TIWCheckBox>("IWLeaveMsgs")),
      IWSameUserPass(AddControl<TIWCheckBox>("IWSameUserPass")),
      IWTestConnection(AddControl<TIWButton>("IWTestConnection")),
      IWCreateSig(AddControl<TIWButton>("IWCreateSig")),
      IWOkayMeth(AddControl<TIWButton>("IWOkayMeth")),
      IWCancel(AddControl<TIWButton>("IWCancel")),
      IWAddUser(PageFurniture::ToolImage(*this, "IWAddUser", "adduser")),
      IWDelUser(PageFurniture::ToolImage(*this, "IWDelUser", "deluser")),
      IWBreak(AddControl<TIWLabel>("IWBreak")),
      Furniture(*this, "") {
  TemplateProcessor.Templates.Default = "usersettings.htm";
  IWUserPass.PasswordPrompt = true;
  IWUserConfirm.PasswordPrompt = true;
  IWServerUserPass.PasswordPrompt = true;
  for (TIWEdit* password : {&IWUserPass, &IWUserConfirm, &IWServerUserPass}) {
    password->ExtraTagParams = {"autocomplete=new-password"};
  }
  IWServerPort.ExtraTagParams = {"size=6", "inputmode=numeric"};
  IWServerPort.MaxLength = 5;
  for (TIWEdit* field : {&IWUserName, &IWUserPass, &IWUserConfirm, &IWDisplayName, &IWEmailAddress,
                         &IWServerAddress, &IWServerUserName, &IWServerUserPass}) {
    SetFieldStyle(*field, kFormFieldStyle);
  }
  IWUserPermissions.Layout = TIWRadioGroupLayout::glHorizontal;
  IWBreak.Caption = "|";
  OnRender = [this](TIWAppForm&) { Render(); };
  IWOkayMeth.OnClick = [this](TIWBaseControl&) { OkayClick(); };
  IWCancel.OnClick = [this](TIWBaseControl&) { CancelClick(); };
  IWDelUser.OnClick = [this](TIWBaseControl&) { DelUserClick(); };
  IWAddUser.OnClick = [](TIWBaseControl&) {};  // does nothing: the page is a new account
  IWTestConnection.OnClick = [this](TIWBaseControl&) { TestConnectionClick(); };
  IWCreateSig.OnClick = [this](TIWBaseControl&) { CreateSigClick(); };
  BindComposeOpeners(Furniture, *this);
  IWSameUserPass.OnClick = [this](TIWBaseControl&) {
    if (WebApplication().SessionEnding()) return;
    SameUserPassChanged(
        Boxes(), [this](const char* key, const TIWBaseControl& focus) { Refuse(key, focus); });
  };
}

AccountBoxes TIWUserSettings::Boxes() {
  return {IWUserName,      IWUserPass,   IWUserConfirm,    IWSameUserPass,
          IWServerAddress, IWServerPort, IWServerUserName, IWServerUserPass};
}

void TIWUserSettings::Refuse(const char* key, const TIWBaseControl& focus) {
  WebApplication().ShowUserMessage(State().App().Text(kHtmlDialogStrings, key));
  SetActiveControl(focus);
}

bool TIWUserSettings::AdministratorMayAct(TUserSession& state) {
  if (ActsAsAdministrator(state)) return true;
  Furniture.Navigate("IWMain");
  WebApplication().ShowUserMessage(state.App().Text(kFeedbackStrings, "NotAdministrator"));
  return false;
}

bool TIWUserSettings::Fill(TUserSession& state) {
  mode_ = state.UserSettingsMode;
  TUserRecord account;
  bool found = true;
  if (mode_ == Mode::Add) {
    account.PermissionLevel = 1;
    account.PopPort = 110;
  } else if (mode_ == Mode::Save) {
    // Gone since the list was shown: the page stays empty and Save finds nothing.
    if (!FindCurrentUser(state, state.EditedUser, account)) found = false;
  } else if (!FindCurrentUser(state, state.User.UserName, account)) {
    account = state.User;
  }
  original_ = account;
  IWUserName.Text = account.UserName;
  IWUserPass.Text.clear();
  IWUserConfirm.Text.clear();
  IWServerUserPass.Text.clear();
  IWSameUserPass.Checked = false;
  IWSysCheckEmail.Checked = account.AutoCheckEmails;
  IWLogonCheckEmail.Checked = account.EmailCheckOnLogin;
  IWAutoAddContacts.Checked = account.AutoAddContacts;
  IWAddSig.Checked = account.AddSignature;
  IWDisplayName.Text = account.EmailDisplayName;
  IWEmailAddress.Text = account.EmailAddress;
  IWServerAddress.Text = account.PopServer;
  IWServerPort.Text = mode_ == Mode::Add ? "110" : PortText(account.PopPort);
  IWServerUserName.Text = account.PopUserName;
  IWLeaveMsgs.Checked = account.LeaveEmails;
  IWUserPermissions.SetItemIndex(account.PermissionLevel);
  // The own account's name and level, and those of "Admin", are shown but not changed.
  const bool fixed = mode_ == Mode::Apply || IsAdminName(account.UserName);
  ShowReadOnly(IWUserName, fixed);
  ShowEnabled(IWUserPermissions, !fixed);
  SetActiveControl(fixed ? static_cast<TIWBaseControl&>(IWUserPass) : IWUserName);
  return found;
}

void TIWUserSettings::Render() {
  TIWApplication& session = WebApplication();
  TUserSession* state = SessionOf(session);
  if (session.SessionEnding() || state == nullptr || !state->LoggedIn) return;
  const TWebApp& app = state->App();
  // The items before the filling picks one.
  IWUserPermissions.Items = {app.Text(kUserSettingsStrings, "Administrator.Caption"),
                             app.Text(kUserSettingsStrings, "PowerUser.Caption"),
                             app.Text(kUserSettingsStrings, "User.Caption")};
  if (state->SettingsFill) {
    state->SettingsFill = false;
    if (!Fill(*state)) {
      session.ShowUserMessage(state->App().Text(kHtmlDialogStrings, "UserLocateError") +
                              state->EditedUser);
    }
  }
  for (TIWControl* control : std::initializer_list<TIWControl*>{
           &IWUserName, &IWUserPass, &IWUserConfirm, &IWDisplayName, &IWEmailAddress,
           &IWServerAddress, &IWServerPort, &IWServerUserName, &IWServerUserPass, &IWLeaveMsgs,
           &IWSameUserPass, &IWTestConnection}) {
    SetTexts(app, kNewUserStrings, *control);
  }
  for (TIWControl* control : std::initializer_list<TIWControl*>{
           &IWSysCheckEmail, &IWLogonCheckEmail, &IWAutoAddContacts, &IWAddSig, &IWCreateSig}) {
    SetTexts(app, kGenUserSetStrings, *control);
  }
  SetTexts(app, kGlobalStrings, IWCancel);
  SetTexts(app, kGlobalStrings, IWAddUser);
  SetTexts(app, kGlobalStrings, IWDelUser);
  for (TIWImageFile* image : {&IWAddUser, &IWDelUser}) image->AltText = image->Hint;
  const std::string mode_key = kModeKeys[static_cast<int>(mode_)];
  IWOkayMeth.Caption = app.Text(kUserSettingsStrings, mode_key + ".Caption");
  IWOkayMeth.Hint = IWOkayMeth.StatusText =
      app.Text(kUserSettingsStrings, mode_key + ".StatusText");
  IWBreak.Visible = IWAddUser.Visible = mode_ != Mode::Apply;
  IWDelUser.Visible = mode_ == Mode::Save;
  IWCreateSig.Visible = mode_ != Mode::Add;  // a new account has no mail store yet
  if (!app.Config().AutoCheckEmails) IWSysCheckEmail.Checked = false;
  IWSysCheckEmail.Visible = app.Config().AutoCheckEmails;
  if (state->SignatureStored && EqualsIgnoringAsciiCase(state->SignatureReturnPage, Name())) {
    IWAddSig.Checked = true;
    state->SignatureStored = false;
  }
  Furniture.Render(*state);
  IWLoggedUser.Caption = state->LoginName;
}

bool TIWUserSettings::CheckPasswords() {
  if (IWUserPass.Text.empty() && IWUserConfirm.Text.empty()) return true;
  if (IWUserPass.Text.empty()) {
    Refuse("EnterPasswordError", IWUserPass);
    return false;
  }
  if (IWUserConfirm.Text.empty()) {
    Refuse("ConfirmPasswordError", IWUserConfirm);
    return false;
  }
  if (!EqualsIgnoringAsciiCase(IWUserPass.Text, IWUserConfirm.Text)) {
    Refuse("PasswordMatchError", IWUserPass);
    return false;
  }
  return true;
}

bool TIWUserSettings::CheckUsable(const char* key) {
  for (TIWEdit* box : {&IWUserName, &IWUserPass, &IWUserConfirm, &IWDisplayName, &IWEmailAddress,
                       &IWServerAddress, &IWServerUserName, &IWServerUserPass}) {
    if (!UsableField(box->Text)) {
      Refuse(key, *box);
      return false;
    }
  }
  return true;
}

AccountEdit TIWUserSettings::Changes(const TUserSession& state, int port) const {
  AccountEdit edit;
  const TUserRecord& was = original_;
  if (!IWUserPass.Text.empty()) edit.Password = IWUserPass.Text;
  if (!IWServerUserPass.Text.empty()) edit.PopPassword = IWServerUserPass.Text;
  const bool auto_check = state.App().Config().AutoCheckEmails && IWSysCheckEmail.Checked;
  AccountEdit::IfChanged(edit.AutoCheckEmails, auto_check, was.AutoCheckEmails);
  AccountEdit::IfChanged(edit.EmailCheckOnLogin, IWLogonCheckEmail.Checked, was.EmailCheckOnLogin);
  AccountEdit::IfChanged(edit.AutoAddContacts, IWAutoAddContacts.Checked, was.AutoAddContacts);
  AccountEdit::IfChanged(edit.AddSignature, IWAddSig.Checked, was.AddSignature);
  AccountEdit::IfChanged(edit.LeaveEmails, IWLeaveMsgs.Checked, was.LeaveEmails);
  AccountEdit::IfChanged(edit.EmailDisplayName, IWDisplayName.Text, was.EmailDisplayName);
  AccountEdit::IfChanged(edit.EmailAddress, IWEmailAddress.Text, was.EmailAddress);
  AccountEdit::IfChanged(edit.PopServer, IWServerAddress.Text, was.PopServer);
  AccountEdit::IfChanged(edit.PopUserName, IWServerUserName.Text, was.PopUserName);
  AccountEdit::IfChanged(edit.PopPort, port, static_cast<int>(was.PopPort));
  return edit;
}

void TIWUserSettings::OkayClick() {
  TIWApplication& session = WebApplication();
  TUserSession* state = SessionOf(session);
  if (session.SessionEnding() || state == nullptr || !state->LoggedIn) return;
  switch (mode_) {
    case Mode::Apply:
      return ApplyOwn(*state);
    case Mode::Add:
      return AddAccount(*state);
    case Mode::Save:
      return SaveAccount(*state);
  }
}

void TIWUserSettings::ApplyOwn(TUserSession& state) {
  // Only a Power User has this page for the own account; one demoted to User since it was
  // opened changes nothing here.
  if (state.User.PermissionLevel != 1) {
    Furniture.Navigate("IWMain");
    WebApplication().ShowUserMessage(state.App().Text(kHtmlDialogStrings, "UserUpdateError"));
    return;
  }
  struct Required {
    const TIWEdit& box;
    const char* key;
  };
  // The passwords are not required: empty boxes keep them.
  for (const Required& item :
       {Required{IWDisplayName, "EnterDisplayName"}, Required{IWEmailAddress, "EnterEmailAddress"},
        Required{IWServerAddress, "EnterServerAddress"}, Required{IWServerPort, "EnterServerPort"},
        Required{IWServerUserName, "EnterServerUserName"}}) {
    if (item.box.Text.empty()) return Refuse(item.key, item.box);
  }
  const auto port = PortNumber(IWServerPort.Text);
  if (!port) return Refuse("ServerPortError", IWServerPort);
  if (!CheckUsable("UserUpdateError")) return;
  if (!PlausibleEmailAddress(IWEmailAddress.Text)) {
    return Refuse("EnterEmailAddress", IWEmailAddress);
  }
  if (!CheckPasswords()) return;
  // The own account, by the name and mail store the session logged in with: the name
  // box and the level are shown read-only and never taken from the post.
  TUserRecord updated;
  const AccountChange done = UpdateAccount(*state.UserList, state.User.UserName, state.User.UserDir,
                                           Changes(state, *port), &updated);
  state.UserList->Reload();
  if (done != AccountChange::kDone) return Refuse("UserUpdateError", IWOkayMeth);
  state.User = updated;
  AddDebugLine("User " + updated.UserName + " changed own settings");
  Furniture.Navigate("IWMain");
}

void TIWUserSettings::AddAccount(TUserSession& state) {
  if (!AdministratorMayAct(state)) return;
  struct Required {
    const TIWEdit& box;
    const char* key;
  };
  for (const Required& item :
       {Required{IWUserName, "EnterUserNameError"}, Required{IWUserPass, "EnterPasswordError"},
        Required{IWUserConfirm, "ConfirmPasswordError"},
        Required{IWDisplayName, "EnterDisplayName"}, Required{IWEmailAddress, "EnterEmailAddress"},
        Required{IWServerAddress, "EnterServerAddress"}, Required{IWServerPort, "EnterServerPort"},
        Required{IWServerUserName, "EnterServerUserName"},
        Required{IWServerUserPass, "EnterServerUserPass"}}) {
    if (item.box.Text.empty()) return Refuse(item.key, item.box);
  }
  const auto port = PortNumber(IWServerPort.Text);
  if (!port) return Refuse("ServerPortError", IWServerPort);
  if (!CheckUsable("NewUserAddError")) return;
  switch (CheckNewUserName(IWUserName.Text)) {
    case NewUserNameProblem::kNone:
      break;
    case NewUserNameProblem::kReserved:
      return Refuse("UserNameExists", IWUserName);
    default:
      return Refuse("NewUserAddError", IWUserName);
  }
  if (!PlausibleEmailAddress(IWEmailAddress.Text)) {
    return Refuse("EnterEmailAddress", IWEmailAddress);
  }
  if (!EqualsIgnoringAsciiCase(IWUserPass.Text, IWUserConfirm.Text)) {
    return Refuse("PasswordMatchError", IWUserPass);
  }
  const int level = IWUserPermissions.ItemIndex();
  if (level < 0 || level > 2) return Refuse("UserUpdateError", IWUserPermissions);
  TUserRecord user;
  user.UserName = IWUserName.Text;
  user.Password = IWUserPass.Text;
  user.PermissionLevel = level;
  user.AutoCheckEmails = state.App().Config().AutoCheckEmails && IWSysCheckEmail.Checked;
  user.EmailCheckOnLogin = IWLogonCheckEmail.Checked;
  user.AutoAddContacts = IWAutoAddContacts.Checked;
  user.AddSignature = IWAddSig.Checked;
  user.LeaveEmails = IWLeaveMsgs.Checked;
  user.EmailDisplayName = IWDisplayName.Text;
  user.EmailAddress = IWEmailAddress.Text;
  user.PopServer = IWServerAddress.Text;
  user.PopPort = *port;
  user.PopUserName = IWServerUserName.Text;
  user.PopPassword = IWServerUserPass.Text;
  // A fresh mail store of its own: never the store of an account deleted before.
  NewAccountResult added = NewAccountResult::kNoStore;
  try {
    added = state.UserList->AddUserWithNewStore(user);
  } catch (const std::exception&) {
    added = NewAccountResult::kNoStore;
  }
  state.UserList->Reload();
  if (added == NewAccountResult::kNameTaken) return Refuse("UserNameExists", IWUserName);
  if (added != NewAccountResult::kAdded) return Refuse("NewUserAddError", IWUserName);
  AddDebugLine("Web Admin: " + state.User.UserName + " added user " + user.UserName);
  Furniture.Navigate("IWAdminSettings");
}

void TIWUserSettings::SaveAccount(TUserSession& state) {
  if (!AdministratorMayAct(state)) return;
  // An account without a POP3 mailbox (port 0) may keep it so.
  const bool port_kept = IWServerPort.Text == PortText(original_.PopPort);
  const auto port =
      port_kept ? std::optional<int>(original_.PopPort) : PortNumber(IWServerPort.Text);
  if (!port) return Refuse("ServerPortError", IWServerPort);
  const bool renamed = IWUserName.Editable && IWUserName.Text != original_.UserName;
  if (renamed) {
    if (IWUserName.Text.empty()) return Refuse("EnterUserNameError", IWUserName);
    switch (CheckNewUserName(IWUserName.Text)) {
      case NewUserNameProblem::kNone:
        break;
      case NewUserNameProblem::kReserved:
        return Refuse("UserNameExists", IWUserName);
      default:
        return Refuse("UserUpdateError", IWUserName);
    }
  }
  if (!CheckUsable("UserUpdateError")) return;
  if (!CheckPasswords()) return;
  AccountEdit edit = Changes(state, *port);
  if (renamed) edit.UserName = IWUserName.Text;
  if (IWUserPermissions.Enabled) {
    const int level = IWUserPermissions.ItemIndex();
    if (level < 0 || level > 2) return Refuse("UserUpdateError", IWUserPermissions);
    AccountEdit::IfChanged(edit.PermissionLevel, level,
                           static_cast<int>(original_.PermissionLevel));
  }
  const std::string admin = state.User.UserName;  // before a rename of the own account
  TUserRecord updated;
  const AccountChange done =
      UpdateAccount(*state.UserList, original_.UserName, original_.UserDir, edit, &updated);
  state.UserList->Reload();
  if (done == AccountChange::kNameTaken) return Refuse("UserNameExists", IWUserName);
  if (done != AccountChange::kDone) return Refuse("UserUpdateError", IWOkayMeth);
  // The administrator's own account: the session takes the new values.
  if (std::filesystem::path(updated.UserDir).lexically_normal() ==
      std::filesystem::path(state.User.UserDir).lexically_normal()) {
    state.User = updated;
    state.LoginName = GreetingName(updated.UserName);
  }
  AddDebugLine("Web Admin: " + admin + " updated user " + updated.UserName);
  Furniture.Navigate("IWAdminSettings");
}

void TIWUserSettings::CancelClick() {
  if (WebApplication().SessionEnding()) return;
  Furniture.Navigate(mode_ == Mode::Apply ? "IWMain" : "IWAdminSettings");
}

void TIWUserSettings::DelUserClick() {
  TIWApplication& session = WebApplication();
  TUserSession* state = SessionOf(session);
  if (session.SessionEnding() || state == nullptr || mode_ != Mode::Save) return;
  if (!AdministratorMayAct(*state)) return;
  const TWebApp& app = state->App();
  if (IsAdminName(original_.UserName)) {
    session.ShowUserMessage(app.Text(kHtmlDialogStrings, "DelAdminError"));
    return;
  }
  const AccountChange done = DeleteAccount(*state->UserList, original_.UserName, original_.UserDir,
                                           app.Config().UserDirectories);
  state->UserList->Reload();
  if (done != AccountChange::kDone) {
    session.ShowUserMessage(app.Text(kHtmlDialogStrings, "DeleteUserError"));
    return;
  }
  AddDebugLine("Web Admin: " + state->User.UserName + " deleted user " + original_.UserName);
  Furniture.Navigate("IWAdminSettings");
}

void TIWUserSettings::TestConnectionClick() {
  TIWApplication& session = WebApplication();
  TUserSession* state = SessionOf(session);
  if (session.SessionEnding() || state == nullptr || !state->LoggedIn) return;
  if (mode_ != Mode::Apply && !AdministratorMayAct(*state)) return;
  // The stored POP3 password is never shown; an empty box tests with it, but only
  // against the stored server and account, so that it cannot be sent anywhere else.
  std::string password = IWServerUserPass.Text;
  if (password.empty() && mode_ != Mode::Add && IWServerAddress.Text == original_.PopServer &&
      IWServerPort.Text == PortText(original_.PopPort) &&
      IWServerUserName.Text == original_.PopUserName) {
    password = original_.PopPassword;
  }
  const auto port = CheckConnectionBoxes(
      Boxes(), password,
      [this](const char* key, const TIWBaseControl& focus) { Refuse(key, focus); });
  if (!port) return;
  if (RunConnectionTest(session, *state, Boxes(), *port, password, {})) {
    session.ShowUserMessage(state->App().Text(kHtmlDialogStrings, "ServerTestCorrect"));
  }
}

void TIWUserSettings::CreateSigClick() {
  TIWApplication& session = WebApplication();
  TUserSession* state = SessionOf(session);
  if (session.SessionEnding() || state == nullptr || !state->LoggedIn) return;
  if (mode_ == Mode::Add) {
    session.ShowUserMessage(state->App().Text(kFeedbackStrings, "SignatureBeforeAdd"));
    return;
  }
  if (mode_ == Mode::Apply) return OpenSignaturePage(*this, *state, state->User.UserDir);
  if (!AdministratorMayAct(*state)) return;
  // The edited account's own stored mail store, as long as it is still that account.
  TUserRecord account;
  if (!FindCurrentUser(*state, original_.UserName, account) ||
      std::filesystem::path(account.UserDir).lexically_normal() !=
          std::filesystem::path(original_.UserDir).lexically_normal()) {
    session.ShowUserMessage(state->App().Text(kHtmlDialogStrings, "UserUpdateError"));
    return;
  }
  OpenSignaturePage(*this, *state, account.UserDir);
}

}  // namespace kestrune
