// The Outbox send of one user.
#include "engines/user_send.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "engines/fetched_uids.h"
#include "engines/mail_store_lock.h"
#include "engines/outgoing_message.h"
#include "mail/id_message.h"
#include "mail/id_smtp.h"
#include "mail/socket_error.h"
#include "platform/date_time.h"
#include "store/email_db.h"
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
        store_(fs::path(user.UserDir)) {}

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
        reporter_.CountFailed(j);
      } else if (record.Status == email_status::kOutbox) {
        ++result_.waiting;
      }
    }
    reporter_.Waiting(result_.waiting);
    if (result_.waiting > 0) {
      for (int j = 1; j <= count; ++j) {
        if (stop_ != nullptr && stop_->load()) {
          result_.stopped = true;
          break;
        }
        if (!SendRecord(j)) break;
      }
    }
    index_.Close();
    if (!result_.connection_error && !result_.stopped) reporter_.Completed();
  }

 private:
  // False when the connection failed and the send must end.
  bool SendRecord(int j) {
    TEmailRecord record;
    if (!index_.GetEmail(j, record)) {
      reporter_.RecordUnreadable(j);
      return true;
    }
    if (record.Status != email_status::kOutbox) return true;
    const fs::path file = store_ / record.FileName;
    const std::string key = SentMemory::Key(file);
    if (SentMemory::Get().Contains(key)) {
      MarkSent(j, record, key);  // sent earlier; only the record is missing
      return true;
    }
    std::error_code error;
    if (!IsMailStoreFileName(record.FileName) || !fs::is_regular_file(file, error)) {
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
  std::optional<MailStoreLock> lock;
  try {
    lock = MailStoreLock::Take(fs::path(user.UserDir), MailStoreActivity::kSend, lock_wait);
  } catch (...) {
    result.store_failed = true;
    reporter.StoreFailed(CurrentMailError());
    return result;
  }
  if (!lock) {
    result.busy = true;
    reporter.Busy();
    return result;
  }
  OutboxSend(user, client, stop, reporter, result).Run();
  return result;
}

}  // namespace kestrune
