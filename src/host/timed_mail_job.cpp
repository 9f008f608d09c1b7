// The timer's mail run with its log lines and statistics.
#include "host/timed_mail_job.h"

#include <string>

#include "log/debug_log.h"
#include "settings/program_config.h"
#include "store/user_list.h"

namespace kestrune {

TimedMailJob::TimedMailJob(ProgramSettings& settings, TUserList& users, MailRun run)
    : settings_(settings), users_(users), run_(std::move(run)) {}

void TimedMailJob::Run(const std::atomic<bool>* stop) {
  if (!ReopenUsersIfNeeded()) return;
  MailRunContext context{settings_.Config(), users_,
                         [](std::string_view line) { AddDebugLine(line); }, stop};
  try {
    run_(context);
  } catch (const std::exception& failure) {
    // An error the run did not handle ends this tick; the next tick tries again.
    AddDebugLine(std::string("Timed mail run ended with an error: ") + failure.what());
    return;
  }
  if (stop != nullptr && *stop) return;
  DebugLog().SetLastMailCheck(DateTimeText(NowAsDateValue()));
}

// A failed reload closes and reopens the list, so one damaged read does not stop all
// mail until a restart; when that fails too the run waits for the next tick.
bool TimedMailJob::ReopenUsersIfNeeded() {
  if (users_.IsOpen() && users_.Reload()) return true;
  users_.Close();
  if (users_.Open(settings_.Config().UserDirectories)) return true;
  AddDebugLine("User Database could not be opened; the timed mail run waits for the next tick.");
  return false;
}

}  // namespace kestrune
