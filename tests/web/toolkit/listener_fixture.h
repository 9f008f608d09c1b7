// Shared set-up of the listener tests: a temporary program directory, a controller
// with a small two-page application, and helpers to build requests and read answers.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/random.h"
#include "web/toolkit/app_form.h"
#include "web/toolkit/application.h"
#include "web/toolkit/controls_text.h"
#include "web/toolkit/http_message.h"
#include "web/toolkit/server_controller.h"
#include "web/toolkit/show_message.h"

namespace kestrune::testing {

inline constexpr const char* kChrome =
    "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0 "
    "Safari/537.36";

class SecondPage : public TIWAppForm {
 public:
  SecondPage(TIWApplication& session, std::string name, std::string class_name)
      : TIWAppForm(session, std::move(name), std::move(class_name)) {
    auto& back = AddControl<TIWLink>("IWBack");
    back.Caption = "Back";
    back.OnClick = [this](TIWBaseControl&) { WebApplication().ShowUserMessage("back on first"); };
  }
};

inline TIWPageClass SecondPageClass() { return PageClassOf<SecondPage>("TIWSecond", "IWSecond"); }

// The first page: each link exercises one page operation.
class FirstPage : public TIWAppForm {
 public:
  FirstPage(TIWApplication& session, std::string name, std::string class_name)
      : TIWAppForm(session, std::move(name), std::move(class_name)) {
    Link("IWHello", [this] { WebApplication().ShowUserMessage("Hello \"you\" <b>"); });
    Link("IWSwitch", [this] {
      WebApplication().ShowUserMessage("left behind");
      WebApplication().SwitchToPage("IWSecond", SecondPageClass());
      WebApplication().ShowUserMessage("on second");
    });
    Link("IWFail", [] { throw std::runtime_error("Handler broke"); });
    Link("IWLogout", [this] { WebApplication().EndSessionAndRedirect("/files/logout.htm"); });
    Link("IWDownload", [this] { WebApplication().SendDownload(download_path, true); });
    Link("IWSlow", [] { std::this_thread::sleep_for(std::chrono::milliseconds(400)); });
    auto& cell = AddControl<TIWLabel>("IWData");
    cell.Caption = "<script>alert(1)</script>";
  }
  std::filesystem::path download_path;
  int clicks = 0;

 private:
  void Link(const char* name, std::function<void()> action) {
    auto& link = AddControl<TIWLink>(name);
    link.Caption = name;
    link.OnClick = [this, action](TIWBaseControl&) {
      ++clicks;
      action();
    };
  }
};

class TempDir {
 public:
  TempDir() : path_(std::filesystem::temp_directory_path() / ("kestrune-web-" + RandomHex(6))) {
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline void WriteFile(const std::filesystem::path& path, const std::string& content) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

// A request as Chrome at 10.0.0.5 sends it to kestrune.test:8080, with `cookie` when not
// empty; a POST carries a form.
inline HttpRequest BrowserRequest(std::string method, std::string target, std::string body,
                                  const std::string& cookie) {
  HttpRequest request;
  request.method = std::move(method);
  request.target = std::move(target);
  request.body = std::move(body);
  request.peer_address = "10.0.0.5";
  request.local_port = 8080;
  request.headers = {{"Host", "kestrune.test:8080"}, {"User-Agent", kChrome}};
  if (!cookie.empty()) request.headers.emplace_back("Cookie", cookie);
  if (request.method == "POST") {
    request.headers.emplace_back("Content-Type", "application/x-www-form-urlencoded");
  }
  return request;
}

inline TIWServerController MakeController(const std::filesystem::path& home) {
  TIWServerController controller;
  controller.SetDirectories(home, std::filesystem::path(KESTRUNE_SOURCE_DIR) / "res");
  controller.TemplateDir = home / "Templates";  // none: pages use the plain layout
  controller.MainFormClass = PageClassOf<FirstPage>("TIWFirst", "IWFirst");
  controller.MessagePage = MakeShowMessagePage;
  return controller;
}

// The value of a Set-Cookie header's cookie, or empty.
inline std::string CookieFrom(const HttpResponse& response, std::string_view name) {
  for (const auto& [header, value] : response.headers) {
    if (!EqualsIgnoringAsciiCase(header, "Set-Cookie")) continue;
    if (value.starts_with(std::string(name) + "=")) {
      const auto start = name.size() + 1;
      return value.substr(start, value.find(';') - start);
    }
  }
  return {};
}

// The session's form token as a rendered page carries it, or empty.
inline std::string FormTokenIn(std::string_view page) {
  constexpr std::string_view kField = "name=\"IW_FormToken\" value=\"";
  const auto at = page.find(kField);
  if (at == std::string_view::npos) return {};
  const auto start = at + kField.size();
  return std::string(page.substr(start, page.find('"', start) - start));
}

}  // namespace kestrune::testing
