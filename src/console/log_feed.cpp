// One queued delivery for everything that arrived since the last one.
#include "console/log_feed.h"

#include <QMetaObject>

namespace kestrune {

LogFeed::LogFeed(QObject* parent) : QObject(parent) { qRegisterMetaType<kestrune::TProgramStat>(); }

void LogFeed::PostLocked() {
  if (posted_) return;
  posted_ = true;
  QMetaObject::invokeMethod(this, &LogFeed::Deliver, Qt::QueuedConnection);
}

void LogFeed::PushLine(std::string_view line) {
  std::lock_guard guard(lock_);
  lines_.append(QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size())));
  PostLocked();
}

void LogFeed::PushStats(const TProgramStat& stats) {
  std::lock_guard guard(lock_);
  stats_ = stats;
  have_stats_ = true;
  PostLocked();
}

void LogFeed::PushMessage(std::string_view text) {
  std::lock_guard guard(lock_);
  messages_.append(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
  PostLocked();
}

void LogFeed::PushMailRunning(bool running) {
  std::lock_guard guard(lock_);
  mail_changes_.append(running);
  PostLocked();
}

void LogFeed::Deliver() {
  QStringList lines;
  QStringList messages;
  QList<bool> mail_changes;
  TProgramStat stats;
  bool have_stats = false;
  {
    std::lock_guard guard(lock_);
    lines.swap(lines_);
    messages.swap(messages_);
    mail_changes.swap(mail_changes_);
    have_stats = have_stats_;
    have_stats_ = false;
    stats = stats_;
    posted_ = false;
  }
  if (!lines.isEmpty()) emit LinesArrived(lines);
  if (have_stats) emit StatsChanged(stats);
  for (bool running : mail_changes) emit MailRunChanged(running);
  for (const QString& text : messages) emit MessageArrived(text);
}

}  // namespace kestrune
