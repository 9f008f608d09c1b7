// Request dispatch and the request cycle. Every failure outside a page event ends in
// RequestFailure, which Handle turns into the error page; a failed request puts its
// session back into the table unless the session was ending.
#include "web/toolkit/request_dispatcher.h"

#include <algorithm>

#include "platform/escape.h"
#include "platform/read_file.h"
#include "web/toolkit/app_form.h"
#include "web/toolkit/download_answer.h"
#include "web/toolkit/multipart.h"
#include "web/toolkit/page_errors.h"
#include "web/toolkit/pending_post.h"
#include "web/toolkit/posted_form.h"
#include "web/toolkit/render_context.h"
#include "web/toolkit/request_guards.h"
#include "web/toolkit/static_files.h"
#include "web/toolkit/template_processor.h"

namespace kestrune {
namespace fs = std::filesystem;
using std::chrono::system_clock;

namespace {

constexpr std::string_view kSessionNotFound = "Session not found. Session may have expired.";
constexpr std::string_view kOtherAddress =
    "Security Exception: The IP you are using is different than the one that is assigned to "
    "the specified session.";
constexpr std::string_view kOtherBrowser =
    "Security Exception: The browser you are using is different than the one that is "
    "assigned to the specified session.";
constexpr std::string_view kEmptyPage = "<HTML><BODY></BODY></HTML>";
constexpr std::string_view kBuiltinErrorPage =
    "<HTML><HEAD><TITLE>{%APPNAME%}</TITLE></HEAD>\r\n"
    "<BODY><H2>{%APPNAME%}</H2>\r\n<P>An error occurred while processing your request:</P>\r\n"
    "<P><B>{%CONTENT%}</B></P>\r\n</BODY></HTML>";

// A request that ends in the error page (or another status with a plain text).
struct RequestFailure {
  int status = 500;
  std::string reason = "Server error";
  std::string message;
};

// Text from the request repeated in an error message (an id, a command) is cut to this
// many characters, so that a huge field cannot make a huge error page.
constexpr std::size_t kMaxEchoedChars = 200;

std::string Echoed(std::string_view text) {
  if (text.size() <= kMaxEchoedChars) return std::string(text);
  std::size_t cut = kMaxEchoedChars;
  // Do not split a UTF-8 sequence.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut)) + "...";
}

[[noreturn]] void Fail(std::string message) { throw RequestFailure{500, "Server error", message}; }

HttpResponse Unauthorized(const TIWServerController& controller) {
  HttpResponse response;
  response.status = 401;
  response.SetHeader("WWW-Authenticate", "Basic realm=\"" + controller.AppName + "\"");
  response.SetHeader("Content-Type", "text/html");
  response.body = "Authentication Failed.";
  return response;
}

std::string FieldValue(const PostedForm& post, std::string_view name) {
  for (const auto& [field, value] : post.fields) {
    if (field == name) return value;
  }
  return {};
}

int TrackNumber(std::string_view text) {
  if (text.empty() || text.size() > 9) return 0;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
  }
  return value;
}

bool Supports(const std::vector<TIWBrowser>& kinds, TIWBrowser browser) {
  return std::find(kinds.begin(), kinds.end(), browser) != kinds.end();
}

}  // namespace

// The request path split as the dispatch table needs it.
struct RequestDispatcher::Route {
  bool html32 = false;
  std::string command;            // as written
  std::string argument;           // next segment, or the whole rest for file commands
  std::vector<std::string> rest;  // every segment after the command
};

