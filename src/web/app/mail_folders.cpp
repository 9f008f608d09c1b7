// Folders of the message index and the checked changes pages make to messages.
#include "web/app/mail_folders.h"

#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "platform/ascii.h"
#include "store/mail_store_paths.h"
#include "web/app/user_session.h"

namespace kestrune {
namespace {

namespace st = email_status;

// Longest generated-looking base name accepted (the program writes 8 characters; other
// programs that filled a store may have written longer ones).
constexpr std::size_t kMaxGeneratedBaseLength = 64;

TUserEmailDB& OpenIndex(TUserSession& state) {
  if (!state.OpenEmailDB()) throw std::runtime_error("The message index cannot be opened.");
  return *state.EmailDB;
}

// Runs change under the index's lock. When the save fails the session's copy, which now
// holds changes the file does not, is dropped: the next page reads the file again.
void ChangeIndex(TUserSession& state, TUserEmailDB& index, const std::function<void()>& change) {
  try {
    index.ChangeUnderLock(change);
  } catch (...) {
    state.EmailDB.reset();
    throw;
  }
}

// Whether record `index` of the index is the live message the page showed.
bool StillShown(const TUserEmailDB& index, const ShownMessage& message,
                std::optional<MailFolder> folder, TEmailRecord& record) {
  if (!index.GetEmail(message.index, record)) return false;
  if (record.FileName != message.file_name || record.Status == st::kPurged) return false;
  return !folder || InFolder(*folder, record.Status);
}

bool NamedByAnotherLiveRecord(const TUserEmailDB& index, int except, std::string_view file_name) {
  TEmailRecord other;
  for (int i = 1; index.GetEmail(i, other); ++i) {
    if (i != except && other.Status != st::kPurged && other.FileName == file_name) return true;
  }
  return false;
}

void RemoveMessageFile(const std::filesystem::path& store, const std::string& file_name) {
  std::error_code error;
  std::filesystem::remove(MessageFilePath(store, file_name), error);  // already gone is fine
  if (error && error != std::errc::no_such_file_or_directory) {
    throw std::system_error(error, "cannot delete " + file_name);
  }
}

}  // namespace

std::optional<MailFolder> FolderOf(std::int32_t status) {
  switch (status) {
    case st::kInboxUnread:
    case st::kInboxRead:
    case st::kInboxReplied:
    case st::kInboxForwarded:
      return MailFolder::kInbox;
    case st::kDeleted:
      return MailFolder::kDeleted;
    case st::kOutbox:
      return MailFolder::kOutbox;
    case st::kSent:
      return MailFolder::kSent;
    case st::kSavedUnread:
    case st::kSavedRead:
    case st::kSavedReplied:
    case st::kSavedForwarded:
      return MailFolder::kSaved;
    default:
      return std::nullopt;
  }
}

bool InFolder(MailFolder folder, std::int32_t status) { return FolderOf(status) == folder; }

int FolderCount(const TUserEmailDB& index, MailFolder folder) {
  switch (folder) {
    case MailFolder::kInbox:
      return index.CountInbox();
    case MailFolder::kOutbox:
      return index.CountOutbox();
    case MailFolder::kSent:
      return index.CountSent();
    case MailFolder::kSaved:
      return index.CountSaved();
    case MailFolder::kDeleted:
      return index.CountDeleted();
  }
  return 0;
}

std::int32_t SavedStatus(std::int32_t status) {
  if (status >= st::kInboxUnread && status <= st::kInboxForwarded) {
    return st::kSavedUnread + status;
  }
  return st::kSavedRead;
}

std::int32_t OpenedStatus(std::int32_t status) {
  if (status == st::kInboxUnread) return st::kInboxRead;
  if (status == st::kSavedUnread) return st::kSavedRead;
  return status;
}

bool IsGeneratedMessageName(std::string_view file_name) {
  constexpr std::string_view kExtension = ".eml";
  if (file_name.size() <= kExtension.size()) return false;
  const std::string_view base = file_name.substr(0, file_name.size() - kExtension.size());
  if (!EqualsIgnoringAsciiCase(file_name.substr(base.size()), kExtension)) return false;
  if (base.size() > kMaxGeneratedBaseLength) return false;
  for (char c : base) {
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!alnum) return false;
  }
  return true;
}

