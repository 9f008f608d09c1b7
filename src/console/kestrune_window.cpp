// The console window's parts, rules and actions.
#include "console/kestrune_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPrinter>
#include <QPrinterInfo>
#include <QProxyStyle>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include "console/debug_panel.h"
#include "console/log_feed.h"
#include "host/console_host.h"
#include "host/headless_host.h"
#include "platform/program_dir.h"
#include "settings/program_config.h"

namespace kestrune {
namespace {

constexpr const char* kLoginRefused =
    "Either your User Name / Password is invalid or you do\n"
    "not have permission to login to the administration console.";
constexpr const char* kStillRunning =
    "Kestrune is still running.\n\nClick here to stop seeing this message.";
constexpr const char* kLogInToQuit =
    "You must be logged on to the Kestrune - Console before you can exit.";
constexpr int kBalloonMs = 10000;

// The password edit shows "*" for each typed character.
class AsteriskStyle : public QProxyStyle {
 public:
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* returned) const override {
    if (hint == SH_LineEdit_PasswordCharacter) return '*';
    return QProxyStyle::styleHint(hint, option, widget, returned);
  }
};

// An icon of the installation's static files ("Files/NAME"), or none.
QIcon InstalledIcon(const std::filesystem::path& home, const char* name) {
  for (const auto& directory : InstallationDirectories(home)) {
    const auto file = directory / "Files" / name;
    if (std::filesystem::is_regular_file(file)) return QIcon(QString::fromStdString(file));
  }
  return {};
}

QLabel* Caption(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setStyleSheet("font-weight: bold");
  return label;
}

}  // namespace

TfrmKestrune::TfrmKestrune(ConsoleHost& host, LogFeed& feed, QWidget* parent)
    : QMainWindow(parent), host_(host), feed_(feed), dialog_context_{host.Settings(), host.Home()} {
  setObjectName("frmKestrune");
  setWindowTitle("Kestrune - Console");
  setMinimumSize(500, 380);
  // The user-properties dialog changes AutoCheckEmails and its interval: the timer follows.
  dialog_context_.SetEmailTimer = [this] { host_.SetTimers(); };
  QIcon icon = InstalledIcon(host_.Home(), "sendrecv.gif");
  // Without the installation's files the tray still needs an icon to be shown at all.
  if (icon.isNull()) icon = style()->standardIcon(QStyle::SP_DriveNetIcon);
  setWindowIcon(icon);

  login_timer_ = new QTimer(this);
  login_timer_->setObjectName("LoginTimer");
  login_timer_->setSingleShot(true);  // closes an unused panel once
  login_timer_->setInterval(kLoginTimeoutMs);
  connect(login_timer_, &QTimer::timeout, this, &TfrmKestrune::HideLoginPanel);

  BuildActions();
  BuildMenus();
  BuildToolBar();
  BuildPanels();
  BuildTray();
  statusBar()->setObjectName("StatusBar");
  statusBar()->setSizeGripEnabled(true);

  connect(&feed_, &LogFeed::LinesArrived, debug_panel_, &DebugPanel::AppendLines);
  connect(&feed_, &LogFeed::StatsChanged, this, &TfrmKestrune::ShowStats);
  connect(&feed_, &LogFeed::MailRunChanged, this, [this](bool running) {
    mail_running_ = running;
    UpdateActions();
  });
  connect(&feed_, &LogFeed::MessageArrived, this,
          [this](const QString& text) { Message(MessageKind::kWarning, text); });
  ShowStats(TProgramStat{});
  UpdateActions();
}

TfrmKestrune::~TfrmKestrune() = default;

QAction* TfrmKestrune::MakeAction(const char* name, const QString& caption, const QString& hint,
                                  void (TfrmKestrune::*slot)()) {
  auto* action = new QAction(caption, this);
  action->setObjectName(name);
  if (!hint.isEmpty()) action->setStatusTip(hint);
  connect(action, &QAction::triggered, this, slot);
  return action;
}

