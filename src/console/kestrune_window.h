// The console window TfrmKestrune: menus, tool bar, log-in panel, status panel, debug
// panel and status bar built from one set of actions; the administrator's log-in; the
// mail actions (run on the host's mail worker); the tray icon; and the exit path.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <functional>

#include "console/console_dialogs.h"
#include "log/debug_log.h"

class QAction;
class QLabel;
class QLineEdit;
class QPushButton;
class QSystemTrayIcon;
class QTimer;
class QMenu;
class QToolBar;
class QWidget;

namespace kestrune {

class ConsoleHost;
class DebugPanel;
class LogFeed;

// Where the window's message boxes go: a box by default, a recorder in tests.
enum class MessageKind { kInformation, kWarning, kError };
using MessageShower = std::function<void(MessageKind kind, const QString& text)>;

class TfrmKestrune : public QMainWindow {
  Q_OBJECT

 public:
  // The log-in panel closes itself after this long unused.
  static constexpr int kLoginTimeoutMs = 30000;
  static constexpr int kDesignWidth = 720;
  static constexpr int kDesignHeight = 520;
  // The online help: the index and the console's four topics.
  static constexpr const char* kHelpIndexUrl = "https://kestrune.org/help/";

  TfrmKestrune(ConsoleHost& host, LogFeed& feed, QWidget* parent = nullptr);
  ~TfrmKestrune() override;

  // Window creation after the server started: the View items, the bounds, the timers,
  // logged out. Then ServerReady, unless the first-run wizard must run first (at the
  // first show).
  void StartUp();

  // The Exit action: LoginToQuit and ExitWarning first.
  void RequestExit();
  // The orderly exit of signals, the session's end and Exit: saves and quits, with
  // exit_code for the event loop. Safe to call twice.
  void OrderlyExit(int exit_code = 0);

  void SetMessageShower(MessageShower shower) { show_message_ = std::move(shower); }
  bool ConsoleLoggedIn() const { return logged_in_; }
  int BalloonKind() const { return balloon_kind_; }
  bool MailRunGoing() const { return mail_running_; }
  bool Exiting() const { return exiting_; }
  QTimer* LoginTimer() const { return login_timer_; }
  DebugPanel* Debug() const { return debug_panel_; }
  QSystemTrayIcon* TrayIcon() const { return tray_icon_; }

 signals:
  void ExitFinished(int exit_code);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  QAction* MakeAction(const char* name, const QString& caption, const QString& hint,
                      void (TfrmKestrune::*slot)());
  void BuildActions();
  void BuildMenus();
  void BuildToolBar();
  void BuildPanels();
  void BuildTray();
  void UpdateActions();

  // Actions.
  void BrowserLogin();
  void SendReceive();
  void SendAll();
  void ReceiveAll();
  void ShowLogin();
  void Login();
  void Logout();
  void OpenTemplates();
  void OpenLanguages();
  void Users();
  void Settings();
  void ToggleToolBar();
  void ToggleStatusBar();
  void ToggleDebugWindow();
  void WebHelp();
  void About();

  void SetToolBarVisible(bool visible);
  void SetStatusBarVisible(bool visible);
  void SetDebugWindowVisible(bool visible);
  void ApplyBounds();
  void HideLoginPanel();
  void StartMailRun(int action);
  void SendToTray();
  void RestoreFromTray();
  void ShowBalloon(int kind, const QString& text);
  void FirstShow();
  void OpenFolder(const std::string& directory);
  void SaveLog();
  void PrintLog();
  void ClearLog();
  void ShowStats(const TProgramStat& stats);
  void Message(MessageKind kind, const QString& text);

  ConsoleHost& host_;
  LogFeed& feed_;
  ConsoleDialogContext dialog_context_;
  MessageShower show_message_;
  bool logged_in_ = false;
  int balloon_kind_ = -1;
  bool mail_running_ = false;
  bool exiting_ = false;
  bool first_shown_ = false;
  bool ready_ = false;

  QAction* acBrowserLogin = nullptr;
  QAction* acSendReceive = nullptr;
  QAction* acSendAll = nullptr;
  QAction* acReceiveAll = nullptr;
  QAction* acLogin = nullptr;
  QAction* acLogout = nullptr;
  QAction* acExit = nullptr;
  QAction* acTemplates = nullptr;
  QAction* acLangConst = nullptr;
  QAction* acUsers = nullptr;
  QAction* acSettings = nullptr;
  QAction* acToolBar = nullptr;
  QAction* acStatusBar = nullptr;
  QAction* acDebugWindow = nullptr;
  QAction* acWebHelp = nullptr;
  QAction* acAbout = nullptr;

  QToolBar* tool_bar_ = nullptr;
  QWidget* login_panel_ = nullptr;
  QLineEdit* user_name_ = nullptr;
  QLineEdit* password_ = nullptr;
  QPushButton* login_button_ = nullptr;
  QWidget* status_panel_ = nullptr;
  QLabel* open_sessions_ = nullptr;
  QLabel* active_sessions_ = nullptr;
  QLabel* last_user_ = nullptr;
  QLabel* emails_checked_ = nullptr;
  DebugPanel* debug_panel_ = nullptr;
  QTimer* login_timer_ = nullptr;
  QSystemTrayIcon* tray_icon_ = nullptr;
  QMenu* tray_menu_ = nullptr;
};

}  // namespace kestrune
