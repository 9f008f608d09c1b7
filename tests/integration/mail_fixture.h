// Test support for the mail engine tests: a program directory with users whose POP3
// accounts are mailboxes of the Dovecot peer, Outbox messages written as the compose
// page writes them, and reading back what a fetch filed.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "mail/id_message.h"
#include "peers.h"
#include "platform/random.h"
#include "store/email_db.h"
#include "store/user_list.h"

namespace kestrune::testing {

namespace fs = std::filesystem;

// A message of about `body_bytes` with a distinct subject; without a Message-ID when
// message_id is empty.
inline std::string TestMessage(const std::string& subject, const std::string& message_id,
                               std::size_t body_bytes = 200, const std::string& to = "box@test") {
  std::string text = "From: Sender <sender@test.example>\n";
  if (!to.empty()) text += "To: " + to + "\n";
  text += "Subject: " + subject + "\n";
  if (!message_id.empty()) text += "Message-ID: <" + message_id + ">\n";
  text +=
      "Date: Tue, 1 Dec 2026 10:00:00 +0000\nMIME-Version: 1.0\n"
      "Content-Type: text/plain; charset=us-ascii\n\n";
  std::string line = "The quick brown fox jumps over the lazy dog. " + subject;
  for (std::size_t written = 0; written < body_bytes; written += line.size() + 1)
    text += line + "\n";
  text += ".a line that starts with a dot\n";
  return text;
}

inline std::string FileText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// A temporary program directory with a Users directory.
class TestHome {
 public:
  TestHome() {
    root_ = fs::temp_directory_path() /
            ("kst-engines-" + std::to_string(::getpid()) + "-" + RandomHex(4));
    fs::create_directories(UsersDir());
  }
  ~TestHome() {
    std::error_code error;
    fs::remove_all(root_, error);
  }
  TestHome(const TestHome&) = delete;
  TestHome& operator=(const TestHome&) = delete;

  const fs::path& Root() const { return root_; }
  fs::path UsersDir() const { return root_ / "Users"; }
  std::string UsersDirText() const { return UsersDir().string() + "/"; }
  fs::path StoreOf(const std::string& user) const { return UsersDir() / user; }

  // A user fetching from `mailbox` with the given flags.
  TUserRecord User(const std::string& name, const PopMailbox* mailbox, bool auto_check = true,
                   bool leave = false) const {
    TUserRecord user;
    user.UserName = name;
    user.UserDir = UsersDirText() + name + "/";
    user.EmailDisplayName = name + " Display";
    user.EmailAddress = name + "@kestrune.test";
    user.AutoCheckEmails = auto_check;
    user.LeaveEmails = leave;
    if (mailbox != nullptr) {
      user.PopServer = "127.0.0.1";
      user.PopPort = Peers::Get().Port("POP3_PORT");
      user.PopUserName = mailbox->User();
      user.PopPassword = mailbox->Password();
    }
    return user;
  }

  void SaveUsers(std::vector<TUserRecord> users) const {
    TUserList list;
    if (!list.Open(UsersDirText())) throw std::runtime_error("cannot open Users.Dat");
    for (TUserRecord& user : users) list.AddUser(user);
    list.Save();
  }

  // Writes an Outbox message (file and record with Status 5); returns its file name.
  std::string AddOutbox(const std::string& user, const std::string& message_text) const {
    const fs::path store = StoreOf(user);
    fs::create_directories(store);
    const std::string name = RandomHex(4) + ".eml";
    std::string text;
    for (char c : message_text) {
      if (c == '\n') text += '\r';
      text += c;
    }
    std::ofstream(store / name, std::ios::binary) << text << ".\r\n";
    TUserEmailDB index;
    index.Open(store);
    TEmailRecord record;
    record.Subject = "outgoing";
    record.FileName = name;
    record.Status = email_status::kOutbox;
    index.AddEmail(record);
    index.Save(store);
    return name;
  }

  std::vector<TEmailRecord> Records(const std::string& user) const {
    std::vector<TEmailRecord> records;
    TUserEmailDB index;
    if (!fs::exists(StoreOf(user) / TUserEmailDB::kFileName) || !index.Open(StoreOf(user))) {
      return records;
    }
    for (int i = 1; i <= index.GetCount(); ++i) {
      TEmailRecord record;
      if (index.GetEmail(i, record)) records.push_back(record);
    }
    return records;
  }

  // Message files of the store that no index record names.
  std::vector<std::string> UnreferencedFiles(const std::string& user) const {
    std::set<std::string> named;
    for (const TEmailRecord& record : Records(user)) named.insert(record.FileName);
    std::vector<std::string> unreferenced;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(StoreOf(user), error)) {
      const std::string name = entry.path().filename().string();
      if (name.ends_with(".eml") && !named.contains(name)) unreferenced.push_back(name);
    }
    return unreferenced;
  }

 private:
  fs::path root_;
};

}  // namespace kestrune::testing