void TfrmKestrune::BuildActions() {
  const auto home = host_.Home();
  acBrowserLogin = MakeAction("acBrowserLogin", "Browser Login", "Login and Check your Email.",
                              &TfrmKestrune::BrowserLogin);
  acBrowserLogin->setIcon(InstalledIcon(home, "createmail.gif"));
  acSendReceive = MakeAction("acSendReceive", "Send && Receive", "Send and Receive all Emails.",
                             &TfrmKestrune::SendReceive);
  acSendReceive->setIcon(InstalledIcon(home, "sendrecv.gif"));
  acSendAll = MakeAction("acSendAll", "Send All", "Send all Emails.", &TfrmKestrune::SendAll);
  acReceiveAll =
      MakeAction("acReceiveAll", "Receive All", "Receive all Emails.", &TfrmKestrune::ReceiveAll);
  acLogin = MakeAction("acLogin", "Login", "Loggin to Admin mode.", &TfrmKestrune::ShowLogin);
  acLogin->setIcon(InstalledIcon(home, "user.gif"));
  acLogout = MakeAction("acLogout", "Logout", "Logout of Admin mode.", &TfrmKestrune::Logout);
  acLogout->setIcon(InstalledIcon(home, "logout.gif"));
  acExit = MakeAction("acExit", "Exit", "Exit Kestrune.", &TfrmKestrune::RequestExit);
  acTemplates = MakeAction("acTemplates", "Templates", "", &TfrmKestrune::OpenTemplates);
  acLangConst = MakeAction("acLangConst", "Language Constants", "", &TfrmKestrune::OpenLanguages);
  acUsers = MakeAction("acUsers", "Users", "", &TfrmKestrune::Users);
  acUsers->setIcon(InstalledIcon(home, "adduser.gif"));
  acSettings = MakeAction("acSettings", "Settings", "", &TfrmKestrune::Settings);
  acSettings->setIcon(InstalledIcon(home, "settings.gif"));
  acToolBar = MakeAction("acToolBar", "Tool Bar", "", &TfrmKestrune::ToggleToolBar);
  acStatusBar = MakeAction("acStatusBar", "Status Bar", "", &TfrmKestrune::ToggleStatusBar);
  acDebugWindow = MakeAction("acDebugWindow", "Debug Window", "", &TfrmKestrune::ToggleDebugWindow);
  for (QAction* check : {acToolBar, acStatusBar, acDebugWindow}) check->setCheckable(true);
  acWebHelp = MakeAction("acWebHelp", "Help on the Web", "", &TfrmKestrune::WebHelp);
  acAbout = MakeAction("acAbout", "About", "", &TfrmKestrune::About);
}

void TfrmKestrune::BuildMenus() {
  QMenuBar* bar = menuBar();
  bar->setObjectName("MainMenuBar");
  bar->setStatusTip("Main Menu.");
  QMenu* file = bar->addMenu("&File");
  file->addAction(acBrowserLogin);
  file->addSeparator();
  QMenu* mail = file->addMenu("&Mail");
  mail->addAction(acSendReceive);
  mail->addSeparator();
  mail->addAction(acSendAll);
  mail->addAction(acReceiveAll);
  file->addSeparator();
  file->addAction(acLogin);
  file->addAction(acLogout);
  file->addSeparator();
  file->addAction(acExit);
  QMenu* options = bar->addMenu("&Options");
  options->addAction(acTemplates);
  options->addAction(acLangConst);
  options->addSeparator();
  options->addAction(acUsers);
  options->addSeparator();
  options->addAction(acSettings);
  QMenu* view = bar->addMenu("&View");
  view->addAction(acToolBar);
  view->addAction(acStatusBar);
  view->addAction(acDebugWindow);
  QMenu* help = bar->addMenu("&Help");
  help->addAction(acWebHelp);
  help->addSeparator();
  help->addAction(acAbout);
}

void TfrmKestrune::BuildToolBar() {
  tool_bar_ = addToolBar("Tool Bar");
  tool_bar_->setObjectName("ToolBar");
  tool_bar_->setMovable(false);
  tool_bar_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  tool_bar_->addAction(acLogin);
  tool_bar_->addAction(acLogout);
  tool_bar_->addSeparator();
  tool_bar_->addAction(acBrowserLogin);
  tool_bar_->addSeparator();
  tool_bar_->addAction(acSettings);
  tool_bar_->addAction(acUsers);
  tool_bar_->addSeparator();
  auto* drop_down = new QMenu(tool_bar_);
  drop_down->addAction(acSendAll);
  drop_down->addAction(acReceiveAll);
  auto* send_receive = new QToolButton(tool_bar_);
  send_receive->setDefaultAction(acSendReceive);
  send_receive->setMenu(drop_down);
  send_receive->setPopupMode(QToolButton::MenuButtonPopup);
  send_receive->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  tool_bar_->addWidget(send_receive);
}