std::string ErrorPageHtml(const TIWServerController& controller, std::string_view message,
                          const HttpRequest* request) {
  std::string page(kBuiltinErrorPage);
  const fs::path custom = controller.TemplateDir / "IWError.html";
  std::error_code error;
  if (!controller.TemplateDir.empty() && fs::is_regular_file(custom, error)) {
    try {
      page = ReadWholeFile(custom);
    } catch (const std::exception&) {
      // Fall back to the built-in page.
    }
  }
  ControllerEvents* events = request != nullptr ? controller.Events : nullptr;
  // The page's own words before the message goes in: text from the request is never read
  // as a tag.
  page = FillOwnTexts(page, [&](std::string_view english) {
    return events != nullptr ? events->ErrorPageText(*request, english) : std::string(english);
  });
  const std::string language = events != nullptr ? events->ErrorPageLanguage(*request) : "";
  page = ReplaceIgnoreCase(page, "{%LANG%}", language.empty() ? "en" : HtmlEscape(language));
  const std::string shown =
      events != nullptr ? events->ErrorPageMessage(*request, message) : std::string(message);
  const std::string text = ReplaceIgnoreCase(HtmlEscape(shown), "\r\n", "<BR>");
  page = ReplaceIgnoreCase(page, "{%CONTENT%}", text);
  return ReplaceIgnoreCase(page, "{%APPNAME%}", HtmlEscape(controller.Description));
}

RequestDispatcher::RequestDispatcher(const TIWServerController& controller, SessionTable& table)
    : controller_(controller), table_(table), files_(controller) {}

void RequestDispatcher::SetPorts(int plain_port, int tls_port) {
  plain_port_ = plain_port;
  tls_port_ = tls_port;
}

HttpResponse RequestDispatcher::Handle(const HttpRequest& request) {
  HttpResponse response;
  try {
    response = Dispatch(request);
  } catch (const RequestFailure& failure) {
    response = HttpResponse();
    response.status = failure.status;
    response.reason = failure.reason;
    response.SetHeader("Content-Type", "text/html; charset=utf-8");
    response.body = ErrorPageHtml(controller_, failure.message, &request);
    files_.AddCacheHeaders(request, false, response);
  } catch (const FormDataError& failure) {
    response = HttpResponse();
    response.status = 400;
    response.SetHeader("Content-Type", "text/html; charset=utf-8");
    response.body = ErrorPageHtml(controller_, failure.what(), &request);
  } catch (const std::exception& failure) {
    response = HttpResponse();
    response.status = 500;
    response.reason = "Server error";
    response.SetHeader("Content-Type", "text/html; charset=utf-8");
    response.body = ErrorPageHtml(controller_, failure.what(), &request);
    files_.AddCacheHeaders(request, false, response);
  }
  if (request.secure && controller_.SSLOptions.StrictTransportSecurity) {
    response.SetHeader("Strict-Transport-Security", "max-age=31536000");
  }
  return response;
}

std::optional<HttpResponse> RequestDispatcher::HandleFileRequest(const HttpRequest& request) {
  if (request.method != "GET" && request.method != "HEAD") return std::nullopt;
  if (controller_.SSLOptions.NonSSLRequest == NonSSLMode::nsRedirect && tls_port_ > 0 &&
      !request.secure) {
    return std::nullopt;
  }
  std::string_view path = request.Path();
  if (!path.starts_with('/')) return std::nullopt;
  path.remove_prefix(1);
  const std::string_view command = path.substr(0, path.find('/'));
  const bool file =
      (command.size() < path.size() &&
       (EqualsIgnoringAsciiCase(command, "FILES") || EqualsIgnoringAsciiCase(command, "FILESNC") ||
        EqualsIgnoringAsciiCase(command, "GFX") || EqualsIgnoringAsciiCase(command, "JS"))) ||
      EqualsIgnoringAsciiCase(path, "FAVICON.ICO");
  // A command renamed onto one of these names stays with the page code.
  if (!file || EqualsIgnoringAsciiCase(command, controller_.ExecCmd) ||
      EqualsIgnoringAsciiCase(command, controller_.StartCmd)) {
    return std::nullopt;
  }
  return Handle(request);
}

