// Account boxes shared by the registration and settings pages.
#include "web/pages/account_form.h"

#include <algorithm>
#include <charconv>

#include "platform/ascii.h"
#include "web/app/session_mail.h"
#include "web/app/user_session.h"
#include "web/toolkit/application.h"

namespace kestrune {
namespace {

constexpr std::size_t kMaxFieldLength = 255;

}  // namespace

void SetFieldStyle(TIWControl& control, const char* style) {
  control.OnHTMLTag = [style](TIWBaseControl&, TIWHTMLTag& tag) {
    tag.SetAttribute("style", style);
  };
}

std::optional<int> PortNumber(std::string_view text) {
  int port = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return {};
  if (port < 1 || port > 65535) return {};
  return port;
}

bool UsableField(std::string_view text) {
  return text.size() <= kMaxFieldLength && std::none_of(text.begin(), text.end(), [](char c) {
           return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
         });
}

bool PlausibleEmailAddress(std::string_view text) {
  const auto at = text.find('@');
  return at != std::string_view::npos && at > 0 && at + 1 < text.size() &&
         text.find('@', at + 1) == std::string_view::npos &&
         text.find(' ') == std::string_view::npos;
}

void SameUserPassChanged(const AccountBoxes& boxes, const RefuseFunction& refuse) {
  if (!boxes.same_user_pass.Checked) {
    if (EqualsIgnoringAsciiCase(boxes.server_user_name.Text, boxes.user_name.Text)) {
      boxes.server_user_name.Text.clear();
    }
    if (EqualsIgnoringAsciiCase(boxes.server_user_pass.Text, boxes.user_pass.Text)) {
      boxes.server_user_pass.Text.clear();
    }
    return;
  }
  if (boxes.user_name.Text.empty()) {
    refuse("EnterUserNameError", boxes.user_name);
  } else if (boxes.user_pass.Text.empty()) {
    refuse("EnterPasswordError", boxes.user_pass);
  } else if (boxes.user_confirm.Text.empty()) {
    refuse("ConfirmPasswordError", boxes.user_confirm);
  } else if (!EqualsIgnoringAsciiCase(boxes.user_pass.Text, boxes.user_confirm.Text)) {
    refuse("PasswordMatchError", boxes.user_confirm);
  } else {
    boxes.server_user_name.Text = boxes.user_name.Text;
    boxes.server_user_pass.Text = boxes.user_pass.Text;
    return;
  }
  boxes.same_user_pass.Checked = false;
}

std::optional<int> CheckConnectionBoxes(const AccountBoxes& boxes, std::string_view password,
                                        const RefuseFunction& refuse) {
  if (boxes.server_address.Text.empty()) {
    refuse("EnterServerAddress", boxes.server_address);
    return {};
  }
  if (boxes.server_port.Text.empty()) {
    refuse("EnterServerPort", boxes.server_port);
    return {};
  }
  if (boxes.server_user_name.Text.empty()) {
    refuse("EnterServerUserName", boxes.server_user_name);
    return {};
  }
  if (password.empty()) {
    refuse("EnterServerUserPass", boxes.server_user_pass);
    return {};
  }
  const auto port = PortNumber(boxes.server_port.Text);
  if (!port) {
    refuse("ServerPortError", boxes.server_port);
    return {};
  }
  // Line breaks would let a field inject POP3 commands.
  for (const TIWEdit* field : {&boxes.server_address, &boxes.server_user_name}) {
    if (!UsableField(field->Text)) {
      refuse("ServerErrorUnexpected", *field);
      return {};
    }
  }
  if (!UsableField(password)) {
    refuse("ServerErrorUnexpected", boxes.server_user_pass);
    return {};
  }
  return port;
}

bool RunConnectionTest(TIWApplication& session, TUserSession& state, const AccountBoxes& boxes,
                       int port, std::string_view password, const PopTestOptions& options) {
  if (!state.App().AllowConnectionTest(session.ClientAddress())) {
    session.ShowUserMessage(state.App().Text(kFeedbackStrings, "TestTooSoon"));
    return false;
  }
  return TestPopConnection(session, state, boxes.server_address.Text, port, password,
                           boxes.server_user_name.Text, options);
}

}  // namespace kestrune
