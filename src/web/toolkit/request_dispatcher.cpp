// Request dispatch and the request cycle. Every failure outside a page event ends in
// RequestFailure, which Handle turns into the error page; a failed request puts its
// session back into the table unless the session was ending.
#include "web/toolkit/request_dispatcher.h"

#include <algorithm>
#include <ctime>
#include <random>
#include <system_error>

#include "platform/atomic_file.h"
#include "platform/base64.h"
#include "platform/escape.h"
#include "platform/random.h"
#include "platform/read_file.h"
#include "web/toolkit/app_form.h"
#include "web/toolkit/multipart.h"
#include "web/toolkit/page_errors.h"
#include "web/toolkit/posted_form.h"
#include "web/toolkit/render_context.h"
#include "web/toolkit/static_files.h"

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
constexpr std::string_view kDownloadMark = "IW_Download_";
constexpr std::string_view kCacheFilePolicy =
    "default-src 'none'; style-src 'unsafe-inline'; img-src data:; "
    "sandbox allow-modals allow-popups allow-popups-to-escape-sandbox";
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

// The value of one cookie of the "Cookie" header.
std::string CookieValue(const HttpRequest& request, std::string_view name) {
  const std::string header = request.Header("Cookie");
  std::string_view rest = header;
  while (!rest.empty()) {
    const auto semicolon = rest.find(';');
    const std::string_view pair = TrimBlanks(rest.substr(0, semicolon));
    const auto equals = pair.find('=');
    if (equals != std::string_view::npos && pair.substr(0, equals) == name) {
      return std::string(pair.substr(equals + 1));
    }
    if (semicolon == std::string_view::npos) break;
    rest.remove_prefix(semicolon + 1);
  }
  return {};
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

// A Host header we are willing to write back into a URL: host name or address with an
// optional port, nothing that could end the URL or the attribute.
bool PlausibleHost(std::string_view host) {
  if (host.empty() || host.size() > 255) return false;
  for (char c : host) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '-' || c == ':' || c == '[' || c == ']' || c == '_';
    if (!ok) return false;
  }
  return true;
}

std::string HostWithoutPort(std::string_view host) {
  if (host.starts_with('[')) return std::string(host.substr(0, host.find(']') + 1));
  return std::string(host.substr(0, host.find(':')));
}

// "scheme://host[:port]" of an Origin or Referer, the default port dropped.
std::string AuthorityOf(std::string_view url) {
  const auto scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos) return {};
  const std::string scheme = AsciiLower(url.substr(0, scheme_end));
  std::string_view rest = url.substr(scheme_end + 3);
  std::string authority = AsciiLower(rest.substr(0, rest.find_first_of("/?#")));
  if (scheme == "http" && authority.ends_with(":80")) authority.resize(authority.size() - 3);
  if (scheme == "https" && authority.ends_with(":443")) authority.resize(authority.size() - 4);
  return authority;
}

// Whether an Origin or Referer names another host than the one the request was sent to.
bool ForeignSource(const HttpRequest& request, std::string_view source) {
  std::string host = AsciiLower(TrimBlanks(request.Header("Host")));
  if (!request.secure && host.ends_with(":80")) host.resize(host.size() - 3);
  if (request.secure && host.ends_with(":443")) host.resize(host.size() - 4);
  return host.empty() || AuthorityOf(source) != host;
}

// A POST is same-site when its Origin (or, without one, its Referer) names the host the
// request was sent to. Requests that carry neither come from non-browser clients.
bool CrossSitePost(const HttpRequest& request) {
  if (!EqualsIgnoringAsciiCase(request.method, "POST")) return false;
  std::string source = request.Header("Origin");
  if (source.empty()) source = request.Header("Referer");
  if (source.empty()) return false;
  return ForeignSource(request, source);
}

// A GET that another site started: a link or an image on a foreign page. Session cookies
// (SameSite=Lax) come with top-level links, so such a request may show a page but must
// not act on it.
bool CrossSiteGet(const HttpRequest& request) {
  const std::string fetch_site = AsciiLower(TrimBlanks(request.Header("Sec-Fetch-Site")));
  if (fetch_site == "cross-site" || fetch_site == "same-site") return true;
  const std::string referer = request.Header("Referer");
  return !referer.empty() && ForeignSource(request, referer);
}

bool Supports(const std::vector<TIWBrowser>& kinds, TIWBrowser browser) {
  return std::find(kinds.begin(), kinds.end(), browser) != kinds.end();
}

