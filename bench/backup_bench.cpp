// Backup, check and restore of a home with 10,000 messages (one account; messages of mixed
// sizes, mostly text as mail is): time per run and the archive's size as counters.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "host/home_backup.h"
#include "store/email_db.h"
#include "store/user_list.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

constexpr int kMessages = 10000;

// A message of about size bytes: header, text lines with varying words, and for one in ten an
// attachment in base64 of random bytes (which does not compress).
std::string Message(int number, std::size_t size, std::mt19937& random) {
  static const char* kWords[] = {"quarterly", "report", "meeting",  "the",     "and",     "invoice",
                                 "please",    "find",   "attached", "regards", "project", "next"};
  std::string text = "From: Sender " + std::to_string(number % 97) + " <s" +
                     std::to_string(number % 97) + "@example.org>\r\nTo: user@example.net\r\n" +
                     "Subject: Message " + std::to_string(number) + "\r\n\r\n";
  while (text.size() < size) {
    std::string line;
    while (line.size() < 70) line += std::string(kWords[random() % 12]) + " ";
    text += line + "\r\n";
  }
  if (number % 10 == 0) {
    static const char kBase64[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int line = 0; line < 400; ++line) {
      std::string encoded(76, 'A');
      for (char& c : encoded) c = kBase64[random() % 64];
      text += encoded + "\r\n";
    }
  }
  return text + ".\r\n";
}

fs::path MakeHome(const fs::path& root) {
  const fs::path home = root / "home";
  const fs::path store = home / "Users" / "bob";
  fs::create_directories(store);
  TUserList users;
  users.Open(home / "Users");
  TUserRecord bob;
  bob.UserName = "bob";
  bob.UserDir = store.string() + "/";
  users.AddUser(bob);
  users.Save();
  std::mt19937 random(1);
  TUserEmailDB index;
  index.Open(store);
  for (int i = 0; i < kMessages; ++i) {
    const std::string name = std::to_string(10000000 + i) + ".eml";
    std::ofstream(store / name, std::ios::binary) << Message(i, 2000 + random() % 6000, random);
    TEmailRecord record;
    record.Subject = "Message " + std::to_string(i);
    record.FileName = name;
    index.AddEmail(record);
  }
  index.Save(store);
  return home;
}

class BackupFixture {
 public:
  BackupFixture() {
    std::string pattern = (fs::temp_directory_path() / "backup-bench-XXXXXX").string();
    root_ = ::mkdtemp(pattern.data());
    home_ = MakeHome(root_);
  }
  ~BackupFixture() { fs::remove_all(root_); }
  fs::path root_, home_;
};

BackupFixture& Fixture() {
  static BackupFixture fixture;
  return fixture;
}

void BM_Backup10000Messages(benchmark::State& state) {
  const fs::path archive = Fixture().root_ / "home.tar.gz";
  BackupSummary summary;
  for (auto _ : state) {
    BackupOptions options;
    options.force = true;
    summary = BackupHome(Fixture().home_, archive, options);
  }
  state.counters["home_MB"] = static_cast<double>(summary.bytes) / 1e6;
  state.counters["archive_MB"] = static_cast<double>(summary.archive_bytes) / 1e6;
  state.counters["messages"] = static_cast<double>(summary.messages);
}
BENCHMARK(BM_Backup10000Messages)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_Verify10000Messages(benchmark::State& state) {
  const fs::path archive = Fixture().root_ / "home.tar.gz";
  if (!fs::exists(archive)) BackupHome(Fixture().home_, archive);
  for (auto _ : state) benchmark::DoNotOptimize(VerifyBackup(archive));
}
BENCHMARK(BM_Verify10000Messages)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_Restore10000Messages(benchmark::State& state) {
  const fs::path archive = Fixture().root_ / "home.tar.gz";
  if (!fs::exists(archive)) BackupHome(Fixture().home_, archive);
  const fs::path target = Fixture().root_ / "restored";
  for (auto _ : state) {
    RestoreHome(archive, target);
    state.PauseTiming();
    fs::remove_all(target);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_Restore10000Messages)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace kestrune
BENCHMARK_MAIN();
