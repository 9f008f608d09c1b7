// The full-text index of one mail store: the words of every stored message (subject,
// addresses, the text of its text parts, attachment names), kept in the store's
// "Search" folder and keyed by the message's file name. The index is never the source
// of truth: a caller joins the file names it returns with the current index records of
// Emails.Dat, which say where a message is now and whether it still exists.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

// One message whose words match a query.
struct TextSearchHit {
  std::string FileName;  // base name + ".eml" within the mail store
  std::string Snippet;   // a short piece of plain text around the matching words (not escaped)
};

struct TextSearchResult {
  std::vector<TextSearchHit> Hits;  // at most the number asked for
  bool Ok = true;                   // false when the index could not be read or built
  std::string Error;                // why, for the log (empty when Ok)
};

// Adds a stored message file to its store's index, replacing an older document of that
// file name. Called by whoever stored the file while it holds the store's mail-store
// lock. Returns false (and leaves the message unindexed, to be found by the next
// rebuild) when the index cannot be written; storing the message never fails for it.
bool IndexStoredMessage(const std::filesystem::path& store_dir, std::string_view file_name);

// The messages whose words match every word of `words` (a user's typed text), at most
// `max_hits` of them. Builds the index from the store's ".eml" files first when it is
// missing, damaged or of an older layout.
TextSearchResult SearchMailStore(const std::filesystem::path& store_dir, std::string_view words,
                                 std::size_t max_hits);

// Builds the store's index again from its ".eml" files; the number of messages indexed,
// or -1 when the index could not be written.
long RebuildMailStoreIndex(const std::filesystem::path& store_dir);

}  // namespace kestrune
