// The full settings page TIWUserSettings: a Power User's own account (Apply), or, for the
// administrator, an existing account (Save) or a new one (Add). Whoever opens it sets the
// session's UserSettingsMode, EditedUser and SettingsFill; the page fills its boxes from
// Users.Dat at its next render and remembers the account as it was then. Passwords are
// never written back to the browser: their boxes start empty and empty means unchanged.
#pragma once

#include <string>

#include "store/user_list.h"
#include "web/app/page_furniture.h"
#include "web/app/user_session.h"
#include "web/pages/account_form.h"
#include "web/toolkit/app_form.h"
#include "web/toolkit/controls_list.h"
#include "web/toolkit/controls_text.h"
#include "web/toolkit/page_class.h"

namespace kestrune {

struct AccountEdit;

TIWPageClass UserSettingsPageClass();

// Opens the signature page ("IWSignature") over `from` for the mail store `dir`; the
// signature page returns to `from`, which stays in the session. Nothing when the program
// has no signature page.
void OpenSignaturePage(TIWAppForm& from, TUserSession& state, const std::string& dir);

class TIWUserSettings : public TIWAppForm {
 public:
  using Mode = TUserSession::SettingsMode;

  TIWUserSettings(TIWApplication& session, std::string name, std::string class_name);
  static TIWPageClass PageClass();

  TIWLabel& IWLoggedUser;
  TIWEdit& IWUserName;
  TIWEdit& IWUserPass;
  TIWEdit& IWUserConfirm;
  TIWRadioGroup& IWUserPermissions;
  TIWCheckBox& IWSysCheckEmail;
  TIWCheckBox& IWLogonCheckEmail;
  TIWCheckBox& IWAutoAddContacts;
  TIWCheckBox& IWAddSig;
  TIWEdit& IWDisplayName;
  TIWEdit& IWEmailAddress;
  TIWEdit& IWServerAddress;
  TIWEdit& IWServerPort;
  TIWEdit& IWServerUserName;
  TIWEdit& IWServerUserPass;
  TIWCheckBox& IWLeaveMsgs;
  TIWCheckBox& IWSameUserPass;
  TIWButton& IWTestConnection;
  TIWButton& IWCreateSig;
  TIWButton& IWOkayMeth;
  TIWButton& IWCancel;
  TIWImageFile& IWAddUser;
  TIWImageFile& IWDelUser;
  TIWLabel& IWBreak;
  PageFurniture Furniture;

  Mode PageMode() const { return mode_; }

 private:
  void Render();
  // Fills the boxes for the session's mode and edited account; false when the edited
  // account is gone (the boxes are then empty and Save finds nothing).
  bool Fill(TUserSession& state);
  void OkayClick();
  void ApplyOwn(TUserSession& state);
  void AddAccount(TUserSession& state);
  void SaveAccount(TUserSession& state);
  void CancelClick();
  void DelUserClick();
  void TestConnectionClick();
  void CreateSigClick();
  // The changes of the boxes against the account as filled.
  AccountEdit Changes(const TUserSession& state, int port) const;
  // Password boxes: empty both keeps the password; else both filled and equal ignoring
  // case. False after the message.
  bool CheckPasswords();
  // Every text box one line of at most 255 bytes. False after the message of key.
  bool CheckUsable(const char* key);
  // The administrator's actions: false (and back to the home page) for a user who is no
  // longer an administrator.
  bool AdministratorMayAct(TUserSession& state);
  void Refuse(const char* key, const TIWBaseControl& focus);
  AccountBoxes Boxes();
  TUserSession& State() const { return *SessionOf(WebApplication()); }

  Mode mode_ = Mode::Apply;
  TUserRecord original_;  // the account as the page was filled (Add: the defaults)
};

}  // namespace kestrune
