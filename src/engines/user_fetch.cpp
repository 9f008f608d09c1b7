// The fetch of one mailbox. Per message: skip it when the record of fetched messages
// (or, as a fallback, its Message-ID) shows it is stored already; otherwise RETR it,
// write and sync its file, note it in the record, add its index entry, and mark it
// for deletion unless the user keeps mail on the server. The index is saved once,
// before QUIT, so a run costs one pass over the stored messages, not one per message.
#include "engines/user_fetch.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engines/fetched_uids.h"
#include "engines/mail_store_lock.h"
#include "engines/user_store_lock.h"
#include "mail/id_message.h"
#include "mail/id_pop3.h"
#include "mail/socket_error.h"
#include "platform/date_time.h"
#include "platform/random.h"
#include "store/email_db.h"
#include "store/user_list.h"

namespace kestrune {

namespace fs = std::filesystem;

namespace {

// A Message-ID as compared: without surrounding blanks and angle brackets, lower case.
std::string MessageIdKey(std::string_view id) {
  while (!id.empty() && (id.front() == ' ' || id.front() == '\t')) id.remove_prefix(1);
  while (!id.empty() && (id.back() == ' ' || id.back() == '\t')) id.remove_suffix(1);
  if (id.size() >= 2 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
  std::string key(id);
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

// Creates the message files of one mail store under new random names. The names in
// use are read once, so each new file costs no directory scan.
class MessageFiles {
 public:
  explicit MessageFiles(fs::path directory) : directory_(std::move(directory)) {
    std::error_code error;
    fs::directory_iterator it(directory_, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
      const std::string name = it->path().filename().string();
      const std::size_t dot = name.find('.');
      if (dot != std::string::npos && dot > 0) taken_.insert(name.substr(0, dot));
    }
  }

  // Writes text to a new file, synced to disk; returns its name.
  std::string Write(std::string_view text) {
    for (int attempt = 0; attempt < 100; ++attempt) {
      const std::string base = NewBase();
      const std::string name = base + ".eml";
      const fs::path path = directory_ / name;
      const int fd =
          ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
      if (fd < 0) {
        if (errno == EEXIST) continue;
        throw std::system_error(errno, std::generic_category(), "cannot create " + path.string());
      }
      taken_.insert(base);
      int failure = 0;
      for (std::size_t done = 0; done < text.size() && failure == 0;) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written > 0) {
          done += static_cast<std::size_t>(written);
        } else if (written < 0 && errno != EINTR) {
          failure = errno;
        }
      }
      if (failure == 0 && ::fsync(fd) != 0) failure = errno;
      if (::close(fd) != 0 && failure == 0) failure = errno;
      if (failure != 0) {
        ::unlink(path.c_str());
        throw std::system_error(failure, std::generic_category(), "cannot write " + path.string());
      }
      return name;
    }
    throw std::system_error(EEXIST, std::generic_category(),
                            "no free file name in " + directory_.string());
  }

 private:
  std::string NewBase() {
    static constexpr char kCharacters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (;;) {
      std::string base;
      for (int i = 0; i < 8; ++i) base += kCharacters[RandomUint32() % 36];
      if (!taken_.contains(base)) return base;
    }
  }

  fs::path directory_;
  std::unordered_set<std::string> taken_;
};

class MailboxFetch {
 public:
  MailboxFetch(const TUserRecord& user, const FetchOptions& options, TIdPOP3& client,
               FetchReporter& reporter, FetchResult& result)
      : user_(user),
        options_(options),
        client_(client),
        reporter_(reporter),
        result_(result),
        store_(fs::path(user.UserDir)),
        account_(AccountKey(user.PopUserName, user.PopServer)),
        trail_(store_) {
    raw_.NoDecode = true;
  }

