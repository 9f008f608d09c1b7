// Integration-test access to the peers of scripts/peers (see peers.h).
#include "peers.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/random.h"

namespace kestrune::testing {

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void GiveToMailUser(const fs::path& path, const Peers& peers) {
  if (::geteuid() != 0) return;
  const uid_t uid = static_cast<uid_t>(std::stoul(peers.Value("POP3_UID")));
  const gid_t gid = static_cast<gid_t>(std::stoul(peers.Value("POP3_GID")));
  if (::chown(path.c_str(), uid, gid) != 0) {
    throw std::runtime_error("cannot give " + path.string() + " to the mail user");
  }
}

}  // namespace

Peers::Peers(const fs::path& env_file) {
  std::ifstream in(env_file);
  if (!in) {
    throw std::runtime_error("peers env file " + env_file.string() +
                             " missing: start the peers with scripts/peers start DIR "
                             "(ctest does so through its fixture)");
  }
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos) values_[line.substr(0, equals)] = line.substr(equals + 1);
  }
}

const Peers& Peers::Get() {
  const char* env = std::getenv("KESTRUNE_PEERS_ENV");
  static const Peers peers(env != nullptr && *env != '\0'
                               ? fs::path(env)
                               : fs::path(KESTRUNE_BINARY_DIR) /
                                     "tests/integration/peers/peers.env");
  return peers;
}

void Peers::StartInto(const fs::path& dir) {
  const std::string command = std::string("'") + KESTRUNE_SOURCE_DIR + "/scripts/peers' start '" +
                              dir.string() + "' >/dev/null";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("scripts/peers start failed");
  ::setenv("KESTRUNE_PEERS_ENV", (dir / "peers.env").c_str(), 1);
}

std::string Peers::Value(std::string_view key) const {
  const auto it = values_.find(key);
  if (it == values_.end()) throw std::runtime_error("peers env file lacks " + std::string(key));
  return it->second;
}

int Peers::Port(std::string_view key) const { return std::stoi(Value(key)); }

PopMailbox::PopMailbox() {
  const Peers& peers = Peers::Get();
  const fs::path root = peers.Value("POP3_MAIL_ROOT");
  const int pool_size = peers.Port("POP3_POOL_SIZE");
  // Start at a random account so that parallel tests rarely contend for the same one.
  const int first = static_cast<int>(RandomUint32() % static_cast<std::uint32_t>(pool_size));
  for (int i = 0; i < pool_size; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "box%03d", (first + i) % pool_size + 1);
    if (::mkdir((root / ".claims" / name).c_str(), 0755) != 0) continue;
    user_ = name;
    password_ = "pw-" + user_;
    maildir_ = root / user_ / "Maildir";
    return;
  }
  throw std::runtime_error("all " + std::to_string(pool_size) + " POP3 test accounts are taken");
}

void PopMailbox::Deliver(std::string_view message) {
  // Maildir order is by file name; the sequence number keeps delivery order.
  ++delivered_;
  char name[64];
  std::snprintf(name, sizeof name, "%010d.M%06dP%d.test", 1000000000 + delivered_, delivered_,
                static_cast<int>(::getpid()));
  const fs::path temp = maildir_ / "tmp" / name;
  {
    std::ofstream out(temp, std::ios::binary);
    for (char c : message) {
      if (c != '\r') out.put(c);
    }
  }
  GiveToMailUser(temp, Peers::Get());
  fs::rename(temp, maildir_ / "new" / name);
}

std::size_t PopMailbox::MessageCount() const {
  std::size_t count = 0;
  for (const char* sub : {"new", "cur"}) {
    for (const auto& entry : fs::directory_iterator(maildir_ / sub)) {
      if (entry.is_regular_file()) ++count;
    }
  }
  return count;
}

std::optional<SmtpRecord> FindSmtpRecord(std::string_view mail_from,
                                         std::chrono::milliseconds wait) {
  const fs::path dir = Peers::Get().Value("SMTP_RECORD_DIR");
  const auto deadline = std::chrono::steady_clock::now() + wait;
  do {
    for (const auto& entry : fs::directory_iterator(dir)) {
      if (entry.path().filename().string().starts_with(".")) continue;
      SmtpRecord record;
      std::istringstream envelope(ReadFile(entry.path() / "envelope"));
      std::string line;
      while (std::getline(envelope, line)) {
        const std::size_t blank = line.find(' ');
        const std::string key = line.substr(0, blank);
        const std::string value = blank == std::string::npos ? "" : line.substr(blank + 1);
        if (key == "instance") record.instance = value;
        if (key == "mail_from") record.mail_from = value;
        if (key == "rcpt_to") record.rcpt_to.push_back(value);
        if (key == "auth_login") record.auth_login = value;
        if (key == "tls") record.tls = value == "1";
        if (key == "esmtp") record.esmtp = value == "1";
      }
      if (record.mail_from != mail_from) continue;
      record.data = ReadFile(entry.path() / "data");
      return record;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } while (std::chrono::steady_clock::now() < deadline);
  return std::nullopt;
}

std::string UniqueSender() { return "sender-" + RandomHex(6) + "@test.example"; }

}  // namespace kestrune::testing
