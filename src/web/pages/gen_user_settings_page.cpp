// The reduced settings page of a User.
#include "web/pages/gen_user_settings_page.h"

#include <utility>

#include "log/debug_log.h"
#include "platform/ascii.h"
#include "settings/program_config.h"
#include "web/app/session_controller.h"
#include "web/app/user_session.h"
#include "web/pages/account_form.h"
#include "web/pages/account_update.h"
#include "web/pages/compose_page.h"
#include "web/pages/page_texts.h"
#include "web/pages/user_settings_page.h"
#include "web/toolkit/application.h"

namespace kestrune {

TIWPageClass GenUserSetPageClass() { return TIWGenUserSet::PageClass(); }

TIWPageClass TIWGenUserSet::PageClass() {
  return PageClassOf<TIWGenUserSet>("TIWGenUserSet", "IWGenUserSet");
}

TIWGenUserSet::TIWGenUserSet(TIWApplication& session, std::string name, std::string class_name)
    : TIWAppForm(session, std::move(name), std::move(class_name)),
      IWLoggedUser(AddControl<TIWLabel>("IWLoggedUser")),
      IWUserPass(AddControl<TIWEdit>("IWUserPass")),
      IWUserConfirm(AddControl<TIWEdit>("IWUserConfirm")),
      IWSysCheckEmail(AddControl<TIWCheckBox>("IWSysCheckEmail")),
      IWLogonCheckEmail(AddControl<TIWCheckBox>("IWLogonCheckEmail")),
      IWAutoAddContacts(AddControl<TIWCheckBox>("IWAutoAddContacts")),
      IWAddSig(AddControl<TIWCheckBox>("IWAddSig")),
      IWCreateSig(AddControl<TIWButton>("IWCreateSig")),
      IWSave(AddControl<TIWButton>("IWSave")),
      IWCancel(AddControl<TIWButton>("IWCancel")),
      Furniture(*this, "") {
  TemplateProcessor.Templates.Default = "genuserset.htm";
  for (TIWEdit* password : {&IWUserPass, &IWUserConfirm}) {
    password->PasswordPrompt = true;
    password->ExtraTagParams = {"autocomplete=new-password"};
    SetFieldStyle(*password, kFormFieldStyle);
  }
  IWSave.Caption = "Save";
  OnRender = [this](TIWAppForm&) { Render(); };
  IWSave.OnClick = [this](TIWBaseControl&) { SaveClick(); };
  BindComposeOpeners(Furniture, *this);
  IWCancel.OnClick = [this](TIWBaseControl&) {
    if (!WebApplication().SessionEnding()) Furniture.Navigate("IWMain");
  };
  IWCreateSig.OnClick = [this](TIWBaseControl&) {
    TIWApplication& session = WebApplication();
    TUserSession* state = SessionOf(session);
    if (session.SessionEnding() || state == nullptr || !state->LoggedIn) return;
    OpenSignaturePage(*this, *state, state->User.UserDir);
  };
}

void TIWGenUserSet::Refuse(const char* key, const TIWBaseControl& focus) {
  WebApplication().ShowUserMessage(
      SessionOf(WebApplication())->App().Text(kHtmlDialogStrings, key));
  SetActiveControl(focus);
}

void TIWGenUserSet::Fill(TUserSession& state) {
  TUserRecord account;
  if (!FindCurrentUser(state, state.User.UserName, account)) account = state.User;
  original_ = account;
  IWUserPass.Text.clear();
  IWUserConfirm.Text.clear();
  IWSysCheckEmail.Checked = account.AutoCheckEmails;
  IWLogonCheckEmail.Checked = account.EmailCheckOnLogin;
  IWAutoAddContacts.Checked = account.AutoAddContacts;
  IWAddSig.Checked = account.AddSignature;
  SetActiveControl(IWUserPass);
}

void TIWGenUserSet::Render() {
  TIWApplication& session = WebApplication();
  TUserSession* state = SessionOf(session);
  if (session.SessionEnding() || state == nullptr || !state->LoggedIn) return;
  if (state->SettingsFill) {
    state->SettingsFill = false;
    Fill(*state);
  }
  const TWebApp& app = state->App();
  for (TIWControl* control : std::initializer_list<TIWControl*>{
           &IWUserPass, &IWUserConfirm, &IWSysCheckEmail, &IWLogonCheckEmail, &IWAutoAddContacts,
           &IWAddSig, &IWCreateSig, &IWSave}) {
    SetTexts(app, kGenUserSetStrings, *control);
  }
  SetTexts(app, kGlobalStrings, IWCancel);
  if (!app.Config().AutoCheckEmails) IWSysCheckEmail.Checked = false;
  IWSysCheckEmail.Visible = app.Config().AutoCheckEmails;
  if (state->SignatureStored && EqualsIgnoringAsciiCase(state->SignatureReturnPage, Name())) {
    IWAddSig.Checked = true;
    state->SignatureStored = false;
  }
  Furniture.Render(*state);
  IWLoggedUser.Caption = state->LoginName;
}

void TIWGenUserSet::SaveClick() {
  TIWApplication& session = WebApplication();
  TUserSession* state = SessionOf(session);
  if (session.SessionEnding() || state == nullptr || !state->LoggedIn) return;
  // Empty boxes keep the password.
  if (!IWUserPass.Text.empty() || !IWUserConfirm.Text.empty()) {
    if (IWUserPass.Text.empty()) return Refuse("EnterPasswordError", IWUserPass);
    if (IWUserConfirm.Text.empty()) return Refuse("ConfirmPasswordError", IWUserConfirm);
    if (!EqualsIgnoringAsciiCase(IWUserPass.Text, IWUserConfirm.Text)) {
      return Refuse("PasswordMatchError", IWUserPass);
    }
    if (!UsableField(IWUserPass.Text)) return Refuse("UserUpdateError", IWUserPass);
  }
  AccountEdit edit;
  if (!IWUserPass.Text.empty()) edit.Password = IWUserPass.Text;
  const bool auto_check = state->App().Config().AutoCheckEmails && IWSysCheckEmail.Checked;
  AccountEdit::IfChanged(edit.AutoCheckEmails, auto_check, original_.AutoCheckEmails);
  AccountEdit::IfChanged(edit.EmailCheckOnLogin, IWLogonCheckEmail.Checked,
                         original_.EmailCheckOnLogin);
  AccountEdit::IfChanged(edit.AutoAddContacts, IWAutoAddContacts.Checked,
                         original_.AutoAddContacts);
  AccountEdit::IfChanged(edit.AddSignature, IWAddSig.Checked, original_.AddSignature);
  TUserRecord updated;
  const AccountChange done =
      UpdateAccount(*state->UserList, state->User.UserName, state->User.UserDir, edit, &updated);
  state->UserList->Reload();
  if (done != AccountChange::kDone) return Refuse("UserUpdateError", IWSave);
  state->User = updated;
  AddDebugLine("User " + updated.UserName + " changed own settings");
  Furniture.Navigate("IWMain");
}

}  // namespace kestrune