void TfrmKestrune::BuildPanels() {
  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);

  login_panel_ = new QFrame(central);
  login_panel_->setObjectName("LoginPanel");
  static_cast<QFrame*>(login_panel_)->setFrameShape(QFrame::StyledPanel);
  user_name_ = new QLineEdit("Admin", login_panel_);
  user_name_->setObjectName("TBUserName");
  password_ = new QLineEdit(login_panel_);
  password_->setObjectName("TBPassword");
  auto* asterisks = new AsteriskStyle;
  asterisks->setParent(password_);
  password_->setStyle(asterisks);
  password_->setEchoMode(QLineEdit::Password);
  login_button_ = new QPushButton("Login", login_panel_);
  login_button_->setObjectName("LoginButton");
  login_button_->setEnabled(false);
  auto* user_label = new QLabel("&User Name:", login_panel_);
  user_label->setBuddy(user_name_);
  auto* password_label = new QLabel("&Password:", login_panel_);
  password_label->setBuddy(password_);
  auto* login_layout = new QGridLayout(login_panel_);
  login_layout->addWidget(Caption("Administrator Login", login_panel_), 0, 0, 1, 3);
  login_layout->addWidget(user_label, 1, 0);
  login_layout->addWidget(user_name_, 1, 1);
  login_layout->addWidget(password_label, 2, 0);
  login_layout->addWidget(password_, 2, 1);
  login_layout->addWidget(login_button_, 2, 2);
  login_layout->setColumnStretch(1, 1);
  login_panel_->hide();
  connect(password_, &QLineEdit::textChanged, this, [this](const QString& text) {
    login_button_->setEnabled(!text.isEmpty());
    if (login_panel_->isVisibleTo(this)) login_timer_->start();  // typing keeps it open
  });
  connect(password_, &QLineEdit::returnPressed, this, [this] {
    if (login_button_->isEnabled()) login_button_->click();
  });
  connect(login_button_, &QPushButton::clicked, this, &TfrmKestrune::Login);

  status_panel_ = new QFrame(central);
  status_panel_->setObjectName("StatusPanel");
  static_cast<QFrame*>(status_panel_)->setFrameShape(QFrame::StyledPanel);
  auto* stats = new QGridLayout(status_panel_);
  open_sessions_ = new QLabel(status_panel_);
  open_sessions_->setObjectName("LblOpenSessions");
  active_sessions_ = new QLabel(status_panel_);
  active_sessions_->setObjectName("LblActiveSessions");
  last_user_ = new QLabel(status_panel_);
  last_user_->setObjectName("LblLastUser");
  emails_checked_ = new QLabel(status_panel_);
  emails_checked_->setObjectName("LblEmailsChecked");
  stats->addWidget(Caption("Open Sessions:", status_panel_), 0, 0);
  stats->addWidget(open_sessions_, 0, 1);
  stats->addWidget(Caption("Active Sessions:", status_panel_), 1, 0);
  stats->addWidget(active_sessions_, 1, 1);
  stats->addWidget(Caption("Last Logged On User", status_panel_), 0, 3);
  stats->addWidget(last_user_, 0, 4);
  stats->addWidget(Caption("Emails Last Checked", status_panel_), 1, 3);
  stats->addWidget(emails_checked_, 1, 4);
  stats->setHorizontalSpacing(5);
  stats->setColumnMinimumWidth(2, 24);
  stats->setColumnStretch(4, 1);

  debug_panel_ = new DebugPanel(central);
  connect(debug_panel_->SaveButton(), &QPushButton::clicked, this, &TfrmKestrune::SaveLog);
  connect(debug_panel_->PrintButton(), &QPushButton::clicked, this, &TfrmKestrune::PrintLog);
  connect(debug_panel_->ClearButton(), &QPushButton::clicked, this, &TfrmKestrune::ClearLog);

  layout->addWidget(login_panel_);
  layout->addWidget(status_panel_);
  layout->addWidget(debug_panel_, 1);
  layout->addStretch(0);
  setCentralWidget(central);
}