void StripActionsOfCrossSiteGet(const HttpRequest& request, PostedForm& post) {
  if (!CrossSiteGet(request)) return;
  std::erase_if(post.fields, [](const auto& field) {
    return field.first == "IW_Action" || field.first == "IW_ActionParam";
  });
}

// What a download may never do in the browser: be sniffed into another type, run
// script or load anything (an attachment is the sender's content, not ours).
void AddDownloadSafetyHeaders(HttpResponse& response) {
  response.SetHeader("X-Content-Type-Options", "nosniff");
  response.SetHeader("Content-Security-Policy", "sandbox; default-src 'none'");
}

// RFC 8187 attr-char: what filename* may carry without a percent escape.
bool IsAttrChar(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("!#$&+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

}  // namespace

// The fields and uploads of one request. The fields are parsed when first asked for;
// the uploads are written to temporary files only by Take, which the dispatcher calls
// once the request has passed the session (or authentication) checks. The files are
// deleted when the request ends.
class PendingPost {
 public:
  PendingPost(const HttpRequest& request, fs::path upload_dir)
      : request_(request), upload_dir_(std::move(upload_dir)) {}
  ~PendingPost() {
    for (const auto& path : stored_) {
      std::error_code ignored;
      fs::remove(path, ignored);
    }
  }
  PendingPost(const PendingPost&) = delete;
  PendingPost& operator=(const PendingPost&) = delete;

  // The posted fields; nothing is stored.
  const PostedForm& Fields() {
    Parse();
    return form_;
  }

  // The fields with the uploads stored.
  PostedForm Take() {
    Parse();
    PostedForm post = std::move(form_);
    for (const FormPart& part : uploads_) {
      UploadedFile file;
      file.field_name = part.name;
      file.client_file_name = part.file_name;
      file.content_type = part.content_type;
      file.temp_path = Store(part.data);
      file.size = part.data.size();
      post.files.push_back(std::move(file));
    }
    uploads_.clear();
    form_ = {};
    return post;
  }

 private:
  void Parse() {
    if (parsed_) return;
    parsed_ = true;
    if (!EqualsIgnoringAsciiCase(request_.method, "POST")) {
      form_.fields = ParseUrlEncoded(request_.Query());
      StripActionsOfCrossSiteGet(request_, form_);
      return;
    }
    const auto boundary = MultipartBoundary(request_.Header("Content-Type"));
    if (!boundary) {
      form_.fields = ParseUrlEncoded(request_.body);
      return;
    }
    for (FormPart& part : ParseMultipart(request_.body, *boundary)) {
      if (!part.is_file) {
        form_.fields.emplace_back(part.name, std::string(part.data));
        continue;
      }
      // The field itself carries the file name, as the browser's file input does.
      form_.fields.emplace_back(part.name, part.file_name);
      if (part.file_name.empty() && part.data.empty()) continue;  // no file chosen
      uploads_.push_back(std::move(part));
    }
  }

  // The cache folder is served, so the name is unguessable (128 random bits) and the
  // file readable by this program alone.
  fs::path Store(std::string_view bytes) {
    const fs::path path = upload_dir_ / ("upload" + RandomHex(16) + ".tmp");
    try {
      fs::create_directories(upload_dir_);
      WriteNewFile(path, bytes, 0600);
    } catch (const std::system_error& error) {
      // The browser is told why, not where the server keeps its files.
      throw std::runtime_error("Cannot store an uploaded file: " + error.code().message());
    }
    stored_.push_back(path);
    return path;
  }

  const HttpRequest& request_;
  fs::path upload_dir_;
  bool parsed_ = false;
  PostedForm form_;
  std::vector<FormPart> uploads_;  // point into the request body
  std::vector<fs::path> stored_;
};

// The request path split as the dispatch table needs it.
struct RequestDispatcher::Route {
  bool html32 = false;
  std::string command;            // as written
  std::string argument;           // next segment, or the whole rest for file commands
  std::vector<std::string> rest;  // every segment after the command
};

std::string DownloadFileName(std::string_view name) {
  const auto separator = name.find_last_of("/\\");
  if (separator != std::string_view::npos) name.remove_prefix(separator + 1);
  std::string clean;
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) clean += c;
  }
  if (clean.empty() || clean == "." || clean == "..") return "download";
  return clean;
}