HttpResponse RequestDispatcher::Dispatch(const HttpRequest& request) {
  if (controller_.SSLOptions.NonSSLRequest == NonSSLMode::nsRedirect && tls_port_ > 0 &&
      !request.secure) {
    HttpResponse response;
    const std::string host = request.Header("Host");
    response.SetHeader("Content-Type", "text/html");
    response.body = "<META HTTP-EQUIV=\"Refresh\"CONTENT=\"0;URL=https://" +
                    AttributeEscape(PlausibleHost(host) ? HostWithoutPort(host) : "") + ":" +
                    std::to_string(tls_port_) + "/" + controller_.StartCmd + "\">";
    files_.AddCacheHeaders(request, false, response);
    return response;
  }
  if (CrossSitePost(request)) {
    throw RequestFailure{403, "Forbidden", "Cross-site request refused."};
  }

  Route route;
  std::string_view path = request.Path();
  if (path.starts_with("/../")) {
    path.remove_prefix(4);
  } else if (path.starts_with('/')) {
    path.remove_prefix(1);
  }
  auto next_segment = [&path]() {
    const auto slash = path.find('/');
    std::string segment(path.substr(0, slash));
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    return segment;
  };
  route.command = next_segment();
  if (route.command == "32") {
    route.html32 = true;
    route.command = next_segment();
  }
  const std::string command = AsciiUpper(route.command);
  const bool whole_rest = command == "CACHE" || command == "FILES" ||
                          (command == "FILESNC" && controller_.AllowSubFolders);
  if (whole_rest) {
    route.argument = std::string(path);
  } else {
    std::string_view rest = path;
    route.argument = std::string(rest.substr(0, rest.find('/')));
    while (!path.empty()) route.rest.push_back(next_segment());
  }

  PendingPost post(request, controller_.CacheDir);

  if (EqualsIgnoringAsciiCase(route.command, controller_.ExecCmd) || command == "CALL") {
    return SessionRequest(request, route, post);
  }
  if (controller_.SessionTrackingMethod == TrackingMethod::tmHidden &&
      EqualsIgnoringAsciiCase(request.method, "POST")) {
    if (post.Fields().HasField("IW_SessionID_")) return SessionRequest(request, route, post);
    if (EqualsIgnoringAsciiCase(route.command, controller_.StartCmd)) {
      return NewSession(request, route, post);
    }
  }
  if (command == "CACHE") return ServeCacheFile(request, route);
  if (command == "FILES" || command == "FILESNC") {
    return files_.Static(request, route.argument, command == "FILES");
  }
  if (command == "GFX") return files_.Image(request, route.argument);
  if (command == "JS") return files_.Script(request, route.argument);
  if (EqualsIgnoringAsciiCase(route.command, controller_.StartCmd)) {
    return NewSession(request, route, post);
  }
  if (command == "STOP") return Stop(request, route);
  if (command == "FAVICON.ICO") return files_.Icon(request);
  Fail("Unrecognized Command: " + Echoed(route.command) +
       (route.argument.empty() ? std::string() : " " + Echoed(route.argument)));
}

// The cookies page code asked the browser to keep, with the session cookies' path and
// protections.
void RequestDispatcher::AddBrowserCookies(TIWApplication& session, const HttpRequest& request,
                                          HttpResponse& response) {
  const std::string path = session.URLBase().empty() ? "/" : session.URLBase();
  for (const std::string& cookie : session.TakeBrowserCookies()) {
    response.AddHeader("Set-Cookie", cookie + "; path=" + path + "; HttpOnly; SameSite=Lax" +
                                         (request.secure ? "; Secure" : ""));
  }
}

std::string RequestDispatcher::StartURL(const TIWApplication& session) const {
  const std::string base = session.URLBase() + "/" + controller_.ExecCmd;
  if (controller_.SessionTrackingMethod == TrackingMethod::tmURL) {
    return base + "/0/" + session.SessionID();
  }
  return base;
}

