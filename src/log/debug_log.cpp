// The debug log: one lock around the lines, the statistics and the echo, and the
// append-only automatic save of the day's file.
#include "log/debug_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <ostream>
#include <system_error>

#include "log/visible_text.h"
#include "store/text_utils.h"

namespace kestrune {
namespace {

// Appends text to file (created with mode 0600), fsync'ed. Throws std::system_error.
void AppendToFile(const std::filesystem::path& file, std::string_view text) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), file.string());
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      ::close(fd);
      throw std::system_error(error, std::generic_category(), file.string());
    }
    done += static_cast<std::size_t>(written);
  }
  if (::fsync(fd) != 0) {
    const int error = errno;
    ::close(fd);
    throw std::system_error(error, std::generic_category(), file.string());
  }
  ::close(fd);
}

bool FileHasContent(const std::filesystem::path& file) {
  std::error_code error;
  const auto size = std::filesystem::file_size(file, error);
  return !error && size > 0;
}

}  // namespace

TDebugLog::TDebugLog(std::size_t max_lines) : max_lines_(max_lines == 0 ? 1 : max_lines) {}

void TDebugLog::AddDebugLine(std::string_view text) {
  std::string line = VisibleTextLimited(text, kMaxLineBytes);
  std::lock_guard guard(lock_);
  AppendLocked(std::move(line));
}

void TDebugLog::AppendLocked(std::string line) {
  if (echo_ != nullptr) {
    *echo_ << line << '\n';
    echo_->flush();
  }
  if (line_observer_) line_observer_(line);
  lines_.push_back(std::move(line));
  while (lines_.size() > max_lines_) {
    lines_.pop_front();
    ++first_number_;
  }
}

void TDebugLog::Clear() {
  std::lock_guard guard(lock_);
  first_number_ += lines_.size();
  lines_.clear();
}

std::vector<std::string> TDebugLog::Lines() const {
  std::lock_guard guard(lock_);
  return {lines_.begin(), lines_.end()};
}

void TDebugLog::SetEcho(std::ostream* out) {
  std::lock_guard guard(lock_);
  echo_ = out;
}

void TDebugLog::SetLineObserver(LineObserver observer) {
  std::lock_guard guard(lock_);
  line_observer_ = std::move(observer);
}

void TDebugLog::SetStatsObserver(StatsObserver observer) {
  std::lock_guard guard(lock_);
  stats_observer_ = std::move(observer);
}

TProgramStat TDebugLog::Stats() const {
  std::lock_guard guard(lock_);
  return stats_;
}

void TDebugLog::UpdateStats() {
  std::lock_guard guard(lock_);
  NotifyStatsLocked();
}

void TDebugLog::NotifyStatsLocked() {
  if (stats_observer_) stats_observer_(stats_);
}

void TDebugLog::StartLog(std::string_view bound_address, int port, DateValue now) {
  std::lock_guard guard(lock_);
  first_number_ += lines_.size();
  lines_.clear();
  AppendLocked("Kestrune Server started at " + DateTimeText(now));
  AppendLocked(bound_address.empty()
                   ? std::string("Web Server Listening on All IP Addresses")
                   : "Web Server Listening on IP Address: " + VisibleText(bound_address));
  stats_ = TProgramStat{};
  NotifyStatsLocked();
  AppendLocked("Web Server Listening on port: " + std::to_string(port));
}

void TDebugLog::SessionCreated(DateValue now) {
  std::lock_guard guard(lock_);
  AppendLocked("New Session Created: " + DateTimeText(now));
  ++stats_.OpenSessions;
  ++stats_.ActiveSessions;
  NotifyStatsLocked();
}

void TDebugLog::SessionClosed(DateValue now) {
  std::lock_guard guard(lock_);
  AppendLocked("Session Closed: " + DateTimeText(now));
  --stats_.OpenSessions;
  --stats_.ActiveSessions;
  NotifyStatsLocked();
}

void TDebugLog::SetLastUser(std::string_view name, std::string_view when) {
  std::string proper = ProperCase(name);
  std::lock_guard guard(lock_);
  stats_.LastUser = std::move(proper);
  stats_.LastUserTime = std::string(when);
  NotifyStatsLocked();
}

void TDebugLog::SetLastMailCheck(std::string_view when) {
  std::lock_guard guard(lock_);
  stats_.LastMailCheck = std::string(when);
  NotifyStatsLocked();
}

std::string TDebugLog::AutoSaveFileName(DateValue day) {
  std::string date = ShortDateText(day);
  for (char& c : date) {
    if (c == '/') c = '-';
  }
  return "KST" + date + ".Txt";
}

void TDebugLog::RemoveExpiredFiles(const std::filesystem::path& log_directory,
                                   const std::filesystem::path& current, DateValue now,
                                   int retention_days) {
  if (retention_days <= 0) return;
  const auto limit = std::chrono::system_clock::to_time_t(TimePointFromDateValue(now) -
                                                          std::chrono::hours(24) * retention_days);
  std::error_code error;
  for (std::filesystem::directory_iterator it(log_directory, error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (!name.starts_with("KST") || !name.ends_with(".Txt") || it->path() == current) continue;
    struct stat info {};
    if (::lstat(it->path().c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    if (info.st_mtime >= limit) continue;
    std::error_code ignored;
    if (std::filesystem::remove(it->path(), ignored)) {
      AddDebugLine("Debug Log file older than " + std::to_string(retention_days) +
                   " days removed: " + name);
    }
  }
}

bool TDebugLog::AutoSave(const std::filesystem::path& log_directory, bool clear_when_saved,
                         DateValue now, int retention_days) {
  std::lock_guard save_guard(save_lock_);
  const std::filesystem::path file = log_directory / AutoSaveFileName(now);

  // Take what is unwritten; lines added while the file is written wait for the next save.
  std::string text;
  std::uint64_t written_end = 0;
  bool first_save_to_file = false;
  {
    std::lock_guard guard(lock_);
    const std::uint64_t from = std::max(unwritten_from_, first_number_);
    written_end = first_number_ + lines_.size();
    for (std::uint64_t number = from; number < written_end; ++number) {
      text += lines_[static_cast<std::size_t>(number - first_number_)];
      text += '\n';
    }
    first_save_to_file = file != last_saved_file_;
  }

  try {
    std::filesystem::create_directories(log_directory);
    // A day's file begun by an earlier run (or, when the log is cleared at each save,
    // every earlier batch) is kept; an empty line separates the new batch from it.
    if (!text.empty()) {
      if ((first_save_to_file || clear_when_saved) && FileHasContent(file)) text.insert(0, "\n");
      AppendToFile(file, text);
    }
  } catch (const std::exception& failure) {
    AddDebugLine("Debug Log could not be saved to " + file.string() + ": " + failure.what());
    return false;
  }

  RemoveExpiredFiles(log_directory, file, now, retention_days);
  const std::string when = DateTimeText(now);
  std::lock_guard guard(lock_);
  unwritten_from_ = written_end;
  last_saved_file_ = file;
  if (clear_when_saved) {
    while (!lines_.empty() && first_number_ < written_end) {
      lines_.pop_front();
      ++first_number_;
    }
    AppendLocked("Debug Log Cleared and Saved at: " + when);
  } else {
    AppendLocked("Debug Log Saved at: " + when);
  }
  return true;
}

TDebugLog& DebugLog() {
  static TDebugLog log;
  return log;
}

void AddDebugLine(std::string_view text) { DebugLog().AddDebugLine(text); }

}  // namespace kestrune
