// The full-text index at 10,000 and 100,000 messages of about 4 KB (every sixth with an
// attachment, every tenth an HTML alternative): the rebuild's time per message, the
// index's size against the store's, and the server time of a body-word query (goals:
// under 20 ms at 10,000 messages, under 100 ms at 100,000).
// The text follows a Zipf law over 30,000 made-up words, so a word's rank sets how many
// messages hold it: rank 5 nearly all, rank 2,000 about 3 %, rank 25,000 a few.
// Stores are kept in $TMPDIR/kestrune-search-bench-N between runs (delete to renew).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "search/mail_search.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

constexpr int kVocabulary = 30000;

std::string Word(int rank) {
  static const char* const kSyllables[] = {"ka", "lo", "mi", "ne", "ru", "sa", "ti", "vo",
                                           "pe", "da", "fu", "gi", "ho", "ja", "be", "zu"};
  std::string word;
  int n = rank + 16;
  while (n > 0) {
    word += kSyllables[n % 16];
    n /= 16;
  }
  return word;
}

class ZipfWords {
 public:
  ZipfWords() {
    double sum = 0;
    for (int r = 1; r <= kVocabulary; ++r) {
      sum += 1.0 / r;
      cumulative_.push_back(sum);
    }
  }
  const std::string& Next(std::mt19937& random) {
    std::uniform_real_distribution<double> pick(0, cumulative_.back());
    const auto it = std::lower_bound(cumulative_.begin(), cumulative_.end(), pick(random));
    return words_[static_cast<std::size_t>(it - cumulative_.begin())];
  }
  std::vector<std::string> words_ = [] {
    std::vector<std::string> words;
    for (int r = 1; r <= kVocabulary; ++r) words.push_back(Word(r));
    return words;
  }();

 private:
  std::vector<double> cumulative_;
};

std::string Sentence(ZipfWords& words, std::mt19937& random, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += words.Next(random) + (i + 1 == count ? "" : " ");
  return text;
}

std::string Message(int i, ZipfWords& words, std::mt19937& random) {
  std::string body;
  for (int line = 0; line < 48; ++line) body += Sentence(words, random, 12) + "\r\n";
  std::string head = "From: Sender " + std::to_string(i % 97) + " <sender" +
                     std::to_string(i % 97) + "@example.org>\r\nTo: admin@example.test\r\n" +
                     "Subject: " + Sentence(words, random, 5) + " #" + std::to_string(i) +
                     "\r\nDate: Thu, 10 Dec 2026 10:00:00 +0000\r\nMIME-Version: 1.0\r\n";
  if (i % 10 == 3) {
    return head +
           "Content-Type: multipart/alternative; boundary=\"a\"\r\n\r\n--a\r\n"
           "Content-Type: text/plain; charset=utf-8\r\n\r\n" +
           body + "--a\r\nContent-Type: text/html; charset=utf-8\r\n\r\n<html><body><p>" + body +
           "</p></body></html>\r\n--a--\r\n.\r\n";
  }
  if (i % 6 != 0) return head + "Content-Type: text/plain\r\n\r\n" + body + ".\r\n";
  std::string attachment;
  for (int line = 0; line < 12; ++line) attachment += std::string(76, 'Q') + "\r\n";
  return head +
         "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
         "Content-Type: text/plain\r\n\r\n" +
         body + "--b\r\nContent-Type: application/octet-stream; name=\"report" + std::to_string(i) +
         ".pdf\"\r\nContent-Transfer-Encoding: base64\r\n"
         "Content-Disposition: attachment; filename=\"report" +
         std::to_string(i) + ".pdf\"\r\n\r\n" + attachment + "--b--\r\n.\r\n";
}

std::uintmax_t DirectoryBytes(const fs::path& dir, bool messages_only) {
  std::uintmax_t bytes = 0;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    if (messages_only && entry.path().extension() != ".eml") continue;
    bytes += entry.file_size();
  }
  return bytes;
}

// The store of `count` messages, written once.
fs::path Store(int count) {
  const fs::path store =
      fs::temp_directory_path() / ("kestrune-search-bench-" + std::to_string(count));
  if (fs::exists(store / "complete")) return store;
  fs::remove_all(store);
  fs::create_directories(store);
  ZipfWords words;
  std::mt19937 random(42);
  for (int i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "b%07d.eml", i);
    std::ofstream(store / name, std::ios::binary) << Message(i, words, random);
  }
  std::ofstream(store / "complete") << "";
  return store;
}

void BM_Rebuild(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  const fs::path store = Store(count);
  long indexed = 0;
  double seconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    indexed = RebuildMailStoreIndex(store);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  if (indexed != count) state.SkipWithError("not every message was indexed");
  state.counters["us_per_message"] =
      seconds * 1e6 / (static_cast<double>(count) * state.iterations());
  const double store_mb = static_cast<double>(DirectoryBytes(store, true)) / 1e6;
  const double index_mb = static_cast<double>(DirectoryBytes(store / "Search", false)) / 1e6;
  state.counters["store_MB"] = store_mb;
  state.counters["index_MB"] = index_mb;
  state.counters["index_per_store"] = index_mb / store_mb;
}

// range(0): messages; range(1): the word's rank; range(2): hits asked for.
void BM_BodyWordQuery(benchmark::State& state) {
  const fs::path store = Store(static_cast<int>(state.range(0)));
  if (!fs::exists(store / "Search")) RebuildMailStoreIndex(store);
  const std::string word = Word(static_cast<int>(state.range(1)));
  const auto max_hits = static_cast<std::size_t>(state.range(2));
  std::size_t hits = 0;
  for (auto _ : state) {
    const TextSearchResult result = SearchMailStore(store, word, max_hits);
    if (!result.Ok) state.SkipWithError(result.Error.c_str());
    hits = result.Hits.size();
  }
  state.counters["hits"] = static_cast<double>(hits);
}

BENCHMARK(BM_Rebuild)->Arg(10000)->Arg(100000)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_BodyWordQuery)
    ->ArgsProduct({{10000, 100000}, {5, 2000, 25000}, {100, 1000}})
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kestrune

BENCHMARK_MAIN();
