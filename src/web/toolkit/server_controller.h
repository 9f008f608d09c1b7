// The toolkit's settings (TIWServerController) and the event interfaces through which
// the program's controller and the console hear about sessions. The program copies its
// server settings in once at start-up; the listener reads them afterwards only.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "web/toolkit/browser.h"
#include "web/toolkit/page_class.h"

namespace kestrune {

class TIWApplication;
class TIWAppForm;
struct HttpRequest;

enum class TrackingMethod { tmURL = 0, tmCookie = 1, tmHidden = 2 };
enum class NonSSLMode { nsAccept = 0, nsBlock = 1, nsRedirect = 2 };

// The stored setting's number: 0, 1 and 2 name the methods, anything else gives tmURL.
TrackingMethod TrackingMethodFromSetting(long long value);
// 0 accept, 1 block, 2 redirect; anything else accepts.
NonSSLMode NonSSLModeFromSetting(long long value);

struct SSLOptionsSettings {
  int Port = 0;  // 0 = no HTTPS listener
  std::string CertificatePassword;
  NonSSLMode NonSSLRequest = NonSSLMode::nsAccept;
  // Tells browsers on every HTTPS answer to use HTTPS alone for this host for a year.
  bool StrictTransportSecurity = false;
};

// The stored setting's number: 0 never, 1 always, 2 (and anything else) when plain
// HTTP requests are only redirected to HTTPS.
bool StrictTransportSecurityFromSetting(long long value, NonSSLMode non_ssl_request);

// Events of the program's controller. Handlers run on request threads (and
// OnCloseSession also on the time-out thread).
class ControllerEvents {
 public:
  virtual ~ControllerEvents() = default;
  // Called once per new session before it has pages. May create a page (through
  // session.CreatePage) and return it; nullptr lets the toolkit create the main page.
  virtual TIWAppForm* OnNewSession(TIWApplication& session) { return nullptr; }
  virtual void OnCloseSession(TIWApplication& session) {}
  // Called before a request of an existing session is served, on its request thread.
  // False ends the session instead of serving the request (the handler has set how it
  // ends: EndSession or EndSessionAndRedirect).
  virtual bool OnSessionRequest(TIWApplication& session) { return true; }
  // The BCP 47 tag of the language the session's pages are written in ("de"), for the
  // template's HTML element; empty keeps the template's own.
  virtual std::string PageLanguage(TIWApplication& session) { return {}; }
  // A template's own words ("{%=Inbox%}" gives "Inbox") in the session's language, as
  // plain text; the English itself when there is no translation.
  virtual std::string TemplateText(TIWApplication& session, std::string_view english) {
    return std::string(english);
  }
  // The error page's own words ("{%=...%}") and the BCP 47 tag of their language, for a
  // request that may belong to no session: the browser's chosen language, else the
  // server's. The English itself, and an empty tag, when there is no translation.
  virtual std::string ErrorPageText(const HttpRequest& request, std::string_view english) {
    return std::string(english);
  }
  virtual std::string ErrorPageLanguage(const HttpRequest& request) { return {}; }
  // The error page's message for that request's browser; the message itself when there is
  // no translation (messages that name a value have none).
  virtual std::string ErrorPageMessage(const HttpRequest& request, std::string_view message) {
    return std::string(message);
  }
  // The authorization hook: consulted only while AuthBeforeNewSession is on. The client
  // address lets the program throttle guessing by address as its login page does.
  virtual bool Authorize(std::string_view user_name, std::string_view password,
                         std::string_view client_address) {
    return false;
  }
};

// Events of the listener component, handled by the console (log lines, statistics).
class ListenerEvents {
 public:
  virtual ~ListenerEvents() = default;
  virtual void OnNewSession(TIWApplication& session) {}
  virtual void OnCloseSession(TIWApplication& session) {}
  virtual void OnDebugLog(std::string_view text) {}
};

struct TIWServerController {
  int Port = 80;
  std::string BoundIP;  // comma-separated; empty = all interfaces
  SSLOptionsSettings SSLOptions;
  TrackingMethod SessionTrackingMethod = TrackingMethod::tmCookie;
  bool RestrictIPs = true;
  bool AuthBeforeNewSession = false;
  std::string ExecCmd = "index";
  std::string StartCmd;
  std::string InternalFilesURL = "/";
  bool HistoryEnabled = true;
  std::vector<TIWBrowser> SupportedBrowsers = {TIWBrowser::brIE, TIWBrowser::brNetscape6,
                                               TIWBrowser::brOpera};
  bool Netscape4As32 = true;
  int CacheExpiry = 2;  // hours
  bool AllowSubFolders = true;
  std::string AppName = "Kestrune";
  std::string Description = "Kestrune";
  std::string URLBase;
  std::string Version = "5.1.0";
  std::vector<std::string> ExtraHeader;  // lines every page writes into its head