void TfrmKestrune::BuildTray() {
  tray_icon_ = new QSystemTrayIcon(windowIcon(), this);
  tray_icon_->setObjectName("TrayIcon");
  tray_icon_->setToolTip("Kestrune");
  tray_menu_ = new QMenu(this);
  tray_menu_->setObjectName("TrayMenu");
  tray_menu_->addAction(acAbout);
  tray_menu_->addSeparator();
  tray_menu_->addAction(acSettings);
  tray_menu_->addAction(acUsers);
  tray_menu_->addSeparator();
  tray_menu_->addAction(acBrowserLogin);
  tray_menu_->addSeparator();
  tray_menu_->addAction(acLogin);
  tray_menu_->addAction(acLogout);
  tray_menu_->addSeparator();
  tray_menu_->addAction(acExit);
  tray_icon_->setContextMenu(tray_menu_);
  connect(tray_icon_, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
              RestoreFromTray();
            }
          });
  connect(tray_icon_, &QSystemTrayIcon::messageClicked, this, [this] {
    // "Click here to stop seeing this message": for the rest of the run, saved at exit.
    if (balloon_kind_ == 1) host_.Settings().Config().TrayHint = false;
  });
}

void TfrmKestrune::UpdateActions() {
  const bool mail = logged_in_ && !mail_running_;
  acSendReceive->setEnabled(mail);
  acSendAll->setEnabled(mail);
  acReceiveAll->setEnabled(mail);
  acLogin->setEnabled(!logged_in_);
  for (QAction* action : {acLogout, acTemplates, acLangConst, acUsers, acSettings}) {
    action->setEnabled(logged_in_);
  }
  debug_panel_->ClearButton()->setEnabled(logged_in_);
}

void TfrmKestrune::StartUp() {
  const TProgramConfig& config = host_.Config();
  SetDebugWindowVisible(config.ViewDebugLog);
  SetToolBarVisible(config.ViewToolBar);
  SetStatusBarVisible(config.ViewStatusBar);
  ApplyBounds();
  logged_in_ = false;
  balloon_kind_ = -1;
  UpdateActions();
  if (!host_.NeedsFirstStart()) {
    host_.SetReady();
    ready_ = true;
  }
}

void TfrmKestrune::ApplyBounds() {
  const TProgramConfig& config = host_.Config();
  const QRect saved(config.MainWindowLeft, config.MainWindowTop, config.MainWindowWidth,
                    config.MainWindowHeight);
  const bool unset = config.MainWindowLeft == -1 || config.MainWindowTop == -1 ||
                     config.MainWindowWidth == -1 || config.MainWindowHeight == -1;
  // Bounds from another screen layout (or a hand-edited file) must not put the window
  // where nobody can reach it: such bounds are treated as unset.
  bool on_screen = false;
  for (const QScreen* screen : QGuiApplication::screens()) {
    if (screen->availableGeometry().intersects(saved)) on_screen = true;
  }
  if (unset || !on_screen || saved.width() < minimumWidth() || saved.height() < minimumHeight()) {
    resize(kDesignWidth, kDesignHeight);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
      const QRect area = screen->availableGeometry();
      move(area.center() - QPoint(kDesignWidth / 2, kDesignHeight / 2));
    }
    return;
  }
  setGeometry(saved);
}

void TfrmKestrune::SetToolBarVisible(bool visible) {
  tool_bar_->setVisible(visible);
  acToolBar->setChecked(visible);
  host_.Settings().Config().ViewToolBar = visible;
  host_.Settings().SaveViewToolBar(visible);
}

void TfrmKestrune::SetStatusBarVisible(bool visible) {
  statusBar()->setVisible(visible);
  acStatusBar->setChecked(visible);
  host_.Settings().Config().ViewStatusBar = visible;
  host_.Settings().SaveViewStatusBar(visible);
}

void TfrmKestrune::SetDebugWindowVisible(bool visible) {
  debug_panel_->setVisible(visible);
  acDebugWindow->setChecked(visible);
  host_.Settings().Config().ViewDebugLog = visible;
  host_.Settings().SaveViewDebugLog(visible);
}

void TfrmKestrune::ToggleToolBar() { SetToolBarVisible(acToolBar->isChecked()); }
void TfrmKestrune::ToggleStatusBar() { SetStatusBarVisible(acStatusBar->isChecked()); }
void TfrmKestrune::ToggleDebugWindow() { SetDebugWindowVisible(acDebugWindow->isChecked()); }

void TfrmKestrune::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (first_shown_) return;
  first_shown_ = true;
  QTimer::singleShot(0, this, &TfrmKestrune::FirstShow);
}

