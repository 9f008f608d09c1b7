// The dispatch table, new sessions, session requests with their checks, the request
// cycle and the end of a session, driven through RequestDispatcher without sockets.
#include "web/toolkit/request_dispatcher.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <future>
#include <thread>

#include "listener_fixture.h"
#include "web/toolkit/request_guards.h"
#include "web/toolkit/standalone_server.h"
#include "web/toolkit/static_files.h"

namespace kestrune::testing {
namespace {

class DispatcherTest : public ::testing::Test {
 protected:
  DispatcherTest() : controller_(MakeController(home_.path())) {}

  RequestDispatcher& Dispatcher() {
    if (!dispatcher_) dispatcher_ = std::make_unique<RequestDispatcher>(controller_, table_);
    return *dispatcher_;
  }

  HttpRequest Request(std::string method, std::string target, std::string body = {}) {
    return BrowserRequest(std::move(method), std::move(target), std::move(body), cookie_);
  }

  HttpResponse Send(HttpRequest request) {
    HttpResponse response = Dispatcher().Handle(request);
    const std::string id = CookieFrom(response, "IW_SessionID_");
    if (!id.empty()) session_id_ = id;
    const std::string track = CookieFrom(response, "IW_TrackID_");
    if (!id.empty()) {
      cookie_ = "IW_CookieCheck_=Enabled; IW_SessionID_=" + id + "; IW_TrackID_=" + track;
    }
    if (const std::string token = FormTokenIn(response.body); !token.empty()) token_ = token;
    return response;
  }

  // Starts a session and loads its first page (track 1).
  HttpResponse StartAndShow() {
    Send(Request("GET", "/"));
    return Send(Request("GET", "/index"));
  }

  // The page's form posted with `control` as action control, as the browser does.
  HttpResponse Click(const std::string& control) {
    return Send(Request("POST", "/index",
                        "IW_Action=" + control + "&IW_ActionParam=&IW_FormToken=" + token_));
  }

