// The timers of the mail worker: intervals from minutes (clamped, 0 = stopped), ticks
// that fall due during a long run skipped with one line, and Stop ending a run through
// the stop flag. Waits are driven by the jobs' own signals; no test asserts a duration.
#include "host/mail_timers.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace kestrune {
namespace {

using std::chrono::milliseconds;

// What the jobs saw, with a way to wait for a condition on it.
struct Recorder {
  std::mutex lock;
  std::condition_variable changed;
  int mail_runs = 0;
  int saves = 0;
  std::vector<std::string> lines;
  std::vector<std::size_t> lines_before_run;  // lines logged when each mail run began

  template <typename Predicate>
  bool WaitFor(Predicate predicate) {
    std::unique_lock guard(lock);
    return changed.wait_for(guard, std::chrono::seconds(20), [&] { return predicate(*this); });
  }
  void Note(const std::function<void(Recorder&)>& change) {
    {
      std::lock_guard guard(lock);
      change(*this);
    }
    changed.notify_all();
  }
};

TEST(TimerIntervalTest, MinutesClampedToTheTimersRange) {
  EXPECT_EQ(TimerInterval(30), milliseconds(1800000));
  EXPECT_EQ(TimerInterval(0), milliseconds(0));
  EXPECT_EQ(TimerInterval(-5), milliseconds(0));
  // 35,792 minutes is the last that fits a 32-bit millisecond count.
  EXPECT_EQ(TimerInterval(35791), milliseconds(35791LL * 60000));
  EXPECT_EQ(TimerInterval(35792), milliseconds(kMaxTimerIntervalMs));
  EXPECT_EQ(TimerInterval(INT32_MAX), milliseconds(kMaxTimerIntervalMs));
  EXPECT_EQ(TimerInterval(3, 10), milliseconds(30));
}

TEST(MailTimersTest, BothTimersRunOnTheWorkerAndAZeroIntervalIsStopped) {
  Recorder seen;
  MailTimers timers({.mail_run = [&] { seen.Note([](Recorder& r) { ++r.mail_runs; }); },
                     .save_log = [&] { seen.Note([](Recorder& r) { ++r.saves; }); },
                     .log = [&](std::string_view) {}});
  timers.SetEmailTimer(true, milliseconds(0));  // enabled with interval 0: never fires
  timers.SetAutoSaveLog(true, milliseconds(5));
  timers.Start();
  ASSERT_TRUE(seen.WaitFor([](Recorder& r) { return r.saves >= 3; }));
  timers.Stop();
  EXPECT_EQ(seen.mail_runs, 0);

  // Set again, the mail timer runs; the disabled save timer does not.
  Recorder again;
  MailTimers second({.mail_run = [&] { again.Note([](Recorder& r) { ++r.mail_runs; }); },
                     .save_log = [&] { again.Note([](Recorder& r) { ++r.saves; }); },
                     .log = [&](std::string_view) {}});
  second.SetEmailTimer(true, milliseconds(5));
  second.SetAutoSaveLog(false, milliseconds(5));
  second.Start();
  ASSERT_TRUE(again.WaitFor([](Recorder& r) { return r.mail_runs >= 2; }));
  second.Stop();
  EXPECT_EQ(again.saves, 0);
}

TEST(MailTimersTest, TicksDuringARunAreSkippedWithOneLine) {
  Recorder seen;
  std::mutex gate_lock;
  std::condition_variable gate;
  bool released = false;
  MailTimers* timers_pointer = nullptr;
  MailTimers timers({.mail_run =
                         [&] {
                           seen.Note([](Recorder& r) {
                             ++r.mail_runs;
                             r.lines_before_run.push_back(r.lines.size());
                           });
                           std::unique_lock guard(gate_lock);
                           gate.wait(guard,
                                     [&] { return released || *timers_pointer->StopFlag(); });
                         },
                     .save_log = [] {},
                     .log =
                         [&](std::string_view line) {
                           seen.Note([&](Recorder& r) { r.lines.emplace_back(line); });
                         }});
  timers_pointer = &timers;
  timers.SetEmailTimer(true, milliseconds(2));
  timers.Start();
  ASSERT_TRUE(seen.WaitFor([](Recorder& r) { return r.mail_runs == 1; }));
  EXPECT_TRUE(timers.MailRunGoing());
  // Hold the first run for many intervals.
  std::this_thread::sleep_for(milliseconds(50));
  {
    std::lock_guard guard(gate_lock);
    released = true;
  }
  gate.notify_all();
  ASSERT_TRUE(seen.WaitFor([](Recorder& r) { return r.mail_runs >= 2; }));
  timers.Stop();
  ASSERT_GE(seen.lines.size(), 1u);
  EXPECT_TRUE(seen.lines[0].starts_with(
      "Timed mail check skipped: the previous mail run was still going ("))
      << seen.lines[0];
  // One line for all the ticks missed during the first run, not one per tick, and no
  // run started in between.
  EXPECT_EQ(seen.lines_before_run[1], 1u);
}

TEST(MailTimersTest, StopSetsTheFlagThatEndsARun) {
  Recorder seen;
  MailTimers* timers_pointer = nullptr;
  MailTimers timers({.mail_run =
                         [&] {
                           seen.Note([](Recorder& r) { ++r.mail_runs; });
                           // A run that only ends when told to stop.
                           while (!*timers_pointer->StopFlag()) {
                             std::this_thread::sleep_for(milliseconds(1));
                           }
                         },
                     .save_log = [] {},
                     .log = [](std::string_view) {}});
  timers_pointer = &timers;
  timers.SetEmailTimer(true, milliseconds(1));
  timers.Start();
  ASSERT_TRUE(seen.WaitFor([](Recorder& r) { return r.mail_runs == 1; }));
  timers.Stop();  // returns only because the run saw the flag
  EXPECT_TRUE(*timers.StopFlag());
  EXPECT_FALSE(timers.MailRunGoing());
  EXPECT_EQ(seen.mail_runs, 1);
}

// An operator's "Send && Receive" while the timer's run waits on a slow server is
// refused, and the timer ticks that fall due during an operator's long run are skipped
// with the timer's line instead of starting a second run right after it.
TEST(MailTimersTest, OperatorRunsNeverOverlapTimedRuns) {
  Recorder seen;
  std::mutex gate_lock;
  std::condition_variable gate;
  bool released = false;
  std::vector<bool> running_changes;
  MailTimers* timers_pointer = nullptr;
  auto held_run = [&](const char* kind) {
    seen.Note([&](Recorder& r) {
      ++r.mail_runs;
      r.lines.emplace_back(kind);
    });
    std::unique_lock guard(gate_lock);
    gate.wait(guard, [&] { return released || *timers_pointer->StopFlag(); });
  };
  MailTimers timers({.mail_run = [&] { held_run("timed"); },
                     .save_log = [] {},
                     .log =
                         [&](std::string_view line) {
                           seen.Note([&](Recorder& r) { r.lines.emplace_back(line); });
                         },
                     .mail_running =
                         [&](bool running) {
                           seen.Note([&](Recorder&) { running_changes.push_back(running); });
                         }});
  timers_pointer = &timers;
  timers.Start();
  ASSERT_TRUE(timers.RunMailNow([&] { held_run("operator"); }));
  ASSERT_TRUE(seen.WaitFor([](Recorder& r) { return r.mail_runs == 1; }));
  EXPECT_TRUE(timers.MailRunGoing());
  EXPECT_FALSE(timers.RunMailNow([&] { held_run("second operator"); }));
  timers.SetEmailTimer(true, milliseconds(5));
  std::this_thread::sleep_for(milliseconds(50));  // several ticks fall due meanwhile
  {
    std::lock_guard guard(gate_lock);
    released = true;
  }
  gate.notify_all();
  ASSERT_TRUE(seen.WaitFor([](Recorder& r) { return r.mail_runs >= 2; }));
  timers.Stop();
  ASSERT_GE(seen.lines.size(), 3u);
  EXPECT_EQ(seen.lines[0], "operator");
  EXPECT_TRUE(seen.lines[1].starts_with("Timed mail check skipped")) << seen.lines[1];
  EXPECT_EQ(seen.lines[2], "timed");
  ASSERT_GE(running_changes.size(), 2u);
  EXPECT_TRUE(running_changes[0]);
  EXPECT_FALSE(running_changes[1]);
}

}  // namespace
}  // namespace kestrune
