// The mail worker thread: waits for the earlier of the two timers, runs its job, and
// skips (with one log line) the mail ticks that fell due while a mail run was going.
#include "host/mail_timers.h"

#include <algorithm>
#include <string>

namespace kestrune {

std::chrono::milliseconds TimerInterval(std::int64_t minutes, std::int64_t ms_per_minute) {
  if (minutes <= 0 || ms_per_minute <= 0) return std::chrono::milliseconds(0);
  // Compared before multiplying, so no product can overflow.
  if (minutes > kMaxTimerIntervalMs / ms_per_minute) {
    return std::chrono::milliseconds(kMaxTimerIntervalMs);
  }
  return std::chrono::milliseconds(minutes * ms_per_minute);
}

MailTimers::MailTimers(Jobs jobs) : jobs_(std::move(jobs)) {}

MailTimers::~MailTimers() { Stop(); }

void MailTimers::SetEmailTimer(bool enabled, std::chrono::milliseconds interval) {
  {
    std::lock_guard guard(lock_);
    mail_ = Timer{enabled, interval, Clock::now() + interval};
  }
  wake_.notify_all();
}

void MailTimers::SetAutoSaveLog(bool enabled, std::chrono::milliseconds interval) {
  {
    std::lock_guard guard(lock_);
    save_ = Timer{enabled, interval, Clock::now() + interval};
  }
  wake_.notify_all();
}

bool MailTimers::RunMailNow(std::function<void()> job) {
  {
    std::lock_guard guard(lock_);
    if (stop_ || mail_running_ || asked_run_) return false;
    asked_run_ = std::move(job);
  }
  wake_.notify_all();
  return true;
}

void MailTimers::Start() {
  if (worker_.joinable()) return;
  stop_ = false;
  worker_ = std::thread([this] { Run(); });
}

void MailTimers::Stop() {
  {
    std::lock_guard guard(lock_);
    stop_ = true;
    asked_run_ = nullptr;
  }
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();
}

void MailTimers::Run() {
  std::unique_lock lock(lock_);
  while (!stop_) {
    Clock::time_point next = Clock::time_point::max();
    if (mail_.Active()) next = std::min(next, mail_.due);
    if (save_.Active()) next = std::min(next, save_.due);
    if (asked_run_) {
      next = Clock::now();
    }
    if (next == Clock::time_point::max()) {
      wake_.wait(lock);
    } else {
      wake_.wait_until(lock, next);
    }
    if (stop_) break;

    if (asked_run_) {
      const std::function<void()> job = std::move(asked_run_);
      asked_run_ = nullptr;
      RunMailJob(job, lock);
      if (stop_) break;
      LogSkipped(SkipMissedMailTicks(), lock);
    }
    if (stop_) break;
    LogSkipped(RunIfDue(mail_, jobs_.mail_run, lock, true), lock);
    if (stop_) break;
    RunIfDue(save_, jobs_.save_log, lock, false);
  }
}

void MailTimers::RunMailJob(const std::function<void()>& job, std::unique_lock<std::mutex>& lock) {
  mail_running_ = true;
  lock.unlock();
  if (jobs_.mail_running) jobs_.mail_running(true);
  job();
  if (jobs_.mail_running) jobs_.mail_running(false);
  lock.lock();
  mail_running_ = false;
}

int MailTimers::SkipMissedMailTicks() {
  if (!mail_.Active()) return 0;
  const Clock::time_point now = Clock::now();
  if (mail_.due > now) return 0;
  const auto behind = (now - mail_.due) / mail_.interval;
  mail_.due += mail_.interval * (behind + 1);
  return static_cast<int>(std::min<std::int64_t>(behind + 1, 1 << 30));
}

void MailTimers::LogSkipped(int skipped, std::unique_lock<std::mutex>& lock) {
  if (skipped <= 0 || stop_) return;
  lock.unlock();
  jobs_.log("Timed mail check skipped: the previous mail run was still going (" +
            std::to_string(skipped) + (skipped == 1 ? " tick)." : " ticks)."));
  lock.lock();
}

int MailTimers::RunIfDue(Timer& timer, const std::function<void()>& job,
                         std::unique_lock<std::mutex>& lock, bool mail_run) {
  if (!timer.Active() || Clock::now() < timer.due) return 0;
  const Timer started = timer;
  if (mail_run) {
    RunMailJob(job, lock);
  } else {
    lock.unlock();
    job();
    lock.lock();
  }
  // A SetEmailTimer/SetAutoSaveLog during the job has already set a new count.
  if (timer.due != started.due || timer.interval != started.interval || !timer.Active()) return 0;
  const Clock::time_point now = Clock::now();
  timer.due += timer.interval;
  if (timer.due > now) return 0;
  const auto behind = (now - timer.due) / timer.interval;
  timer.due += timer.interval * (behind + 1);
  return static_cast<int>(std::min<std::int64_t>(behind + 1, 1 << 30));
}

}  // namespace kestrune