  TempDir home_;
  TIWServerController controller_;
  // The table's clock stands still unless a test moves it.
  std::chrono::steady_clock::time_point now_ = std::chrono::steady_clock::now();
  SessionTable table_{[this] { return now_; }};
  std::unique_ptr<RequestDispatcher> dispatcher_;
  std::string cookie_;
  std::string session_id_;
  std::string token_;
};

TEST_F(DispatcherTest, RootRedirectsToIndexWithSessionCookies) {
  const HttpResponse response = Send(Request("GET", "/"));
  EXPECT_EQ(response.status, 302);
  EXPECT_EQ(response.Header("Location"), "http://kestrune.test:8080/index");
  EXPECT_EQ(CookieFrom(response, "IW_TrackID_"), "0");
  EXPECT_EQ(CookieFrom(response, "IW_CookieCheck_"), "Enabled");
  ASSERT_EQ(session_id_.size(), 41u);
  for (const auto& [name, value] : response.headers) {
    if (name == "Set-Cookie") {
      EXPECT_NE(value.find("; HttpOnly; SameSite=Lax"), std::string::npos) << value;
      EXPECT_EQ(value.find("Secure"), std::string::npos) << value;
    }
  }
  EXPECT_EQ(table_.Count(), 1u);
}

TEST_F(DispatcherTest, UrlTrackingRedirectCarriesTrackAndId) {
  controller_.SessionTrackingMethod = TrackingMethod::tmURL;
  const HttpResponse response = Send(Request("GET", "/"));
  const std::string location = response.Header("Location");
  const std::string prefix = "http://kestrune.test:8080/index/0/";
  ASSERT_TRUE(location.starts_with(prefix)) << location;
  const std::string id = location.substr(prefix.size());
  ASSERT_EQ(id.size(), 41u);
  const HttpResponse page = Send(Request("GET", "/index/0/" + id));
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("/index/1/" + id), std::string::npos);
}

TEST_F(DispatcherTest, SessionKeysAreRandomAndWellFormed) {
  std::set<std::string> keys;
  for (int i = 0; i < 20; ++i) {
    cookie_.clear();
    Send(Request("GET", "/"));
    keys.insert(session_id_.substr(0, 24));
    for (char c : session_id_.substr(0, 24)) EXPECT_TRUE(std::isxdigit(c) && !std::islower(c));
    for (char c : session_id_.substr(24)) EXPECT_TRUE(std::isdigit(c));
  }
  EXPECT_EQ(keys.size(), 20u);
}

TEST_F(DispatcherTest, SessionAnswersCarryPrivacyHeadersAndAdvanceTrack) {
  const HttpResponse page = StartAndShow();
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.Header("Cache-Control"), "private, no-store");
  EXPECT_EQ(page.Header("Referrer-Policy"), "same-origin");
  EXPECT_EQ(page.Header("X-Frame-Options"), "SAMEORIGIN");
  EXPECT_EQ(CookieFrom(page, "IW_TrackID_"), "1");
  EXPECT_NE(page.body.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
  EXPECT_EQ(page.body.find("<script>alert(1)"), std::string::npos);
}

TEST_F(DispatcherTest, StaleTrackRerendersWithoutFiringHandler) {
  StartAndShow();
  const std::string current = cookie_;
  cookie_ = "IW_CookieCheck_=Enabled; IW_SessionID_=" + session_id_ + "; IW_TrackID_=0";
  const HttpResponse stale = Click("IWHELLO");
  EXPECT_EQ(stale.status, 200);
  EXPECT_EQ(CookieFrom(stale, "IW_TrackID_"), "1");
  EXPECT_EQ(stale.body.find("window.alert"), std::string::npos);
  cookie_ = current;
  const HttpResponse fresh = Click("IWHELLO");
  EXPECT_EQ(CookieFrom(fresh, "IW_TrackID_"), "2");
  EXPECT_NE(fresh.body.find("window.alert(\"Hello \\\"you\\\" \\x3Cb\\x3E\");"), std::string::npos)
      << fresh.body;
}

TEST_F(DispatcherTest, ForgedIdWithRightTableKeyIsRefusedAndSessionSurvives) {
  StartAndShow();
  const std::string real = cookie_;
  std::string forged = session_id_;
  forged[12] = forged[12] == 'A' ? 'B' : 'A';
  cookie_ = "IW_CookieCheck_=Enabled; IW_SessionID_=" + forged + "; IW_TrackID_=1";
  const HttpResponse refused = Send(Request("GET", "/index"));
  EXPECT_EQ(refused.status, 500);
  EXPECT_EQ(refused.reason, "Server error");
  EXPECT_NE(refused.body.find("Session not found. Session may have expired."), std::string::npos);
  cookie_ = real;
  EXPECT_EQ(Send(Request("GET", "/index")).status, 200);
}

// A browser whose user chose German meets the error page of an expired session: heading,
// message and language are those the program gives for that request; the message is
// never read as a template tag.
TEST_F(DispatcherTest, ExpiredSessionPageOfAGermanBrowserIsGerman) {
  struct German : ControllerEvents {
    std::string ErrorPageText(const HttpRequest& request, std::string_view english) override {
      return CookieValue(request, "Lang") == "Deu" && english == "Something went wrong"
                 ? "Ein Problem ist aufgetreten"
                 : std::string(english);
    }
    std::string ErrorPageLanguage(const HttpRequest&) override { return "de"; }
    std::string ErrorPageMessage(const HttpRequest&, std::string_view message) override {
      return message == "Session not found. Session may have expired."
                 ? "Sitzung nicht gefunden {%=Something went wrong%}"
                 : std::string(message);
    }
  } german;
  controller_.Events = &german;
  WriteFile(home_.path() / "Templates" / "IWError.html",
            "<html lang=\"{%LANG%}\"><h1>{%=Something went wrong%}</h1><p>{%CONTENT%}</p>");
  cookie_ = "Lang=Deu; IW_CookieCheck_=Enabled; IW_SessionID_=" + std::string(32, 'A') +
            "; IW_TrackID_=1";
  const HttpResponse refused = Send(Request("GET", "/index"));
  EXPECT_EQ(refused.body,
            "<html lang=\"de\"><h1>Ein Problem ist aufgetreten</h1><p>Sitzung nicht gefunden "
            "{%=Something went wrong%}</p>");
}

TEST_F(DispatcherTest, ForgedIdDoesNotKeepTheSessionAlive) {
  StartAndShow();
  TIWApplication* session = table_.TakeOut(*TableKeyOfId(session_id_));
  ASSERT_NE(session, nullptr);
  table_.PutBack(session);
  const auto before = session->LastAccess();
  std::string forged = session_id_;
  forged[12] = forged[12] == 'A' ? 'B' : 'A';
  cookie_ = "IW_CookieCheck_=Enabled; IW_SessionID_=" + forged + "; IW_TrackID_=1";
  EXPECT_EQ(Send(Request("GET", "/index")).status, 500);
  EXPECT_EQ(Send(Request("GET", "/STOP/" + forged)).status, 200);
  EXPECT_EQ(session->LastAccess(), before);
  EXPECT_EQ(table_.Count(), 1u);
}

TEST_F(DispatcherTest, NonHexIdNamesTheResourceEscaped) {
  cookie_ = "IW_CookieCheck_=Enabled; IW_SessionID_=<x>zzzzzz; IW_TrackID_=1";
  const HttpResponse response = Send(Request("GET", "/index"));
  EXPECT_NE(response.body.find("Resource &lt;x&gt;zzzzzz not found."), std::string::npos);
}

TEST_F(DispatcherTest, MissingCookieCheckIsReported) {
  StartAndShow();
  cookie_ = "IW_SessionID_=" + session_id_ + "; IW_TrackID_=1";
  const HttpResponse response = Send(Request("GET", "/index"));
  EXPECT_NE(
      response.body.find("Your browser does not seem to support cookies or they are disactivated"),
      std::string::npos);
}

TEST_F(DispatcherTest, BusySessionAnswersNotFound) {
  StartAndShow();
  TIWApplication* busy = table_.TakeOut(*TableKeyOfId(session_id_));
  ASSERT_NE(busy, nullptr);
  const HttpResponse second = Send(Request("GET", "/index"));
  EXPECT_NE(second.body.find("Session not found."), std::string::npos);
  table_.PutBack(busy);
  EXPECT_EQ(Send(Request("GET", "/index")).status, 200);
}

TEST_F(DispatcherTest, OtherAddressIsRefusedWhileTheOwnerGoesOn) {
  StartAndShow();
  HttpRequest other = Request("GET", "/index");
  other.peer_address = "10.0.0.99";
  const HttpResponse refused = Send(other);
  EXPECT_NE(refused.body.find("Security Exception: The IP you are using is different than the "
                              "one that is assigned to the specified session."),
            std::string::npos);
  EXPECT_EQ(Send(Request("GET", "/index")).status, 200);
}

TEST_F(DispatcherTest, ForwardedForCountsOnlyFromTrustedProxy) {
  HttpRequest request = Request("GET", "/");
  request.headers.emplace_back("X-Forwarded-For", "192.0.2.1, 198.51.100.7");
  EXPECT_EQ(ClientAddressOf(request, controller_), "10.0.0.5");
  controller_.TrustedProxies = {"10.0.0.5"};
  EXPECT_EQ(ClientAddressOf(request, controller_), "198.51.100.7");
}

TEST_F(DispatcherTest, MessageBeforeSwitchStaysOnOldPage) {
  StartAndShow();
  const HttpResponse second = Click("IWSWITCH");
  EXPECT_NE(second.body.find("IWBACK"), std::string::npos);
  EXPECT_NE(second.body.find("window.alert(\"on second\");"), std::string::npos);
  EXPECT_EQ(second.body.find("left behind"), std::string::npos);
}

TEST_F(DispatcherTest, ExceptionInHandlerBecomesAlert) {
  StartAndShow();
  const HttpResponse page = Click("IWFAIL");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("window.alert(\"Handler broke\");"), std::string::npos);
  EXPECT_EQ(Send(Request("GET", "/index")).status, 200);
}

