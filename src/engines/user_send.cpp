// The Outbox send of one user.
#include "engines/user_send.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "engines/fetched_uids.h"
#include "engines/mail_store_lock.h"
#include "engines/outgoing_message.h"
#include "engines/user_store_lock.h"
#include "mail/id_message.h"
#include "mail/id_smtp.h"
#include "mail/socket_error.h"
#include "platform/date_time.h"
#include "store/email_db.h"
#include "store/mail_store_paths.h"
#include "store/user_list.h"

namespace kestrune {

namespace fs = std::filesystem;

namespace {

constexpr int kServiceClosing = 421;

// Messages the server accepted whose Sent state could not be saved, for the process
// lifetime: any thread's send consults it before sending.
class SentMemory {
 public:
  static SentMemory& Get() {
    static SentMemory memory;
    return memory;
  }
  static std::string Key(const fs::path& file) {
    std::error_code error;
    const fs::path absolute = fs::weakly_canonical(file, error);
    return (error ? file : absolute).lexically_normal().string();
  }
  void Add(const std::string& key) {
    std::lock_guard lock(mutex_);
    keys_.insert(key);
  }
  void Remove(const std::string& key) {
    std::lock_guard lock(mutex_);
    keys_.erase(key);
  }
  bool Contains(const std::string& key) {
    std::lock_guard lock(mutex_);
    return keys_.contains(key);
  }

 private:
  std::mutex mutex_;
  std::set<std::string> keys_;
};

// "Sent.Journal" of a mail store: the file name of every message the server accepted,
// written the moment its final reply arrives and before the index is saved, so that a
// run killed in between marks the message Sent instead of sending it again. Removed
// once every message it names is recorded as Sent. Used under the store's send lock.
class SentJournal {
 public:
  static constexpr const char* kFileName = "Sent.Journal";

  explicit SentJournal(const fs::path& store) : path_(store / kFileName) {}
  ~SentJournal() {
    if (fd_ >= 0) ::close(fd_);
  }
  SentJournal(const SentJournal&) = delete;
  SentJournal& operator=(const SentJournal&) = delete;

  // The names written by earlier runs (only whole lines count).
  std::set<std::string> Load() const {
    std::set<std::string> names;
    std::ifstream in(path_, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      const std::string name = text.substr(start, end - start);
      if (IsPlainStoreFileName(name)) names.insert(name);
    }
    return names;
  }

  void Add(const std::string& name) {
    if (fd_ < 0) {
      fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
      if (fd_ < 0)
        throw std::system_error(errno, std::generic_category(), "cannot open " + path_.string());
    }
    const std::string line = name + "\n";
    if (::write(fd_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
      throw std::system_error(errno, std::generic_category(), "cannot write " + path_.string());
    }
    ::fdatasync(fd_);  // best effort against a power loss; a killed process loses nothing
  }

  void Remove() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    std::error_code error;
    fs::remove(path_, error);
  }

 private:
  fs::path path_;
  int fd_ = -1;
};

bool WantsLogin(const TIdSMTP& client) {
  if (client.AuthenticationType != TIdSMTPAuthenticationType::atLogin) return false;
  const auto& mechanisms = client.AuthMechanisms();
  return std::any_of(mechanisms.begin(), mechanisms.end(), [](const std::string& m) {
    return m.size() == 5 && (m[0] | 0x20) == 'l' && (m[1] | 0x20) == 'o' && (m[2] | 0x20) == 'g' &&
           (m[3] | 0x20) == 'i' && (m[4] | 0x20) == 'n';
  });
}

class OutboxSend {
 public:
  OutboxSend(const TUserRecord& user, TIdSMTP& client, const std::atomic<bool>* stop,
             SendReporter& reporter, SendResult& result)
      : user_(user),
        client_(client),
        stop_(stop),
        reporter_(reporter),
        result_(result),
        store_(fs::path(user.UserDir)),
        journal_(store_) {}

  void Run() {
    try {
      if (!index_.Open(store_)) {
        throw std::runtime_error(std::string(TUserEmailDB::kFileName) + " is not a message index");
      }
    } catch (...) {
      result_.store_failed = true;
      reporter_.StoreFailed(CurrentMailError());
      return;
    }
    const int count = index_.GetCount();
    for (int j = 1; j <= count; ++j) {
      TEmailRecord record;
      if (!index_.GetEmail(j, record)) {
        ++result_.failed;  // an Outbox message may be behind it
        reporter_.CountFailed(j);
      } else if (record.Status == email_status::kOutbox) {
        ++result_.waiting;
      }
    }
    reporter_.Waiting(result_.waiting);
    journaled_ = journal_.Load();
    if (result_.waiting > 0) {
      for (int j = 1; j <= count; ++j) {
        if (stop_ != nullptr && stop_->load()) {
          result_.stopped = true;
          break;
        }
        if (!SendRecord(j)) break;
      }
    }
    if (!journaled_.empty() && !unrecorded_) journal_.Remove();
    index_.Close();
    if (!result_.connection_error && !result_.stopped) reporter_.Completed();
  }