// The first-run wizard on an empty user database; browsers get the busy page until
// it has created the administrator.
void TfrmKestrune::FirstShow() {
  if (ready_ || exiting_) return;
  if (host_.NeedsFirstStart() && !RunFirstRunWizard(this, dialog_context_)) {
    OrderlyExit(kExitNotSetUp);
    return;
  }
  host_.SetReady();
  ready_ = true;
}

void TfrmKestrune::BrowserLogin() {
  QDesktopServices::openUrl(QUrl(QString::fromStdString(BrowserLoginUrl(host_.Config()))));
}

void TfrmKestrune::StartMailRun(int action) {
  if (!host_.RunMail(static_cast<MailAction>(action))) {
    AddDebugLine("Mail run not started: the previous mail run is still going.");
    return;
  }
  // Disabled at once; the worker's end of the run enables them again.
  mail_running_ = true;
  UpdateActions();
}

void TfrmKestrune::SendReceive() {
  if (!logged_in_ || mail_running_) return;
  if (host_.Config().SendRecieveWarning) ShowSendReceiveInformation(this, dialog_context_);
  StartMailRun(static_cast<int>(MailAction::kSendReceive));
}

void TfrmKestrune::SendAll() {
  if (!logged_in_ || mail_running_) return;
  StartMailRun(static_cast<int>(MailAction::kSendAll));
}

void TfrmKestrune::ReceiveAll() {
  if (!logged_in_ || mail_running_) return;
  if (host_.Config().SendRecieveWarning) ShowSendReceiveInformation(this, dialog_context_);
  StartMailRun(static_cast<int>(MailAction::kReceiveAll));
}

void TfrmKestrune::ShowLogin() {
  if (logged_in_) return;
  if (!isVisible() || isMinimized()) RestoreFromTray();
  status_panel_->hide();
  login_panel_->show();
  login_timer_->start();
  password_->setFocus();
}

void TfrmKestrune::HideLoginPanel() {
  login_panel_->hide();
  status_panel_->show();
  password_->clear();  // a typed password never stays behind a hidden panel
  login_timer_->stop();
}

void TfrmKestrune::Login() {
  const std::string user = user_name_->text().toStdString();
  const std::string password = password_->text().toStdString();
  password_->clear();
  if (!host_.ConsoleLogin(user, password)) {
    Message(MessageKind::kWarning, kLoginRefused);
    return;
  }
  logged_in_ = true;
  HideLoginPanel();
  UpdateActions();
}

void TfrmKestrune::Logout() {
  if (!logged_in_) return;
  logged_in_ = false;
  host_.ConsoleLogout(user_name_->text().toStdString());
  UpdateActions();
}

void TfrmKestrune::OpenFolder(const std::string& directory) {
  QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(directory)));
}

void TfrmKestrune::OpenTemplates() { OpenFolder(host_.Config().TemplateDirectory); }
void TfrmKestrune::OpenLanguages() { OpenFolder(host_.Config().LangDirectory); }

void TfrmKestrune::Users() {
  if (!logged_in_) return;
  host_.ReloadUsers();
  ShowUsersDialog(this, dialog_context_);
}

void TfrmKestrune::Settings() {
  if (!logged_in_) return;
  if (ShowSettingsDialog(this, dialog_context_)) host_.SetTimers();
}

void TfrmKestrune::WebHelp() { QDesktopServices::openUrl(QUrl(kHelpIndexUrl)); }

void TfrmKestrune::About() { ShowAboutBox(this, dialog_context_); }

void TfrmKestrune::keyPressEvent(QKeyEvent* event) {
  if (event->key() != Qt::Key_F1) {
    QMainWindow::keyPressEvent(event);
    return;
  }
  const char* topic = "console.html";
  if (logged_in_) {
    topic = "console-admin.html";
  } else if (login_panel_->isVisible()) {
    topic = "console-login.html";
  } else if (status_panel_->isVisible()) {
    topic = "console-status.html";
  }
  QDesktopServices::openUrl(QUrl(QString(kHelpIndexUrl) + topic));
}

void TfrmKestrune::ShowBalloon(int kind, const QString& text) {
  balloon_kind_ = kind;
  if (tray_icon_->isVisible()) {
    tray_icon_->showMessage("Information", text, QSystemTrayIcon::Information, kBalloonMs);
  }
}

