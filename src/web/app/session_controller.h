// TSessionController: the program's side of the toolkit's controller. It makes each
// session's TUserSession, decides a new session's first page (busy, bad-login, home after
// HTTP Basic credentials, else the login page), frees the state when a session closes, and
// checks HTTP Basic credentials when the administrator chose that kind of login.
#pragma once

#include <atomic>
#include <string_view>

#include "web/app/user_session.h"
#include "web/toolkit/server_controller.h"

namespace kestrune {

class TSessionController : public ControllerEvents {
 public:
  explicit TSessionController(TWebApp& app) : app_(app) {}

  // Plugs the controller into the toolkit's settings: its events, the login page as the
  // main page, and HTTP Basic authentication before a session while LoginType is not 0.
  void Install(TIWServerController& controller);

  TIWAppForm* OnNewSession(TIWApplication& session) override;
  void OnCloseSession(TIWApplication& session) override;
  // A logged-in session whose account was deleted (or replaced by a new account of the
  // same name) meanwhile, by any holder of Users.Dat, ends here; the account's current
  // permission level is taken over.
  bool OnSessionRequest(TIWApplication& session) override;
  // The tag of the session's language pack ("de"), empty for a code without one.
  std::string PageLanguage(TIWApplication& session) override;
  std::string TemplateText(TIWApplication& session, std::string_view english) override;
  std::string ErrorPageText(const HttpRequest& request, std::string_view english) override;
  std::string ErrorPageLanguage(const HttpRequest& request) override;
  std::string ErrorPageMessage(const HttpRequest& request, std::string_view message) override;
  // UserAuth: the HTTP Basic credentials of a request that would start a session.
  bool Authorize(std::string_view user_name, std::string_view password,
                 std::string_view client_address) override;

  int ActiveSessions() const { return active_sessions_.load(); }

 private:
  // The pack of a request's browser choice (its language cookie), else the server's.
  const LanguagePack& RequestLanguage(const HttpRequest& request) const;

  TWebApp& app_;
  std::atomic<int> active_sessions_{0};
};

// The steps after a user is known, shared by the login page and HTTP Basic entry: opens
// the contacts, sets the contacts-panel flag, shows the home page (reusing a live one),
// marks the session logged in and then runs the log-in fetch, so that what it reports
// reaches the home page. Returns the home page.
TIWAppForm& EnterSession(TIWApplication& session, TUserSession& state);

// The user record of name from the current Users.Dat (the session's copy is read again
// first, so accounts added or changed since the session started count). False when the
// user does not exist or the list cannot be read.
bool FindCurrentUser(TUserSession& state, std::string_view name, TUserRecord& user);

// The debug-log line of a log-in: "HTML Authorization Request for: Name Accepted." (or
// "HTTP ..." for Basic credentials); nothing for a refused empty name.
void LogAuthorization(std::string_view kind, std::string_view name, bool accepted);

}  // namespace kestrune