TEST_F(DispatcherTest, UnknownActionControlIsAnAlert) {
  StartAndShow();
  const HttpResponse page = Click("IWNOSUCH");
  EXPECT_NE(page.body.find("window.alert(\"Cannot find submit component.\");"), std::string::npos);
}

TEST_F(DispatcherTest, EndSessionAndRedirectEndsTheSession) {
  StartAndShow();
  const HttpResponse bye = Click("IWLOGOUT");
  EXPECT_EQ(bye.body,
            "<HTML><META HTTP-EQUIV=\"Refresh\" CONTENT=\"0;URL=/files/logout.htm\"><BODY></BODY>"
            "</HTML>");
  EXPECT_EQ(table_.Count(), 0u);
  EXPECT_FALSE(std::filesystem::exists(home_.path() / "Cache" / "user" / session_id_));
  const HttpResponse later = Send(Request("GET", "/index"));
  EXPECT_NE(later.body.find("Session not found. Session may have expired."), std::string::npos);
}

TEST_F(DispatcherTest, SendDownloadKeepsTrackNumber) {
  StartAndShow();
  WriteFile(home_.path() / "report.pdf", "%PDF-1.4 data");
  auto* page = dynamic_cast<FirstPage*>(table_.TakeOut(*TableKeyOfId(session_id_))->ActivePage());
  ASSERT_NE(page, nullptr);
  page->download_path = home_.path() / "report.pdf";
  table_.PutBack(&page->WebApplication());
  const HttpResponse download = Click("IWDOWNLOAD");
  EXPECT_EQ(download.body, "%PDF-1.4 data");
  EXPECT_EQ(download.Header("Content-Type"), "application/pdf");
  EXPECT_EQ(download.Header("Content-Disposition"),
            "attachment;filename=\"report.pdf\"; filename*=UTF-8''report.pdf");
  EXPECT_EQ(CookieFrom(download, "IW_TrackID_"), "1");
  EXPECT_EQ(CookieFrom(download, "IW_Download_"), "1");
  EXPECT_EQ(CookieFrom(Click("IWHELLO"), "IW_Download_"), "");
}

