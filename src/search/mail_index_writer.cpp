// The writer's worker: a thread that takes the index lock, opens the index once and
// adds each queued message, then commits when the storer flushes.
#include "search/mail_index_writer.h"

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "mail/id_message.h"
#include "search/index_database.h"
#include "search/index_files.h"
#include "store/mail_store_paths.h"

namespace kestrune {

namespace fs = std::filesystem;

// Messages waiting for the worker before a storer waits for it: bounds the memory a
// storer faster than the indexing can take.
constexpr std::size_t kMaxQueued = 256;

struct IndexQueueEntry {
  std::string file_name;
  std::optional<MessageText> text;  // none: read the file
};

bool MessageIndexingEnabled() {
  const char* value = std::getenv("KESTRUNE_SEARCH_INDEX");
  return value == nullptr || std::string_view(value) != "off";
}

class MailIndexWriter::Worker {
 public:
  // journaled: the storer notes each message in the pending list as it queues it.
  Worker(fs::path store, std::chrono::milliseconds lock_wait, bool journaled)
      : store_(std::move(store)),
        lock_wait_(lock_wait),
        journaled_(journaled),
        thread_([this] { Run(); }) {}

  void Push(IndexQueueEntry message) {
    std::unique_lock lock(mutex_);
    room_.wait(lock, [&] { return queue_.size() < kMaxQueued; });
    queue_.push_back(std::move(message));
    work_.notify_one();
  }

  // Ends the worker after its queue; its result.
  bool Finish() {
    {
      std::lock_guard lock(mutex_);
      finishing_ = true;
      work_.notify_one();
    }
    thread_.join();
    return ok_;
  }

 private:
  // The next message, or nullopt once the queue is empty and Finish was called.
  std::optional<IndexQueueEntry> Next() {
    std::unique_lock lock(mutex_);
    work_.wait(lock, [&] { return !queue_.empty() || finishing_; });
    if (queue_.empty()) return std::nullopt;
    IndexQueueEntry message = std::move(queue_.front());
    queue_.pop_front();
    room_.notify_one();
    return message;
  }

  Xapian::Document DocumentOf(const IndexQueueEntry& message) {
    return MessageDocument(message.file_name, message.text
                                                  ? *message.text
                                                  : TextOfMessageFile(store_ / message.file_name));
  }

  void Run() {
    std::optional<IndexQueueEntry> message = Next();
    if (!message) return;
    std::optional<SearchIndexLock> held;
    try {
      held = SearchIndexLock::Take(store_, lock_wait_);
    } catch (...) {
    }
    if (!held) {
      // Another writer keeps the index: it adds the names from the journal.
      if (!journaled_) NotePending(std::move(*message));
      while (Next()) {
      }
      return;
    }
    if (CheckIndex(store_) != IndexCondition::kReady) {
      // The next search builds the index, with these messages.
      ok_ = false;
      while (Next()) {
      }
      return;
    }
    try {
      Xapian::WritableDatabase database((store_ / search_files::kIndex).string(), Xapian::DB_OPEN);
      std::unordered_set<std::string> indexed;
      for (; message; message = Next()) {
        try {
          database.replace_document(FileNameTerm(message->file_name), DocumentOf(*message));
        } catch (const std::exception&) {
          // the file is gone or unreadable: nothing to find
        }
        indexed.insert(std::move(message->file_name));
      }
      // The journal of this writer's messages, and what others noted meanwhile.
      const std::uint64_t bytes = AddPendingMessages(database, store_, indexed);
      {
        const IndexVersionLock version(store_, IndexVersionLock::Use::kChange);
        database.commit();
      }
      ForgetPendingNames(store_, bytes);
    } catch (...) {  // Xapian::Error is no std::exception
      ok_ = false;
      MarkIndexStale(store_);
      while (Next()) {
      }
    }
  }

  void NotePending(IndexQueueEntry first) {
    std::vector<std::string> names{std::move(first.file_name)};
    while (std::optional<IndexQueueEntry> message = Next()) names.push_back(message->file_name);
    try {
      AppendPendingNames(store_, names);
    } catch (...) {
      ok_ = false;
      MarkIndexStale(store_);
    }
  }

  const fs::path store_;
  const std::chrono::milliseconds lock_wait_;
  const bool journaled_;
  bool ok_ = true;  // written by the worker, read after the join

  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable room_;
  std::deque<IndexQueueEntry> queue_;  // guarded by mutex_
  bool finishing_ = false;             // guarded by mutex_

  std::thread thread_;  // last: starts when the rest is ready
};

MailIndexWriter::MailIndexWriter(fs::path store, std::chrono::milliseconds lock_wait)
    : store_(std::move(store)), lock_wait_(lock_wait) {}

MailIndexWriter::~MailIndexWriter() { Flush(); }

void MailIndexWriter::Add(std::string_view file_name, const TIdMessage& message) {
  if (!MessageIndexingEnabled() || !IsPlainStoreFileName(file_name)) return;
  try {
    Queue({std::string(file_name), TextOfMessage(message)});
  } catch (...) {  // bad_alloc: left for the next rebuild
  }
}

void MailIndexWriter::AddFile(std::string_view file_name) {
  if (!MessageIndexingEnabled() || !IsPlainStoreFileName(file_name)) return;
  try {
    Queue({std::string(file_name), std::nullopt});
  } catch (...) {
  }
}

// The message is noted in the pending list before the commit (by Journal, which the storer
// calls before it saves the message index): a storer killed before the commit leaves the
// names there for the next writer (or reader) to add. A store
// without an index keeps no list: its first search builds the index from the files.
void MailIndexWriter::Queue(IndexQueueEntry message) {
  if (!worker_) {
    std::error_code error;
    journaled_ = fs::exists(store_ / search_files::kIndex, error);
    worker_ = std::make_unique<Worker>(store_, lock_wait_, journaled_);
  }
  if (journaled_) unjournaled_.push_back(message.file_name);
  worker_->Push(std::move(message));
}

void MailIndexWriter::Journal() {
  if (unjournaled_.empty()) return;
  try {
    AppendPendingNames(store_, unjournaled_);
  } catch (const std::exception&) {
    // indexed all the same, unless this run is killed
  }
  unjournaled_.clear();
}

bool MailIndexWriter::Flush() {
  Journal();
  if (!worker_) return true;
  const bool ok = worker_->Finish();
  worker_.reset();
  return ok;
}

}  // namespace kestrune