void TfrmKestrune::SendToTray() {
  if (exiting_) return;
  if (!QSystemTrayIcon::isSystemTrayAvailable()) {
    // No tray to come back from: the window stays on the task bar, minimised.
    if (!isMinimized()) showMinimized();
    return;
  }
  hide();
  tray_icon_->show();
  if (host_.Config().TrayHint) ShowBalloon(1, kStillRunning);
}

void TfrmKestrune::RestoreFromTray() {
  showNormal();
  raise();
  activateWindow();
  tray_icon_->hide();
}

void TfrmKestrune::closeEvent(QCloseEvent* event) {
  if (exiting_) {
    event->accept();
    return;
  }
  event->ignore();
  if (host_.Config().MinimizeWarning) ShowMinimizeInformation(this, dialog_context_);
  SendToTray();
}

void TfrmKestrune::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && isMinimized() &&
      QSystemTrayIcon::isSystemTrayAvailable()) {
    QTimer::singleShot(0, this, &TfrmKestrune::SendToTray);
  }
}

void TfrmKestrune::RequestExit() {
  const TProgramConfig& config = host_.Config();
  if (config.LoginToQuit && !logged_in_) {
    if (isVisible() && !tray_icon_->isVisible()) {
      Message(MessageKind::kInformation, kLogInToQuit);
    } else {
      ShowBalloon(0, kLogInToQuit);
    }
    return;
  }
  if (config.ExitWarning && !ConfirmExit(this, dialog_context_)) return;
  OrderlyExit(0);
}

void TfrmKestrune::OrderlyExit(int exit_code) {
  if (exiting_) return;
  exiting_ = true;
  login_timer_->stop();
  const QRect bounds = normalGeometry();
  ExitWindowState window;
  window.left = bounds.left();
  window.top = bounds.top();
  window.width = bounds.width();
  window.height = bounds.height();
  window.hidden = tray_icon_->isVisible() || isMinimized();
  host_.Stop(window);
  tray_icon_->hide();
  feed_.Deliver();
  emit ExitFinished(exit_code);
  QCoreApplication::exit(exit_code);
}

void TfrmKestrune::SaveLog() {
  QFileDialog dialog(this, "Save Debug Log",
                     QString::fromStdString(host_.Config().MRULogDirectory));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setDefaultSuffix("Txt");
  dialog.setNameFilters({"Text Files (*.Txt)", "Log Files (*.Log)", "All Files (*)"});
  dialog.setOption(QFileDialog::DontConfirmOverwrite);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  const QString file = dialog.selectedFiles().first();
  if (QFileInfo::exists(file) &&
      QMessageBox::question(this, "Kestrune", "File already exists, do you wish to overwrite?",
                            QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes) {
    return;
  }
  if (!SaveLogLines(file.toStdString(), host_.LogLines())) {
    Message(MessageKind::kError, "The debug log could not be written to " + file + ".");
    return;
  }
  const std::string directory = QFileInfo(file).absolutePath().toStdString() + "/";
  host_.Settings().Config().MRULogDirectory = directory;
  host_.Settings().SaveMRULogDirectory(directory);
}

void TfrmKestrune::PrintLog() {
  const QPrinterInfo info = QPrinterInfo::defaultPrinter();
  if (info.isNull()) {
    Message(MessageKind::kInformation, "No printer is set up on this computer.");
    return;
  }
  QPrinter printer(info);
  if (!PrintLogLines(printer, host_.LogLines())) {
    Message(MessageKind::kError, "The debug log could not be printed.");
  }
}

void TfrmKestrune::ClearLog() {
  if (!logged_in_) return;
  host_.ClearLog();
  debug_panel_->ClearLines();
}

void TfrmKestrune::ShowStats(const TProgramStat& stats) {
  open_sessions_->setText(QString::number(stats.OpenSessions));
  active_sessions_->setText(QString::number(stats.ActiveSessions));
  last_user_->setText(QString::fromStdString(stats.LastUser + " at " + stats.LastUserTime));
  emails_checked_->setText(QString::fromStdString(stats.LastMailCheck));
}

void TfrmKestrune::Message(MessageKind kind, const QString& text) {
  if (show_message_) {
    show_message_(kind, text);
    return;
  }
  switch (kind) {
    case MessageKind::kInformation:
      QMessageBox::information(this, "Kestrune", text);
      break;
    case MessageKind::kWarning:
      QMessageBox::warning(this, "Kestrune", text);
      break;
    case MessageKind::kError:
      QMessageBox::critical(this, "Kestrune", text);
      break;
  }
}

}  // namespace kestrune