  // Stores the waiting messages. True when the session may end with QUIT; a transport
  // error ends the loop and is raised after what was stored is saved.
  bool Run() {
    if (!OpenStore()) return false;
    const int count = result_.waiting;
    has_uidl_ = client_.RetrieveUidList(count, uids_);
    if (has_uidl_) server_uids_.insert(uids_.begin(), uids_.end());
    check_message_ids_ = user_.LeaveEmails && (!has_uidl_ || !account_seen_);
    std::exception_ptr broken;
    for (int number = 1; number <= count; ++number) {
      if (options_.stop != nullptr && options_.stop->load()) {
        result_.stopped = true;
        break;
      }
      try {
        FetchOne(number);
      } catch (const TransportError&) {
        broken = std::current_exception();  // the stream is out of step
        break;
      }
    }
    const bool saved = SaveStore();
    if (broken) std::rethrow_exception(broken);
    return saved && !result_.stopped;
  }

 private:
  bool OpenStore() {
    try {
      fs::create_directories(store_);
      if (!index_.Open(store_)) {
        throw std::runtime_error(std::string(TUserEmailDB::kFileName) + " is not a message index");
      }
      const int count = index_.GetCount();
      for (int i = 1; i <= count; ++i) {
        TEmailRecord record;
        if (index_.GetEmail(i, record)) referenced_.insert(record.FileName);
      }
      trail_entries_ = trail_.Load();
      for (const FetchedMessage& entry : trail_entries_) {
        if (!referenced_.contains(entry.file_name)) AdoptIfComplete(entry);
        if (referenced_.contains(entry.file_name) && entry.account == account_) {
          account_seen_ = true;
          if (!entry.uid.empty()) known_.insert(entry.uid);
        }
      }
      files_.emplace(store_);
      return true;
    } catch (...) {
      result_.store_failed = true;
      reporter_.StoreFailed(CurrentMailError());
      return false;
    }
  }

  // A message file that an earlier run completed but did not get into the index
  // (it ended before the save). The message is still on the server: with its UIDL it
  // is filed now and recognised there; without one it is fetched again instead.
  void AdoptIfComplete(const FetchedMessage& entry) {
    const fs::path file = store_ / entry.file_name;
    std::error_code error;
    if (!fs::is_regular_file(fs::symlink_status(file, error))) return;
    if (entry.uid.empty()) {
      fs::remove(file, error);
      return;
    }
    TIdMessage message;
    bool decoded = true;
    try {
      message.LoadFromFile(file);
    } catch (const std::exception&) {
      decoded = false;
      try {
        message.NoDecode = true;
        message.LoadFromFile(file);
      } catch (const std::exception&) {
        message.Clear();
      }
    }
    if (!index_.AddEmail(RecordOf(message, decoded, entry.file_name))) return;
    referenced_.insert(entry.file_name);
    index_changed_ = true;
  }

  TEmailRecord RecordOf(const TIdMessage& message, bool decoded, const std::string& name) const {
    TEmailRecord record;
    record.Subject = message.Subject;
    record.Sender = message.From.Text();
    record.Recipient = message.Recipients.Empty()
                           ? "<" + user_.EmailDisplayName + "> " + user_.EmailAddress
                           : message.Recipients[0].Text();
    record.DateText = DateTimeText(NowAsDateValue());
    record.HasAttachment = decoded && message.MessageParts.AttachmentCount() > 0;
    record.FileName = name;
    record.Status = email_status::kInboxUnread;
    return record;
  }

  const std::unordered_map<std::string, std::string>& StoredMessageIds() {
    if (!message_ids_) {
      message_ids_.emplace();
      for (const std::string& name : referenced_) {
        if (!IsMailStoreFileName(name)) continue;
        const std::optional<std::string> id = ReadMessageIdOfFile(store_ / name);
        if (!id) continue;
        std::string key = MessageIdKey(*id);
        if (!key.empty()) message_ids_->emplace(std::move(key), name);
      }
    }
    return *message_ids_;
  }

