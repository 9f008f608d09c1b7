// TIWApplication: one browser session with its identity, its page stack and the page
// operations that page code performs on it. A session is used by one request thread at
// a time (the session table hands it out to one request only), so its members need no
// lock of their own.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "web/toolkit/browser.h"
#include "web/toolkit/page_class.h"
#include "web/toolkit/posted_form.h"

namespace kestrune {

struct TIWServerController;
class TIWAppForm;

// The program's per-session state (TUserSession) derives from this; the session owns it.
class TIWSessionData {
 public:
  virtual ~TIWSessionData() = default;
};

// The 41-character session id: a 24-hex-digit key (the first 8 name the session in the
// table) followed by the 17-digit creation stamp "yyyymmddhhnnsszzz".
struct SessionIdentity {
  std::uint32_t table_key = 0;
  std::string key;    // 24 upper-case hexadecimal characters, all random
  std::string stamp;  // 17 digits
  std::string Id() const { return key + stamp; }
};

// A fresh identity whose 8-digit table key is `table_key`; the rest of the key comes
// from the kernel's random source.
SessionIdentity MakeSessionIdentity(std::uint32_t table_key,
                                    std::chrono::system_clock::time_point created);

// The table key named by an id's first 8 characters; none when they are not hexadecimal.
std::optional<std::uint32_t> TableKeyOfId(std::string_view id);

// Comparison of secrets (session ids, Basic credentials) whose time does not depend on
// where the texts differ.
bool SameSecret(std::string_view a, std::string_view b);

class TIWApplication {
 public:
  TIWApplication(const TIWServerController& controller, SessionIdentity identity,
                 std::string client_address, TIWBrowser browser);
  ~TIWApplication();  // destroys the user state and every page, removes the cache directory
  TIWApplication(const TIWApplication&) = delete;
  TIWApplication& operator=(const TIWApplication&) = delete;

  // Identity and request facts.
  const std::string& SessionKey() const { return identity_.key; }
  std::string SessionID() const { return identity_.Id(); }
  std::uint32_t TableKey() const { return identity_.table_key; }
  int TrackID() const { return track_id_; }
  const std::string& ClientAddress() const { return client_address_; }
  TIWBrowser Browser() const { return browser_; }
  const std::string& URLBase() const { return url_base_; }
  // The session's cache directory, served as CacheURL() + file name to this session only.
  const std::filesystem::path& CacheDirectory() const { return cache_dir_; }
  const std::string& CacheToken() const { return cache_token_; }
  std::string CacheURL() const { return url_base_ + "/cache/user/" + cache_token_ + "/"; }
  const TIWServerController& Controller() const { return controller_; }
  // The secret every form of the session carries in "IW_FormToken": a post that acts
  // must return it, which a page of another site cannot read.
  const std::string& FormToken() const { return form_token_; }

  // HTTP Basic credentials of the creating request (kept only with authorization).
  void SetCredentials(std::string user_name, std::string password);
  const std::string& AuthUser() const { return auth_user_; }
  const std::string& AuthPassword() const { return auth_password_; }

  // The user-state slot.
  void SetData(std::unique_ptr<TIWSessionData> data) { data_ = std::move(data); }
  TIWSessionData* Data() const { return data_.get(); }

  // Sessions that never logged in are capped per client address and in total; the
  // program marks a session once its user has logged in.
  void MarkLoggedIn() { logged_in_ = true; }
  bool LoggedIn() const { return logged_in_; }

  // Page operations.
  bool OwnsPage(const TIWAppForm* page) const;
  TIWAppForm* ActivePage() const;
  TIWAppForm* FindPage(std::string_view name) const;
  TIWAppForm& CreatePage(const TIWPageClass& page_class);
  void ShowPage(TIWAppForm* page);
  void DiscardPage(TIWAppForm* page);
  TIWAppForm& SwitchToPage(std::string_view name, const TIWPageClass& page_class);
  void ShowUserMessage(std::string_view text);
  void SendDownload(const std::filesystem::path& path, bool as_attachment);
  // The same with bytes the program holds in memory (an attachment, a message), so that
  // nothing private is written where a URL could reach it. An empty content type is
  // taken from the file name's extension.
  void SendDownload(std::string content, std::string_view file_name, std::string_view content_type,
                    bool as_attachment);
  void EndSession(std::string_view message);
  void EndSessionAndRedirect(std::string_view url);
  bool SessionEnding() const { return ending_; }

