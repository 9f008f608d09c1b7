// What the find page lists: the records of a user's message index that match the three
// typed criteria (recipient, sender, subject: a criterion's text found anywhere in the
// field, ASCII letter case ignored) or whose message the full-text index finds for the
// "Text" criterion. Only index records are read; the full-text index only names files,
// which are joined with the records as they are now.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "search/mail_search.h"
#include "store/email_db.h"

namespace kestrune {

struct FindCriteria {
  std::string To;       // matched against Recipient
  std::string From;     // Sender
  std::string Subject;  // Subject
  std::string Text;     // words of the whole message, through the full-text index

  bool Empty() const { return To.empty() && From.empty() && Subject.empty() && Text.empty(); }
};

// Whether a record matches at least one non-empty criterion of To, From and Subject. A
// purged record never matches; with the three empty nothing matches.
bool MatchesFindCriteria(const TEmailRecord& record, const FindCriteria& criteria);

// The index numbers of the records that match To, From or Subject, in index order.
std::vector<int> FindMessageNumbers(const TUserEmailDB& index, const FindCriteria& criteria);

struct FoundMessage {
  int Index = 0;
  TEmailRecord Record;
  std::string Snippet;  // text around the matching words (plain text) for a Text match
};

struct FindResult {
  std::vector<FoundMessage> Messages;
  bool TextFailed = false;  // the full-text index could not be searched
  std::string TextError;    // why, for the log
};

// The most messages a Text search asks the full-text index for.
inline constexpr std::size_t kMaxTextHits = 500;

// Every record matching any non-empty criterion. Without Text in index order (oldest
// first); with Text newest first. A Text hit whose file no live record names (purged,
// or gone from the index) is not listed; a moved message is listed with its record as
// it is now. When the full-text index fails, the other criteria still list theirs.
FindResult FindMessages(const TUserEmailDB& index, const std::filesystem::path& store_dir,
                        const FindCriteria& criteria);

// The full-text search FindMessages asks (SearchMailStore, or a stand-in in tests).
using TextSearcher = std::function<TextSearchResult(const std::filesystem::path& store_dir,
                                                    std::string_view words, std::size_t max_hits)>;
FindResult FindMessages(const TUserEmailDB& index, const std::filesystem::path& store_dir,
                        const FindCriteria& criteria, const TextSearcher& search_text);

// A snippet cut to at most max_bytes at a character boundary, with "..." when cut, and
// every run of white space or control characters made one blank.
std::string ShortSnippet(std::string_view snippet, std::size_t max_bytes);

}  // namespace kestrune