std::string ContentDispositionFor(bool as_attachment, std::string_view file_name) {
  const std::string name = DownloadFileName(file_name);
  // The quoted form is for old clients: ASCII only, without the characters that would
  // end or escape the quoted string; each non-ASCII character becomes one "_".
  std::string quoted;
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) {
      if ((byte & 0xC0) != 0x80) quoted += '_';
    } else if (c != '"' && c != '\\') {
      quoted += c;
    }
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsAttrChar(byte)) {
      encoded += c;
    } else {
      encoded += '%';
      encoded += kHex[byte >> 4];
      encoded += kHex[byte & 15];
    }
  }
  return std::string(as_attachment ? "attachment" : "inline") + ";filename=\"" + quoted +
         "\"; filename*=UTF-8''" + encoded;
}

BasicCredentials ParseBasicAuthorization(std::string_view header) {
  header = TrimBlanks(header);
  const auto space = header.find(' ');
  if (space == std::string_view::npos ||
      !EqualsIgnoringAsciiCase(header.substr(0, space), "Basic")) {
    return {};
  }
  const std::string decoded = Base64Decode(TrimBlanks(header.substr(space + 1)));
  const auto colon = decoded.find(':');
  if (colon == std::string::npos) return {decoded, {}};
  return {decoded.substr(0, colon), decoded.substr(colon + 1)};
}

std::string ClientAddressOf(const HttpRequest& request, const TIWServerController& controller) {
  bool trusted = false;
  for (const auto& proxy : controller.TrustedProxies) {
    if (EqualsIgnoringAsciiCase(proxy, request.peer_address)) trusted = true;
  }
  if (!trusted) return request.peer_address;
  auto plausible = [](std::string_view text) {
    if (text.empty() || text.size() > 64) return false;
    for (char c : text) {
      if (!std::isxdigit(static_cast<unsigned char>(c)) && c != '.' && c != ':') return false;
    }
    return true;
  };
  // The proxy appends the address it saw last: that is the one it vouches for.
  std::string forwarded = request.Header("X-Forwarded-For");
  std::string_view last = forwarded;
  if (const auto comma = last.rfind(','); comma != std::string_view::npos) {
    last.remove_prefix(comma + 1);
  }
  last = TrimBlanks(last);
  if (plausible(last)) return std::string(last);
  const std::string client_ip(TrimBlanks(request.Header("Client-IP")));
  if (plausible(client_ip)) return client_ip;
  return request.peer_address;
}

std::string ErrorPageHtml(const TIWServerController& controller, std::string_view message) {
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
  const std::string text = ReplaceIgnoreCase(HtmlEscape(message), "\r\n", "<BR>");
  page = ReplaceIgnoreCase(page, "{%CONTENT%}", text);
  return ReplaceIgnoreCase(page, "{%APPNAME%}", HtmlEscape(controller.Description));
}

