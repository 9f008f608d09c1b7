// Session identity, page stack and page operations of TIWApplication.
#include "web/toolkit/application.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <stdexcept>
#include <utility>

#include "platform/escape.h"
#include "platform/random.h"
#include "web/toolkit/app_form.h"
#include "web/toolkit/http_message.h"
#include "web/toolkit/page_errors.h"
#include "web/toolkit/request_guards.h"
#include "web/toolkit/server_controller.h"

namespace kestrune {
namespace fs = std::filesystem;

namespace {

thread_local TIWApplication* current_application = nullptr;

std::string CreationStamp(std::chrono::system_clock::time_point created) {
  using namespace std::chrono;
  const std::time_t seconds = system_clock::to_time_t(created);
  const auto millis =
      (duration_cast<milliseconds>(created.time_since_epoch()).count() % 1000 + 1000) % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[64];  // 17 characters, room for any year the calendar gives
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d%03d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(millis));
  return text;
}

}  // namespace

SessionIdentity MakeSessionIdentity(std::uint32_t table_key,
                                    std::chrono::system_clock::time_point created) {
  SessionIdentity identity;
  identity.table_key = table_key;
  char head[9];
  std::snprintf(head, sizeof head, "%08X", table_key);
  identity.key = std::string(head) + RandomHex(8);
  identity.stamp = CreationStamp(created);
  return identity;
}

std::optional<std::uint32_t> TableKeyOfId(std::string_view id) {
  if (id.size() < 8) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : id.substr(0, 8)) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else {
      return std::nullopt;
    }
    value = value << 4 | static_cast<std::uint32_t>(digit);
  }
  return value;
}

bool SameSecret(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return difference == 0;
}

TIWApplication::TIWApplication(const TIWServerController& controller, SessionIdentity identity,
                               std::string client_address, TIWBrowser browser)
    : controller_(controller),
      identity_(std::move(identity)),
      client_address_(std::move(client_address)),
      browser_(browser),
      url_base_(controller.URLBase),
      cache_token_(RandomHex(16)),
      form_token_(RandomHex(16)),
      last_access_(std::chrono::steady_clock::now()) {
  // Named by a token of its own: the directory's name shows up in URLs, the session id
  // must not.
  if (!controller.CacheDir.empty()) {
    cache_dir_ = controller.CacheDir / "user" / cache_token_;
    fs::create_directories(cache_dir_);
    fs::permissions(cache_dir_, fs::perms::owner_all, fs::perm_options::replace);
  }
}

TIWApplication::~TIWApplication() {
  data_.reset();
  stack_.clear();
  discarded_.clear();
  pages_.clear();
  if (!cache_dir_.empty()) {
    std::error_code ignored;
    fs::remove_all(cache_dir_, ignored);
  }
}

void TIWApplication::SetCredentials(std::string user_name, std::string password) {
  auth_user_ = std::move(user_name);
  auth_password_ = std::move(password);
}

TIWAppForm* TIWApplication::ActivePage() const { return stack_.empty() ? nullptr : stack_.back(); }

TIWAppForm* TIWApplication::FindPage(std::string_view name) const {
  for (const auto& page : pages_) {
    const bool discarded =
        std::find(discarded_.begin(), discarded_.end(), page.get()) != discarded_.end();
    if (!discarded && EqualsIgnoringAsciiCase(page->Name(), name)) return page.get();
  }
  return nullptr;
}

TIWAppForm& TIWApplication::CreatePage(const TIWPageClass& page_class) {
  if (!page_class.Factory) throw ToolkitError("Form must be an application form.");
  std::unique_ptr<TIWAppForm> page = page_class.Factory(*this);
  if (!page) throw ToolkitError("Form must be an application form.");
  TIWAppForm& created = *page;
  pages_.push_back(std::move(page));
  created.DoCreate();
  return created;
}

bool TIWApplication::OwnsPage(const TIWAppForm* page) const {
  return page != nullptr && OwnedPage(const_cast<TIWAppForm*>(page)) != nullptr;
}

TIWAppForm* TIWApplication::OwnedPage(TIWAppForm* page) const {
  for (const auto& owned : pages_) {
    if (owned.get() == page) return page;
  }
  return nullptr;
}

void TIWApplication::ShowPage(TIWAppForm* page) {
  if (page == nullptr || OwnedPage(page) == nullptr) {
    throw ToolkitError("Cannot show non-app forms.");
  }
  // A page discarded earlier in this request and shown again stays alive.
  std::erase(discarded_, page);
  if (ActivePage() != page) stack_.push_back(page);
}

