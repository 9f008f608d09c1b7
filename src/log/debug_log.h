// The debug log and the statistics of the server: every part appends its lines with
// AddDebugLine from any thread; the console (or standard output in headless mode)
// shows them; the log timer saves them to "KST" + date + ".Txt" in LogDirectory.
// TProgramStat holds the session counters and the last user and mail check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/date_time.h"

namespace kestrune {

struct TProgramStat {
  int OpenSessions = 0;
  int ActiveSessions = 0;
  std::string LastUser = "Nobody";
  std::string LastUserTime = "NoTime";
  std::string LastMailCheck = "Not Checked";
};

// One log shared by every thread: appends and counter changes take one lock, so lines
// are whole and keep their arrival order and no counter update is lost.
class TDebugLog {
 public:
  // A line longer than this (after escaping) is cut and ends in "...".
  static constexpr std::size_t kMaxLineBytes = 4096;
  // The in-memory log keeps this many lines; older ones are dropped first.
  static constexpr std::size_t kMaxLines = 200000;
  // Saved log files older than this many days are removed by the automatic save.
  static constexpr int kDefaultLogRetentionDays = 30;

  explicit TDebugLog(std::size_t max_lines = kMaxLines);
  TDebugLog(const TDebugLog&) = delete;
  TDebugLog& operator=(const TDebugLog&) = delete;

  // Appends one line (empty text = separator line). Control characters are written as
  // visible escapes, so outside text cannot forge lines.
  void AddDebugLine(std::string_view text);
  void Clear();
  std::vector<std::string> Lines() const;

  // Headless mode: every line is also written to out as it is added, and flushed.
  // nullptr stops it. out must outlive the log or be replaced first.
  void SetEcho(std::ostream* out);

  // Observers for a console. They are called under the log's lock, in order: they must
  // only take a copy or queue work for their own thread, never call back into the log.
  using LineObserver = std::function<void(std::string_view line)>;
  using StatsObserver = std::function<void(const TProgramStat& stats)>;
  void SetLineObserver(LineObserver observer);
  void SetStatsObserver(StatsObserver observer);

  TProgramStat Stats() const;
  // Hands the current statistics to the observer.
  void UpdateStats();

  // Clears the log, writes the start lines and resets the statistics. bound_address
  // empty = listening on all addresses.
  void StartLog(std::string_view bound_address, int port, DateValue now);
  // The listener's session events: "New Session Created: " / "Session Closed: " + now,
  // with both session counters moved by one.
  void SessionCreated(DateValue now);
  void SessionClosed(DateValue now);
  // LastUser = ProperCase(name), LastUserTime = when.
  void SetLastUser(std::string_view name, std::string_view when);
  void SetLastMailCheck(std::string_view when);

  // The automatic save: appends to the day's file in log_directory every line this
  // run has not yet written there (lines of earlier runs or earlier saves of the day
  // are kept), then either clears the log (clear_when_saved) or goes on, and appends
  // the "Saved at" line. False (with a log line saying why) when the file could not be
  // written; the lines then stay unwritten for the next save. Saved log files ("KST" ...
  // ".Txt") last changed more than retention_days before now are removed (0: kept for
  // ever), so the directory cannot grow without end.
  bool AutoSave(const std::filesystem::path& log_directory, bool clear_when_saved, DateValue now,
                int retention_days = kDefaultLogRetentionDays);
  // "KST" + the short date with every "/" replaced by "-" + ".Txt".
  static std::string AutoSaveFileName(DateValue day);

 private:
  void AppendLocked(std::string line);
  void RemoveExpiredFiles(const std::filesystem::path& log_directory,
                          const std::filesystem::path& current, DateValue now, int retention_days);
  void NotifyStatsLocked();

  mutable std::mutex lock_;
  std::size_t max_lines_;
  std::deque<std::string> lines_;
  std::uint64_t first_number_ = 0;    // number of lines_.front(); numbers never repeat
  std::uint64_t unwritten_from_ = 0;  // the first line number no auto-save wrote yet
  std::filesystem::path last_saved_file_;
  TProgramStat stats_;
  std::ostream* echo_ = nullptr;
  LineObserver line_observer_;
  StatsObserver stats_observer_;
  std::mutex save_lock_;  // one auto-save at a time
};

// The program's log.
TDebugLog& DebugLog();
// DebugLog().AddDebugLine(text).
void AddDebugLine(std::string_view text);

}  // namespace kestrune