HttpResponse RequestDispatcher::NewSession(const HttpRequest& request, const Route& route,
                                           PendingPost& post) {
  const BasicCredentials credentials = ParseBasicAuthorization(request.Header("Authorization"));
  const std::string client = ClientAddressOf(request, controller_);
  if (controller_.AuthBeforeNewSession) {
    const bool accepted =
        controller_.Events != nullptr &&
        controller_.Events->Authorize(credentials.user_name, credentials.password, client);
    if (!accepted) return Unauthorized(controller_);
  }
  const std::string agent = route.html32 ? "HTML 3.2" : request.Header("User-Agent");
  const TIWBrowser browser = DetectBrowser(agent);
  switch (RenderModeOf(browser, controller_.Netscape4As32)) {
    case RenderMode::kNone:
      Fail("Unknown browser type.");
    case RenderMode::kHtml32:
      Fail("No main form is defined.");
    case RenderMode::kFull:
      break;
  }
  if (!Supports(controller_.SupportedBrowsers, browser)) {
    Fail(UnsupportedBrowserMessage(browser, controller_.SupportedBrowsers));
  }
  std::vector<std::unique_ptr<TIWApplication>> dropped;
  const auto reserved = table_.ReserveKey(
      client,
      {static_cast<std::size_t>(std::max(controller_.MaxAnonymousSessionsPerAddress, 0)),
       static_cast<std::size_t>(std::max(controller_.MaxAnonymousSessions, 0))},
      dropped);
  // At a cap the oldest idle visitors who never logged in make room for this one.
  for (auto& session : dropped) DestroySession(std::move(session));
  if (!reserved) {
    throw RequestFailure{503, "Service Unavailable",
                         "Too many open sessions. Please try again later."};
  }
  // The reservation counts against the caps, so it is given back on every way out
  // short of the session entering the table.
  struct Reservation {
    SessionTable& table;
    std::uint32_t key;
    bool taken = false;
    ~Reservation() {
      if (!taken) table.ReleaseKey(key);
    }
  } reservation{table_, *reserved};
  auto created = std::make_unique<TIWApplication>(
      controller_, MakeSessionIdentity(reservation.key, system_clock::now()), client, browser);
  if (controller_.AuthBeforeNewSession) {
    created->SetCredentials(credentials.user_name, credentials.password);
  }
  created->SetRequestCookies(request.Header("Cookie"));
  CurrentApplicationScope scope(created.get());
  std::string start_url = StartURL(*created);
  if (!request.Query().empty()) start_url += "?" + std::string(request.Query());
  if (controller_.Listener != nullptr) controller_.Listener->OnNewSession(*created);
  TIWApplication& session = *table_.InsertBusy(std::move(created));
  reservation.taken = true;

  HttpResponse response;
  try {
    TIWAppForm* first = controller_.Events ? controller_.Events->OnNewSession(session) : nullptr;
    if (first != nullptr && !session.OwnsPage(first)) Fail("Form must be an application form.");
    if (first == nullptr) first = &session.CreatePage(controller_.MainFormClass);
    session.ShowPage(first);

    if (controller_.SessionTrackingMethod == TrackingMethod::tmHidden) {
      session.BeginRequest(post.Take(), nullptr);
      RenderActivePage(session, true, response);
      session.EndRequest();
      if (session.SessionEnding()) {
        EndSessionAnswer(session, response);
        DestroySession(table_.Remove(&session));
        return response;
      }
    } else {
      std::string location = start_url;
      const std::string host = request.Header("Host");
      if (PlausibleHost(host)) {
        const std::string scheme = request.secure ? "https" : "http";
        std::string authority = host;
        const bool has_port = !host.starts_with('[') ? host.find(':') != std::string::npos
                                                     : host.find("]:") != std::string::npos;
        const bool default_port =
            request.secure ? request.local_port == 443 : request.local_port == 80;
        if (!has_port && !default_port && request.local_port != 0) {
          authority += ":" + std::to_string(request.local_port);
        }
        location = scheme + "://" + authority + start_url;
      }
      response.status = 302;
      response.SetHeader("Location", location);
      response.SetHeader("Content-Type", "text/html");
      response.body =
          "<HTML><BODY><A HREF=\"" + AttributeEscape(location) + "\">Continue</A></BODY></HTML>";
      files_.AddCacheHeaders(request, false, response);
      response.SetHeader("Cache-Control", "private, no-store");
    }
  } catch (...) {
    DestroySession(table_.Remove(&session));
    throw;
  }
  if (controller_.SessionTrackingMethod == TrackingMethod::tmCookie) {
    SetSessionCookies(session, request, response, false);
  }
  AddBrowserCookies(session, request, response);
  table_.PutBack(&session);
  return response;
}