void TIWApplication::DiscardPage(TIWAppForm* page) {
  if (page == nullptr || OwnedPage(page) == nullptr) {
    throw ToolkitError("Cannot release non-app forms.");
  }
  std::erase(stack_, page);
  if (std::find(discarded_.begin(), discarded_.end(), page) == discarded_.end()) {
    discarded_.push_back(page);
  }
}

TIWAppForm& TIWApplication::SwitchToPage(std::string_view name, const TIWPageClass& page_class) {
  TIWAppForm* target = FindPage(name);
  if (target == nullptr) target = &CreatePage(page_class);
  ShowPage(target);
  // The page whose handler runs is left behind; switching to the page itself keeps it.
  if (handler_page_ != nullptr && handler_page_ != target && OwnedPage(handler_page_)) {
    DiscardPage(handler_page_);
  }
  return *target;
}

void TIWApplication::ShowUserMessage(std::string_view text) {
  TIWAppForm* page = ActivePage();
  if (page == nullptr) {
    ShowMessagePage(text, false);
    return;
  }
  page->AddToInitProc("window.alert(\"" + ScriptStringEscape(text) + "\");\r\n");
}

void TIWApplication::ShowMessagePage(std::string_view text, bool for_exception) {
  if (!controller_.MessagePage) return;
  std::unique_ptr<TIWAppForm> page = controller_.MessagePage(*this, text, for_exception);
  if (!page) return;
  TIWAppForm& created = *page;
  pages_.push_back(std::move(page));
  created.DoCreate();
  ShowPage(&created);
}

void TIWApplication::SendDownload(const fs::path& path, bool as_attachment) {
  Download download;
  download.path = path;
  download.as_attachment = as_attachment;
  download_ = std::move(download);
}

void TIWApplication::SendDownload(std::string content, std::string_view file_name,
                                  std::string_view content_type, bool as_attachment) {
  Download download;
  download.content = std::move(content);
  download.file_name = std::string(file_name);
  download.content_type = std::string(content_type);
  download.as_attachment = as_attachment;
  download_ = std::move(download);
}

void TIWApplication::EndSession(std::string_view message) {
  ending_ = true;
  ending_message_ = std::string(message);
}

void TIWApplication::EndSessionAndRedirect(std::string_view url) {
  ending_ = true;
  redirect_url_ = std::string(url);
}

void TIWApplication::BeginRequest(PostedForm post, TIWAppForm* handler_page) {
  post_ = std::move(post);
  handler_page_ = handler_page;
  download_.reset();
}

void TIWApplication::EndRequest() {
  post_ = PostedForm();
  handler_page_ = nullptr;
  download_.reset();
}

std::string TIWApplication::RequestCookie(std::string_view name) const {
  return CookieValueOf(request_cookies_, name);
}

namespace {

// A cookie name or value we write into a header without quoting: letters, digits and a
// few punctuation marks, nothing that could end the attribute or the header.
bool IsCookieToken(std::string_view text) {
  if (text.empty() || text.size() > 256) return false;
  return std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.';
  });
}

}  // namespace

void TIWApplication::SetBrowserCookie(std::string_view name, std::string_view value,
                                      std::chrono::seconds max_age) {
  if (!IsCookieToken(name) || !IsCookieToken(value)) {
    throw std::invalid_argument("cookie name or value is not a plain token");
  }
  browser_cookies_.push_back(std::string(name) + "=" + std::string(value) +
                             "; Max-Age=" + std::to_string(max_age.count()));
}

std::vector<std::string> TIWApplication::TakeBrowserCookies() {
  return std::exchange(browser_cookies_, {});
}

std::optional<TIWApplication::Download> TIWApplication::TakeDownload() {
  auto download = std::move(download_);
  download_.reset();
  return download;
}

void TIWApplication::DestroyDiscardedPages() {
  std::vector<TIWAppForm*> doomed;
  doomed.swap(discarded_);
  for (TIWAppForm* page : doomed) {
    if (page == handler_page_) handler_page_ = nullptr;
    std::erase_if(pages_, [page](const auto& owned) { return owned.get() == page; });
  }
}

void TIWApplication::DestroyPage(TIWAppForm* page) {
  std::erase(stack_, page);
  std::erase(discarded_, page);
  if (page == handler_page_) handler_page_ = nullptr;
  std::erase_if(pages_, [page](const auto& owned) { return owned.get() == page; });
}

TIWApplication* CurrentApplication() { return current_application; }

CurrentApplicationScope::CurrentApplicationScope(TIWApplication* session)
    : previous_(current_application) {
  current_application = session;
}

CurrentApplicationScope::~CurrentApplicationScope() { current_application = previous_; }

}  // namespace kestrune
