// Argument parsing and the report lines of backup, backup --verify and restore.
#include "host/backup_commands.h"

#include <ostream>
#include <stdexcept>

#include "host/admin_commands.h"
#include "host/home_backup.h"
#include "log/visible_text.h"
#include "platform/program_dir.h"

namespace kestrune {
namespace {

constexpr const char* kBackupUsage = "usage: kestrune [--home DIR] backup [--force] FILE";
constexpr const char* kVerifyUsage = "usage: kestrune backup --verify FILE";
constexpr const char* kRestoreUsage = "usage: kestrune restore FILE --home DIR";

struct Parsed {
  std::vector<std::string> words;
  bool force = false;
  bool verify = false;
  std::optional<std::filesystem::path> home;
};

Parsed Parse(const std::vector<std::string>& command, bool restore) {
  Parsed parsed;
  for (std::size_t i = 1; i < command.size(); ++i) {
    const std::string& arg = command[i];
    if (!restore && arg == "--force") {
      parsed.force = true;
    } else if (!restore && arg == "--verify") {
      parsed.verify = true;
    } else if (restore && arg == "--home") {
      if (i + 1 >= command.size() || command[i + 1].empty()) throw UsageError(kRestoreUsage);
      parsed.home = command[++i];
    } else if (restore && arg.starts_with("--home=") && arg.size() > 7) {
      parsed.home = arg.substr(7);
    } else if (arg.starts_with("--")) {
      throw UsageError("unknown option " + arg);
    } else {
      parsed.words.push_back(arg);
    }
  }
  return parsed;
}

void Report(std::ostream& out, const BackupSummary& summary) {
  out << "files\t" << summary.files << '\n'
      << "directories\t" << summary.directories << '\n'
      << "bytes\t" << summary.bytes << '\n'
      << "archive bytes\t" << summary.archive_bytes << '\n'
      << "mail stores\t" << summary.mail_stores << '\n'
      << "messages\t" << summary.messages << '\n'
      << "home\t" << summary.home << '\n';
}

int Run(const std::vector<std::string>& command, const std::optional<std::filesystem::path>& home,
        std::ostream& out, std::ostream& err) {
  if (command[0] == "restore") {
    Parsed parsed = Parse(command, true);
    if (!parsed.home) parsed.home = home;
    if (parsed.words.size() != 1 || !parsed.home) throw UsageError(kRestoreUsage);
    const BackupSummary summary = RestoreHome(parsed.words[0], *parsed.home);
    Report(out, summary);
    out << "restored into\t" << ResolveProgramDirectory(parsed.home).string() << '\n';
    return kExitSuccess;
  }
  const Parsed parsed = Parse(command, false);
  if (parsed.verify) {
    if (parsed.words.size() != 1 || parsed.force) throw UsageError(kVerifyUsage);
    Report(out, VerifyBackup(parsed.words[0]));
    return kExitSuccess;
  }
  if (parsed.words.size() != 1) throw UsageError(kBackupUsage);
  BackupOptions options;
  options.force = parsed.force;
  const BackupSummary summary = BackupHome(ResolveProgramDirectory(home), parsed.words[0], options);
  for (const std::string& note : summary.notes) {
    err << "kestrune: note: " << VisibleText(note) << '\n';
  }
  Report(out, summary);
  return kExitSuccess;
}

}  // namespace

bool IsBackupCommand(const std::string& word) { return word == "backup" || word == "restore"; }

int RunBackupCommand(const std::vector<std::string>& command,
                     const std::optional<std::filesystem::path>& home, std::ostream& out,
                     std::ostream& err) {
  return RunReportingFailures(err, [&] { return Run(command, home, out, err); });
}

}  // namespace kestrune