TEST_F(DispatcherTest, CrossSitePostIsRefused) {
  StartAndShow();
  HttpRequest forged = Request("POST", "/index", "IW_Action=IWHELLO&IW_ActionParam=");
  forged.headers.emplace_back("Origin", "http://evil.example");
  const HttpResponse refused = Send(forged);
  EXPECT_EQ(refused.status, 403);
  HttpRequest same =
      Request("POST", "/index", "IW_Action=IWHELLO&IW_ActionParam=&IW_FormToken=" + token_);
  same.headers.emplace_back("Origin", "http://kestrune.test:8080");
  EXPECT_EQ(Send(same).status, 200);
}

// A foreign page with <meta name="referrer" content="no-referrer"> sends its links and
// images without Referer, and over plain HTTP without Sec-Fetch-Site: a GET never acts,
// whatever it carries, from wherever it comes.
TEST_F(DispatcherTest, LinkOnAForeignPageWithoutRefererCannotAct) {
  StartAndShow();
  const std::string action = "/index?IW_Action=IWHELLO&IW_ActionParam=&IW_FormToken=";
  const std::vector<std::vector<std::pair<std::string, std::string>>> sources = {
      {},
      {{"Referer", "http://evil.example/page"}},
      {{"Sec-Fetch-Site", "cross-site"}},
      {{"Referer", "http://kestrune.test:8080/index"}, {"Sec-Fetch-Site", "same-origin"}},
  };
  for (const auto& headers : sources) {
    HttpRequest link = Request("GET", action + token_);
    for (const auto& header : headers) link.headers.push_back(header);
    const HttpResponse shown = Send(link);
    EXPECT_EQ(shown.status, 200);
    EXPECT_EQ(shown.body.find("window.alert"), std::string::npos)
        << (headers.empty() ? "no header" : headers[0].second);
  }
  EXPECT_NE(Click("IWHELLO").body.find("window.alert(\"Hello"), std::string::npos);
}

// A form on a foreign page posts without the session's token (it cannot read it); with a
// referrer-stripping policy the browser may send no Origin either.
TEST_F(DispatcherTest, FormPostedFromAForeignPageWithoutTheTokenCannotAct) {
  StartAndShow();
  for (const std::string& token : {std::string(), std::string(32, '0'), token_ + "0"}) {
    HttpRequest forged = Request("POST", "/index", "IW_Action=IWHELLO&IW_ActionParam=");
    if (!token.empty()) forged.body += "&IW_FormToken=" + token;
    const HttpResponse refused = Send(forged);
    EXPECT_EQ(refused.status, 403) << token;
    EXPECT_EQ(refused.body.find("window.alert"), std::string::npos) << token;
  }
  EXPECT_NE(Click("IWHELLO").body.find("window.alert(\"Hello"), std::string::npos);
  // A browser whose user strips referrers sends "Origin: null" for the session's own
  // forms as well: the token decides.
  HttpRequest own =
      Request("POST", "/index", "IW_Action=IWHELLO&IW_ActionParam=&IW_FormToken=" + token_);
  own.headers.emplace_back("Origin", "null");
  EXPECT_NE(Send(own).body.find("window.alert(\"Hello"), std::string::npos);
  HttpRequest forged = Request("POST", "/index", "IW_Action=IWHELLO&IW_ActionParam=");
  forged.headers.emplace_back("Origin", "null");
  EXPECT_EQ(Send(forged).status, 403);
}

