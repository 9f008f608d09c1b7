// The five mail folders as the index's Status values name them, and the changes the pages
// make to a user's messages. Every change runs under the index's lock on the file's
// current version, and only to the message the page showed: a record that no longer
// names the file it named at render, or left the folder meanwhile (another session, a
// fetch, the command line), is skipped and reported to the caller.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/email_db.h"

namespace kestrune {

class TUserSession;

enum class MailFolder { kInbox, kOutbox, kSent, kSaved, kDeleted };

// The folder a Status belongs to; nullopt for purged and unknown values.
std::optional<MailFolder> FolderOf(std::int32_t status);
bool InFolder(MailFolder folder, std::int32_t status);
// Messages of the folder in the index.
int FolderCount(const TUserEmailDB& index, MailFolder folder);

// Status of a message moved to Saved: read, replied and forwarded are kept (0..3 become
// 7..10), anything else becomes saved and read.
std::int32_t SavedStatus(std::int32_t status);
// Status of a message once opened: unread becomes read, in the Inbox and in Saved.
std::int32_t OpenedStatus(std::int32_t status);

// Whether a message file name is one the program generates: letters and digits and
// ".eml", no path part. Only such files are ever deleted.
bool IsGeneratedMessageName(std::string_view file_name);

// A message as a page showed it: its index number and the file its record named then.
struct ShownMessage {
  int index = 0;
  std::string file_name;
};

// A message a move changed, with its Status before and after (what an undo needs).
struct MovedMessage {
  ShownMessage message;
  std::int32_t from = 0;
  std::int32_t to = 0;
};

// For each shown message whose record still names its file and is in `folder` (any
// folder when nullopt; never a purged record), sets Status to new_status(old Status). One
// save for all. Returns the index numbers skipped, in the order given; `moved`, when
// given, receives the messages changed. Throws when the index cannot be opened or saved.
std::vector<int> MoveMessages(TUserSession& state, std::optional<MailFolder> folder,
                              std::span<const ShownMessage> messages,
                              const std::function<std::int32_t(std::int32_t)>& new_status,
                              std::vector<MovedMessage>* moved = nullptr);

// Undoes a move: each message whose record still names its file and still has the Status
// the move gave it gets its Status from before back; one that was changed again since
// (moved on, opened, purged) stays as it is. Returns how many were put back.
int RestoreMessages(TUserSession& state, std::span<const MovedMessage> moved);

// Deletes each shown message still in Deleted for good: Status 99 and one save, then its
// message file is removed when the name is a generated one inside the store and no other
// live record names it (a file already gone is no error). Returns the skipped numbers.
std::vector<int> PurgeMessages(TUserSession& state, std::span<const ShownMessage> messages);

// Delete from the view page: a message in Deleted is purged, any other goes to Deleted.
enum class DeleteOutcome { kMovedToDeleted, kPurged, kNotFound };
DeleteOutcome DeleteMessage(TUserSession& state, const ShownMessage& message);

// Marks a shown message opened (OpenedStatus), writing the index only when the Status
// changes. Returns the record as it now stands; nullopt when the record no longer names
// that file or is purged.
std::optional<TEmailRecord> OpenMessage(TUserSession& state, const ShownMessage& message);

// The record of a shown message as it is now, unchanged; nullopt when the record no
// longer names that file or was purged.
std::optional<TEmailRecord> ShownRecord(TUserSession& state, const ShownMessage& message);

// The shown message of record `index` as the session's index holds it now (file name
// filled in); nullopt when there is no such live record.
std::optional<ShownMessage> CurrentMessage(TUserSession& state, int index);

}  // namespace kestrune