  void FetchOne(int number) {
    const std::string uid = has_uidl_ ? uids_[static_cast<std::size_t>(number - 1)] : "";
    if (!uid.empty() && known_.contains(uid)) {
      // Stored by an earlier run (one that kept it, or ended before its QUIT).
      if (!user_.LeaveEmails) MarkDeleted(number);
      return;
    }
    bool retrieved = false;
    if (check_message_ids_) {
      raw_.Clear();
      if (!top_unsupported_) {
        try {
          client_.RetrieveHeader(number, raw_);
        } catch (const ProtocolError&) {
          top_unsupported_ = true;  // a server without TOP: the whole message decides
        }
      }
      if (top_unsupported_) {
        if (!Retrieve(number)) return;
        retrieved = true;
      }
      const std::string key = MessageIdKey(raw_.MsgId);
      if (!key.empty()) {
        const auto& stored = StoredMessageIds();
        const auto it = stored.find(key);
        if (it != stored.end()) {
          if (!uid.empty()) Remember({account_, uid, it->second});
          return;
        }
      }
    }
    if (!retrieved && !Retrieve(number)) return;
    if (Store(number, uid) && !user_.LeaveEmails) MarkDeleted(number);
  }

  // RETR into raw_; a clean "-ERR" or an unreadable message is this message's error.
  bool Retrieve(int number) {
    try {
      raw_.Clear();
      if (client_.Retrieve(number, raw_)) return true;
      const auto& lines = client_.LastReplyLines();
      MessageFailed(number, {MailErrorKind::kProtocol, lines.empty() ? "" : lines.front()});
    } catch (const MessageError& e) {
      MessageFailed(number, {MailErrorKind::kOther, e.what()});
    }
    return false;
  }

  bool Store(int number, const std::string& uid) {
    std::string name;
    try {
      const std::string text = raw_.FileText();
      name = files_->Write(text);
      const FetchedMessage entry{account_, uid, name};
      trail_.Append(entry);
      bool decoded = true;
      try {
        decoded_.Clear();
        decoded_.LoadFromText(text);
      } catch (const std::exception&) {
        decoded = false;  // filed with what its header gives
      }
      if (!index_.AddEmail(RecordOf(decoded ? decoded_ : raw_, decoded, name))) {
        throw std::runtime_error("the message index is not open");
      }
      index_changed_ = true;
      referenced_.insert(name);
      Remember(entry);
      if (message_ids_) {
        const std::string key = MessageIdKey(raw_.MsgId);
        if (!key.empty()) message_ids_->emplace(key, name);
      }
      ++result_.stored;
      reporter_.Stored(number, decoded ? decoded_ : raw_);
      return true;
    } catch (...) {
      const MailError error = CurrentMailError();
      if (!name.empty() && !referenced_.contains(name)) {
        std::error_code ignored;
        fs::remove(store_ / name, ignored);
      }
      MessageFailed(number, error);
      return false;
    }
  }

  void Remember(const FetchedMessage& entry) {
    if (!entry.uid.empty()) known_.insert(entry.uid);
    if (entry.uid.empty() || trail_remembered_.contains(entry.uid)) return;
    trail_remembered_.insert(entry.uid);
    new_entries_.push_back(entry);
  }

  void MarkDeleted(int number) {
    try {
      client_.Delete(number);
    } catch (const ProtocolError& e) {
      MessageFailed(number, {MailErrorKind::kProtocol, e.what()});  // it stays there
    }
  }

  void MessageFailed(int number, const MailError& error) {
    ++result_.failed;
    reporter_.MessageFailed(number, error);
  }