HttpResponse RequestDispatcher::SessionRequest(const HttpRequest& request, const Route& route,
                                               PendingPost& post) {
  std::string id;
  std::string track_text;
  switch (controller_.SessionTrackingMethod) {
    case TrackingMethod::tmURL:
      track_text = route.argument;
      if (route.rest.size() > 1) id = route.rest[1];
      break;
    case TrackingMethod::tmCookie:
      if (CookieValue(request, "IW_CookieCheck_") != "Enabled") {
        Fail("Your browser does not seem to support cookies or they are disactivated");
      }
      id = CookieValue(request, "IW_SessionID_");
      track_text = CookieValue(request, "IW_TrackID_");
      break;
    case TrackingMethod::tmHidden:
      id = FieldValue(post.Fields(), "IW_SessionID_");
      track_text = FieldValue(post.Fields(), "IW_TrackID_");
      break;
  }
  const int track = TrackNumber(track_text);
  post.Fields();  // a malformed body is refused here, before the session is taken out

  const auto table_key = TableKeyOfId(id);
  if (!table_key) {
    if (!id.empty()) Fail("Resource " + Echoed(id) + " not found.");
    Fail(std::string(kSessionNotFound));
  }
  TIWApplication* found = table_.TakeOut(*table_key);
  if (found == nullptr) Fail(std::string(kSessionNotFound));
  TIWApplication& session = *found;
  const OwnerRefusal refusal =
      CheckSessionOwner(request, controller_, route.html32, id, SessionOwner::Of(session));
  if (refusal == OwnerRefusal::kUnauthorized) {
    table_.PutBackUntouched(&session);
    return Unauthorized(controller_);
  }
  if (refusal != OwnerRefusal::kNone) {
    // A refused request must not refresh the session's idle time.
    table_.PutBackUntouched(&session);
    Fail(std::string(refusal == OwnerRefusal::kOtherAddress   ? kOtherAddress
                     : refusal == OwnerRefusal::kOtherBrowser ? kOtherBrowser
                                                              : kSessionNotFound));
  }
  if (!PostMayAct(post.Fields(), session.FormToken())) {
    table_.PutBackUntouched(&session);
    throw RequestFailure{403, "Forbidden", "Cross-site request refused."};
  }
  // Only now that the request may act for the session are its uploads written out; a
  // failure to store them leaves the session as it was.
  PostedForm posted;
  try {
    posted = post.Take();
  } catch (...) {
    table_.PutBackUntouched(&session);
    throw;
  }

  CurrentApplicationScope scope(&session);
  HttpResponse response;
  if (controller_.Events != nullptr && !controller_.Events->OnSessionRequest(session)) {
    if (!session.SessionEnding()) session.EndSession("");
    EndSessionAnswer(session, response);
    if (controller_.SessionTrackingMethod == TrackingMethod::tmCookie) {
      SetSessionCookies(session, request, response, true);
    }
    DestroySession(table_.Remove(&session));
    return response;
  }
  const bool track_matches = track == session.TrackID();
  session.SetRequestCookies(request.Header("Cookie"));
  try {
    session.BeginRequest(std::move(posted), session.ActivePage());
    RunCycle(session, track_matches, response);
    session.EndRequest();
  } catch (...) {
    session.EndRequest();
    table_.PutBack(&session);
    throw;
  }
  if (track_matches && session.SessionEnding()) {
    EndSessionAnswer(session, response);
    if (controller_.SessionTrackingMethod == TrackingMethod::tmCookie) {
      SetSessionCookies(session, request, response, true);
    }
    DestroySession(table_.Remove(&session));
    return response;
  }
  if (controller_.SessionTrackingMethod == TrackingMethod::tmCookie) {
    SetSessionCookies(session, request, response, false);
  }
  AddBrowserCookies(session, request, response);
  table_.PutBack(&session);
  return response;
}

