// The batch writer: documents are built as messages are stored (outside any lock) and
// written in one commit.
#include "search/mail_index_writer.h"

#include <chrono>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "mail/id_message.h"
#include "search/index_database.h"
#include "search/index_files.h"
#include "store/mail_store_paths.h"

namespace kestrune {

namespace {

// How long a storer waits for another writer (a rebuild runs for minutes) before it
// leaves its messages on the pending list.
constexpr std::chrono::milliseconds kLockWait{2000};
// Documents held before they are written without waiting for Flush.
constexpr std::size_t kMaxBatch = 200;

}  // namespace

bool MessageIndexingEnabled() {
  const char* value = std::getenv("KESTRUNE_SEARCH_INDEX");
  return value == nullptr || std::string_view(value) != "off";
}

struct MailIndexWriter::Batch {
  PendingDocuments documents;
};

MailIndexWriter::MailIndexWriter(std::filesystem::path store)
    : store_(std::move(store)), batch_(std::make_unique<Batch>()) {}

MailIndexWriter::~MailIndexWriter() = default;

void MailIndexWriter::Add(std::string_view file_name, const TIdMessage& message) {
  if (!MessageIndexingEnabled() || !IsPlainStoreFileName(file_name)) return;
  try {
    batch_->documents.emplace_back(std::string(file_name),
                                   MessageDocument(file_name, TextOfMessage(message)));
  } catch (...) {  // Xapian::Error, bad_alloc: left for the next rebuild
    return;
  }
  if (batch_->documents.size() >= kMaxBatch) Flush();
}

void MailIndexWriter::AddFile(std::string_view file_name) {
  if (!MessageIndexingEnabled() || !IsPlainStoreFileName(file_name)) return;
  try {
    batch_->documents.emplace_back(
        std::string(file_name),
        MessageDocument(file_name, TextOfMessageFile(store_ / std::string(file_name))));
  } catch (...) {
    return;
  }
  if (batch_->documents.size() >= kMaxBatch) Flush();
}

bool MailIndexWriter::Flush() {
  if (batch_->documents.empty()) return true;
  PendingDocuments documents = std::exchange(batch_->documents, {});
  try {
    const auto lock = SearchIndexLock::Take(store_, kLockWait);
    if (!lock) {
      std::vector<std::string> names;
      for (const auto& entry : documents) names.push_back(entry.first);
      AppendPendingNames(store_, names);
      return true;
    }
    return AddToIndex(store_, documents);
  } catch (...) {
    MarkIndexStale(store_);
    return false;
  }
}

}  // namespace kestrune