RequestDispatcher::RequestDispatcher(const TIWServerController& controller, SessionTable& table)
    : controller_(controller), table_(table), builtins_(controller.ResourceDir) {
  // Built-ins count as changed at midnight of the day the server started.
  const std::time_t now = system_clock::to_time_t(system_clock::now());
  std::tm local{};
  localtime_r(&now, &local);
  local.tm_hour = 0;
  local.tm_min = 0;
  local.tm_sec = 0;
  local.tm_isdst = -1;  // midnight may lie on the other side of a daylight-saving change
  builtin_reference_ = system_clock::from_time_t(std::mktime(&local));
}

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
    response.body = ErrorPageHtml(controller_, failure.message);
    AddCacheHeaders(request, false, response);
  } catch (const FormDataError& failure) {
    response = HttpResponse();
    response.status = 400;
    response.SetHeader("Content-Type", "text/html; charset=utf-8");
    response.body = ErrorPageHtml(controller_, failure.what());
  } catch (const std::exception& failure) {
    response = HttpResponse();
    response.status = 500;
    response.reason = "Server error";
    response.SetHeader("Content-Type", "text/html; charset=utf-8");
    response.body = ErrorPageHtml(controller_, failure.what());
    AddCacheHeaders(request, false, response);
  }
  return response;
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
    AddCacheHeaders(request, false, response);
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
    return ServeFile(request, command, route.argument);
  }
  if (command == "GFX") {
    const BuiltinFiles::File* file = builtins_.Image(route.argument);
    std::string type = ContentTypeForFile(route.argument);
    if (type.empty() && file != nullptr) type = ContentTypeForFile(file->file_name);
    return ServeBuiltin(request, file, type);
  }
  if (command == "JS") {
    std::string_view name = route.argument;
    if (const auto version = name.find(controller_.Version);
        !controller_.Version.empty() && version != std::string_view::npos) {
      name = name.substr(0, version);
    }
    return ServeBuiltin(request, builtins_.Script(name), "application/x-javascript");
  }
  if (EqualsIgnoringAsciiCase(route.command, controller_.StartCmd)) {
    return NewSession(request, route, post);
  }
  if (command == "STOP") return Stop(request, route);
  if (command == "FAVICON.ICO") return ServeBuiltin(request, builtins_.Icon(), "image/x-ico");
  Fail("Unrecognized Command: " + Echoed(route.command) +
       (route.argument.empty() ? std::string() : " " + Echoed(route.argument)));
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
  const auto reserved = table_.ReserveKey(
      client, {static_cast<std::size_t>(std::max(controller_.MaxAnonymousSessionsPerAddress, 0)),
               static_cast<std::size_t>(std::max(controller_.MaxAnonymousSessions, 0))});
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
      AddCacheHeaders(request, false, response);
      response.SetHeader("Cache-Control", "private, no-store");
    }
  } catch (...) {
    DestroySession(table_.Remove(&session));
    throw;
  }
  if (controller_.SessionTrackingMethod == TrackingMethod::tmCookie) {
    SetSessionCookies(session, request, response, false);
  }
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

  const auto table_key = TableKeyOfId(id);
  if (!table_key) {
    if (!id.empty()) Fail("Resource " + Echoed(id) + " not found.");
    Fail(std::string(kSessionNotFound));
  }
  TIWApplication* found = table_.TakeOut(*table_key);
  if (found == nullptr) Fail(std::string(kSessionNotFound));
  TIWApplication& session = *found;
  const Refusal refusal = CheckOwner(request, route.html32, id, SessionOwner::Of(session));
  if (refusal == Refusal::kUnauthorized) {
    table_.PutBackUntouched(&session);
    return Unauthorized(controller_);
  }
  if (refusal != Refusal::kNone) {
    // A refused request must not refresh the session's idle time.
    table_.PutBackUntouched(&session);
    Fail(std::string(refusal == Refusal::kOtherAddress   ? kOtherAddress
                     : refusal == Refusal::kOtherBrowser ? kOtherBrowser
                                                         : kSessionNotFound));
  }
  // Only now that the request may act for the session are its uploads written out.
  PostedForm posted = post.Take();

  CurrentApplicationScope scope(&session);
  HttpResponse response;
  const bool track_matches = track == session.TrackID();
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
  table_.PutBack(&session);
  return response;
}

RequestDispatcher::Refusal RequestDispatcher::CheckOwner(const HttpRequest& request, bool html32,
                                                         std::optional<std::string_view> id,
                                                         const SessionOwner& owner) const {
  if (id && !SameSecret(owner.session_id, *id)) return Refusal::kNotFound;
  if (controller_.AuthBeforeNewSession) {
    const BasicCredentials credentials = ParseBasicAuthorization(request.Header("Authorization"));
    if (!SameSecret(credentials.user_name, owner.auth_user) ||
        !SameSecret(credentials.password, owner.auth_password)) {
      return Refusal::kUnauthorized;
    }
  }
  if (controller_.RestrictIPs &&
      !EqualsIgnoringAsciiCase(ClientAddressOf(request, controller_), owner.client_address)) {
    return Refusal::kOtherAddress;
  }
  const std::string agent = html32 ? "HTML 3.2" : request.Header("User-Agent");
  if (owner.browser != TIWBrowser::brHTML32Test && DetectBrowser(agent) != owner.browser) {
    return Refusal::kOtherBrowser;
  }
  return Refusal::kNone;
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
      if (CheckOwner(request, route.html32, id, *owner) == Refusal::kNone) {
        file = ResolveServedFile(owner->cache_dir, rest.substr(slash + 1), true);
      }
    }
  }
  HttpResponse response = FileAnswer(request, file, false);
  response.SetHeader("Cache-Control", "private, no-store");
  // A cache file (a print copy, an upload) is shown as a document of its own: it may
  // style itself and show inline images, but never run script or load anything else.
  response.SetHeader("Content-Security-Policy", std::string(kCacheFilePolicy));
  return response;
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
    SendDownloadAnswer(session, std::move(*download), response);
    return;
  }
  if (!session.PendingRedirect().empty()) return;
  RenderActivePage(session, true, response);
}

