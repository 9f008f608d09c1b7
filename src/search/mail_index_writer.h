// Adding stored messages to their store's full-text index in batches: a fetch that
// stores a hundred messages opens and commits the index once, not a hundred times.
#pragma once

#include <filesystem>
#include <memory>
#include <string_view>

namespace kestrune {

class TIdMessage;

// Whether stored messages are indexed at all: on, unless the environment sets
// KESTRUNE_SEARCH_INDEX=off (for measuring what indexing costs a fetch).
bool MessageIndexingEnabled();

// Collects the documents of messages stored into one mail store and writes them under
// the store's index lock. Used by one thread. Nothing here throws, and no failure is
// the storing's: a message that cannot be indexed is found by the next rebuild.
class MailIndexWriter {
 public:
  explicit MailIndexWriter(std::filesystem::path store);
  ~MailIndexWriter();  // what was not flushed stays unindexed
  MailIndexWriter(const MailIndexWriter&) = delete;
  MailIndexWriter& operator=(const MailIndexWriter&) = delete;

  // A message stored as file_name, already decoded (as the storer holds it).
  void Add(std::string_view file_name, const TIdMessage& message);
  // A message file of the store, read from disk.
  void AddFile(std::string_view file_name);

  // Writes what was added. When another writer keeps the index for longer than a
  // moment, the names are noted for it to add instead. False when the messages were
  // left for the next rebuild (no usable index, or it could not be written).
  bool Flush();

 private:
  struct Batch;
  std::filesystem::path store_;
  std::unique_ptr<Batch> batch_;
};

}  // namespace kestrune
