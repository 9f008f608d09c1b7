// Searching a store's index, and the entry points that write it. A query is the AND of
// the words the user typed, split into terms exactly as message text is, so whatever
// was indexed can be found by typing it; no query syntax is read, so no typed text can
// make a query expensive or fail to parse.
#include "search/mail_search.h"

#include <algorithm>
#include <chrono>
#include <set>

#include "search/index_database.h"
#include "search/index_files.h"
#include "search/index_rebuilds.h"
#include "search/mail_index_writer.h"
#include "store/mail_store_paths.h"

namespace kestrune {

namespace fs = std::filesystem;

namespace {

// Typed text beyond this is not read: a query has at most a few thousand words, each
// one lookup.
constexpr std::size_t kMaxQueryBytes = 4096;
// How long a search waits for a rebuild it started before it answers "try again".
constexpr std::chrono::milliseconds kRebuildWait{5000};
constexpr std::size_t kSnippetLength = 200;
// How long one stored message (a page's save) waits for a writer that keeps the index
// before it is left on the pending list for that writer.
constexpr std::chrono::milliseconds kStoreLockWait{250};
// Readers keep writers from committing meanwhile (IndexVersionLock); should a writer
// still overtake one (a store whose lock file cannot be opened), it reopens the index
// and runs the query again.
constexpr int kReadAttempts = 10;

std::vector<std::string> QueryTerms(std::string_view words) {
  words = words.substr(0, kMaxQueryBytes);
  Xapian::Document scratch;
  Xapian::TermGenerator generator;
  generator.set_document(scratch);
  generator.index_text_without_positions(std::string(words));
  std::vector<std::string> terms;
  for (auto it = scratch.termlist_begin(); it != scratch.termlist_end(); ++it) {
    terms.push_back(*it);
  }
  return terms;
}

bool IsWordByte(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 0x80 || (byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z') ||
         (byte >= 'A' && byte <= 'Z');
}

// Where a term first stands as a whole word in lower (ASCII letters lower-cased), else
// npos. A word with capitals beyond ASCII is not found here; its snippet then starts
// with the text.
std::size_t FirstMatch(std::string_view lower, const std::vector<std::string>& terms) {
  std::size_t first = std::string_view::npos;
  for (const std::string& term : terms) {
    for (std::size_t at = lower.find(term); at != std::string_view::npos && at < first;
         at = lower.find(term, at + 1)) {
      const std::size_t end = at + term.size();
      if ((at == 0 || !IsWordByte(lower[at - 1])) &&
          (end == lower.size() || !IsWordByte(lower[end]))) {
        first = at;
        break;
      }
    }
  }
  return first;
}

// A piece of the stored text (subject, then the start of the body) around the first
// matching word: whole words, whole UTF-8 characters, "…" where text was left out.
// Made here rather than by Xapian's snippet, which weighs every word of every hit and
// cost more than the query itself at a thousand hits.
std::string Snippet(std::string_view text, const std::vector<std::string>& terms) {
  constexpr std::size_t kLead = 60;  // bytes shown before the word
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  std::size_t start = 0;
  const std::size_t match = FirstMatch(lower, terms);
  if (match != std::string_view::npos && match > kLead) {
    start = match - kLead;
    const std::size_t blank = text.find_first_of(" \n", start);
    start = blank != std::string_view::npos && blank < match ? blank + 1 : match;
  }
  std::size_t end = std::min(text.size(), start + kSnippetLength);
  if (end < text.size()) {
    const std::size_t blank = text.find_last_of(" \n", end);
    if (blank != std::string_view::npos && blank > start) end = blank;
    while (end > start && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  }
  std::string snippet = start > 0 ? "…" : "";
  for (const char c : text.substr(start, end - start)) snippet += c == '\n' ? ' ' : c;
  if (end < text.size()) snippet += "…";
  return snippet;
}

TextSearchResult RunQuery(const fs::path& store, const std::vector<std::string>& terms,
                          std::size_t max_hits) {
  const IndexVersionLock version(store, IndexVersionLock::Use::kRead);
  Xapian::Database database((store / search_files::kIndex).string());
  const Xapian::Query query(Xapian::Query::OP_AND, terms.begin(), terms.end());
  for (int attempt = 1;; ++attempt) {
    try {
      Xapian::Enquire enquire(database);
      enquire.set_query(query);
      const Xapian::MSet hits = enquire.get_mset(
          0, static_cast<Xapian::doccount>(std::min<std::size_t>(max_hits, 100000)));
      TextSearchResult result;
      for (auto it = hits.begin(); it != hits.end(); ++it) {
        const std::string data = it.get_document().get_data();
        const DocumentData parts = SplitDocumentData(data);
        if (!IsPlainStoreFileName(parts.file_name)) continue;
        // A message whose file was deleted keeps its document until the next rebuild.
        std::error_code missing;
        if (!fs::exists(store / std::string(parts.file_name), missing)) continue;
        result.Hits.push_back({std::string(parts.file_name), Snippet(parts.text, terms)});
      }
      return result;
    } catch (const Xapian::DatabaseModifiedError&) {
      if (attempt == kReadAttempts) throw;
      database.reopen();
    }
  }
}

}  // namespace

bool IndexStoredMessage(const fs::path& store_dir, std::string_view file_name) {
  if (!MessageIndexingEnabled() || !IsPlainStoreFileName(file_name)) return false;
  MailIndexWriter writer(store_dir, kStoreLockWait);
  writer.AddFile(file_name);
  return writer.Flush();
}

TextSearchResult SearchMailStore(const fs::path& store_dir, std::string_view words,
                                 std::size_t max_hits) {
  try {
    const std::vector<std::string> terms = QueryTerms(words);
    if (terms.empty() || max_hits == 0) return {};
    std::error_code error;
    if (!fs::is_directory(store_dir, error)) return {};  // nothing stored yet
    if (CheckIndex(store_dir) != IndexCondition::kReady) {
      if (!RebuildInBackground(store_dir, kRebuildWait)) {
        return {{}, false, "the search index is being built"};
      }
      if (CheckIndex(store_dir) != IndexCondition::kReady) {
        return {{}, false, "the search index could not be built"};
      }
    }
    // Messages a killed storer left unindexed, or that a busy index turned away.
    if (fs::file_size(store_dir / search_files::kPending, error) > 0 && !error) {
      IndexPendingMessages(store_dir);
    }
    return RunQuery(store_dir, terms, max_hits);
  } catch (const Xapian::Error& e) {
    return {{}, false, "the search index cannot be read: " + e.get_description()};
  } catch (const std::exception& e) {
    return {{}, false, std::string("the search failed: ") + e.what()};
  }
}

long RebuildMailStoreIndex(const fs::path& store_dir) {
  try {
    const auto lock = SearchIndexLock::Take(store_dir, std::chrono::minutes(10));
    if (!lock) return -1;
    return BuildIndex(store_dir, nullptr);
  } catch (...) {
    return -1;
  }
}

}  // namespace kestrune