// "/cache/user/<token>/<file>": a file of a session's cache directory, for that session
// only. The request must pass the checks of a session request (with cookie tracking the
// cookie must name the owning session); everything else under /cache/ is not served.
HttpResponse RequestDispatcher::ServeCacheFile(const HttpRequest& request, const Route& route) {
  std::string_view rest = route.argument;
  std::optional<std::filesystem::path> file;
  if (rest.starts_with("user/")) {
    rest.remove_prefix(5);
    const auto slash = rest.find('/');
    const auto owner = slash == std::string_view::npos
                           ? std::nullopt
                           : table_.FindCacheOwner(rest.substr(0, slash));
    if (owner) {
      std::optional<std::string_view> id;
      std::string cookie_id;
      if (controller_.SessionTrackingMethod == TrackingMethod::tmCookie) {
        cookie_id = CookieValue(request, "IW_SessionID_");
        id = cookie_id;
      }
      if (CheckSessionOwner(request, controller_, route.html32, id, *owner) ==
          OwnerRefusal::kNone) {
        file = ResolveServedFile(owner->cache_dir, rest.substr(slash + 1), true);
      }
    }
  }
  return files_.CacheFile(request, file);
}

void RequestDispatcher::RunCycle(TIWApplication& session, bool track_matches,
                                 HttpResponse& response) {
  if (!track_matches) {
    // An older copy of a page was posted: nothing is applied, the current page returns.
    RenderActivePage(session, false, response);
    return;
  }
  session.ClearPendingRedirect();
  try {
    if (TIWAppForm* page = session.ActivePage()) page->ApplyPost(session.Post());
    session.DestroyDiscardedPages();
  } catch (const SilentAbort&) {
  } catch (const std::exception& failure) {
    if (session.ActivePage() != nullptr) {
      session.ShowUserMessage(failure.what());
    } else {
      session.ShowMessagePage(failure.what(), true);
    }
  }
  if (auto download = session.TakeDownload()) {
    const fs::path spill_dir =
        controller_.CacheDir.empty() ? fs::temp_directory_path() : controller_.CacheDir;
    fs::create_directories(spill_dir);
    auto answer = DownloadAnswer(std::move(*download), session.URLBase(), spill_dir);
    if (!answer) throw RequestFailure{404, "File not found", "File not found"};
    response = std::move(*answer);
    return;
  }
  if (!session.PendingRedirect().empty()) return;
  RenderActivePage(session, true, response);
}

void RequestDispatcher::RenderActivePage(TIWApplication& session, bool advance_track,
                                         HttpResponse& response) {
  response.SetHeader("Content-Type", "text/html; charset=utf-8");
  response.SetHeader("Cache-Control", "private, no-store");
  response.SetHeader("Referrer-Policy", "same-origin");
  response.SetHeader("X-Frame-Options", "SAMEORIGIN");
  TIWAppForm* page = session.ActivePage();
  if (page == nullptr) {
    response.body = std::string(kEmptyPage);
    return;
  }
  if (advance_track) session.AdvanceTrackID();
  if (!Supports(page->SupportedBrowsers, session.Browser())) {
    session.DestroyPage(page);
    if (session.ActivePage() == nullptr) {
      session.ShowPage(&session.CreatePage(PageClassOf<TIWAppForm>("TIWAppForm", "IWAppForm")));
    }
    session.ShowUserMessage(UnsupportedBrowserMessage(
        session.Browser(),
        page == nullptr ? std::vector<TIWBrowser>{} : controller_.SupportedBrowsers));
    page = session.ActivePage();
  }
  RenderContext context;
  context.url_base = session.URLBase();
  context.session_key = session.SessionKey();
  context.session_id = session.SessionID();
  context.track_id = session.TrackID();
  context.form_token = session.FormToken();
  context.tracking = controller_.SessionTrackingMethod;
  context.browser = session.Browser();
  switch (controller_.SessionTrackingMethod) {
    case TrackingMethod::tmURL:
      context.form_action = session.URLBase() + "/" + controller_.ExecCmd + "/" +
                            std::to_string(session.TrackID()) + "/" + session.SessionID();
      break;
    case TrackingMethod::tmCookie:
      context.form_action = session.URLBase() + "/" + controller_.ExecCmd;
      break;
    case TrackingMethod::tmHidden:
      context.form_action = "/";
      break;
  }
  context.extra_header = controller_.ExtraHeader;
  context.version = controller_.Version;
  context.template_dir = controller_.TemplateDir;
  context.files_dir = controller_.FilesDir;
  context.application = &session;
  response.body = page->Render(context);
}