 private:
  // False when the connection failed and the send must end.
  bool SendRecord(int j) {
    TEmailRecord record;
    if (!index_.GetEmail(j, record)) {
      reporter_.RecordUnreadable(j);
      return true;  // counted as failed once, when the Outbox was counted
    }
    if (record.Status != email_status::kOutbox) return true;
    if (!IsPlainStoreFileName(record.FileName)) {
      ++result_.failed;  // a record naming a file outside the store is never opened
      reporter_.FileMissing(j);
      return true;
    }
    const fs::path file = MessageFilePath(store_, record.FileName);
    const std::string key = SentMemory::Key(file);
    if (SentMemory::Get().Contains(key) || journaled_.contains(record.FileName)) {
      MarkSent(j, record, key);  // sent earlier; only the record is missing
      return true;
    }
    std::error_code error;
    if (!fs::is_regular_file(file, error)) {
      ++result_.failed;  // the message cannot be sent: not a clean run
      reporter_.FileMissing(j);
      return true;
    }
    try {
      LoadOutgoingMessage(file, message_);
    } catch (...) {
      MessageFailed(j, CurrentMailError());
      return true;
    }
    reporter_.Sending(j, message_.Recipients.Empty() ? "" : message_.Recipients[0].Text());
    const std::string invalid = PrepareEnvelope(message_);
    if (!invalid.empty()) {
      MessageFailed(j, {MailErrorKind::kOther, invalid});
      return true;
    }
    const bool wants_login = WantsLogin(client_) && !client_.Authenticated();
    try {
      client_.Send(message_);
    } catch (const ProtocolError& e) {
      if (e.ReplyCode() == kServiceClosing) {
        return ConnectionFailed(j, {MailErrorKind::kConnectionClosed, e.what()});
      }
      if (wants_login && !client_.Authenticated()) {
        return ConnectionFailed(j, {MailErrorKind::kAuthentication, e.what()});
      }
      // MAIL, RCPT or DATA refused: this message only. The next Send starts with RSET.
      MessageFailed(j, {MailErrorKind::kProtocol, e.what()});
      return true;
    } catch (const MessageError& e) {
      MessageFailed(j, {MailErrorKind::kOther, e.what()});  // raised before any command
      return true;
    } catch (...) {
      return ConnectionFailed(j, CurrentMailError());
    }
    // Accepted: from here on the message must never go out again.
    SentMemory::Get().Add(key);
    try {
      journaled_.insert(record.FileName);
      journal_.Add(record.FileName);
    } catch (const std::exception&) {
      // The in-process memory still keeps it from going out again in this process.
    }
    ++result_.sent;
    reporter_.Sent(j);
    MarkSent(j, record, key);
    return true;
  }

  void MarkSent(int j, TEmailRecord& record, const std::string& key) {
    record.Status = email_status::kSent;
    record.DateText = DateTimeText(NowAsDateValue());
    try {
      if (!index_.SetEmail(j, record)) throw std::runtime_error("the message index is not open");
      index_.Save(store_);  // merges with what other holders saved meanwhile
      SentMemory::Get().Remove(key);
    } catch (...) {
      unrecorded_ = true;
      result_.store_failed = true;
      reporter_.SaveFailed(j, CurrentMailError());
    }
  }

  void MessageFailed(int j, const MailError& error) {
    ++result_.failed;
    reporter_.MessageFailed(j, error);
  }

  bool ConnectionFailed(int j, const MailError& error) {
    result_.connection_error = error;
    reporter_.ConnectionFailed(j, error);
    return false;
  }

  const TUserRecord& user_;
  TIdSMTP& client_;
  const std::atomic<bool>* stop_;
  SendReporter& reporter_;
  SendResult& result_;
  const fs::path store_;
  TUserEmailDB index_;
  SentJournal journal_;
  std::set<std::string> journaled_;
  bool unrecorded_ = false;  // a Sent state could not be saved: keep the journal
  TIdMessage message_;
};

}  // namespace

bool WasSentUnrecorded(const fs::path& message_file) {
  return SentMemory::Get().Contains(SentMemory::Key(message_file));
}

SendResult SendUserOutbox(const TUserRecord& user, TIdSMTP& client,
                          std::chrono::milliseconds lock_wait, const std::atomic<bool>* stop,
                          SendReporter& reporter) {
  SendResult result;
  const std::optional<MailStoreLock> lock =
      TakeUserStoreLock(user, MailStoreActivity::kSend, lock_wait, result, reporter);
  if (!lock) return result;
  OutboxSend(user, client, stop, reporter, result).Run();
  return result;
}

}  // namespace kestrune
