// The options of an unattended first start, given to "kestrune --headless" or
// "kestrune setup" instead of answering the questions on a terminal.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace kestrune {

// --admin-password-file F, --admin-email A, --smtp-server H, --smtp-port P,
// --smtp-user U, --smtp-password-file F.
struct SetupOptions {
  std::optional<std::string> admin_password_file;
  std::optional<std::string> admin_email;
  std::optional<std::string> smtp_server;
  std::optional<std::string> smtp_port;
  std::optional<std::string> smtp_user;
  std::optional<std::string> smtp_password_file;

  bool Any() const {
    return admin_password_file || admin_email || smtp_server || smtp_port || smtp_user ||
           smtp_password_file;
  }
};

// Recognises args[i] (and its value) as a setup option; advances i past what it used.
// False when args[i] is not one; error is set when the option lacks its value.
bool TakeSetupOption(const std::vector<std::string>& args, std::size_t& i, SetupOptions& options,
                     std::string& error);

}  // namespace kestrune