TEST_F(DispatcherTest, EverySessionHasItsOwnFormToken) {
  const std::string first = FormTokenIn(StartAndShow().body);
  cookie_.clear();
  const std::string second = FormTokenIn(StartAndShow().body);
  EXPECT_EQ(first.size(), 32u);
  EXPECT_EQ(second.size(), 32u);
  EXPECT_NE(first, second);
}

TEST_F(DispatcherTest, FilesCommandInAnyCaseAndSafePaths) {
  WriteFile(home_.path() / "Files" / "logout.htm", "<p>bye</p>");
  WriteFile(home_.path() / "Files" / "sub" / "a.gif", "GIF89a");
  WriteFile(home_.path() / "secret.txt", "secret");
  std::filesystem::create_symlink(home_.path() / "secret.txt", home_.path() / "Files" / "link.txt");
  for (const char* path : {"/files/logout.htm", "/Files/logout.htm", "/FILES/logout.htm"}) {
    const HttpResponse response = Send(Request("GET", path));
    EXPECT_EQ(response.status, 200) << path;
    EXPECT_EQ(response.body, "<p>bye</p>");
    EXPECT_EQ(response.Header("Content-Type"), "text/html");
    EXPECT_FALSE(response.Header("Expires").empty());
  }
  EXPECT_EQ(Send(Request("GET", "/files/sub/a.gif")).Header("Content-Type"), "image/gif");
  for (const char* path :
       {"/files/../secret.txt", "/files/%2e%2e/secret.txt", "/files/sub/..%2f..%2fsecret.txt",
        "/files/link.txt", "/files//logout.htm", "/files/sub%5c..%5clogout.htm",
        "/files/logout.htm%00", "/files/missing.htm", "/files/sub"}) {
    const HttpResponse response = Send(Request("GET", path));
    EXPECT_EQ(response.status, 404) << path;
    EXPECT_EQ(response.body, "File not found");
  }
}

TEST_F(DispatcherTest, FileNotModifiedSinceGives304) {
  WriteFile(home_.path() / "Files" / "a.js", "x");
  HttpRequest request = Request("GET", "/files/a.js");
  const HttpResponse first = Send(request);
  request.headers.emplace_back("If-Modified-Since", first.Header("Last-Modified"));
  const HttpResponse again = Send(request);
  EXPECT_EQ(again.status, 304);
  EXPECT_EQ(again.reason, "Not modified");
  EXPECT_TRUE(again.body.empty());
}

TEST_F(DispatcherTest, BuiltinIconAndImages) {
  const HttpResponse icon = Send(Request("GET", "/favicon.ico"));
  EXPECT_EQ(icon.status, 200);
  EXPECT_EQ(icon.Header("Content-Type"), "image/x-ico");
  EXPECT_EQ(icon.body.substr(0, 4), std::string("\0\0\1\0", 4));
  EXPECT_EQ(Send(Request("GET", "/gfx/Tp.gif")).Header("Content-Type"), "image/gif");
}

TEST_F(DispatcherTest, UnknownCommandIsAnErrorPage) {
  const HttpResponse response = Send(Request("GET", "/bogus/<i>"));
  EXPECT_EQ(response.status, 500);
  EXPECT_NE(response.body.find("Unrecognized Command: bogus &lt;i&gt;"), std::string::npos);
}

TEST_F(DispatcherTest, CustomErrorTemplateIsUsed) {
  WriteFile(home_.path() / "Templates" / "IWError.html", "<h1>{%appname%}</h1>{%Content%}");
  const HttpResponse response = Send(Request("GET", "/nothing"));
  EXPECT_EQ(response.body, "<h1>Kestrune</h1>Unrecognized Command: nothing");
}

TEST_F(DispatcherTest, UnsupportedBrowserGetsBrowserList) {
  HttpRequest request = Request("GET", "/");
  request.headers[1].second = "Mozilla/4.0 (compatible; MSIE 2.0)";
  EXPECT_NE(Send(request).body.find("Unknown browser type."), std::string::npos);
  request.headers[1].second = "Lynx/2.8";
  EXPECT_NE(Send(request).body.find("No main form is defined."), std::string::npos);
}

TEST_F(DispatcherTest, HttpsRedirectTextNamesTlsPort) {
  controller_.SSLOptions.NonSSLRequest = NonSSLMode::nsRedirect;
  Dispatcher().SetPorts(8080, 443);
  const HttpResponse response = Send(Request("GET", "/"));
  EXPECT_EQ(response.body,
            "<META HTTP-EQUIV=\"Refresh\"CONTENT=\"0;URL=https://kestrune.test:443/\">");
}

