// What the mail timer's tick does on the mail worker thread: make sure the console's
// copy of the user list is readable (reopening it when a reload fails), run the timed
// mail run, and record the time of the last mail check.
#pragma once

#include <atomic>
#include <functional>

#include "engines/mail_runs.h"

namespace kestrune {

class ProgramSettings;
class TUserList;

class TimedMailJob {
 public:
  using MailRun = std::function<bool(MailRunContext&)>;

  // users is the console's copy, used by the mail worker thread alone while the timers
  // run. run is the timed mail run (TimedMailRun unless a test gives another).
  TimedMailJob(ProgramSettings& settings, TUserList& users, MailRun run = TimedMailRun);

  // One tick. A run that ends with an error it did not handle, or is stopped, leaves
  // LastMailCheck as it was.
  void Run(const std::atomic<bool>* stop);

 private:
  bool ReopenUsersIfNeeded();

  ProgramSettings& settings_;
  TUserList& users_;
  MailRun run_;
};

}  // namespace kestrune
