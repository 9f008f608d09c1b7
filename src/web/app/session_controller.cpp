// The session controller: the first page of each session, the end of a session, HTTP
// Basic authentication and the entry of a known user.
#include "web/app/session_controller.h"

#include "log/debug_log.h"
#include "mail/id_message.h"
#include "mail/id_pop3.h"
#include "mail/id_smtp.h"
#include "platform/ascii.h"
#include "platform/date_time.h"
#include "settings/program_config.h"
#include "store/contacts_db.h"
#include "store/email_db.h"
#include "store/mail_store_paths.h"
#include "store/text_utils.h"
#include "store/user_names.h"
#include "web/app/session_mail.h"
#include "web/toolkit/app_form.h"
#include "web/toolkit/request_guards.h"

namespace kestrune {

void LogAuthorization(std::string_view kind, std::string_view name, bool accepted) {
  if (!accepted && name.empty()) return;
  AddDebugLine(std::string(kind) + " Authorization Request for: " + ProperCase(name) +
               (accepted ? " Accepted." : " Declined."));
}

bool FindCurrentUser(TUserSession& state, std::string_view name, TUserRecord& user) {
  TUserList& list = *state.UserList;
  if (!list.IsOpen() && !list.Open(state.App().Config().UserDirectories)) return false;
  // Accounts added, removed or changed since this copy was read count at once.
  if (!list.Reload()) return false;
  TUserRecord found;
  if (!list.FindUser(name, found)) return false;
  // A record without a mail store would let pages work in the working directory, and one
  // whose store lies outside the users directory would serve that directory's files.
  if (!IsUserDirInside(found.UserDir, state.App().Config().UserDirectories)) return false;
  user = std::move(found);
  return true;
}

TIWAppForm& EnterSession(TIWApplication& session, TUserSession& state) {
  state.LoggedIn = true;
  session.MarkLoggedIn();
  state.OpenContactsDB();
  state.HideContacts = !state.ContactsDB || state.ContactsDB->CountActive() == 0;
  TIWAppForm* main = session.FindPage(state.App().Pages().Main.ObjectName);
  if (main == nullptr) main = &session.CreatePage(state.App().Pages().Main);
  session.ShowPage(main);
  // After the home page is on top, so that what the fetch reports appears there.
  if (state.User.EmailCheckOnLogin) {
    state.OpenEmailDB();
    SessionReceive(session, state);
  }
  return *main;
}

void TSessionController::Install(TIWServerController& controller) {
  controller.Events = this;
  controller.MainFormClass = app_.Pages().Login;
  controller.AuthBeforeNewSession = app_.Config().LoginType != 0;
}

std::string TSessionController::PageLanguage(TIWApplication& session) {
  const TUserSession* state = SessionOf(session);
  const LanguagePack& pack =
      state != nullptr && state->Language ? *state->Language : *app_.Languages().Default();
  return std::string(LanguageTagOf(pack.code()));
}

std::string TSessionController::TemplateText(TIWApplication& session, std::string_view english) {
  const TUserSession* state = SessionOf(session);
  const LanguagePack& pack =
      state != nullptr && state->Language ? *state->Language : *app_.Languages().Default();
  return pack.TemplateText(english);
}

const LanguagePack& TSessionController::RequestLanguage(const HttpRequest& request) const {
  if (const OfferedLanguage* chosen =
          app_.Languages().WithCode(CookieValue(request, kLanguageCookie))) {
    return *chosen->pack;
  }
  return *app_.Languages().Default();
}

std::string TSessionController::ErrorPageText(const HttpRequest& request,
                                              std::string_view english) {
  return RequestLanguage(request).TemplateText(english);
}

std::string TSessionController::ErrorPageLanguage(const HttpRequest& request) {
  return std::string(LanguageTagOf(RequestLanguage(request).code()));
}

std::string TSessionController::ErrorPageMessage(const HttpRequest& request,
                                                 std::string_view message) {
  if (!LanguagePack::IsKnown(kServerMessageStrings, message)) return std::string(message);
  const std::string& text = RequestLanguage(request).Text(kServerMessageStrings, message);
  return text.empty() ? std::string(message) : text;
}

TIWAppForm* TSessionController::OnNewSession(TIWApplication& session) {
  ++active_sessions_;
  const TProgramConfig& config = app_.Config();
  auto owned = std::make_unique<TUserSession>(app_);
  TUserSession& state = *owned;
  TakeLanguageCookie(session, state);
  state.UserList->Open(config.UserDirectories);
  session.SetData(std::move(owned));

  const bool over_limit = config.LimitConnections && active_sessions_ > config.MaxConnections;
  if (!app_.ServerReady() || over_limit) {
    TIWAppForm& busy = session.CreatePage(app_.Pages().Busy);
    session.EndSession("");
    return &busy;
  }
  if (config.BanIP && app_.FailedLogins().CheckBanned(session.ClientAddress())) {
    TIWAppForm& bad = session.CreatePage(app_.Pages().BadLogin);
    session.EndSession("");
    return &bad;
  }
  if (config.LoginType != 0 && !session.AuthUser().empty()) {
    TUserRecord user;
    if (!FindCurrentUser(state, session.AuthUser(), user)) {
      // The account went away since the credentials were checked. Never a page with an
      // empty user record: that would be an administrator whose mail store is the working
      // directory. The browser gets the message instead of a page.
      TIWAppForm& login = session.CreatePage(app_.Pages().Login);
      session.EndSession(app_.Text(kHtmlDialogStrings, "IncorrectUserPassError"));
      return &login;
    }
    state.LoginName = GreetingName(user.UserName);
    state.User = std::move(user);
    return &EnterSession(session, state);
  }
  return nullptr;
}

bool TSessionController::OnSessionRequest(TIWApplication& session) {
  TUserSession* state = SessionOf(session);
  if (state == nullptr || !state->LoggedIn) return true;
  const std::string& users_directory = app_.Config().UserDirectories;
  const FileStamp now = StampOf(std::filesystem::path(users_directory) / TUserList::kFileName);
  if (now.exists && now == state->AccountChecked) return true;
  TUserRecord current;
  // The same mail store tells the same account: a deleted account's store is moved aside
  // and a new account of that name gets another.
  if (FindCurrentUser(*state, state->User.UserName, current) &&
      std::filesystem::path(current.UserDir).lexically_normal() ==
          std::filesystem::path(state->User.UserDir).lexically_normal()) {
    state->User.PermissionLevel = current.PermissionLevel;
    state->AccountChecked = now;
    return true;
  }
  if (!now.exists) return true;  // no file to judge by (being replaced): ask again next time
  AddDebugLine("User " + state->User.UserName + " no longer exists: session ended");
  state->LoggedIn = false;
  session.EndSessionAndRedirect("/files/logout.htm");
  return false;
}

void TSessionController::OnCloseSession(TIWApplication& session) {
  --active_sessions_;
  TUserSession* state = SessionOf(session);
  if (state == nullptr) return;
  // Nothing is saved: every change was saved when it was made.
  state->EmailDB.reset();
  state->Pop.reset();
  state->ContactsDB.reset();
  state->Smtp.reset();
  state->Msg.reset();
  if (state->UserList) {
    if (state->UserList->IsOpen()) state->UserList->Close();
    state->UserList.reset();
  }
}

bool TSessionController::Authorize(std::string_view user_name, std::string_view password,
                                   std::string_view client_address) {
  // Basic credentials are guesses like the login page's: with BanIP they are counted
  // before they are checked, and a banned address gets no check at all.
  const bool throttled = app_.Config().BanIP;
  if (throttled && app_.FailedLogins().BeginAttempt(client_address, user_name) ==
                       TFailedLogins::Attempt::kBanned) {
    LogAuthorization("HTTP", user_name, false);
    return false;
  }
  bool accepted = false;
  try {
    TUserList users;
    if (users.Open(app_.Config().UserDirectories)) {
      TUserRecord user;
      accepted = users.FindUser(user_name, user) && !user.UserDir.empty() &&
                 EqualsIgnoringAsciiCase(password, user.Password);
      users.Close();
    }
  } catch (const std::exception&) {
    accepted = false;
  }
  if (accepted) {
    if (throttled) app_.FailedLogins().RegisterLogin(client_address, user_name);
    DebugLog().SetLastUser(user_name, DateTimeText(NowAsDateValue()));
    DebugLog().UpdateStats();
  }
  LogAuthorization("HTTP", user_name, accepted);
  return accepted;
}

}  // namespace kestrune