class AcceptOneUser : public ControllerEvents {
 public:
  bool Authorize(std::string_view user, std::string_view password,
                 std::string_view client_address) override {
    return user == "ann" && password == "pw";
  }
};

TEST_F(DispatcherTest, BasicAuthorizationGuardsNewSessionsAndRequests) {
  AcceptOneUser events;
  controller_.Events = &events;
  controller_.AuthBeforeNewSession = true;
  HttpResponse refused = Send(Request("GET", "/"));
  EXPECT_EQ(refused.status, 401);
  EXPECT_EQ(refused.Header("WWW-Authenticate"), "Basic realm=\"Kestrune\"");
  EXPECT_EQ(refused.body, "Authentication Failed.");
  HttpRequest good = Request("GET", "/");
  good.headers.emplace_back("Authorization", "Basic YW5uOnB3");  // ann:pw
  EXPECT_EQ(Send(good).status, 302);
  HttpRequest without = Request("GET", "/index");
  EXPECT_EQ(Send(without).status, 401);
  EXPECT_EQ(table_.Count(), 1u);
}

// 50 "GET /" from one address (or one NAT) fill its cap of sessions that never logged in:
// the next visitor from there still gets in, in place of the oldest of them.
TEST_F(DispatcherTest, AnonymousSessionsPastTheCapPerAddressReplaceTheOldest) {
  controller_.MaxAnonymousSessionsPerAddress = 2;
  EXPECT_EQ(Send(Request("GET", "/")).status, 302);
  const std::string oldest = cookie_;
  now_ += std::chrono::seconds(1);
  cookie_.clear();
  EXPECT_EQ(Send(Request("GET", "/")).status, 302);
  now_ += std::chrono::seconds(1);
  cookie_.clear();
  EXPECT_EQ(Send(Request("GET", "/")).status, 302);
  EXPECT_EQ(table_.AnonymousFrom("10.0.0.5"), 2u);
  EXPECT_EQ(Send(Request("GET", "/index")).status, 200);
  cookie_ = oldest;
  EXPECT_NE(Send(Request("GET", "/index")).body.find("Session not found."), std::string::npos);
  cookie_.clear();
  HttpRequest other = Request("GET", "/");
  other.peer_address = "10.0.0.6";
  EXPECT_EQ(Send(other).status, 302);
  EXPECT_EQ(table_.Count(), 3u);
}

// Fails while a new session is being set up, before it enters the table.
class FailingListener : public ListenerEvents {
 public:
  void OnNewSession(TIWApplication&) override { throw std::runtime_error("log is full"); }
};

TEST_F(DispatcherTest, ASessionThatFailsToStartGivesItsPlaceBack) {
  FailingListener listener;
  controller_.Listener = &listener;
  controller_.MaxAnonymousSessionsPerAddress = 1;
  EXPECT_EQ(Send(Request("GET", "/")).status, 500);
  EXPECT_EQ(table_.Anonymous(), 0u);
  controller_.Listener = nullptr;
  EXPECT_EQ(Send(Request("GET", "/")).status, 302);
}

// Ends every session in the first request, before the browser saw a page.
class EndingController : public ControllerEvents {
 public:
  TIWAppForm* OnNewSession(TIWApplication& session) override {
    session.EndSession("Closed for maintenance");
    return nullptr;
  }
};

TEST_F(DispatcherTest, SessionEndedByItsFirstRequestLeavesTheTable) {
  EndingController events;
  controller_.Events = &events;
  controller_.SessionTrackingMethod = TrackingMethod::tmHidden;
  const HttpResponse bye = Send(Request("POST", "/"));
  EXPECT_EQ(bye.body, "<HTML><BODY>Closed for maintenance</BODY></HTML>");
  EXPECT_EQ(table_.Count(), 0u);
  EXPECT_EQ(table_.Anonymous(), 0u);
}

TEST_F(DispatcherTest, StopEndsTheNamedSession) {
  StartAndShow();
  Send(Request("GET", "/STOP/" + session_id_));
  EXPECT_EQ(table_.Count(), 0u);
}

