// The reduced settings page TIWGenUserSet of a User (level 2): the password and four
// options of the own account. The password boxes start empty; empty keeps the password.
#pragma once

#include <string>

#include "store/user_list.h"
#include "web/app/page_furniture.h"
#include "web/toolkit/app_form.h"
#include "web/toolkit/controls_text.h"
#include "web/toolkit/page_class.h"

namespace kestrune {

class TUserSession;

TIWPageClass GenUserSetPageClass();

class TIWGenUserSet : public TIWAppForm {
 public:
  TIWGenUserSet(TIWApplication& session, std::string name, std::string class_name);
  static TIWPageClass PageClass();

  TIWLabel& IWLoggedUser;
  TIWEdit& IWUserPass;
  TIWEdit& IWUserConfirm;
  TIWCheckBox& IWSysCheckEmail;
  TIWCheckBox& IWLogonCheckEmail;
  TIWCheckBox& IWAutoAddContacts;
  TIWCheckBox& IWAddSig;
  TIWButton& IWCreateSig;
  TIWButton& IWSave;
  TIWButton& IWCancel;
  PageFurniture Furniture;

 private:
  void Render();
  void Fill(TUserSession& state);
  void SaveClick();
  void Refuse(const char* key, const TIWBaseControl& focus);

  TUserRecord original_;  // the account as the page was filled
};

}  // namespace kestrune
