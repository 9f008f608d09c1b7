// Shared set-up for the page-rendering tests: a session object without a listener, a
// render context and a temporary template directory per test.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "web/toolkit/app_form.h"
#include "web/toolkit/application.h"
#include "web/toolkit/render_context.h"
#include "web/toolkit/server_controller.h"

namespace kestrune::testing {

class PageTest : public ::testing::Test {
 protected:
  PageTest()
      : session_(controller_,
                 SessionIdentity{0x1234ABCD, "1234ABCD0011223344556677", "20240102030405006"},
                 "127.0.0.1", TIWBrowser::brNetscape6) {
    std::string pattern = (std::filesystem::temp_directory_path() / "kst-page-XXXXXX").string();
    dir_ = mkdtemp(pattern.data());
    context_.url_base = "";
    context_.session_key = "1234ABCD0011223344556677";
    context_.session_id = "1234ABCD001122334455667720240102030405006";
    context_.track_id = 3;
    context_.tracking = TrackingMethod::tmCookie;
    context_.browser = TIWBrowser::brNetscape6;
    context_.form_action = "/index";
    context_.version = "5.1.0";
    context_.template_dir = dir_;
    context_.files_dir = dir_;
    context_.application = &session_;
  }
  ~PageTest() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  void WriteFile(const std::string& name, std::string_view text) {
    std::ofstream out(dir_ / name, std::ios::binary);
    out << text;
  }

  // The text between the first occurrence of `from` and the following `to` (inclusive).
  static std::string Between(const std::string& html, std::string_view from, std::string_view to) {
    const auto start = html.find(from);
    if (start == std::string::npos) return {};
    const auto end = html.find(to, start + from.size());
    if (end == std::string::npos) return {};
    return html.substr(start, end + to.size() - start);
  }

  TIWServerController controller_;
  TIWApplication session_;
  RenderContext context_;
  std::filesystem::path dir_;
};

}  // namespace kestrune::testing
