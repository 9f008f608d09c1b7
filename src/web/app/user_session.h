// TUserSession: what every browser session carries (its mail clients, the logged-in user's
// record and data files, its own copy of the user database, and the values pages hand to
// each other), and TWebApp, the state all sessions share (settings, language texts, the
// failed-login list, the page classes). Both are reached from page code through
// CurrentSession(), or a page's session through SessionOf().
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/data_file.h"
#include "store/user_list.h"
#include "store/user_preferences.h"
#include "web/app/compose_state.h"
#include "web/app/failed_logins.h"
#include "web/app/language_pack.h"
#include "web/app/mail_folders.h"
#include "web/toolkit/application.h"
#include "web/toolkit/page_class.h"

namespace kestrune {

struct TProgramConfig;
class TIdPOP3;
class TIdSMTP;
class TIdMessage;
class TUserEmailDB;
class TContactsDB;

// The pages the controller itself sends a session to (they live above this layer).
struct SessionPages {
  TIWPageClass Login;
  TIWPageClass BadLogin;
  TIWPageClass Busy;
  TIWPageClass Main;
  // The other pages the shared toolbar and navigation lead to ("IWInbox", "IWFind" ...).
  std::vector<TIWPageClass> Others;

  // The page class with that object name (ASCII letter case ignored), or nullptr.
  const TIWPageClass* Named(std::string_view object_name) const;
};

// Shared by every session; made once at start, before the listener runs.
class TWebApp {
 public:
  TWebApp(TProgramConfig& config, std::shared_ptr<const LanguagePack> language, SessionPages pages,
          TFailedLogins::Clock clock = std::chrono::steady_clock::now);
  // With every language a browser may choose; languages.Default() serves the others.
  TWebApp(TProgramConfig& config, LanguagePacks languages, SessionPages pages,
          TFailedLogins::Clock clock = std::chrono::steady_clock::now);

  const TProgramConfig& Config() const { return config_; }
  // The administrator's page switches these two settings in memory, for every session.
  void SetAllowWebReg(bool allow);
  void SetShowSuggestions(bool show);
  // The texts of the request the calling thread serves: its session's chosen language,
  // else the server's.
  const LanguagePack& Language() const;
  // A text of that language pack by section and key.
  const std::string& Text(std::string_view section, std::string_view key) const {
    return Language().Text(section, key);
  }
  // The server's language and the languages a browser may choose (read-only).
  const LanguagePacks& Languages() const { return languages_; }
  TFailedLogins& FailedLogins() { return failed_logins_; }
  const SessionPages& Pages() const { return pages_; }

  // Whether the console finished starting; until then every new session is turned away.
  bool ServerReady() const { return server_ready_.load(); }
  void SetServerReady(bool ready) { server_ready_.store(ready); }

  // Whether a client address may test a POP3 account now: one test per address every
  // kConnectionTestInterval, so the page cannot be used to probe servers or passwords in
  // bulk.
  static constexpr std::chrono::seconds kConnectionTestInterval{10};
  bool AllowConnectionTest(std::string_view client_address);

 private:
  TProgramConfig& config_;
  LanguagePacks languages_;
  SessionPages pages_;
  TFailedLogins failed_logins_;
  std::atomic<bool> server_ready_{false};
  TFailedLogins::Clock clock_;
  std::mutex test_lock_;
  std::map<std::string, std::chrono::steady_clock::time_point> last_tests_;
};

class TUserSession : public TIWSessionData {
 public:
  explicit TUserSession(TWebApp& app);
  ~TUserSession() override;

  TWebApp& App() const { return app_; }

  std::unique_ptr<TIdPOP3> Pop;
  std::unique_ptr<TIdSMTP> Smtp;
  std::unique_ptr<TIdMessage> Msg;
  std::string LoginName;  // proper case, set at login
  std::unique_ptr<TUserEmailDB> EmailDB;
  std::unique_ptr<TContactsDB> ContactsDB;
  TUserRecord User;  // all zero before login
  std::unique_ptr<TUserList> UserList;

  // Whether a user logged in through this session (User holds a real record only then).
  bool LoggedIn = false;

  // The language the browser chose (one of App().Languages().Offered()), or nullptr for
  // the server's.
  std::shared_ptr<const LanguagePack> Language;

  // Values handed from page to page.
  bool InboxSelectAll = false;
  bool SavedSelectAll = false;
  bool OutboxSelectAll = false;
  bool SentSelectAll = false;
  bool DeletedSelectAll = false;
  bool HideContacts = false;  // the contacts panel is collapsed while on
  int ViewedMessage = 0;      // index record of the message on the view page
  ComposeState Compose;       // the message being written (its folder goes with the session)
  std::string EditedUser;     // the user name an administrator's settings page edits
  // How the user settings page ("IWUserSettings") opens, set by whoever sends the session
  // there: the user's own account (Apply), an existing account the administrator edits
  // (Save, EditedUser names it) or a new account (Add).
  enum class SettingsMode { Apply, Save, Add };
  SettingsMode UserSettingsMode = SettingsMode::Apply;
  // Set by a settings page before it opens the signature page ("IWSignature"): the page to
  // go back to ("IWUserSettings" or "IWGenUserSet") and the mail store whose
  // "signature.htm" is edited. The signature page sets SignatureStored when it stored a
  // signature; the settings page then ticks its IWAddSig and clears the flag.
  std::string SignatureReturnPage;
  std::string SignatureDir;
  bool SignatureStored = false;
  // Set by whoever opens a settings page ("IWUserSettings", "IWGenUserSet"): the page
  // fills its boxes afresh from the account at its next render, then clears it.
  bool SettingsFill = false;
  // Users.Dat as it was when the session last checked that its account still exists.
  FileStamp AccountChecked;
  // What the next page with a status region tells the user about the last action, and the
  // move its Undo puts back; that render takes both (an Undo is offered once).
  std::string StatusMessage;
  std::vector<MovedMessage> UndoMove;
  MailFolder UndoFolder = MailFolder::kInbox;  // where the undone messages go back to

  // The user's Preferences.toml, read at the first page that needs it.
  const UserPreferences& Preferences();
  // Saves changed preferences; false (and a log line) when the file cannot be written.
  bool SavePreferences(const UserPreferences& preferences);

  // Opens the user's message index (once) on UserDir; reloads it when another holder
  // saved it since. False when it cannot be opened.
  bool OpenEmailDB();
  // Opens the user's contacts (once) on UserDir.
  bool OpenContactsDB();

 private:
  TWebApp& app_;
  std::optional<UserPreferences> preferences_;
};

// The cookie in which a browser keeps its language choice: the code of an offered
// language, kept for a year.
inline constexpr std::string_view kLanguageCookie = "KestruneLanguage";
inline constexpr std::chrono::seconds kLanguageCookieAge{365LL * 24 * 60 * 60};

// A new session takes the browser's language cookie when it names an offered language;
// any other value is ignored.
void TakeLanguageCookie(const TIWApplication& session, TUserSession& state);
// Switches the session to the offered language with that code and has the browser keep
// the choice; false, and nothing changed, for a code that names no offered language.
bool ChooseLanguage(TIWApplication& session, TUserSession& state, std::string_view code);

// The session state of the request the calling thread serves, or nullptr.
TUserSession* CurrentSession();
// The session state of a session (nullptr when it has none).
TUserSession* SessionOf(const TIWApplication& session);

}  // namespace kestrune
