// The pages at the door of the web mail: the login page, the self-registration page, the
// bad-login page (an address that failed too often) and the busy page (a session that may
// not start).
#pragma once

#include <string>

#include "web/pages/account_form.h"
#include "web/pages/language_choice.h"
#include "web/toolkit/app_form.h"
#include "web/toolkit/controls_text.h"
#include "web/toolkit/page_class.h"

namespace kestrune {

class TUserSession;

// A page without controls that only shows its template.
class TIWTemplatePage : public TIWAppForm {
 public:
  TIWTemplatePage(TIWApplication& session, std::string name, std::string class_name,
                  std::string template_name);
};

class TIWBadLogin : public TIWTemplatePage {
 public:
  TIWBadLogin(TIWApplication& session, std::string name, std::string class_name)
      : TIWTemplatePage(session, std::move(name), std::move(class_name), "badlogin.htm") {}
  static TIWPageClass PageClass();
};

class TIWBusy : public TIWTemplatePage {
 public:
  TIWBusy(TIWApplication& session, std::string name, std::string class_name)
      : TIWTemplatePage(session, std::move(name), std::move(class_name), "busy.htm") {}
  static TIWPageClass PageClass();
};

class TIWLogin : public TIWAppForm {
 public:
  TIWLogin(TIWApplication& session, std::string name, std::string class_name);
  static TIWPageClass PageClass();

  TIWEdit& IWUserName;
  TIWEdit& IWPassword;
  TIWButton& IWSubmit;
  TIWLink& IWWebReg;
  TIWLabel& IWHeading;
  TIWLabel& IWLead;
  TIWLabel& IWUserNameLbl;
  TIWLabel& IWPasswordLbl;
  TIWLanguageChoice& IWLanguage;

 private:
  void Render();
  void RenderLanguageChoice();
  void ChooseLanguage(std::string_view code);
  void Login();
  void WebRegClick();
  TUserSession& State() const;
};

class TIWNewUser : public TIWAppForm {
 public:
  TIWNewUser(TIWApplication& session, std::string name, std::string class_name);
  static TIWPageClass PageClass();

  TIWEdit& IWUserName;
  TIWEdit& IWUserPass;
  TIWEdit& IWUserConfirm;
  TIWCheckBox& IWSameUserPass;
  TIWCheckBox& IWLogonCheckEmail;
  TIWEdit& IWDisplayName;
  TIWEdit& IWEmailAddress;
  TIWEdit& IWServerAddress;
  TIWEdit& IWServerPort;
  TIWCheckBox& IWLeaveMsgs;
  TIWEdit& IWServerUserName;
  TIWEdit& IWServerUserPass;
  TIWButton& IWTestConnection;
  TIWCheckBox& IWReadTerms;
  TIWLink& IWTerms;
  TIWButton& IWRegister;
  TIWButton& IWCancel;

  // Empties the form for a new registration (what the login page's link does).
  void Clear();

 private:
  void Render();
  void RegisterClick();
  void SameUserPassClick();
  void TestConnectionClick();
  AccountBoxes Boxes();
  // Whether registration is open; a refused handler shows nothing (the page is only
  // reachable through a link that is not shown then).
  bool RegistrationAllowed() const;
  // Shows the message of HTML Dialog Strings / key and moves the focus to control.
  void Refuse(const char* key, const TIWBaseControl& control);
  TUserSession& State() const;
};

}  // namespace kestrune