  // The current request's post (empty outside a request).
  const PostedForm& Post() const { return post_; }

  // The value of a cookie the browser sent with the current request (also while a new
  // session is made); empty when absent. Untrusted like every value from a browser.
  std::string RequestCookie(std::string_view name) const;
  // Asks the browser to keep a cookie for max_age on the answer to the current request
  // (the application's path, SameSite=Lax, HttpOnly, Secure over HTTPS). Name and value
  // must be plain cookie tokens; anything else throws std::invalid_argument.
  void SetBrowserCookie(std::string_view name, std::string_view value,
                        std::chrono::seconds max_age);

  // --- Used by the request cycle. ---
  struct Download {
    std::filesystem::path path;          // the file to send, when content is none
    std::optional<std::string> content;  // bytes sent from memory
    std::string file_name;               // offered to the browser (with content)
    std::string content_type;            // empty: from the file name's extension
    bool as_attachment = false;
  };
  void BeginRequest(PostedForm post, TIWAppForm* handler_page);
  void EndRequest();
  std::optional<Download> TakeDownload();
  void SetRequestCookies(std::string cookie_header) { request_cookies_ = std::move(cookie_header); }
  // "name=value; Max-Age=seconds" of each SetBrowserCookie since the last call.
  std::vector<std::string> TakeBrowserCookies();
  void ClearPendingRedirect() { redirect_url_.clear(); }
  const std::string& PendingRedirect() const { return redirect_url_; }
  const std::string& EndingMessage() const { return ending_message_; }
  void DestroyDiscardedPages();
  int AdvanceTrackID() { return ++track_id_; }
  // Takes the page off the stack and destroys it at once (a page the browser cannot show).
  void DestroyPage(TIWAppForm* page);
  void ShowMessagePage(std::string_view text, bool for_exception);

  std::chrono::steady_clock::time_point LastAccess() const { return last_access_; }
  void Touch(std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now()) {
    last_access_ = now;
  }

 private:
  TIWAppForm* OwnedPage(TIWAppForm* page) const;

  const TIWServerController& controller_;
  SessionIdentity identity_;
  std::string client_address_;
  TIWBrowser browser_;
  std::string url_base_;
  std::string cache_token_;
  std::string form_token_;  // 128 random bits naming the cache directory
  std::filesystem::path cache_dir_;
  std::string auth_user_;
  std::string auth_password_;
  int track_id_ = 0;
  std::atomic<bool> logged_in_{false};

  std::vector<std::unique_ptr<TIWAppForm>> pages_;  // owned, in creation order
  std::vector<TIWAppForm*> stack_;                  // back() is the active page
  std::vector<TIWAppForm*> discarded_;
  std::unique_ptr<TIWSessionData> data_;

  bool ending_ = false;
  std::string ending_message_;
  std::string redirect_url_;
  std::optional<Download> download_;
  PostedForm post_;
  std::string request_cookies_;
  std::vector<std::string> browser_cookies_;
  TIWAppForm* handler_page_ = nullptr;
  std::chrono::steady_clock::time_point last_access_;
};

// The session whose request the calling thread serves, or nullptr.
TIWApplication* CurrentApplication();

// Sets CurrentApplication for the lifetime of the object.
class CurrentApplicationScope {
 public:
  explicit CurrentApplicationScope(TIWApplication* session);
  ~CurrentApplicationScope();
  CurrentApplicationScope(const CurrentApplicationScope&) = delete;
  CurrentApplicationScope& operator=(const CurrentApplicationScope&) = delete;

 private:
  TIWApplication* previous_;
};

// A page class descriptor for a TIWAppForm descendant whose constructor takes
// (TIWApplication&, object name, class name).
template <typename Page>
TIWPageClass PageClassOf(std::string class_name, std::string object_name) {
  TIWPageClass page_class;
  page_class.ClassName = class_name;
  page_class.ObjectName = object_name;
  page_class.Factory = [class_name, object_name](TIWApplication& session) {
    return std::unique_ptr<TIWAppForm>(new Page(session, object_name, class_name));
  };
  return page_class;
}

}  // namespace kestrune
