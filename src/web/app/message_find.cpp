// The find page's search over one message index: one scan of the records for the typed
// criteria, and the join of the full-text index's file names with the live records.
#include "web/app/message_find.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <unordered_map>
#include <utility>

#include "platform/ascii.h"

namespace kestrune {
namespace {

// A non-empty criterion, upper-cased (ASCII letters only), found in the field upper-cased
// the same way. The scan looks for the criterion's first byte in either case before
// comparing the rest: a render runs it over every record of the index.
bool Occurs(std::string_view upper, std::string_view field) {
  if (upper.empty() || upper.size() > field.size()) return false;
  const char first = upper.front();
  const char first_lower = AsciiLowerChar(first);
  const std::size_t last = field.size() - upper.size();
  for (std::size_t i = 0; i <= last; ++i) {
    if (field[i] != first && field[i] != first_lower) continue;
    std::size_t k = 1;
    while (k < upper.size() && AsciiUpperChar(field[i + k]) == upper[k]) ++k;
    if (k == upper.size()) return true;
  }
  return false;
}

// The three typed criteria upper-cased once for a whole scan.
struct UpperCriteria {
  explicit UpperCriteria(const FindCriteria& criteria)
      : to(AsciiUpper(criteria.To)),
        from(AsciiUpper(criteria.From)),
        subject(AsciiUpper(criteria.Subject)) {}
  bool Empty() const { return to.empty() && from.empty() && subject.empty(); }
  bool Match(const TEmailRecord& record) const {
    return record.Status != email_status::kPurged &&
           (Occurs(to, record.Recipient) || Occurs(from, record.Sender) ||
            Occurs(subject, record.Subject));
  }
  std::string to, from, subject;
};

}  // namespace

bool MatchesFindCriteria(const TEmailRecord& record, const FindCriteria& criteria) {
  return UpperCriteria(criteria).Match(record);
}

std::vector<int> FindMessageNumbers(const TUserEmailDB& index, const FindCriteria& criteria) {
  std::vector<int> numbers;
  const UpperCriteria upper(criteria);
  if (upper.Empty()) return numbers;
  const int count = index.GetCount();
  TEmailRecord record;
  for (int n = 1; n <= count; ++n) {
    const std::optional<std::int32_t> status = index.GetStatus(n);
    if (!status || *status == email_status::kPurged) continue;
    if (index.GetEmail(n, record) && upper.Match(record)) numbers.push_back(n);
  }
  return numbers;
}

FindResult FindMessages(const TUserEmailDB& index, const std::filesystem::path& store_dir,
                        const FindCriteria& criteria) {
  return FindMessages(index, store_dir, criteria, SearchMailStore);
}

FindResult FindMessages(const TUserEmailDB& index, const std::filesystem::path& store_dir,
                        const FindCriteria& criteria, const TextSearcher& search_text) {
  FindResult result;
  const UpperCriteria upper(criteria);
  const bool typed = !upper.Empty();
  const std::string_view words = TrimBlanks(criteria.Text);
  std::unordered_map<std::string, std::string> text_hits;  // file name -> snippet
  if (!words.empty()) {
    TextSearchResult found;
    try {
      found = search_text(store_dir, words, kMaxTextHits);
    } catch (const std::exception& error) {  // a damaged index must not take the page down
      found.Ok = false;
      found.Error = error.what();
    }
    if (!found.Ok) {
      result.TextFailed = true;
      result.TextError = found.Error.empty() ? "the full-text index cannot be read" : found.Error;
    } else {
      for (TextSearchHit& hit : found.Hits) {
        text_hits.emplace(std::move(hit.FileName), std::move(hit.Snippet));
      }
    }
  }
  if (!typed && text_hits.empty()) return result;

  const int count = index.GetCount();
  TEmailRecord record;
  for (int n = 1; n <= count; ++n) {
    const std::optional<std::int32_t> status = index.GetStatus(n);
    if (!status || *status == email_status::kPurged) continue;
    if (!index.GetEmail(n, record)) continue;
    const auto hit = text_hits.empty() ? text_hits.end() : text_hits.find(record.FileName);
    if (hit == text_hits.end() && !(typed && upper.Match(record))) continue;
    FoundMessage& found = result.Messages.emplace_back();
    found.Index = n;
    found.Record = record;
    if (hit != text_hits.end()) found.Snippet = hit->second;
  }
  if (!words.empty()) std::reverse(result.Messages.begin(), result.Messages.end());
  return result;
}

std::string ShortSnippet(std::string_view snippet, std::size_t max_bytes) {
  std::string out;
  bool blank = false;
  for (char c : snippet) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F) {
      blank = !out.empty();
      continue;
    }
    if (blank) out += ' ';
    blank = false;
    out += c;
  }
  if (out.size() <= max_bytes) return out;
  std::size_t cut = max_bytes;
  while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
  out.resize(cut);
  return out + "...";
}

}  // namespace kestrune
