// Writing the index: a document per message file, keyed by a unique boolean term, and
// the rebuild into a fresh directory that replaces the old index only once whole.
#include "search/index_database.h"

#include <chrono>
#include <system_error>

#include "search/index_files.h"
#include "store/mail_store_paths.h"

namespace kestrune {

namespace fs = std::filesystem;

namespace {

// Runs of blanks as one space, cut at a character boundary near max_bytes.
std::string CompactText(std::string_view text, std::size_t max_bytes) {
  std::string out;
  bool blank = false;
  for (const char c : text) {
    const bool is_blank = c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f';
    if (is_blank) {
      blank = !out.empty();
      continue;
    }
    if (out.size() >= max_bytes) break;
    if (blank) out += ' ';
    blank = false;
    out += c;
  }
  if (out.size() > max_bytes) {
    std::size_t cut = max_bytes;
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut);
  }
  return out;
}

Xapian::Document DocumentOfFile(const fs::path& store, const std::string& name) {
  return MessageDocument(name, TextOfMessageFile(store / name));
}

bool IsMessageFileName(const std::string& name) {
  return name.size() > 4 && name.ends_with(".eml") && IsPlainStoreFileName(name);
}

}  // namespace

std::string FileNameTerm(std::string_view file_name) { return "Q" + std::string(file_name); }

Xapian::Document MessageDocument(std::string_view file_name, const MessageText& text) {
  Xapian::Document document;
  Xapian::TermGenerator words;
  words.set_document(document);
  // Without positions: a query is an AND of words, and the index stays about half the
  // size.
  words.index_text_without_positions(text.subject);
  words.index_text_without_positions(text.addresses);
  words.index_text_without_positions(text.attachments);
  words.index_text_without_positions(text.body);
  document.add_boolean_term(FileNameTerm(file_name));
  std::string data(file_name);
  data += '\n';
  data += CompactText(text.subject, 300);
  data += '\n';
  data += CompactText(text.body, kSnippetSourceBytes);
  document.set_data(data);
  return document;
}

DocumentData SplitDocumentData(std::string_view data) {
  const std::size_t end = data.find('\n');
  if (end == std::string_view::npos) return {data, {}};
  return {data.substr(0, end), data.substr(end + 1)};
}

IndexCondition CheckIndex(const fs::path& store) {
  std::error_code error;
  if (fs::exists(store / search_files::kStale, error)) return IndexCondition::kUnusable;
  const IndexVersionLock version(store, IndexVersionLock::Use::kRead);
  if (!fs::exists(store / search_files::kIndex, error)) return IndexCondition::kMissing;
  try {
    const Xapian::Database database((store / search_files::kIndex).string());
    if (database.get_metadata(kSearchSchemaKey) != kSearchSchemaVersion) {
      return IndexCondition::kUnusable;
    }
    return IndexCondition::kReady;
  } catch (const Xapian::Error&) {
    return IndexCondition::kUnusable;
  }
}

std::uint64_t AddPendingMessages(Xapian::WritableDatabase& database, const fs::path& store,
                                 const std::unordered_set<std::string>& done) {
  const PendingNames pending = ReadPendingNames(store);
  for (const std::string& name : pending.names) {
    if (done.contains(name)) continue;
    try {
      database.replace_document(FileNameTerm(name), DocumentOfFile(store, name));
    } catch (const std::exception&) {
      // removed meanwhile: nothing to find
    }
  }
  return pending.bytes;
}

void IndexPendingMessages(const fs::path& store) {
  try {
    const auto held = SearchIndexLock::Take(store, std::chrono::milliseconds(0));
    if (!held || CheckIndex(store) != IndexCondition::kReady) return;
    Xapian::WritableDatabase database((store / search_files::kIndex).string(), Xapian::DB_OPEN);
    const std::uint64_t bytes = AddPendingMessages(database, store, {});
    {
      const IndexVersionLock version(store, IndexVersionLock::Use::kChange);
      database.commit();
    }
    ForgetPendingNames(store, bytes);
  } catch (...) {  // the next writer tries again
  }
}

long BuildIndex(const fs::path& store, const std::atomic<bool>* stop) {
  const fs::path building = store / search_files::kBuilding;
  const fs::path raw = store / search_files::kRaw;
  const fs::path index = store / search_files::kIndex;
  const fs::path replaced = store / search_files::kReplaced;
  std::error_code error;
  fs::remove_all(raw, error);
  fs::remove_all(building, error);
  fs::remove_all(replaced, error);
  fs::remove(store / search_files::kStale, error);
  long count = 0;
  std::unordered_set<std::string> listed;
  std::uint64_t pending_bytes = 0;
  try {
    // The pending list is emptied first: the listing below holds its files.
    ForgetPendingNames(store, static_cast<std::uint64_t>(-1));
    Xapian::WritableDatabase database(raw.string(),
                                      Xapian::DB_CREATE_OR_OVERWRITE | Xapian::DB_BACKEND_GLASS);
    fs::directory_iterator it(store, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
      if (stop != nullptr && stop->load())
        throw std::system_error(ECANCELED, std::generic_category());
      const std::string name = it->path().filename().string();
      if (!IsMessageFileName(name)) continue;
      std::error_code kind_error;
      if (!it->is_regular_file(kind_error)) continue;
      try {
        // A fresh index and names from one listing: nothing to replace.
        database.add_document(DocumentOfFile(store, name));
        listed.insert(name);
        ++count;
      } catch (const std::exception&) {
        // removed meanwhile, or unreadable: not indexed
      }
    }
    if (error) throw std::system_error(error);
    // Messages stored meanwhile by writers that found the index busy.
    pending_bytes = AddPendingMessages(database, store, listed);
    database.set_metadata(kSearchSchemaKey, kSearchSchemaVersion);
    database.commit();
    database.close();
    // Written in document order, the tables' blocks are half full; compacted the index
    // is about a third smaller, for a fraction of the build's time.
    Xapian::Database(raw.string()).compact(building.string());
    fs::remove_all(raw, error);
  } catch (...) {  // Xapian::Error is no std::exception
    fs::remove_all(raw, error);
    fs::remove_all(building, error);
    return -1;
  }
  // Readers open "Search" anew for every query, under the version lock: they find the
  // old index or the new one, never none.
  {
    const IndexVersionLock version(store, IndexVersionLock::Use::kChange);
    if (fs::exists(index, error)) fs::rename(index, replaced, error);
    if (!error) fs::rename(building, index, error);
  }
  if (error) {
    fs::remove_all(building, error);
    return -1;
  }
  fs::remove_all(replaced, error);
  try {
    ForgetPendingNames(store, pending_bytes);
  } catch (const std::exception&) {
    // they are indexed again by the next writer
  }
  return count;
}

}  // namespace kestrune
