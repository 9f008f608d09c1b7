// The dialog tests' application, scripted prompts and program directory.
#include "dialog_test_support.h"

#include <stdlib.h>

#include <QApplication>
#include <fstream>
#include <sstream>

namespace kestrune::testing {

void EnsureApplication() {
  if (QApplication::instance() != nullptr) return;
  setenv("QT_QPA_PLATFORM", "offscreen", /*overwrite=*/0);
  static int argc = 1;
  static char name[] = "kestrune-dialog-test";
  static char* argv[] = {name, nullptr};
  new QApplication(argc, argv);  // lives until the process ends
}

void ScriptedPrompts::Show(QWidget*, BoxKind kind, const QString& text) {
  shown.push_back({kind, text.toStdString()});
}

bool ScriptedPrompts::AskYesNo(QWidget*, const QString& text) {
  asked.push_back(text.toStdString());
  if (answers.empty()) {
    ADD_FAILURE() << "unexpected question: " << text.toStdString();
    return false;
  }
  const bool answer = answers.front();
  answers.pop_front();
  return answer;
}

void DialogTest::SetUp() {
  EnsureApplication();
  std::string pattern = (std::filesystem::temp_directory_path() / "dialogs-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  home_ = pattern;
  SettingsHost host;
  host.program_directory = home_;
  settings_ = std::make_unique<ProgramSettings>(host);
  SetOperatorMessages(&operator_messages_);
  settings_->LoadSettings();
  operator_messages_.messages.clear();
  context_ = std::make_unique<ConsoleDialogContext>(
      ConsoleDialogContext{*settings_, home_, [this] { ++timer_resets_; }});
  SetDialogPrompts(&prompts_);
  SetModalRunner([this](QDialog& dialog) { return modal_ ? modal_(dialog) : QDialog::Rejected; });
}

void DialogTest::TearDown() {
  SetModalRunner({});
  SetDialogPrompts(nullptr);
  SetOperatorMessages(nullptr);
  EXPECT_TRUE(prompts_.answers.empty()) << "questions expected but not asked";
  std::filesystem::remove_all(home_);
}

std::string DialogTest::SettingsFileText() const {
  std::ifstream in(settings_->SettingsFile(), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TProgramConfig DialogTest::ReloadedConfig() const {
  SettingsHost host;
  host.program_directory = home_;
  ProgramSettings reloaded(host);
  reloaded.LoadSettings();
  return reloaded.Config();
}

std::string DialogTest::OnlyMessage() const {
  EXPECT_EQ(prompts_.shown.size(), 1u);
  return prompts_.shown.size() == 1 ? prompts_.shown.front().text : std::string();
}

}  // namespace kestrune::testing

// Under LeakSanitizer: the font configuration library keeps its caches for the life of
// the process (Qt never frees them), which is not a leak of ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