void RequestDispatcher::EndSessionAnswer(TIWApplication& session, HttpResponse& response) {
  const std::string& url = session.PendingRedirect();
  const std::string& message = session.EndingMessage();
  // The URL is the program's own; the message is data and is escaped.
  if (!url.empty()) {
    response = HttpResponse();
    response.SetHeader("Content-Type", "text/html; charset=utf-8");
    if (message.empty()) {
      response.body = "<HTML><META HTTP-EQUIV=\"Refresh\" CONTENT=\"0;URL=" + AttributeEscape(url) +
                      "\"><BODY></BODY></HTML>";
    } else {
      response.body = "<HTML><META HTTP-EQUIV=\"Refresh\" CONTENT=\"" +
                      std::to_string(message.size() / 10) + ";URL=" + AttributeEscape(url) +
                      "\"><BODY>" + HtmlEscape(message) + "</BODY></HTML>";
    }
  } else if (!message.empty()) {
    response = HttpResponse();
    response.SetHeader("Content-Type", "text/html; charset=utf-8");
    response.body = "<HTML><BODY>" + HtmlEscape(message) + "</BODY></HTML>";
  }
  response.SetHeader("Cache-Control", "private, no-store");
}

void RequestDispatcher::DestroySession(std::unique_ptr<TIWApplication> session) {
  if (!session) return;
  CurrentApplicationScope scope(session.get());
  try {
    if (controller_.Events != nullptr) controller_.Events->OnCloseSession(*session);
  } catch (...) {
  }
  try {
    if (controller_.Listener != nullptr) controller_.Listener->OnCloseSession(*session);
  } catch (...) {
  }
  try {
    session.reset();
  } catch (...) {
  }
}

HttpResponse RequestDispatcher::Stop(const HttpRequest& request, const Route& route) {
  HttpResponse response;
  response.SetHeader("Content-Type", "text/html");
  response.body = std::string(kEmptyPage);
  if (const auto key = TableKeyOfId(route.argument)) {
    if (TIWApplication* session = table_.TakeOut(*key)) {
      if (SameSecret(session->SessionID(), route.argument)) {
        if (controller_.SessionTrackingMethod == TrackingMethod::tmCookie) {
          SetSessionCookies(*session, request, response, true);
        }
        DestroySession(table_.Remove(session));
      } else {
        table_.PutBackUntouched(session);
      }
    }
  }
  files_.AddCacheHeaders(request, false, response);
  return response;
}

void RequestDispatcher::SetSessionCookies(const TIWApplication& session, const HttpRequest& request,
                                          HttpResponse& response, bool expire) {
  const auto now = system_clock::now();
  const auto expiry = expire ? now - std::chrono::hours(24 * 1000)
                             : now + std::chrono::minutes(controller_.SessionTimeout());
  const std::string path = session.URLBase().empty() ? "/" : session.URLBase();
  const std::string attributes = "; path=" + path + "; expires=" + FormatHttpDate(expiry) +
                                 "; HttpOnly; SameSite=Lax" + (request.secure ? "; Secure" : "");
  response.AddHeader("Set-Cookie", "IW_TrackID_=" + std::to_string(session.TrackID()) + attributes);
  response.AddHeader("Set-Cookie", "IW_SessionID_=" + session.SessionID() + attributes);
  if (!expire && session.TrackID() == 0) {
    response.AddHeader("Set-Cookie",
                       "IW_CookieCheck_=Enabled; path=" + path +
                           "; expires=" + FormatHttpDate(expiry + std::chrono::hours(24)) +
                           "; HttpOnly; SameSite=Lax" + (request.secure ? "; Secure" : ""));
  }
}

}  // namespace kestrune
