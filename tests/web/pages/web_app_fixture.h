// A running web mail server for page tests: the session controller and the real pages on
// a toolkit listener on 127.0.0.1, a temporary users directory, and a small HTTP client
// that keeps the session cookies as a browser does.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "log/debug_log.h"
#include "platform/random.h"
#include "settings/program_config.h"
#include "store/user_list.h"
#include "web/app/session_controller.h"
#include "web/app/user_session.h"
#include "web/pages/session_pages.h"
#include "web/toolkit/show_message.h"
#include "web/toolkit/standalone_server.h"

namespace kestrune::testing {

inline constexpr const char* kChrome =
    "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0 "
    "Safari/537.36";

struct Answer {
  int status = 0;
  std::multimap<std::string, std::string> headers;
  std::string body;

  std::string Header(const std::string& name) const {
    const auto found = headers.find(name);
    return found == headers.end() ? std::string() : found->second;
  }
  // The IW_FormName of the page written, or empty.
  std::string PageName() const {
    const std::string mark = "name=\"IW_FormName\" value=\"";
    const auto at = body.find(mark);
    if (at == std::string::npos) return {};
    const auto start = at + mark.size();
    return body.substr(start, body.find('"', start) - start);
  }
  bool HasAlert(std::string_view text) const {
    return body.find("window.alert(\"" + std::string(text) + "\")") != std::string::npos;
  }
};

inline std::string FormEncode(std::string_view text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

// One browser: its own cookies, one connection per request.
class TestBrowser {
 public:
  explicit TestBrowser(int port, std::string authorization = {})
      : port_(port), authorization_(std::move(authorization)) {}

  Answer Get(const std::string& path) { return Follow(Send("GET", path, {})); }

  // Posts the page's form with the given action control, fields and action parameter
  // (a grid cell's "row_column").
  Answer Post(const std::string& form, const std::string& action,
              const std::vector<std::pair<std::string, std::string>>& fields = {},
              const std::string& param = {}) {
    std::string body = "IW_FormName=" + FormEncode(form) + "&IW_FormClass=T" + FormEncode(form) +
                       "&IW_Action=" + FormEncode(action) + "&IW_ActionParam=" + FormEncode(param) +
                       "&IW_FormToken=" + FormEncode(form_token_);
    for (const auto& [name, value] : fields) body += "&" + name + "=" + FormEncode(value);
    return Follow(Send("POST", "/index", body));
  }

  // The same as a "multipart/form-data" post carrying one file under file_field with the
  // browser-side name file_name (an upload form).
  Answer PostFile(const std::string& form, const std::string& action, const std::string& file_field,
                  const std::string& file_name, const std::string& content,
                  const std::vector<std::pair<std::string, std::string>>& fields = {}) {
    return PostFiles(form, action, file_field, {{file_name, content}}, fields);
  }

  // The same with several files (name, content) under one field, as a field that takes
  // several files at once sends them.
  Answer PostFiles(const std::string& form, const std::string& action,
                   const std::string& file_field,
                   const std::vector<std::pair<std::string, std::string>>& files,
                   const std::vector<std::pair<std::string, std::string>>& fields = {}) {
    const std::string boundary = "KstBoundary7f3a";
    std::string body;
    const auto part = [&](const std::string& name, const std::string& value) {
      body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name +
              "\"\r\n\r\n" + value + "\r\n";
    };
    part("IW_FormName", form);
    part("IW_FormClass", "T" + form);
    part("IW_Action", action);
    part("IW_ActionParam", "");
    part("IW_FormToken", form_token_);
    for (const auto& [name, value] : fields) part(name, value);
    for (const auto& [file_name, content] : files) {
      body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + file_field +
              "\"; filename=\"" + file_name +
              "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + content + "\r\n";
    }
    body += "--" + boundary + "--\r\n";
    return Follow(Send("POST", "/index", body, "multipart/form-data; boundary=" + boundary));
  }

 private:
  Answer Follow(Answer answer) {
    for (int hops = 0; hops < 5 && answer.status == 302; ++hops) {
      std::string location = answer.Header("Location");
      if (const auto scheme = location.find("://"); scheme != std::string::npos) {
        location = location.substr(location.find('/', scheme + 3));
      }
      answer = Send("GET", location, {});
    }
    return answer;
  }

  Answer Send(const std::string& method, const std::string& path, const std::string& body,
              const std::string& content_type = "application/x-www-form-urlencoded") {
    std::string request = method + " " + path +
                          " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                          "\r\nUser-Agent: " + kChrome + "\r\nConnection: close\r\n";
    if (!authorization_.empty()) request += "Authorization: " + authorization_ + "\r\n";
    if (!cookies_.empty()) {
      request += "Cookie: ";
      bool first = true;
      for (const auto& [name, value] : cookies_) {
        request += (first ? "" : "; ") + name + "=" + value;
        first = false;
      }
      request += "\r\n";
    }
    if (method == "POST") {
      request += "Content-Type: " + content_type +
                 "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    }
    request += "\r\n" + body;
    const std::string raw = Exchange(request);
    Answer answer;
    const auto head_end = raw.find("\r\n\r\n");
    if (head_end == std::string::npos) return answer;
    answer.body = raw.substr(head_end + 4);
    std::string head = raw.substr(0, head_end);
    answer.status = std::atoi(head.substr(head.find(' ') + 1, 3).c_str());
    std::size_t line_start = head.find("\r\n");
    while (line_start != std::string::npos) {
      line_start += 2;
      const auto line_end = head.find("\r\n", line_start);
      const std::string line = head.substr(line_start, line_end - line_start);
      const auto colon = line.find(':');
      if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        std::string value = line.substr(colon + 1);
        while (!value.empty() && value.front() == ' ') value.erase(0, 1);
        if (name == "Set-Cookie") StoreCookie(value);
        answer.headers.emplace(name, value);
      }
      line_start = line_end;
    }
    // The session's form token, which every form of its pages carries and a post returns.
    const std::string mark = "name=\"IW_FormToken\" value=\"";
    if (const auto at = answer.body.find(mark); at != std::string::npos) {
      const auto start = at + mark.size();
      form_token_ = answer.body.substr(start, answer.body.find('"', start) - start);
    }
    return answer;
  }

  void StoreCookie(const std::string& header) {
    const auto equals = header.find('=');
    const std::string name = header.substr(0, equals);
    const std::string value = header.substr(equals + 1, header.find(';') - equals - 1);
    if (header.find("expires=Thu, 0") != std::string::npos || value.empty()) {
      cookies_.erase(name);
    } else {
      cookies_[name] = value;
    }
  }

  std::string Exchange(const std::string& request) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string out;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      timeval timeout{10, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
      std::string_view data = request;
      while (!data.empty()) {
        const ssize_t sent = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (sent <= 0) break;
        data.remove_prefix(static_cast<std::size_t>(sent));
      }
      char buffer[8192];
      for (;;) {
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        out.append(buffer, static_cast<std::size_t>(got));
      }
    }
    close(fd);
    return out;
  }

  int port_;
  std::string authorization_;
  std::map<std::string, std::string> cookies_;
  std::string form_token_;
};

// A server with the session controller; settings are changed before Start().
class WebAppTest : public ::testing::Test {
 protected:
  WebAppTest()
      : home_(std::filesystem::temp_directory_path() / ("kestrune-pages-" + RandomHex(6))) {
    std::filesystem::create_directories(home_);
    DebugLog().Clear();
    config_.UserDirectories = (home_ / "Users").string() + "/";
    config_.BanIP = true;
    config_.LoginAttempts = 3;
    config_.ServerTimeOut = 5;
    AddAccount("Admin", "SecretPw", 0);
  }
  ~WebAppTest() override {
    server_.reset();
    app_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(home_, ignored);
  }

