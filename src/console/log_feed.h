// The bridge from the server's threads to the console window: debug-log lines,
// statistics, operator messages and the mail-run state are handed over from any thread
// and delivered on the window's thread in order, many lines per delivery, so a busy
// server never floods the window with one event per line.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <mutex>
#include <string_view>

#include "log/debug_log.h"

namespace kestrune {

class LogFeed : public QObject {
  Q_OBJECT

 public:
  explicit LogFeed(QObject* parent = nullptr);

  // Any thread. The line observer of the debug log calls PushLine under the log's
  // lock: it only copies and posts.
  void PushLine(std::string_view line);
  void PushStats(const TProgramStat& stats);
  void PushMessage(std::string_view text);
  void PushMailRunning(bool running);

  // Window thread: delivers what is waiting now (tests and the exit path).
  void Deliver();

 signals:
  void LinesArrived(const QStringList& lines);
  void StatsChanged(const kestrune::TProgramStat& stats);
  void MessageArrived(const QString& text);
  void MailRunChanged(bool running);

 private:
  void PostLocked();

  std::mutex lock_;
  QStringList lines_;
  bool have_stats_ = false;
  TProgramStat stats_;
  QStringList messages_;
  QList<bool> mail_changes_;
  bool posted_ = false;
};

}  // namespace kestrune

Q_DECLARE_METATYPE(kestrune::TProgramStat)