void RequestDispatcher::SendDownloadAnswer(TIWApplication& session,
                                           TIWApplication::Download download,
                                           HttpResponse& response) {
  std::string file_name = download.file_name;
  std::string content;
  if (download.content) {
    content = std::move(*download.content);
  } else {
    file_name = download.path.filename().string();
    try {
      content = ReadWholeFile(download.path);
    } catch (const std::exception&) {
      throw RequestFailure{404, "File not found", "File not found"};
    }
  }
  std::string type = download.content_type;
  if (type.empty()) type = ContentTypeForFile(DownloadFileName(file_name));
  if (type.empty()) type = "application/unknown";
  response.SetHeader("Content-Type", type);
  response.SetHeader("Content-Disposition",
                     ContentDispositionFor(download.as_attachment, file_name));
  response.SetHeader("Expires", FormatHttpDate(system_clock::now()));
  response.SetHeader("Cache-Control", "private, no-store");
  AddDownloadSafetyHeaders(response);
  // The browser stays on the page that posted; this mark, readable by the page's
  // script and holding no secret, tells it that the answer came and it may post again.
  response.AddHeader("Set-Cookie", std::string(kDownloadMark) + "=1; path=" +
                                       (session.URLBase().empty() ? "/" : session.URLBase()) +
                                       "; SameSite=Lax");
  response.body = std::move(content);
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
  AddCacheHeaders(request, false, response);
  return response;
}

HttpResponse RequestDispatcher::ServeFile(const HttpRequest& request, std::string_view command,
                                          std::string_view argument) {
  const bool sub_folders = controller_.AllowSubFolders;
  std::optional<fs::path> file = ResolveServedFile(controller_.FilesDir, argument, sub_folders);
  if (!file && !controller_.InstalledFilesDir.empty()) {
    file = ResolveServedFile(controller_.InstalledFilesDir, argument, sub_folders);
  }
  return FileAnswer(request, file, command == "FILES");
}

// A file's answer: 404, 304 or the bytes. A type the extension does not tell is sent as
// plain bytes, and no file answer may be sniffed into something the browser would run.
HttpResponse RequestDispatcher::FileAnswer(const HttpRequest& request,
                                           const std::optional<fs::path>& file,
                                           bool cacheable) const {
  HttpResponse response;
  response.SetHeader("X-Content-Type-Options", "nosniff");
  if (!file) {
    response.status = 404;
    response.reason = "File not found";
    response.SetHeader("Content-Type", "text/html");
    response.body = "File not found";
    AddCacheHeaders(request, false, response);
    return response;
  }
  const SystemTime modified = FileModificationTime(*file);
  if (NotModifiedSince(modified, request.Header("If-Modified-Since"))) {
    response.status = 304;
    response.reason = "Not modified";
  } else {
    response.body = ReadWholeFile(*file);
    std::string type = ContentTypeForFile(file->filename().string());
    if (type.empty()) type = "application/octet-stream";
    response.SetHeader("Content-Type", type);
  }
  response.SetHeader("Last-Modified", FormatHttpDate(modified));
  AddCacheHeaders(request, cacheable, response);
  return response;
}

HttpResponse RequestDispatcher::ServeBuiltin(const HttpRequest& request,
                                             const BuiltinFiles::File* file,
                                             std::string content_type) {
  HttpResponse response;
  response.SetHeader("X-Content-Type-Options", "nosniff");
  if (file == nullptr) {
    response.status = 404;
    response.reason = "File not found";
    response.SetHeader("Content-Type", "text/html");
    response.body = "File not found";
    AddCacheHeaders(request, false, response);
    return response;
  }
  if (NotModifiedSince(builtin_reference_, request.Header("If-Modified-Since"))) {
    response.status = 304;
    response.reason = "Not modified";
  } else {
    response.body = file->content;
    response.SetHeader("Content-Type",
                       content_type.empty() ? "application/octet-stream" : content_type);
  }
  response.SetHeader("Last-Modified", FormatHttpDate(builtin_reference_));
  AddCacheHeaders(request, true, response);
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

void RequestDispatcher::AddCacheHeaders(const HttpRequest& request, bool cacheable,
                                        HttpResponse& response) const {
  if (cacheable) {
    response.SetHeader("Expires", FormatHttpDate(system_clock::now() +
                                                 std::chrono::hours(controller_.CacheExpiry)));
  } else if (!request.secure) {
    response.SetHeader("Pragma", "no-cache");
  }
}

}  // namespace kestrune
