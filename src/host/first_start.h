// The first start of a server whose user database holds no user: the "Admin" account
// and the installation's SMTP settings are created, either by a dialogue on the terminal
// (the welcome wizard's questions, checks and messages) or unattended from command-line
// options. The server is not ready for browsers until this has been done.
#pragma once

#include <atomic>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

#include "host/setup_options.h"
#include "settings/program_config.h"

namespace kestrune {

class TUserList;

// What the wizard collects; the ports as typed, checked before they are applied.
struct FirstStartValues {
  std::string admin_password;
  std::string display_name;
  std::string email_address;
  std::string pop_server;
  std::string pop_port = "110";
  std::string pop_user;
  std::string pop_password;
  WizardSmtpValues smtp = DefaultSmtp();

  static WizardSmtpValues DefaultSmtp() {
    WizardSmtpValues smtp;
    smtp.SmtpPort = "25";
    return smtp;
  }
  // 2 (TLS required) or 1 (TLS when offered) where the installation has these settings.
  std::optional<std::int32_t> smtp_tls;
  std::optional<std::int32_t> pop_tls;
};

// Where the dialogue talks to the administrator. A read returns nullopt at the end of
// input, which cancels the dialogue.
class SetupTerminal {
 public:
  virtual ~SetupTerminal() = default;
  virtual void Say(std::string_view text) = 0;
  virtual std::optional<std::string> Ask(std::string_view prompt) = 0;
  virtual std::optional<std::string> AskSecret(std::string_view prompt) = 0;
};

// The terminal of the process: prompts on out, answers from in; secrets are read with
// the terminal's echo off when in is a terminal.
class StreamTerminal : public SetupTerminal {
 public:
  StreamTerminal(std::istream& in, std::ostream& out, int in_fd = -1);
  void Say(std::string_view text) override;
  std::optional<std::string> Ask(std::string_view prompt) override;
  std::optional<std::string> AskSecret(std::string_view prompt) override;

 private:
  std::istream& in_;
  std::ostream& out_;
  int in_fd_;
};

// Asks the wizard's questions in their order, with their checks and messages.
// nullopt when the administrator ended the input (Cancel).
std::optional<FirstStartValues> AskFirstStartValues(SetupTerminal& terminal,
                                                    const TProgramConfig& config);

// The values of the unattended options; throws std::runtime_error with a one-line
// reason when they are incomplete or a file cannot be read.
FirstStartValues UnattendedFirstStartValues(const SetupOptions& options);

// The wizard's OK: adds "Admin" to users (open), saves and reloads it, then writes the
// SMTP settings (and the TLS settings when chosen). Throws std::runtime_error when
// the account cannot be created.
void ApplyFirstStart(const FirstStartValues& values, ProgramSettings& settings, TUserList& users);

// The connection test of the wizard's POP3 step: the message the administrator sees.
// stop, when given, is a flag another thread sets to abandon the test at once.
std::string TestPopConnection(const FirstStartValues& values, int timeout_ms,
                              const std::atomic<bool>* stop = nullptr);

enum class FirstStartOutcome {
  kCreated,     // "Admin" exists now
  kCancelled,   // the administrator ended the dialogue
  kNoTerminal,  // neither a terminal nor the unattended options
  kFailed,      // the options were wrong or the account could not be written
};

// The whole first start: unattended when options were given, else the dialogue when
// interactive, else kNoTerminal. Messages go to out (dialogue) and err (failures).
FirstStartOutcome RunFirstStart(const SetupOptions& options, bool interactive,
                                SetupTerminal& terminal, ProgramSettings& settings,
                                TUserList& users, std::ostream& err);

// The line printed when a first start finds neither a terminal nor the options.
std::string FirstStartHelpLine();

}  // namespace kestrune