  TUserRecord AddAccount(const std::string& name, const std::string& password, int level) {
    TUserList users;
    EXPECT_TRUE(users.Open(config_.UserDirectories));
    TUserRecord user;
    user.UserName = name;
    user.Password = password;
    user.PermissionLevel = level;
    user.UserDir = config_.UserDirectories + name + "/";
    std::filesystem::create_directories(user.UserDir);
    EXPECT_TRUE(users.AddUser(user));
    users.Save();
    users.Close();
    return user;
  }

  void Start(bool ready = true) {
    app_ = std::make_unique<TWebApp>(config_, languages_, pages_, [this] { return now_; });
    app_->SetServerReady(ready);
    sessions_ = std::make_unique<TSessionController>(*app_);
    controller_.SetDirectories(home_, std::filesystem::path(KESTRUNE_SOURCE_DIR) / "res");
    controller_.Port = 0;
    controller_.MessagePage = MakeShowMessagePage;
    controller_.SessionScanIntervalMs = 100000;
    sessions_->Install(controller_);
    server_ = std::make_unique<TIWStandAloneServer>(controller_);
    server_->Start();
  }

  TestBrowser NewBrowser(std::string authorization = {}) {
    return TestBrowser(server_->HttpPort(), std::move(authorization));
  }

  Answer LogIn(TestBrowser& browser, const std::string& name, const std::string& password) {
    return browser.Post("IWLogin", "IWSUBMIT", {{"IWUSERNAME", name}, {"IWPASSWORD", password}});
  }

  static bool LogHas(const std::string& line) {
    for (const auto& logged : DebugLog().Lines()) {
      if (logged.find(line) != std::string::npos) return true;
    }
    return false;
  }

  void Advance(std::chrono::seconds by) { now_ += by; }

  std::filesystem::path home_;
  TProgramConfig config_;
  SessionPages pages_ = KestruneSessionPages();
  LanguagePacks languages_;  // English alone unless a test loads others before Start
  std::chrono::steady_clock::time_point now_ = std::chrono::steady_clock::now();
  std::unique_ptr<TWebApp> app_;
  std::unique_ptr<TSessionController> sessions_;
  TIWServerController controller_;
  std::unique_ptr<TIWStandAloneServer> server_;
};

}  // namespace kestrune::testing
