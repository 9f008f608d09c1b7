// The POP3 connection test on a background thread; its result comes back to the
// dialog's thread as a queued call.
#include "console/dialogs/pop_connection_test.h"

#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <atomic>
#include <mutex>
#include <thread>

#include "console/dialogs/dialog_helpers.h"
#include "console/dialogs/message_boxes.h"
#include "host/first_start.h"

namespace kestrune {
namespace {

constexpr const char* kTestCaption = "Test Connection";
constexpr const char* kCancelCaption = "Cancel Test";

// The outcomes shown as information rather than as an error.
bool IsInformation(const QString& message) {
  return message == "Your Pop server tested correctly." ||
         message.startsWith("The connection timed out waiting for your pop server");
}

}  // namespace

// What the test thread shares with the dialog: the receiver of its result, cleared
// under the mutex when the test is cancelled or the dialog goes, so a result is posted
// only to a live receiver.
struct PopConnectionTest::Shared {
  std::mutex mutex;
  PopConnectionTest* receiver = nullptr;
  std::atomic<bool> stop{false};  // ends the connection at once when cancelled
};

PopConnectionTest::PopConnectionTest(QWidget* dialog, QPushButton* button, Fields fields,
                                     const int* server_timeout_seconds)
    : QObject(dialog),
      dialog_(dialog),
      button_(button),
      fields_(fields),
      server_timeout_seconds_(server_timeout_seconds) {
  connect(button_, &QPushButton::clicked, this, [this] {
    if (running_) {
      Cancel();
    } else {
      Start();
    }
  });
}

PopConnectionTest::~PopConnectionTest() { Cancel(); }

void PopConnectionTest::Start() {
  struct Required {
    QLineEdit* edit;
    const char* message;
  };
  const Required required[] = {
      {fields_.server, "Please enter your pop server address."},
      {fields_.port, "Please enter the port that your pop server uses, usually port 110."},
      {fields_.user, "Please enter your user name for your pop server."},
      {fields_.password, "Please enter your user password for your pop server."},
  };
  for (const Required& item : required) {
    if (item.edit->text().isEmpty()) {
      ShowError(dialog_, item.message);
      item.edit->setFocus();
      return;
    }
  }
  if (!IsPortText(fields_.port->text())) {
    ShowError(dialog_, "Please enter a numeric value for the server port.");
    fields_.port->setFocus();
    return;
  }

  FirstStartValues values;
  values.pop_server = ToUtf8(fields_.server->text());
  values.pop_port = ToUtf8(fields_.port->text().trimmed());
  values.pop_user = ToUtf8(fields_.user->text());
  values.pop_password = ToUtf8(fields_.password->text());
  const int timeout_ms = *server_timeout_seconds_ * 1000;

  shared_ = std::make_shared<Shared>();
  shared_->receiver = this;
  running_ = true;
  button_->setText(kCancelCaption);
  std::thread([shared = shared_, values = std::move(values), timeout_ms] {
    const std::string message = TestPopConnection(values, timeout_ms, &shared->stop);
    std::lock_guard lock(shared->mutex);
    if (shared->receiver == nullptr) return;
    PopConnectionTest* receiver = shared->receiver;
    // Posted while the receiver is known alive; Qt drops the call if it goes first.
    QMetaObject::invokeMethod(
        receiver,
        [receiver, origin = shared.get(), text = ToQString(message)] {
          receiver->Deliver(origin, text);
        },
        Qt::QueuedConnection);
  }).detach();
}

void PopConnectionTest::Cancel() {
  if (shared_) {
    std::lock_guard lock(shared_->mutex);
    shared_->receiver = nullptr;
    shared_->stop = true;
  }
  shared_.reset();
  if (running_) {
    running_ = false;
    if (button_) button_->setText(kTestCaption);
  }
}

void PopConnectionTest::Deliver(const Shared* origin, const QString& message) {
  if (!running_ || origin != shared_.get()) return;  // a cancelled test's late answer
  Cancel();
  Prompts().Show(dialog_, IsInformation(message) ? BoxKind::kInformation : BoxKind::kError,
                 DialogText(ToUtf8(message)));
  emit Finished(message);
}

}  // namespace kestrune
