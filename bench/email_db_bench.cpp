// Message index timings: what a page pays for one change (open the index, change one
// record, save it), for the open alone, and for a read mark saved from a copy a session
// holds (the usual click), at 1,000, 10,000 and 100,000 records.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <string>

#include "store/email_db.h"

namespace kestrune {
namespace {

TEmailRecord IndexEntry(int i) {
  TEmailRecord email;
  email.Subject = "Re: quarterly report, part " + std::to_string(i * 7919 % 1000);
  email.Sender =
      "\"Sender " + std::to_string(i % 97) + "\" <s" + std::to_string(i % 97) + "@example.org>";
  email.Recipient = "user@example.net";
  email.DateText = "12/03/24 10:" + std::to_string(10 + i % 50) + ":00";
  email.HasAttachment = i % 5 == 0;
  email.FileName = std::to_string(10000000 + i * 7907 % 89999999) + ".eml";
  email.Status = i % 11;
  return email;
}

// A mail store whose index holds count records, made once per size for the whole run.
std::filesystem::path MailStore(int count) {
  static std::map<int, std::filesystem::path> made;
  auto& directory = made[count];
  if (directory.empty()) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "kestrune-bench-XXXXXX").string();
    directory = ::mkdtemp(pattern.data());
    TUserEmailDB db;
    db.Open(directory);
    for (int i = 0; i < count; ++i) db.AddEmail(IndexEntry(i));
    db.Save(directory);
  }
  return directory;
}

void BM_IndexLoadChangeOneSave(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  const std::filesystem::path store = MailStore(count);
  int round = 0;
  for (auto _ : state) {
    TUserEmailDB db;
    db.Open(store);
    TEmailRecord email;
    db.GetEmail(count / 2, email);
    email.Status = ++round % 2 == 0 ? email_status::kInboxRead : email_status::kSavedRead;
    db.SetEmail(count / 2, email);
    db.Save(store);
    db.Close();
  }
}

void BM_IndexLoad(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  const std::filesystem::path store = MailStore(count);
  for (auto _ : state) {
    TUserEmailDB db;
    db.Open(store);
    benchmark::DoNotOptimize(db.CountInbox());
  }
}

// A session's copy stays open between clicks: each round marks another record read or
// unread and saves (a mark: no fsync).
void BM_HeldCopyMarkOneSave(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  const std::filesystem::path store = MailStore(count);
  TUserEmailDB db;
  db.Open(store);
  int round = 0;
  for (auto _ : state) {
    const int index = 1 + (round * 7919) % count;
    TEmailRecord email;
    db.GetEmail(index, email);
    email.Status = ++round % 2 == 0 ? email_status::kInboxRead : email_status::kInboxUnread;
    db.SetEmail(index, email);
    db.Save(store);
  }
}

BENCHMARK(BM_HeldCopyMarkOneSave)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IndexLoadChangeOneSave)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IndexLoad)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kestrune

BENCHMARK_MAIN();
