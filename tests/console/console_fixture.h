// A console window on a program directory of its own: a free port, no warning dialogs,
// the users "Admin" (administrator, password "Secret"), "Power" (level 1) and "Plain"
// (level 2), and a way to let queued deliveries reach the window.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "console/kestrune_window.h"
#include "console/log_feed.h"
#include "host/console_host.h"
#include "settings/program_config.h"

namespace kestrune::testing {

class ConsoleFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // The users of the home; "Admin" (administrator, "Secret"), "Power" and "Plain".
  virtual void AddUsers();

  // An administrator command on the home; it must succeed.
  std::string Command(std::vector<std::string> args);
  // Creates the settings, host and window (after StartUp); runs give the mail runs.
  void Open(MailRunFunctions runs = {});
  // The window's orderly exit, then everything is destroyed.
  void Close();
  // Lets queued deliveries (log lines, mail-run changes) reach the window.
  void Settle();
  // The settings as a new start reads them from the file.
  TProgramConfig StoredConfig();
  QAction* Action(const char* name);

  std::filesystem::path home_;
  std::unique_ptr<ProgramSettings> settings_;
  std::unique_ptr<LogFeed> feed_;
  std::unique_ptr<ConsoleHost> host_;
  std::unique_ptr<TfrmKestrune> window_;
  std::vector<QString> messages_;
};

}  // namespace kestrune::testing
