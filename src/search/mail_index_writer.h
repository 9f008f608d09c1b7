// Adding stored messages to their store's full-text index while they are stored: a
// worker thread turns each message into a document and adds it, so the indexing runs
// while the storer waits on its server and disk, and a run of many messages is one
// commit.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

class TIdMessage;
struct IndexQueueEntry;

// Whether stored messages are indexed at all: on, unless the environment sets
// KESTRUNE_SEARCH_INDEX=off (for measuring what indexing costs a fetch).
bool MessageIndexingEnabled();

// Collects the messages stored into one mail store and writes them under the store's
// index lock, which its worker holds from the first message to Flush. Used by one
// thread. Nothing here throws, and no failure is the storing's: a message that cannot
// be indexed is found by the next rebuild.
class MailIndexWriter {
 public:
  // lock_wait: how long the worker waits for another writer (a rebuild runs for
  // minutes) before it leaves its messages on the pending list for that writer.
  explicit MailIndexWriter(std::filesystem::path store,
                           std::chrono::milliseconds lock_wait = std::chrono::seconds(2));
  ~MailIndexWriter();  // flushes
  MailIndexWriter(const MailIndexWriter&) = delete;
  MailIndexWriter& operator=(const MailIndexWriter&) = delete;

  // A message stored as file_name, already decoded (as the storer holds it).
  void Add(std::string_view file_name, const TIdMessage& message);
  // A message file of the store, read from disk.
  void AddFile(std::string_view file_name);

  // Notes the messages added since the last call in the index's pending list, in one
  // write: call it before the message index that lists them is saved, so that a run
  // killed before Flush leaves them for the next writer.
  void Journal();
  // Commits what was added (noting them first) and releases the index. True when it is in the index
  // or noted for the writer that keeps the index busy; false when the messages were left for the
  // next rebuild (no usable index, or it could not be written).
  bool Flush();

 private:
  class Worker;
  void Queue(IndexQueueEntry message);

  std::filesystem::path store_;
  std::chrono::milliseconds lock_wait_;
  bool journaled_ = false;
  std::vector<std::string> unjournaled_;  // added, not yet in the pending list
  std::unique_ptr<Worker> worker_;
};

}  // namespace kestrune
