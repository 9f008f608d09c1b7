// The baselines of the fetch benchmark (bench/mail_fetch_bench.sh): fetch every message
// of a POP3 mailbox with the POP3 client, either only reading it ("retr") or also
// writing each message to its own file and fsyncing it ("fsync", the durable
// baseline). Prints the number of messages fetched. Deletes nothing on the server.
//   pop3_fetch_baseline_bench retr|fsync HOST PORT USER PASSWORD [DIRECTORY]
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>

#include "mail/id_message.h"
#include "mail/id_pop3.h"

int main(int argc, char** argv) {
  using namespace kestrune;
  if (argc < 6 || (std::strcmp(argv[1], "retr") != 0 && std::strcmp(argv[1], "fsync") != 0) ||
      (std::strcmp(argv[1], "fsync") == 0 && argc < 7)) {
    std::cerr << "usage: pop3_fetch_baseline_bench retr|fsync HOST PORT USER PASSWORD [DIR]\n";
    return 2;
  }
  const bool write_files = std::strcmp(argv[1], "fsync") == 0;
  TIdPOP3 client;
  client.Host = argv[2];
  client.Port = std::stoi(argv[3]);
  client.Username = argv[4];
  client.Password = argv[5];
  client.UseTls = TlsMode::kNone;
  client.Connect(10000);
  const int count = client.CheckMessages();
  TIdMessage message;
  message.NoDecode = true;
  for (int n = 1; n <= count; ++n) {
    if (!client.Retrieve(n, message)) {
      std::cerr << "RETR " << n << " refused\n";
      return 1;
    }
    if (!write_files) continue;
    const std::string text = message.FileText();
    const std::filesystem::path file =
        std::filesystem::path(argv[6]) / (std::to_string(n) + ".eml");
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
        ::fsync(fd) != 0 || ::close(fd) != 0) {
      std::perror(file.c_str());
      return 1;
    }
  }
  client.Abort();  // no QUIT: the mailbox stays as it is
  std::cout << count << "\n";
  return 0;
}
