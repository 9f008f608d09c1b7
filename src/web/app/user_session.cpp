// The per-session state and the state all sessions share.
#include "web/app/user_session.h"

#include <stdexcept>

#include "log/debug_log.h"
#include "mail/id_message.h"
#include "mail/id_pop3.h"
#include "mail/id_smtp.h"
#include "platform/ascii.h"
#include "settings/program_config.h"
#include "store/contacts_db.h"
#include "store/data_file.h"
#include "store/email_db.h"

namespace kestrune {

const TIWPageClass* SessionPages::Named(std::string_view object_name) const {
  for (const TIWPageClass* page : {&Login, &BadLogin, &Busy, &Main}) {
    if (EqualsIgnoringAsciiCase(page->ObjectName, object_name)) return page;
  }
  for (const TIWPageClass& page : Others) {
    if (EqualsIgnoringAsciiCase(page.ObjectName, object_name)) return &page;
  }
  return nullptr;
}

TWebApp::TWebApp(TProgramConfig& config, std::shared_ptr<const LanguagePack> language,
                 SessionPages pages, TFailedLogins::Clock clock)
    : TWebApp(config, LanguagePacks(std::move(language), {}), std::move(pages), std::move(clock)) {}

TWebApp::TWebApp(TProgramConfig& config, LanguagePacks languages, SessionPages pages,
                 TFailedLogins::Clock clock)
    : config_(config),
      languages_(std::move(languages)),
      pages_(std::move(pages)),
      failed_logins_(config.LoginAttempts, clock),
      clock_(std::move(clock)) {}

const LanguagePack& TWebApp::Language() const {
  // The session's choice is read on the session's own request thread only.
  if (const TUserSession* session = CurrentSession();
      session != nullptr && &session->App() == this && session->Language) {
    return *session->Language;
  }
  return *languages_.Default();
}

void TWebApp::SetAllowWebReg(bool allow) {
  std::atomic_ref<bool>(config_.AllowWebReg).store(allow);
}

void TWebApp::SetShowSuggestions(bool show) {
  std::atomic_ref<bool>(config_.ShowSuggestions).store(show);
}

bool TWebApp::AllowConnectionTest(std::string_view client_address) {
  const auto now = clock_();
  std::lock_guard guard(test_lock_);
  std::erase_if(last_tests_,
                [&](const auto& entry) { return now - entry.second >= kConnectionTestInterval; });
  return last_tests_.emplace(ClientAddressKey(client_address), now).second;
}

TUserSession::TUserSession(TWebApp& app)
    : Pop(std::make_unique<TIdPOP3>()),
      Smtp(std::make_unique<TIdSMTP>()),
      Msg(std::make_unique<TIdMessage>()),
      UserList(std::make_unique<TUserList>()),
      app_(app) {}

TUserSession::~TUserSession() { ResetCompose(Compose, User.UserDir); }

namespace {

// Which version of a mail store file a session's copy was read from.
FileStamp StoreFileStamp(const TUserRecord& user, const char* file_name) {
  return StampOf(std::filesystem::path(user.UserDir) / file_name);
}

}  // namespace

bool TUserSession::OpenEmailDB() {
  if (User.UserDir.empty()) return false;
  const FileStamp now = StoreFileStamp(User, TUserEmailDB::kFileName);
  if (EmailDB && EmailDB->IsOpen() && now == EmailDB->FileVersion()) return true;
  // Every change a page makes is saved at once, so a copy that is behind the file holds
  // nothing of its own and is read again.
  auto fresh = std::make_unique<TUserEmailDB>();
  try {
    if (!fresh->Open(User.UserDir)) return false;
  } catch (const std::exception&) {
    return false;  // damaged or unreadable: the pages show no counts
  }
  EmailDB = std::move(fresh);
  return true;
}

bool TUserSession::OpenContactsDB() {
  if (User.UserDir.empty()) return false;
  const FileStamp now = StoreFileStamp(User, TContactsDB::kFileName);
  if (ContactsDB && ContactsDB->IsOpen() && now == ContactsDB->FileVersion()) return true;
  // As with the index: pages save every change at once, so a copy behind the file (another
  // session or the command line saved) holds nothing of its own and is read again.
  auto fresh = std::make_unique<TContactsDB>();
  try {
    if (!fresh->Open(User.UserDir)) return false;
  } catch (const std::exception&) {
    return false;
  }
  ContactsDB = std::move(fresh);
  return true;
}

const UserPreferences& TUserSession::Preferences() {
  if (!preferences_) {
    preferences_.emplace();
    if (!User.UserDir.empty()) {
      LoadedPreferences loaded = LoadUserPreferences(User.UserDir);
      if (!loaded.problem.empty()) {
        AddDebugLine("User " + User.UserName + ": " + kPreferencesFileName +
                     " not used, defaults instead: " + loaded.problem);
      }
      *preferences_ = loaded.preferences;
    }
  }
  return *preferences_;
}

bool TUserSession::SavePreferences(const UserPreferences& preferences) {
  preferences_ = preferences;  // the session follows the choice even when it is not stored
  if (User.UserDir.empty()) return false;
  try {
    SaveUserPreferences(User.UserDir, preferences);
    return true;
  } catch (const std::exception& e) {
    AddDebugLine("User " + User.UserName + ": " + kPreferencesFileName +
                 " cannot be saved: " + e.what());
    return false;
  }
}

TUserSession* SessionOf(const TIWApplication& session) {
  return dynamic_cast<TUserSession*>(session.Data());
}

void TakeLanguageCookie(const TIWApplication& session, TUserSession& state) {
  const std::string code = session.RequestCookie(kLanguageCookie);
  if (code.empty()) return;
  if (const OfferedLanguage* language = state.App().Languages().WithCode(code)) {
    state.Language = language->pack;
  }
}

bool ChooseLanguage(TIWApplication& session, TUserSession& state, std::string_view code) {
  const OfferedLanguage* language = state.App().Languages().WithCode(code);
  if (language == nullptr) return false;
  state.Language = language->pack;
  // The offered code, not the posted one: only what the lists hold reaches the header.
  try {
    session.SetBrowserCookie(kLanguageCookie, language->code, kLanguageCookieAge);
  } catch (const std::invalid_argument&) {
    // A code the header cannot carry still switches this session.
  }
  return true;
}

TUserSession* CurrentSession() {
  TIWApplication* application = CurrentApplication();
  return application == nullptr ? nullptr : SessionOf(*application);
}

}  // namespace kestrune