TEST_F(DispatcherTest, TimeoutScanRemovesOldSessionsAndKeepsYoungAndBusyOnes) {
  controller_.SetSessionTimeout(30);
  StartAndShow();  // last used at 0 minutes
  const std::string old_cookie = cookie_;
  now_ += std::chrono::minutes(20);
  cookie_.clear();
  StartAndShow();  // last used at 20 minutes
  const std::string young_cookie = cookie_;
  cookie_.clear();
  StartAndShow();
  TIWApplication* busy = table_.TakeOut(*TableKeyOfId(session_id_));  // its request runs on
  ASSERT_NE(busy, nullptr);
  now_ += std::chrono::minutes(10);

  auto idle = table_.RemoveIdle(std::chrono::minutes(controller_.SessionTimeout()));
  ASSERT_EQ(idle.size(), 1u);
  for (auto& session : idle) Dispatcher().DestroySession(std::move(session));
  EXPECT_EQ(table_.Count(), 2u);
  cookie_ = young_cookie;
  EXPECT_EQ(Send(Request("GET", "/index")).status, 200);
  cookie_ = old_cookie;
  EXPECT_NE(Send(Request("GET", "/index")).body.find("Session not found."), std::string::npos);
  table_.PutBack(busy);
  EXPECT_THROW(controller_.SetSessionTimeout(601), std::invalid_argument);
}

// --- Hardening: untrusted input must not buy work, file answers must not be sniffed,
// private files and uploads only for the session they belong to. ---

TEST_F(DispatcherTest, EchoedSessionIdIsCutInTheErrorPage) {
  controller_.SessionTrackingMethod = TrackingMethod::tmHidden;
  std::string field;
  for (int i = 0; i < 32 * 1024; ++i) field += "%0D%0A";  // 64 KiB of CR LF once decoded
  const HttpResponse response = Send(Request("POST", "/", "IW_SessionID_=" + field));
  EXPECT_EQ(response.status, 500);
  std::string echoed;
  for (int i = 0; i < 100; ++i) echoed += "<BR>";
  EXPECT_NE(response.body.find("Resource " + echoed + "... not found."), std::string::npos);
  EXPECT_LT(response.body.size(), 2000u);
}