std::vector<int> MoveMessages(TUserSession& state, std::optional<MailFolder> folder,
                              std::span<const ShownMessage> messages,
                              const std::function<std::int32_t(std::int32_t)>& new_status,
                              std::vector<MovedMessage>* moved) {
  TUserEmailDB& index = OpenIndex(state);
  std::vector<MovedMessage> changed;
  std::vector<int> skipped;
  ChangeIndex(state, index, [&] {
    for (const ShownMessage& message : messages) {
      TEmailRecord record;
      if (!StillShown(index, message, folder, record)) {
        skipped.push_back(message.index);
        continue;
      }
      const std::int32_t status = new_status(record.Status);
      if (status == record.Status) continue;
      changed.push_back({message, record.Status, status});
      record.Status = status;
      index.SetEmail(message.index, record);
    }
  });
  if (moved != nullptr) *moved = std::move(changed);
  return skipped;
}

int RestoreMessages(TUserSession& state, std::span<const MovedMessage> moved) {
  TUserEmailDB& index = OpenIndex(state);
  int restored = 0;
  ChangeIndex(state, index, [&] {
    restored = 0;  // the change may run again on a newer version of the file
    for (const MovedMessage& move : moved) {
      TEmailRecord record;
      if (!StillShown(index, move.message, std::nullopt, record)) continue;
      if (record.Status != move.to) continue;
      record.Status = move.from;
      index.SetEmail(move.message.index, record);
      ++restored;
    }
  });
  return restored;
}

std::vector<int> PurgeMessages(TUserSession& state, std::span<const ShownMessage> messages) {
  TUserEmailDB& index = OpenIndex(state);
  std::vector<int> skipped;
  std::vector<std::string> files_to_remove;
  ChangeIndex(state, index, [&] {
    for (const ShownMessage& message : messages) {
      TEmailRecord record;
      if (!StillShown(index, message, MailFolder::kDeleted, record)) {
        skipped.push_back(message.index);
        continue;
      }
      record.Status = st::kPurged;
      index.SetEmail(message.index, record);
      if (IsGeneratedMessageName(record.FileName) &&
          !NamedByAnotherLiveRecord(index, message.index, record.FileName)) {
        files_to_remove.push_back(record.FileName);
      }
    }
  });
  // The records say purged before any file goes, so a failure here leaves a stray file,
  // never a live record without its message.
  for (const std::string& file_name : files_to_remove) {
    RemoveMessageFile(state.User.UserDir, file_name);
  }
  return skipped;
}

DeleteOutcome DeleteMessage(TUserSession& state, const ShownMessage& message) {
  TUserEmailDB& index = OpenIndex(state);
  DeleteOutcome outcome = DeleteOutcome::kNotFound;
  bool remove_file = false;
  ChangeIndex(state, index, [&] {
    TEmailRecord record;
    if (!StillShown(index, message, std::nullopt, record)) return;
    if (record.Status == st::kDeleted) {
      record.Status = st::kPurged;
      outcome = DeleteOutcome::kPurged;
      remove_file = IsGeneratedMessageName(record.FileName) &&
                    !NamedByAnotherLiveRecord(index, message.index, record.FileName);
    } else {
      record.Status = st::kDeleted;
      outcome = DeleteOutcome::kMovedToDeleted;
    }
    index.SetEmail(message.index, record);
  });
  if (remove_file) RemoveMessageFile(state.User.UserDir, message.file_name);
  return outcome;
}

std::optional<TEmailRecord> OpenMessage(TUserSession& state, const ShownMessage& message) {
  TUserEmailDB& index = OpenIndex(state);
  TEmailRecord record;
  if (!StillShown(index, message, std::nullopt, record)) return std::nullopt;
  if (OpenedStatus(record.Status) == record.Status) return record;  // nothing to write
  std::optional<TEmailRecord> opened;
  ChangeIndex(state, index, [&] {
    if (!StillShown(index, message, std::nullopt, record)) return;
    record.Status = OpenedStatus(record.Status);
    index.SetEmail(message.index, record);
    opened = record;
  });
  return opened;
}

std::optional<TEmailRecord> ShownRecord(TUserSession& state, const ShownMessage& message) {
  TEmailRecord record;
  if (!StillShown(OpenIndex(state), message, std::nullopt, record)) return std::nullopt;
  return record;
}

std::optional<ShownMessage> CurrentMessage(TUserSession& state, int index_number) {
  TUserEmailDB& index = OpenIndex(state);
  TEmailRecord record;
  if (!index.GetEmail(index_number, record) || record.Status == st::kPurged) return std::nullopt;
  return ShownMessage{index_number, record.FileName};
}

}  // namespace kestrune
