// The "Test Connection" button of the user-properties dialog and the wizard: the field
// checks in their order (focusing the edit concerned), then the POP3 log-in on a thread
// of its own with the ServerTimeOut connect time-out, so the window never freezes on a
// slow server. While it runs the button reads "Cancel Test"; a click abandons the test
// (the thread ends by itself at its time-out and its result is dropped).
#pragma once

#include <QObject>
#include <QPointer>
#include <QPushButton>
#include <memory>

class QLineEdit;
class QWidget;

namespace kestrune {

class PopConnectionTest : public QObject {
  Q_OBJECT

 public:
  struct Fields {
    QLineEdit* server;
    QLineEdit* port;
    QLineEdit* user;
    QLineEdit* password;
  };
  // button is the dialog's "Test Connection" button: its clicks start and cancel.
  PopConnectionTest(QWidget* dialog, QPushButton* button, Fields fields,
                    const int* server_timeout_seconds);
  ~PopConnectionTest() override;

  bool Running() const { return running_; }
  void Start();
  void Cancel();

 signals:
  // The message was shown (the tests wait for this).
  void Finished(QString message);

 private:
  struct Shared;
  void Deliver(const Shared* origin, const QString& message);

  QWidget* dialog_;
  QPointer<QPushButton> button_;
  Fields fields_;
  const int* server_timeout_seconds_;
  bool running_ = false;
  std::shared_ptr<Shared> shared_;
};

}  // namespace kestrune
