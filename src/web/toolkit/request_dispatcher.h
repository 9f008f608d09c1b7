// The toolkit's answer to one request: the dispatch table of commands, new sessions,
// session requests, the request cycle on the session's active page, the end of a
// session and the error page. The checks a request passes (request_guards.h), the
// answers carrying files (file_answers.h) and downloads (download_answer.h) live in
// their own units. Runs on a worker thread and knows nothing of sockets (the listener
// converts to and from the wire).
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "web/toolkit/download_answer.h"
#include "web/toolkit/file_answers.h"
#include "web/toolkit/http_message.h"
#include "web/toolkit/request_guards.h"
#include "web/toolkit/server_controller.h"
#include "web/toolkit/session_table.h"

namespace kestrune {

class PendingPost;

// The error page for a message: the template "IWError.html" when present, else the
// built-in page; the message and the application description are HTML-escaped. With a
// request, the message, the template's own words ("{%=...%}") and its "{%LANG%}" come
// from the controller's events in the language of that request's browser.
std::string ErrorPageHtml(const TIWServerController& controller, std::string_view message,
                          const HttpRequest* request = nullptr);

class RequestDispatcher {
 public:
  RequestDispatcher(const TIWServerController& controller, SessionTable& table);

  // The bound ports, known once the listener runs (redirects name them).
  void SetPorts(int plain_port, int tls_port);

  HttpResponse Handle(const HttpRequest& request);
  // The answer to a request for an installed file (files, images, scripts, the icon),
  // which never waits on a session or a mail server and so may run on a network
  // thread; none for every other request.
  std::optional<HttpResponse> HandleFileRequest(const HttpRequest& request);

  // Ends a session for good: the controller's and the listener's OnCloseSession
  // (errors ignored), then its state, pages and cache directory.
  void DestroySession(std::unique_ptr<TIWApplication> session);

 private:
  struct Route;

  HttpResponse Dispatch(const HttpRequest& request);
  HttpResponse NewSession(const HttpRequest& request, const Route& route, PendingPost& post);
  HttpResponse SessionRequest(const HttpRequest& request, const Route& route, PendingPost& post);
  HttpResponse Stop(const HttpRequest& request, const Route& route);
  HttpResponse ServeCacheFile(const HttpRequest& request, const Route& route);
  void RunCycle(TIWApplication& session, bool track_matches, HttpResponse& response);
  void RenderActivePage(TIWApplication& session, bool advance_track, HttpResponse& response);
  void EndSessionAnswer(TIWApplication& session, HttpResponse& response);
  void SetSessionCookies(const TIWApplication& session, const HttpRequest& request,
                         HttpResponse& response, bool expire);
  void AddBrowserCookies(TIWApplication& session, const HttpRequest& request,
                         HttpResponse& response);
  std::string StartURL(const TIWApplication& session) const;

  const TIWServerController& controller_;
  SessionTable& table_;
  FileAnswers files_;
  std::atomic<int> plain_port_ = 80;
  std::atomic<int> tls_port_ = 0;
};

}  // namespace kestrune
