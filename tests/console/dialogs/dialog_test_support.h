// What the dialog tests share: an offscreen QApplication, scripted answers to the
// dialogs' message boxes and questions, a recorder of operator messages, and a fresh
// program directory with its settings loaded.
#pragma once

#include <gtest/gtest.h>

#include <QDialog>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "console/console_dialogs.h"
#include "console/dialogs/message_boxes.h"
#include "platform/operator_messages.h"
#include "settings/program_config.h"

namespace kestrune::testing {

// Creates the application once (offscreen unless the environment says otherwise).
void EnsureApplication();

// Message boxes and questions answered from a script; every text is recorded.
class ScriptedPrompts : public DialogPrompts {
 public:
  struct Shown {
    BoxKind kind;
    std::string text;  // with "\n" for the line breaks
  };
  void Show(QWidget*, BoxKind kind, const QString& text) override;
  bool AskYesNo(QWidget*, const QString& text) override;

  std::deque<bool> answers;
  std::vector<Shown> shown;
  std::vector<std::string> asked;
};

class RecordedOperatorMessages : public OperatorMessages {
 public:
  void ShowMessage(std::string_view text) override { messages.emplace_back(text); }
  std::vector<std::string> messages;
};

// A fresh program directory with its settings loaded, the prompts and operator
// messages recorded, and dialogs run by `modal` (default: rejected at once).
class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The settings file as bytes (compared before and after a dialog).
  std::string SettingsFileText() const;
  // The settings as the next start reads them.
  TProgramConfig ReloadedConfig() const;
  // The one message shown, or "" (failing the test) when there was not exactly one.
  std::string OnlyMessage() const;

  std::filesystem::path home_;
  std::unique_ptr<ProgramSettings> settings_;
  std::unique_ptr<ConsoleDialogContext> context_;
  int timer_resets_ = 0;
  ScriptedPrompts prompts_;
  RecordedOperatorMessages operator_messages_;
  std::function<int(QDialog&)> modal_;
};

}  // namespace kestrune::testing