TEST_F(DispatcherTest, ErrorPageOfAHugeMessageIsLinearWork) {
  // One CR LF pair per two bytes: a replace that copies the text for every match needs
  // minutes here; a single pass needs milliseconds. The wait only guards against a hang.
  std::string crlf;
  for (int i = 0; i < 512 * 1024; ++i) crlf += "\r\n";
  auto done = std::make_shared<std::promise<std::string>>();
  auto result = done->get_future();
  std::thread([controller = controller_, crlf, done] {
    done->set_value(ErrorPageHtml(controller, crlf));
  }).detach();
  ASSERT_EQ(result.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  const std::string page = result.get();
  std::size_t breaks = 0;
  for (std::size_t at = page.find("<BR>"); at != std::string::npos;
       at = page.find("<BR>", at + 4)) {
    ++breaks;
  }
  EXPECT_EQ(breaks, 512u * 1024u);
  EXPECT_LT(page.size(), 4u * 512u * 1024u + 1000u);
}

TEST_F(DispatcherTest, FileAnswersAreNeverSniffed) {
  WriteFile(home_.path() / "Files" / "page.kestrunex", "<script>alert(1)</script>");
  WriteFile(home_.path() / "Files" / "logout.htm", "<p>bye</p>");
  const HttpResponse unknown = Send(Request("GET", "/files/page.kestrunex"));
  EXPECT_EQ(unknown.status, 200);
  EXPECT_EQ(unknown.Header("Content-Type"), "application/octet-stream");
  for (const char* path : {"/files/page.kestrunex", "/filesnc/logout.htm", "/files/missing.htm",
                           "/gfx/Tp.gif", "/js/IWCommon.js", "/favicon.ico"}) {
    EXPECT_EQ(Send(Request("GET", path)).Header("X-Content-Type-Options"), "nosniff") << path;
  }
}

TEST_F(DispatcherTest, BuiltinsDateFromMidnightOfTheStartDay) {
  auto midnight = [] {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    local.tm_hour = local.tm_min = local.tm_sec = 0;
    local.tm_isdst = -1;
    return FormatHttpDate(std::chrono::system_clock::from_time_t(std::mktime(&local)));
  };
  const std::string before = midnight();
  const std::string stamp = Send(Request("GET", "/gfx/Tp.gif")).Header("Last-Modified");
  const std::string after = midnight();
  EXPECT_TRUE(stamp == before || stamp == after) << stamp << " vs " << before;
}

// The one directory of the session cache (its name as created).
std::filesystem::path OnlySessionCacheDir(const std::filesystem::path& cache) {
  std::vector<std::filesystem::path> dirs;
  for (const auto& entry : std::filesystem::directory_iterator(cache / "user")) {
    dirs.push_back(entry.path());
  }
  return dirs.size() == 1 ? dirs.front() : std::filesystem::path();
}

TEST_F(DispatcherTest, SessionCacheFilesAreForTheOwningSessionOnly) {
  StartAndShow();
  const std::filesystem::path dir = OnlySessionCacheDir(controller_.CacheDir);
  ASSERT_FALSE(dir.empty());
  const std::string token = dir.filename().string();
  EXPECT_EQ(token.find(session_id_.substr(0, 24)), std::string::npos);
  EXPECT_EQ(session_id_.find(token.substr(0, 8)), std::string::npos);
  WriteFile(dir / "notes.txt", "private notes");
  const std::string url = "/cache/user/" + token + "/notes.txt";

  const HttpResponse own = Send(Request("GET", url));
  EXPECT_EQ(own.status, 200);
  EXPECT_EQ(own.body, "private notes");
  EXPECT_EQ(own.Header("Cache-Control"), "private, no-store");
  EXPECT_TRUE(own.Header("Expires").empty());

  const std::string own_cookie = cookie_;
  cookie_.clear();  // the URL alone
  EXPECT_EQ(Send(Request("GET", url)).status, 404);
  cookie_ = own_cookie;
  HttpRequest elsewhere = Request("GET", url);
  elsewhere.peer_address = "10.0.0.99";
  EXPECT_EQ(Send(elsewhere).status, 404);
  HttpRequest other_browser = Request("GET", url);
  other_browser.headers[1].second = "Opera/9.80";
  EXPECT_EQ(Send(other_browser).status, 404);

  // Another live session's cookie does not open it either.
  cookie_.clear();
  StartAndShow();
  EXPECT_EQ(Send(Request("GET", url)).status, 404);
  // Files of the cache outside a session directory are not served at all.
  WriteFile(controller_.CacheDir / "loose.txt", "x");
  EXPECT_EQ(Send(Request("GET", "/cache/loose.txt")).status, 404);
}

// A multipart post with one file, as a browser's upload form sends it.
HttpRequest WithUpload(HttpRequest request) {
  for (auto& [name, value] : request.headers) {
    if (name == "Content-Type") value = "multipart/form-data; boundary=XyZ";
  }
  if (request.Header("Content-Type").empty()) {
    request.headers.emplace_back("Content-Type", "multipart/form-data; boundary=XyZ");
  }
  request.body =
      "--XyZ\r\nContent-Disposition: form-data; name=\"IWUPLOAD\"; filename=\"a.bin\"\r\n"
      "Content-Type: application/octet-stream\r\n\r\n" +
      std::string(100000, 'u') + "\r\n--XyZ--\r\n";
  return request;
}

// A broken upload form (a cut connection, a hostile client) must not leave the session
// taken out of the table, where every later request would find it busy.
TEST_F(DispatcherTest, MalformedMultipartPostLeavesTheSessionUsable) {
  StartAndShow();
  HttpRequest broken = WithUpload(Request("POST", "/index"));
  broken.body = "no boundary in here";
  EXPECT_EQ(Send(broken).status, 400);
  EXPECT_NE(Click("IWHELLO").body.find("window.alert(\"Hello"), std::string::npos);
}

TEST_F(DispatcherTest, UploadsAreNotStoredBeforeTheSessionIsKnown) {
  // A cache directory that cannot be created: storing an upload would fail loudly.
  WriteFile(home_.path() / "blocked", "a file, not a directory");
  controller_.CacheDir = home_.path() / "blocked" / "Cache";
  cookie_ = "IW_CookieCheck_=Enabled";  // a browser without a session
  const HttpResponse response = Send(WithUpload(Request("POST", "/index")));
  EXPECT_NE(response.body.find("Session not found. Session may have expired."), std::string::npos)
      << response.body;

  AcceptOneUser events;
  controller_.Events = &events;
  controller_.AuthBeforeNewSession = true;
  const HttpResponse refused = Send(WithUpload(Request("POST", "/")));
  EXPECT_EQ(refused.status, 401) << refused.body;
}

}  // namespace
}  // namespace kestrune::testing