  // Saves the index (the trail first, so that every index entry has its line), then
  // rewrites the trail without lines that no longer matter. False when the index could
  // not be saved: the session must then end without QUIT.
  bool SaveStore() {
    bool durable = true;
    try {
      trail_.Sync();
    } catch (...) {
      durable = false;
      result_.store_failed = true;
      reporter_.StoreFailed(CurrentMailError());
    }
    if (index_changed_) {
      try {
        index_.Save(store_);
      } catch (...) {
        result_.store_failed = true;
        reporter_.StoreFailed(CurrentMailError());
        index_.Close();
        return false;
      }
    }
    index_.Close();
    RewriteTrail();
    return durable;
  }

  void RewriteTrail() {
    std::vector<FetchedMessage> kept;
    std::unordered_set<std::string> kept_keys;
    auto keep = [&](const FetchedMessage& entry) {
      if (entry.uid.empty() || !referenced_.contains(entry.file_name)) return;
      // Mail that left this account's server no longer needs recognising.
      if (entry.account == account_ && has_uidl_ && !server_uids_.contains(entry.uid)) return;
      if (!kept_keys.insert(entry.account + '\t' + entry.uid).second) return;
      kept.push_back(entry);
    };
    for (const FetchedMessage& entry : trail_entries_) keep(entry);
    for (const FetchedMessage& entry : new_entries_) keep(entry);
    if (kept.size() == trail_entries_.size() && new_entries_.empty()) return;
    try {
      trail_.Rewrite(kept);
    } catch (...) {
      // The appended lines are still in place; only the tidying failed.
      result_.store_failed = true;
      reporter_.StoreFailed(CurrentMailError());
    }
  }

  const TUserRecord& user_;
  const FetchOptions& options_;
  TIdPOP3& client_;
  FetchReporter& reporter_;
  FetchResult& result_;
  const fs::path store_;
  const std::string account_;

  TUserEmailDB index_;
  bool index_changed_ = false;
  FetchedUidFile trail_;
  std::vector<FetchedMessage> trail_entries_;  // as loaded
  std::vector<FetchedMessage> new_entries_;    // learnt in this run
  std::unordered_set<std::string> trail_remembered_;
  std::optional<MessageFiles> files_;
  std::unordered_set<std::string> referenced_;  // file names the index lists
  std::unordered_set<std::string> known_;       // UIDLs of this account stored already
  bool account_seen_ = false;
  std::optional<std::unordered_map<std::string, std::string>> message_ids_;

  bool has_uidl_ = false;
  std::vector<std::string> uids_;
  std::unordered_set<std::string> server_uids_;
  bool check_message_ids_ = false;
  bool top_unsupported_ = false;

  TIdMessage raw_;
  TIdMessage decoded_;
};

}  // namespace

FetchResult FetchUserMail(const TUserRecord& user, const FetchOptions& options, TIdPOP3& client,
                          FetchReporter& reporter) {
  FetchResult result;
  const std::optional<MailStoreLock> lock =
      TakeUserStoreLock(user, MailStoreActivity::kFetch, options.lock_wait, result, reporter);
  if (!lock) return result;
  // A session left open by someone else is in an unknown state: never commit it.
  if (client.Connected()) client.Abort();
  client.Host = user.PopServer;
  client.Port = user.PopPort;
  client.Username = user.PopUserName;
  client.Password = user.PopPassword;
  client.ReadTimeoutMs = options.read_timeout_ms;
  client.UseTls = options.tls;
  reporter.Connecting();
  try {
    client.Connect(options.connect_timeout_ms);
    reporter.Connected(client.Secure());
    result.waiting = client.CheckMessages();
    reporter.Waiting(result.waiting);
    bool commit = true;
    if (result.waiting > 0) {
      MailboxFetch fetch(user, options, client, reporter, result);
      commit = fetch.Run();
    }
    if (commit) {
      client.Disconnect();  // QUIT: the deletions take effect
      reporter.Disconnected();
    } else {
      client.Abort();
      if (result.stopped) reporter.Stopped();
    }
  } catch (...) {
    client.Abort();
    result.error = CurrentMailError();
    reporter.Failed(result.error);
  }
  return result;
}

}  // namespace kestrune