  std::filesystem::path ProgramDir;  // holds the PEM files
  std::filesystem::path TemplateDir;
  std::filesystem::path FilesDir;           // writable Files/ of the program directory
  std::filesystem::path InstalledFilesDir;  // read-only Files/ of the installation
  std::filesystem::path ResourceDir;        // built-in images (gfx/) and client scripts (js/)
  std::filesystem::path CacheDir;

  // The page every session starts with when OnNewSession returns none.
  TIWPageClass MainFormClass;
  // Makes the toolkit's message page (TIWShowMessage) holding `text`, for a message
  // that has no page to appear on; for_exception selects its exception template.
  std::function<std::unique_ptr<TIWAppForm>(TIWApplication&, std::string_view text,
                                            bool for_exception)>
      MessagePage;
  // How often the time-out thread looks for idle sessions (tests shorten it).
  int SessionScanIntervalMs = 60 * 1000;
  int CachePurgeIntervalMs = 15 * 1000;

  // Addresses of reverse proxies whose X-Forwarded-For / Client-IP headers are believed.
  std::vector<std::string> TrustedProxies;

  // Resource bounds.
  int WorkerThreads = 64;
  int MaxConnections = 512;
  int MaxConnectionsPerAddress = 64;
  std::size_t MaxHeaderBytes = 16 * 1024;
  std::size_t MaxBodyBytes = 25 * 1024 * 1024;
  std::size_t MaxBodyBytesInFlight = 256 * 1024 * 1024;  // all connections together
  std::size_t MinBodyBytesPerSecond = 8 * 1024;          // slower uploads are dropped
  // Answers held in memory for clients that read them; past these, sent from a file.
  std::size_t MaxResponseBytesInFlight = 64 * 1024 * 1024;
  std::size_t MaxResponseBytesInFlightPerAddress = 16 * 1024 * 1024;
  int ReadTimeoutSeconds = 30;
  int WriteTimeoutSeconds = 60;
  // Seconds a connection stays open waiting for its next request (0 = one request per
  // connection), and requests one connection may carry.
  int KeepAliveSeconds = 5;
  int MaxRequestsPerConnection = 100;
  int MaxAnonymousSessionsPerAddress = 50;
  int MaxAnonymousSessions = 2000;
  // Idle seconds after which a session that never logged in ends (a visitor who only
  // opened the first page must not hold a place for the whole session time-out).
  int AnonymousSessionTimeoutSeconds = 60;

  ControllerEvents* Events = nullptr;  // not owned
  ListenerEvents* Listener = nullptr;  // not owned

  int SessionTimeout() const { return session_timeout_; }
  // Idle minutes, 0..600; anything else throws "Invalid session timeout value.".
  void SetSessionTimeout(int minutes);

  // Fills TemplateDir, FilesDir, CacheDir from the program directory and the
  // installation's data directory (InstalledFilesDir, ResourceDir).
  void SetDirectories(const std::filesystem::path& program_dir,
                      const std::filesystem::path& installed_data_dir);

 private:
  int session_timeout_ = 30;
};

}  // namespace kestrune
