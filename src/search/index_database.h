// The Xapian side of the full-text index, for the search layer's own files only (it
// includes <xapian.h>): the document of one message, the check whether a store's index
// can be used, and the writes done while holding the index lock.
#pragma once

#include <xapian.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "search/message_text.h"

namespace kestrune {

// Changed whenever the documents' layout changes: an index of another version is
// built again.
inline constexpr const char* kSearchSchemaKey = "kestrune.schema";
inline constexpr const char* kSearchSchemaVersion = "1";

// Bytes of text kept with a document for the snippet shown with a hit.
inline constexpr std::size_t kSnippetSourceBytes = 800;

// The unique term naming a message file.
std::string FileNameTerm(std::string_view file_name);

// A message's document: its words (no stemming: mail comes in every language, and a
// word found means the word typed) and, as data, its file name, then its subject and the
// start of its body.
Xapian::Document MessageDocument(std::string_view file_name, const MessageText& text);

struct DocumentData {
  std::string_view file_name;
  std::string_view text;  // for the snippet
};
DocumentData SplitDocumentData(std::string_view data);

// A store's index as it stands.
enum class IndexCondition { kReady, kMissing, kUnusable };
IndexCondition CheckIndex(const std::filesystem::path& store);

// Under the index lock: adds the files of the pending list, less those in `done`, to
// database (not committed); the length of the list read, for ForgetPendingNames once
// committed.
std::uint64_t AddPendingMessages(Xapian::WritableDatabase& database,
                                 const std::filesystem::path& store,
                                 const std::unordered_set<std::string>& done);

// Adds the pending list's messages to the index when no other writer holds it and the
// index is usable; for a reader that finds the list not empty. Never throws.
void IndexPendingMessages(const std::filesystem::path& store);

// Under the index lock: builds the index from the store's ".eml" files into
// "Search.build", compacts it into "Search.new" and renames that into place. The number
// of messages indexed; -1 when it could not be written or *stop turned true (nothing of
// it is then in use).
long BuildIndex(const std::filesystem::path& store, const std::atomic<bool>* stop);

}  // namespace kestrune
