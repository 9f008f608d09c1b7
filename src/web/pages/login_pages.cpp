// Login, registration, bad-login and busy pages.
#include "web/pages/login_pages.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <mutex>
#include <optional>

#include "log/debug_log.h"
#include "platform/ascii.h"
#include "platform/date_time.h"
#include "platform/escape.h"
#include "settings/program_config.h"
#include "settings/web_registration.h"
#include "store/text_utils.h"
#include "store/user_names.h"
#include "web/app/action_feedback.h"
#include "web/app/session_controller.h"
#include "web/app/session_mail.h"
#include "web/app/user_session.h"
#include "web/pages/account_form.h"
#include "web/pages/page_texts.h"
#include "web/toolkit/application.h"

namespace kestrune {
namespace {

constexpr const char* kLoginFieldStyle =
    "width:80%;height:21;z-index:100;font: 13px;text-align:left";
// A connection test before log-in waits this long for the server's greeting and its
// answers: a POP3 server answers at once, and a worker is not held for a minute.
constexpr int kAnonymousTestTimeoutMs = 5000;

// "a, b or c" in the page's language.
std::string JoinedNames(const TWebApp& app, const std::vector<std::string>& names) {
  if (names.size() < 2) return names.empty() ? std::string() : names.front();
  std::string joined;
  for (std::size_t i = 0; i + 1 < names.size(); ++i) joined += (i > 0 ? ", " : "") + names[i];
  return FeedbackText(app, "NamesOr", {{"names", joined}, {"last", names.back()}});
}

}  // namespace

TIWTemplatePage::TIWTemplatePage(TIWApplication& session, std::string name, std::string class_name,
                                 std::string template_name)
    : TIWAppForm(session, std::move(name), std::move(class_name)) {
  TemplateProcessor.Templates.Default = std::move(template_name);
}

TIWPageClass TIWBadLogin::PageClass() {
  return PageClassOf<TIWBadLogin>("TIWBadLogin", "IWBadLogin");
}
TIWPageClass TIWBusy::PageClass() { return PageClassOf<TIWBusy>("TIWBusy", "IWBusy"); }

// --- Login page ---------------------------------------------------------------------

TIWPageClass TIWLogin::PageClass() { return PageClassOf<TIWLogin>("TIWLogin", "IWLogin"); }

TIWLogin::TIWLogin(TIWApplication& session, std::string name, std::string class_name)
    : TIWAppForm(session, std::move(name), std::move(class_name)),
      IWUserName(AddControl<TIWEdit>("IWUserName")),
      IWPassword(AddControl<TIWEdit>("IWPassword")),
      IWSubmit(AddControl<TIWButton>("IWSubmit")),
      IWWebReg(AddControl<TIWLink>("IWWebReg")),
      IWHeading(AddControl<TIWLabel>("IWHeading")),
      IWLead(AddControl<TIWLabel>("IWLead")),
      IWUserNameLbl(AddControl<TIWLabel>("IWUserNameLbl")),
      IWPasswordLbl(AddControl<TIWLabel>("IWPasswordLbl")),
      IWLanguage(AddControl<TIWLanguageChoice>("IWLanguage")) {
  TemplateProcessor.Templates.Default = "login.htm";
  IWLanguage.DoSubmitValidation = false;
  IWLanguage.OnChoose = [this](std::string_view code) { ChooseLanguage(code); };
  IWPassword.PasswordPrompt = true;
  SetFieldStyle(IWUserName, kLoginFieldStyle);
  SetFieldStyle(IWPassword, kLoginFieldStyle);
  OnRender = [this](TIWAppForm&) { Render(); };
  IWSubmit.OnClick = [this](TIWBaseControl&) { Login(); };
  IWPassword.OnSubmit = [this](TIWBaseControl&) { Login(); };
  OnDefaultAction = [this](TIWAppForm&) { Login(); };
  IWWebReg.OnClick = [this](TIWBaseControl&) { WebRegClick(); };
  SetActiveControl(IWUserName);
}

TUserSession& TIWLogin::State() const { return *SessionOf(WebApplication()); }

void TIWLogin::Render() {
  const TWebApp& app = State().App();
  IWUserName.Hint = app.Text(kLoginStrings, "IWUserName.StatusText");
  IWPassword.Hint = app.Text(kLoginStrings, "IWUserPass.StatusText");
  SetTexts(app, kLoginStrings, IWSubmit);
  SetTexts(app, kLoginStrings, IWWebReg);
  // Plain text that wraps like the page's own: a label would keep every space unbreakable.
  for (TIWLabel* label : {&IWHeading, &IWLead, &IWUserNameLbl, &IWPasswordLbl}) {
    label->RawText = true;
    label->Caption = HtmlEscape(app.Text(kLoginStrings, label->Name() + ".Caption"));
  }
  Title = "Kestrune - " + app.Text(kLoginStrings, "IWHeading.Caption");
  IWWebReg.Visible = app.Config().AllowWebReg && app.Config().LoginType == 0;
  RenderLanguageChoice();
}

// The offered languages, each named in itself; none when there is nothing to choose.
void TIWLogin::RenderLanguageChoice() {
  const TUserSession& state = State();
  const LanguagePacks& languages = state.App().Languages();
  const LanguagePack* in_use = state.Language ? state.Language.get() : languages.Default().get();
  IWLanguage.Caption = state.App().Text(kLoginStrings, "IWLanguage.Caption");
  IWLanguage.Choices.clear();
  IWLanguage.CurrentCode.clear();
  for (const OfferedLanguage& language : languages.Offered()) {
    IWLanguage.Choices.push_back(
        {language.name, language.code, std::string(LanguageTagOf(language.code))});
    if (language.pack.get() == in_use) IWLanguage.CurrentCode = language.code;
  }
  IWLanguage.Visible = IWLanguage.Choices.size() > 1;
}

void TIWLogin::ChooseLanguage(std::string_view code) {
  TIWApplication& session = WebApplication();
  if (session.SessionEnding()) return;
  kestrune::ChooseLanguage(session, State(), code);
}

void TIWLogin::Login() {
  TIWApplication& session = WebApplication();
  if (session.SessionEnding()) return;
  TUserSession& state = State();
  TWebApp& app = state.App();
  const TProgramConfig& config = app.Config();
  // One user per session: a second log-in would mix two users' state.
  if (state.LoggedIn) {
    session.ShowUserMessage(app.Text(kHtmlDialogStrings, "IncorrectUserPassError"));
    return;
  }
  const std::string name = IWUserName.Text;
  // The attempt is counted before the password is looked at, and a banned address gets
  // no look at all.
  if (config.BanIP && app.FailedLogins().BeginAttempt(session.ClientAddress(), name) ==
                          TFailedLogins::Attempt::kBanned) {
    session.SwitchToPage("IWBadLogin", app.Pages().BadLogin);
    session.EndSession("");
    return;
  }
  TUserRecord user;
  if (!FindCurrentUser(state, name, user) ||
      !EqualsIgnoringAsciiCase(IWPassword.Text, user.Password)) {
    session.ShowUserMessage(app.Text(kHtmlDialogStrings, "IncorrectUserPassError"));
    IWPassword.Text.clear();
    LogAuthorization("HTML", name, false);
    return;
  }
  DebugLog().SetLastUser(name, DateTimeText(NowAsDateValue()));
  LogAuthorization("HTML", name, true);
  DebugLog().UpdateStats();
  if (config.BanIP) app.FailedLogins().RegisterLogin(session.ClientAddress(), name);
  state.LoginName = GreetingName(user.UserName);
  state.User = std::move(user);
  EnterSession(session, state);
  session.DiscardPage(this);
}

void TIWLogin::WebRegClick() {
  TIWApplication& session = WebApplication();
  if (session.SessionEnding()) return;
  const TProgramConfig& config = State().App().Config();
  if (!config.AllowWebReg || config.LoginType != 0) return;
  auto* page = dynamic_cast<TIWNewUser*>(session.FindPage("IWNewUser"));
  if (page == nullptr)
    page = dynamic_cast<TIWNewUser*>(&session.CreatePage(TIWNewUser::PageClass()));
  session.ShowPage(page);
  page->Clear();
  session.DiscardPage(this);
}

// --- Registration page ----------------------------------------------------------------

TIWPageClass TIWNewUser::PageClass() { return PageClassOf<TIWNewUser>("TIWNewUser", "IWNewUser"); }

TIWNewUser::TIWNewUser(TIWApplication& session, std::string name, std::string class_name)
    : TIWAppForm(session, std::move(name), std::move(class_name)),
      IWUserName(AddControl<TIWEdit>("IWUserName")),
      IWUserPass(AddControl<TIWEdit>("IWUserPass")),
      IWUserConfirm(AddControl<TIWEdit>("IWUserConfirm")),
      IWSameUserPass(AddControl<TIWCheckBox>("IWSameUserPass")),
      IWLogonCheckEmail(AddControl<TIWCheckBox>("IWLogonCheckEmail")),
      IWDisplayName(AddControl<TIWEdit>("IWDisplayName")),
      IWEmailAddress(AddControl<TIWEdit>("IWEmailAddress")),
      IWServerAddress(AddControl<TIWEdit>("IWServerAddress")),
      IWServerPort(AddControl<TIWEdit>("IWServerPort")),
      IWLeaveMsgs(AddControl<TIWCheckBox>("IWLeaveMsgs")),
      IWServerUserName(AddControl<TIWEdit>("IWServerUserName")),
      IWServerUserPass(AddControl<TIWEdit>("IWServerUserPass")),
      IWTestConnection(AddControl<TIWButton>("IWTestConnection")),
      IWReadTerms(AddControl<TIWCheckBox>("IWReadTerms")),
      IWTerms(AddControl<TIWLink>("IWTerms")),
      IWRegister(AddControl<TIWButton>("IWRegister")),
      IWCancel(AddControl<TIWButton>("IWCancel")) {
  TemplateProcessor.Templates.Default = "newuser.htm";
  IWUserPass.PasswordPrompt = true;
  IWUserConfirm.PasswordPrompt = true;
  IWServerUserPass.PasswordPrompt = true;
  IWServerPort.Text = "110";
  IWServerPort.ExtraTagParams = {"size=6"};
  IWServerPort.MaxLength = 5;
  for (TIWEdit* field : {&IWUserName, &IWUserPass, &IWUserConfirm, &IWDisplayName, &IWEmailAddress,
                         &IWServerAddress, &IWServerUserName, &IWServerUserPass}) {
    SetFieldStyle(*field, kFormFieldStyle);
  }
  OnRender = [this](TIWAppForm&) { Render(); };
  IWCancel.OnClick = [this](TIWBaseControl&) {
    if (WebApplication().SessionEnding() || !RegistrationAllowed()) return;
    WebApplication().SwitchToPage("IWLogin", State().App().Pages().Login);
  };
  IWTerms.OnClick = [this](TIWBaseControl&) {
    if (WebApplication().SessionEnding() || !RegistrationAllowed()) return;
    AddToInitProc("NewWindow(\"" + WebApplication().URLBase() + "/Files/terms.htm\",\"\",\"\");");
  };
  IWSameUserPass.OnClick = [this](TIWBaseControl&) { SameUserPassClick(); };
  IWTestConnection.OnClick = [this](TIWBaseControl&) { TestConnectionClick(); };
  IWRegister.OnClick = [this](TIWBaseControl&) { RegisterClick(); };
  SetActiveControl(IWUserName);
}

TUserSession& TIWNewUser::State() const { return *SessionOf(WebApplication()); }

bool TIWNewUser::RegistrationAllowed() const {
  const TProgramConfig& config = State().App().Config();
  return config.AllowWebReg && config.LoginType == 0;
}

void TIWNewUser::Clear() {
  for (TIWEdit* field : {&IWUserName, &IWUserPass, &IWDisplayName, &IWEmailAddress,
                         &IWServerAddress, &IWServerUserName, &IWServerUserPass}) {
    field->Text.clear();
  }
  IWServerPort.Text = "110";
  IWLeaveMsgs.Checked = false;
  IWLogonCheckEmail.Checked = false;
  IWReadTerms.Checked = false;
}

void TIWNewUser::Render() {
  const TWebApp& app = State().App();
  for (TIWControl* control : std::initializer_list<TIWControl*>{
           &IWUserName, &IWUserPass, &IWUserConfirm, &IWSameUserPass, &IWLogonCheckEmail,
           &IWDisplayName, &IWEmailAddress, &IWServerAddress, &IWServerPort, &IWLeaveMsgs,
           &IWServerUserName, &IWServerUserPass, &IWTestConnection, &IWReadTerms, &IWTerms,
           &IWRegister}) {
    SetTexts(app, kNewUserStrings, *control);
  }
  SetTexts(app, kGlobalStrings, IWCancel);
  IWTestConnection.Visible =
      State().LoggedIn || !SettingNameList(app.Config().WebRegTestHosts).empty();
}

void TIWNewUser::Refuse(const char* key, const TIWBaseControl& control) {
  WebApplication().ShowUserMessage(State().App().Text(kHtmlDialogStrings, key));
  SetActiveControl(control);
}

void TIWNewUser::RegisterClick() {
  TIWApplication& session = WebApplication();
  if (session.SessionEnding() || !RegistrationAllowed()) return;
  struct Required {
    const TIWEdit& field;
    const char* key;
  };
  const Required required[] = {
      {IWUserName, "EnterUserNameError"},        {IWUserPass, "EnterPasswordError"},
      {IWUserConfirm, "ConfirmPasswordError"},   {IWDisplayName, "EnterDisplayName"},
      {IWEmailAddress, "EnterEmailAddress"},     {IWServerAddress, "EnterServerAddress"},
      {IWServerPort, "EnterServerPort"},         {IWServerUserName, "EnterServerUserName"},
      {IWServerUserPass, "EnterServerUserPass"},
  };
  if (!IWReadTerms.Checked) return Refuse("ReadTermsError", IWReadTerms);
  for (const Required& item : required) {
    if (item.field.Text.empty()) return Refuse(item.key, item.field);
  }
  const auto port = PortNumber(IWServerPort.Text);
  if (!port) return Refuse("ServerPortError", IWServerPort);
  for (const Required& item : required) {
    if (!UsableField(item.field.Text)) return Refuse("NewUserAddError", item.field);
  }
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
  TUserSession& state = State();
  TWebApp& app = state.App();
  const TProgramConfig& config = app.Config();
  if (!IsRegistrationAddressAllowed(config, IWEmailAddress.Text)) {
    session.ShowUserMessage(
        FeedbackText(app, "RegisterAddressOf",
                     {{"domains", JoinedNames(app, SettingNameList(config.WebRegDomains))}}));
    SetActiveControl(IWEmailAddress);
    return;
  }
  if (!EqualsIgnoringAsciiCase(IWUserPass.Text, IWUserConfirm.Text)) {
    return Refuse("PasswordMatchError", IWUserPass);
  }
  TUserList& users = *state.UserList;
  if (!users.IsOpen() && !users.Open(config.UserDirectories)) {
    return Refuse("NewUserAddError", IWUserName);
  }
  TUserRecord user;
  user.UserName = IWUserName.Text;
  user.Password = IWUserPass.Text;
  user.PermissionLevel = 1;
  user.EmailCheckOnLogin = IWLogonCheckEmail.Checked;
  user.LeaveEmails = IWLeaveMsgs.Checked;
  user.EmailDisplayName = IWDisplayName.Text;
  user.EmailAddress = IWEmailAddress.Text;
  user.PopServer = IWServerAddress.Text;
  user.PopPort = *port;
  user.PopUserName = IWServerUserName.Text;
  user.PopPassword = IWServerUserPass.Text;
  // The name is checked, the mail store made and the account saved in one step under
  // the user database's lock, also against other processes on the same users directory.
  NewAccountResult added = NewAccountResult::kNoStore;
  try {
    added = users.AddUserWithNewStore(user);
  } catch (const std::exception&) {
    added = NewAccountResult::kNoStore;
  }
  users.Reload();
  if (added == NewAccountResult::kNameTaken) return Refuse("UserNameExists", IWUserName);
  if (added != NewAccountResult::kAdded) return Refuse("NewUserAddError", IWUserName);
  // The new user is not logged in: the session's user record stays empty until a log-in.
  TIWAppForm* login = session.FindPage("IWLogin");
  if (login == nullptr) login = &session.CreatePage(app.Pages().Login);
  session.ShowPage(login);
  session.ShowUserMessage(app.Text(kHtmlDialogStrings, "RegistrationSuccess"));
  session.DiscardPage(this);
}

void TIWNewUser::SameUserPassClick() {
  if (!RegistrationAllowed()) return;
  SameUserPassChanged(Boxes(),
                      [this](const char* key, const TIWBaseControl& focus) { Refuse(key, focus); });
}

AccountBoxes TIWNewUser::Boxes() {
  return {IWUserName,      IWUserPass,   IWUserConfirm,    IWSameUserPass,
          IWServerAddress, IWServerPort, IWServerUserName, IWServerUserPass};
}

void TIWNewUser::TestConnectionClick() {
  if (!RegistrationAllowed()) return;
  const auto port = CheckConnectionBoxes(
      Boxes(), IWServerUserPass.Text,
      [this](const char* key, const TIWBaseControl& focus) { Refuse(key, focus); });
  if (!port) return;
  TUserSession& state = State();
  // Before log-in only the administrator's POP3 hosts: anything else would let visitors
  // probe hosts and ports from this server.
  const bool anonymous = !state.LoggedIn;
  if (anonymous && !IsRegistrationTestHost(state.App().Config(), IWServerAddress.Text)) {
    WebApplication().ShowUserMessage(state.App().Text(kFeedbackStrings, "TestHostNotListed"));
    return;
  }
  PopTestOptions options;
  if (anonymous) {
    options.timeout_ms = kAnonymousTestTimeoutMs;
    options.failure_text = state.App().Text(kHtmlDialogStrings, "ServerErrorUnexpected");
  }
  if (RunConnectionTest(WebApplication(), state, Boxes(), *port, IWServerUserPass.Text, options)) {
    WebApplication().ShowUserMessage(state.App().Text(kHtmlDialogStrings, "ServerTestCorrect"));
  }
}

}  // namespace kestrune
