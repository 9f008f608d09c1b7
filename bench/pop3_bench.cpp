// POP3 retrieval throughput: 1,000 messages fetched from a real Dovecot (started here
// through scripts/peers) with TIdPOP3, reported as messages per second.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>

#include "mail/id_message.h"
#include "mail/id_pop3.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

constexpr int kMessages = 1000;

// Peers of this benchmark run: started on first use, stopped at exit.
class BenchPeers {
 public:
  BenchPeers() {
    char pattern[] = "/tmp/kestrune-pop3-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    Run("start");
    std::ifstream env(dir_ / "peers.env");
    std::string line;
    while (std::getline(env, line)) {
      const std::size_t equals = line.find('=');
      if (equals != std::string::npos) values_[line.substr(0, equals)] = line.substr(equals + 1);
    }
    FillMailbox();
  }
  ~BenchPeers() {
    Run("stop");
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  int Port() const { return std::stoi(values_.at("POP3_PORT")); }

 private:
  void Run(const char* action) const {
    const std::string command = std::string("'") + KESTRUNE_SOURCE_DIR + "/scripts/peers' " +
                                action + " '" + dir_.string() + "' >/dev/null";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("scripts/peers failed");
  }

  void FillMailbox() const {
    // The first account of the peers' pool; these peers serve this benchmark alone.
    const fs::path home = fs::path(values_.at("POP3_MAIL_ROOT")) / "box001";
    const fs::path maildir = home / "Maildir";
    std::string body;
    for (int i = 0; i < 30; ++i)
      body += "A line of ordinary message text, about seventy characters long.\n";
    for (int n = 1; n <= kMessages; ++n) {
      char name[64];
      std::snprintf(name, sizeof name, "%010d.M%d.bench", 1000000000 + n, n);
      std::ofstream out(maildir / "new" / name, std::ios::binary);
      out << "From: Bench <bench@example.org>\nTo: you@example.org\nSubject: message " << n
          << "\nMessage-Id: <" << n << "@bench.example>\nDate: Tue, 5 Mar 2024 14:30:15 +0000\n\n"
          << body;
    }
    const std::string chown = "chown -R " + values_.at("POP3_UID") + ":" + values_.at("POP3_GID") +
                              " '" + home.string() + "'";
    if (::geteuid() == 0 && std::system(chown.c_str()) != 0)
      throw std::runtime_error("chown failed");
  }

  fs::path dir_;
  std::map<std::string, std::string> values_;
};

void BM_Pop3Retrieve1000(benchmark::State& state) {
  static BenchPeers peers;
  TIdPOP3 pop;
  pop.Host = "127.0.0.1";
  pop.Port = peers.Port();
  pop.Username = "box001";
  pop.Password = "pw-box001";
  TIdMessage message;
  message.NoDecode = true;
  for (auto _ : state) {
    pop.Connect(5000);
    const int count = pop.CheckMessages();
    if (count != kMessages) state.SkipWithError("unexpected message count");
    for (int n = 1; n <= count; ++n) {
      if (!pop.Retrieve(n, message)) state.SkipWithError("RETR failed");
    }
    pop.Disconnect();
  }
  state.SetItemsProcessed(state.iterations() * kMessages);
}
BENCHMARK(BM_Pop3Retrieve1000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace kestrune

BENCHMARK_MAIN();
