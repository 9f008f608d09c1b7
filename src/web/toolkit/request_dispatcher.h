// The toolkit's answer to one request: the dispatch table of commands, new sessions,
// session requests with their checks, the request cycle on the session's active page,
// the end of a session, files, downloads and the error page. Runs on a worker thread
// and knows nothing of sockets (the listener converts to and from the wire).
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "web/toolkit/builtin_files.h"
#include "web/toolkit/http_message.h"
#include "web/toolkit/server_controller.h"
#include "web/toolkit/session_table.h"

namespace kestrune {

struct PostedForm;
class PendingPost;

// "user:password" of an "Authorization: Basic ..." header; both empty when absent.
struct BasicCredentials {
  std::string user_name;
  std::string password;
};
BasicCredentials ParseBasicAuthorization(std::string_view header);

// The client address: the peer, or the forwarding header of a trusted proxy.
std::string ClientAddressOf(const HttpRequest& request, const TIWServerController& controller);

// The error page for a message: the template "IWError.html" when present, else the
// built-in page; the message and the application description are HTML-escaped.
std::string ErrorPageHtml(const TIWServerController& controller, std::string_view message);

// A download's file name as offered to the browser: without any directory part ("/" or
// "\\") and control characters; "download" when nothing is left.
std::string DownloadFileName(std::string_view name);

// The Content-Disposition of a download: attachment or inline, the name quoted in ASCII
// for old clients and as filename*=UTF-8'' with percent escapes for the others.
std::string ContentDispositionFor(bool as_attachment, std::string_view file_name);

class RequestDispatcher {
 public:
  RequestDispatcher(const TIWServerController& controller, SessionTable& table);

  // The bound ports, known once the listener runs (redirects name them).
  void SetPorts(int plain_port, int tls_port);

  HttpResponse Handle(const HttpRequest& request);

  // Ends a session for good: the controller's and the listener's OnCloseSession
  // (errors ignored), then its state, pages and cache directory.
  void DestroySession(std::unique_ptr<TIWApplication> session);

 private:
  struct Route;
  // Why a request may not act for a session, in the order the checks run.
  enum class Refusal { kNone, kNotFound, kUnauthorized, kOtherAddress, kOtherBrowser };

  HttpResponse Dispatch(const HttpRequest& request);
  HttpResponse NewSession(const HttpRequest& request, const Route& route, PendingPost& post);
  HttpResponse SessionRequest(const HttpRequest& request, const Route& route, PendingPost& post);
  // The checks of a session request against the session's owner; the id is checked
  // when the request carries one.
  Refusal CheckOwner(const HttpRequest& request, bool html32, std::optional<std::string_view> id,
                     const SessionOwner& owner) const;
  HttpResponse Stop(const HttpRequest& request, const Route& route);
  HttpResponse ServeFile(const HttpRequest& request, std::string_view command,
                         std::string_view argument);
  HttpResponse ServeCacheFile(const HttpRequest& request, const Route& route);
  HttpResponse FileAnswer(const HttpRequest& request,
                          const std::optional<std::filesystem::path>& file, bool cacheable) const;
  HttpResponse ServeBuiltin(const HttpRequest& request, const BuiltinFiles::File* file,
                            std::string content_type);
  void RunCycle(TIWApplication& session, bool track_matches, HttpResponse& response);
  void SendDownloadAnswer(TIWApplication& session, TIWApplication::Download download,
                          HttpResponse& response);
  void RenderActivePage(TIWApplication& session, bool advance_track, HttpResponse& response);
  void EndSessionAnswer(TIWApplication& session, HttpResponse& response);
  void SetSessionCookies(const TIWApplication& session, const HttpRequest& request,
                         HttpResponse& response, bool expire);
  void AddCacheHeaders(const HttpRequest& request, bool cacheable, HttpResponse& response) const;
  std::string StartURL(const TIWApplication& session) const;

  const TIWServerController& controller_;
  SessionTable& table_;
  BuiltinFiles builtins_;
  std::chrono::system_clock::time_point builtin_reference_;
  int plain_port_ = 80;
  int tls_port_ = 0;
};

}  // namespace kestrune
