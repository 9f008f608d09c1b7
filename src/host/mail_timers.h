// The server's two timers, the mail timer (AutoCheckEmails every AutoCheckInterval
// minutes) and the log timer (AutoSaveDebugLog every AutoSaveInterval minutes), both
// served by one mail worker thread, so mail runs never overlap and never run on a
// request or console thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string_view>
#include <thread>

namespace kestrune {

// The longest interval the timers take: the range of a 32-bit millisecond count.
inline constexpr std::int64_t kMaxTimerIntervalMs = 0x7fffffff;

// minutes x ms_per_minute, clamped to 0 .. kMaxTimerIntervalMs; 0 means stopped.
std::chrono::milliseconds TimerInterval(std::int64_t minutes, std::int64_t ms_per_minute = 60000);

class MailTimers {
 public:
  struct Jobs {
    std::function<void()> mail_run;  // one timed mail run; watches StopFlag()
    std::function<void()> save_log;  // one automatic save of the debug log
    std::function<void(std::string_view line)> log;
    // Optional: told on the worker thread when a mail run (timed or asked for) starts
    // (true) and ends (false).
    std::function<void(bool running)> mail_running = nullptr;
  };

  explicit MailTimers(Jobs jobs);
  ~MailTimers();  // Stop()
  MailTimers(const MailTimers&) = delete;
  MailTimers& operator=(const MailTimers&) = delete;

  // Sets a timer again: its count starts from now. An interval of 0 stops it.
  void SetEmailTimer(bool enabled, std::chrono::milliseconds interval);
  void SetAutoSaveLog(bool enabled, std::chrono::milliseconds interval);

  // An operator's mail run: job runs on the worker as soon as it is free. False, and
  // nothing queued, while a mail run is going or already asked for, or after Stop. The
  // mail timer's ticks that fall due during it are skipped with the timer's line.
  bool RunMailNow(std::function<void()> job);

  void Start();
  // Sets StopFlag() (a mail run in progress ends without committing), waits for the
  // worker to finish its job and ends it.
  void Stop();

  // Set by Stop; the mail run is handed this flag.
  const std::atomic<bool>* StopFlag() const { return &stop_; }
  bool MailRunGoing() const { return mail_running_; }

 private:
  using Clock = std::chrono::steady_clock;
  struct Timer {
    bool enabled = false;
    std::chrono::milliseconds interval{0};
    Clock::time_point due;
    bool Active() const { return enabled && interval.count() > 0; }
  };

  void Run();
  // Runs job when timer is due; afterwards its next due time lies after now. Returns
  // how many ticks fell due while the job ran (ticks that are skipped).
  int RunIfDue(Timer& timer, const std::function<void()>& job, std::unique_lock<std::mutex>& lock,
               bool mail_run);
  // Runs a mail job with the lock released, marked as the mail run going.
  void RunMailJob(const std::function<void()>& job, std::unique_lock<std::mutex>& lock);
  // Moves the mail timer's due time past now; returns how many ticks that skipped.
  int SkipMissedMailTicks();
  void LogSkipped(int skipped, std::unique_lock<std::mutex>& lock);

  Jobs jobs_;
  std::mutex lock_;
  std::condition_variable wake_;
  Timer mail_;
  Timer save_;
  std::function<void()> asked_run_;  // an operator's run waiting for the worker
  std::atomic<bool> stop_{false};
  std::atomic<bool> mail_running_{false};
  std::thread worker_;
};

}  // namespace kestrune
