// The fetch of one mailbox. Per message: skip it when the record of fetched messages
// (or, as a fallback, its Message-ID) shows it is stored already; otherwise RETR it,
// write and sync its file, note it in the record, add its index entry, and mark it
// for deletion unless the user keeps mail on the server. The index is saved once,
// before QUIT, so a run costs one pass over the stored messages, not one per message;
// the messages' words go into the full-text index in one commit with it.
#include "engines/user_fetch.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engines/fetched_uids.h"
#include "engines/mail_store_lock.h"
#include "engines/unfetched_uids.h"
#include "engines/user_store_lock.h"
#include "mail/id_message.h"
#include "mail/id_pop3.h"
#include "mail/socket_error.h"
#include "platform/date_time.h"
#include "platform/random.h"
#include "search/mail_index_writer.h"
#include "store/email_db.h"
#include "store/mail_store_paths.h"
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

// Today's local date as "YYYY-MM-DD".
std::string LocalDay() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", &local);
  return text;
}

// Sessions one fetch opens at most: each after the first resumes behind a message that
// ended the one before.
constexpr int kMaxSessionsPerRun = 4;

// Thrown out of a retrieval that ended the session on purpose (the connection was
// closed at the size limit or the deadline, or a stop request closed it); the failure
// has been noted and reported already.
struct SessionAbandoned {};

// What the server's UIDL and LIST said about one message.
struct ServerMessage {
  std::string uid;  // empty: none, or one that cannot identify the message
  std::optional<std::uint64_t> size;
};

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
  // failed_this_run: UIDLs of messages that failed in an earlier session of this run,
  // left alone for the rest of it; the failures of this session are added.
  MailboxFetch(const TUserRecord& user, const FetchOptions& options, TIdPOP3& client,
               FetchReporter& reporter, FetchResult& result,
               std::unordered_set<std::string>& failed_this_run)
      : user_(user),
        options_(options),
        client_(client),
        reporter_(reporter),
        result_(result),
        failed_this_run_(failed_this_run),
        store_(fs::path(user.UserDir)),
        account_(AccountKey(user.PopUserName, user.PopServer)),
        trail_(store_) {
    raw_.NoDecode = true;
  }

  // Whether the session ended on one message whose UIDL is known (it was cut at the
  // size limit or the deadline, or the connection broke inside it): a new session can
  // then take the mail behind it, leaving that message alone.
  bool Resumable() const { return resumable_; }

  // Stores the waiting messages. True when the session may end with QUIT; a transport
  // error ends the loop and is raised after what was stored is saved.
  bool Run() {
    if (!OpenStore()) return false;
    ListMessages(result_.waiting);
    std::exception_ptr broken;
    auto step = [&](int number, const ServerMessage& message) {
      if (options_.stop != nullptr && options_.stop->load()) {
        result_.stopped = true;
        return false;
      }
      try {
        FetchOne(number, message);
      } catch (const SessionAbandoned&) {
        ended_early_ = true;
        return false;
      } catch (const StopRequested&) {
        result_.stopped = true;
        return false;
      } catch (const TransportError&) {
        broken = std::current_exception();  // the stream is out of step
        return false;
      }
      if (refusals_in_a_row_ >= std::max(options_.max_consecutive_refusals, 1)) {
        // A server that refuses everything (or claims messages it does not have) would
        // otherwise be asked for each of them, with a log line each.
        reporter_.EndedEarly({MailErrorKind::kProtocol,
                              "the Pop Server refused " + std::to_string(refusals_in_a_row_) +
                                  " messages in a row; the rest wait for the next run."});
        result_.ended_early = true;
        return false;
      }
      return true;
    };
    if (unlisted_count_ > 0) {
      const ServerMessage unknown;
      for (int number = 1; number <= unlisted_count_ && step(number, unknown); ++number) {
      }
    } else {
      for (const auto& [number, message] : messages_) {
        if (!step(number, message)) break;
      }
    }
    const bool saved = SaveStore();
    SaveUnfetched();
    if (broken) std::rethrow_exception(broken);
    if (ended_early_) result_.ended_early = true;
    return saved && !result_.stopped && !ended_early_;
  }

 private:
  // The messages to work on, by number: those UIDL lists, else those LIST lists, else
  // 1..STAT's count (bounded). A count that the server only claims costs nothing.
  // A UIDL that several messages share, or that cannot be one, identifies none of them.
  void ListMessages(int stat_count) {
    std::map<int, std::string> uids;
    has_uidl_ = client_.RetrieveUidList(uids);
    std::map<int, std::uint64_t> sizes;
    const bool has_list = client_.RetrieveSizeList(sizes);
    std::unordered_map<std::string, int> holders;
    for (const auto& [number, uid] : uids) {
      if (uid.empty()) continue;
      server_uids_.insert(uid);
      ++holders[uid];
    }
    auto add = [&](int number) {
      ServerMessage& message = messages_[number];
      const auto uid = uids.find(number);
      if (uid != uids.end() && holders[uid->second] == 1) message.uid = uid->second;
      const auto size = sizes.find(number);
      if (size != sizes.end()) message.size = size->second;
    };
    if (has_uidl_ || has_list) {
      // A message LIST names but UIDL leaves out is still fetched, without a UIDL.
      for (const auto& entry : uids) add(entry.first);
      for (const auto& entry : sizes) add(entry.first);
    } else {
      // Neither list: STAT's count, walked without a table of its own.
      unlisted_count_ =
          static_cast<int>(std::min<std::int64_t>(stat_count, TIdPOP3::kMaxListedMessages));
    }
  }

  // Whether a message remembered as failing is skipped; names it once a day.
  bool SkipRemembered(int number, const std::string& uid) {
    const auto it = unfetched_.find(uid);
    if (it == unfetched_.end()) return false;
    UnfetchedMessage& entry = it->second;
    if (!entry.over_size && entry.attempts < std::max(options_.max_attempts, 1)) return false;
    ++result_.skipped;
    if (entry.reported_on != today_) {
      entry.reported_on = today_;
      unfetched_changed_ = true;
      reporter_.MessageSkipped(number, {MailErrorKind::kOther, SkipText(entry)});
    }
    return true;
  }

  static std::string SkipText(const UnfetchedMessage& entry) {
    if (entry.over_size) return entry.reason;
    return "it failed in " + std::to_string(entry.attempts) +
           " runs and is no longer retried; the last error: " + entry.reason;
  }

  // A message over the size limit (from LIST, or closed at the limit): remembered, so
  // that later runs leave it alone, and named now.
  void OverSize(int number, const std::string& uid, const std::string& reason) {
    ++result_.skipped;
    if (!uid.empty()) {
      failed_this_run_.insert(uid);
      UnfetchedMessage& entry = unfetched_[uid];
      entry = {account_, uid, entry.attempts + 1, true, today_, reason};
      unfetched_changed_ = true;
    }
    reporter_.MessageSkipped(number, {MailErrorKind::kOther, reason});
  }

  // A failed retrieval: reported, and counted against the message's UIDL.
  void RetrievalFailed(int number, const std::string& uid, const MailError& error) {
    MessageFailed(number, error);
    if (uid.empty()) return;
    failed_this_run_.insert(uid);
    UnfetchedMessage& entry = unfetched_[uid];
    entry.account = account_;
    entry.uid = uid;
    entry.reason = error.text;
    ++entry.attempts;
    unfetched_changed_ = true;
    if (entry.attempts >= std::max(options_.max_attempts, 1)) {
      entry.reported_on = today_;
      reporter_.MessageSkipped(number, {MailErrorKind::kOther, SkipText(entry)});
    }
  }

  void Retrieved(const std::string& uid) {
    if (!uid.empty() && unfetched_.erase(uid) > 0) unfetched_changed_ = true;
  }

  // Writes back the remembered failures: this account's for messages still on the
  // server, and every other account's as they were.
  void SaveUnfetched() {
    std::vector<UnfetchedMessage> kept = other_unfetched_;
    bool dropped = false;
    for (auto& [uid, entry] : unfetched_) {
      if (has_uidl_ && !server_uids_.contains(uid)) {
        dropped = true;
        continue;
      }
      kept.push_back(entry);
    }
    if (!unfetched_changed_ && !dropped) return;
    try {
      UnfetchedUidFile(store_).Save(kept);
    } catch (...) {
      result_.store_failed = true;
      reporter_.StoreFailed(CurrentMailError());
    }
  }

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
      for (UnfetchedMessage& entry : UnfetchedUidFile(store_).Load()) {
        if (entry.account == account_) {
          unfetched_[entry.uid] = std::move(entry);
        } else {
          other_unfetched_.push_back(std::move(entry));
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
    search_index_.AddFile(entry.file_name);
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
        if (!IsPlainStoreFileName(name)) continue;
        const std::optional<std::string> id = ReadMessageIdOfFile(store_ / name);
        if (!id) continue;
        std::string key = MessageIdKey(*id);
        if (!key.empty()) message_ids_->emplace(std::move(key), name);
      }
    }
    return *message_ids_;
  }

  void FetchOne(int number, const ServerMessage& message) {
    const std::string& uid = message.uid;
    if (!uid.empty() && known_.contains(uid)) {
      // Stored by an earlier run (one that kept it, or ended before its QUIT).
      if (!user_.LeaveEmails) MarkDeleted(number);
      return;
    }
    if (!uid.empty() && failed_this_run_.contains(uid)) return;  // reported already
    if (!uid.empty() && SkipRemembered(number, uid)) return;
    if (message.size && *message.size > options_.max_message_size) {
      OverSize(number, uid, OverSizeText(*message.size));
      return;
    }
    bool retrieved = false;
    // Without a usable UIDL (for this message, or for this account so far) the
    // Message-ID is all that can tell a kept message from a new one.
    if (user_.LeaveEmails && (uid.empty() || !account_seen_)) {
      raw_.Clear();
      if (!top_unsupported_) {
        try {
          Guarded(number, uid,
                  [&] { client_.RetrieveHeader(number, raw_, options_.message_time_floor); });
        } catch (const ProtocolError&) {
          top_unsupported_ = true;  // a server without TOP: the whole message decides
        }
      }
      if (top_unsupported_) {
        if (!Retrieve(number, message)) return;
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
    if (!retrieved && !Retrieve(number, message)) return;
    if (Store(number, uid) && !user_.LeaveEmails) MarkDeleted(number);
  }

  std::string OverSizeText(std::uint64_t size) const {
    return "the message is " + std::to_string(size) + " bytes, larger than the limit of " +
           std::to_string(options_.max_message_size) + " bytes";
  }

  // Runs one retrieval of message `number`. A message over the size limit or past its
  // deadline closed the connection: noted against the message, then the session is
  // abandoned. A broken connection is noted and raised as the session's error.
  template <typename Step>
  void Guarded(int number, const std::string& uid, Step step) {
    try {
      step();
    } catch (const MessageTooLarge& e) {
      OverSize(number, uid, e.what());
      resumable_ = !uid.empty() && has_uidl_;
      reporter_.EndedEarly({MailErrorKind::kTransport, e.what()});
      throw SessionAbandoned();
    } catch (const DeadlinePassed& e) {
      RetrievalFailed(number, uid, {MailErrorKind::kReadTimeout, e.what()});
      resumable_ = !uid.empty() && has_uidl_;
      reporter_.EndedEarly({MailErrorKind::kReadTimeout, e.what()});
      throw SessionAbandoned();
    } catch (const StopRequested&) {
      throw;
    } catch (const ProtocolError&) {
      throw;
    } catch (const TransportError&) {
      RetrievalFailed(number, uid, CurrentMailError());
      resumable_ = !uid.empty() && has_uidl_;
      throw;
    }
  }

  // RETR into raw_; a clean "-ERR" or an unreadable message is this message's error.
  bool Retrieve(int number, const ServerMessage& message) {
    const std::string& uid = message.uid;
    const std::uint64_t expected = message.size.value_or(options_.max_message_size);
    const auto time_limit = std::max<std::chrono::milliseconds>(
        options_.message_time_floor,
        std::chrono::milliseconds(expected * 1000 /
                                  std::max<std::size_t>(options_.message_min_rate, 1)));
    try {
      raw_.Clear();
      bool answered = false;
      Guarded(number, uid, [&] { answered = client_.Retrieve(number, raw_, time_limit); });
      if (answered) {
        refusals_in_a_row_ = 0;
        Retrieved(uid);
        return true;
      }
      ++refusals_in_a_row_;
      const auto& lines = client_.LastReplyLines();
      RetrievalFailed(number, uid,
                      {MailErrorKind::kProtocol, lines.empty() ? "-ERR" : "-ERR " + lines.front()});
    } catch (const MessageError& e) {
      refusals_in_a_row_ = 0;
      RetrievalFailed(number, uid, {MailErrorKind::kOther, e.what()});
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
      if (decoded) {
        search_index_.Add(name, decoded_);
      } else {
        search_index_.AddFile(name);  // indexed by what its header section says
      }
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

  // Notes a stored message for the record. Its UIDL does not join known_: a DELE is
  // only ever decided from what an earlier session stored.
  void Remember(const FetchedMessage& entry) {
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
      search_index_.Flush();  // a message left out is found after the next rebuild
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
  std::unordered_set<std::string>& failed_this_run_;
  const fs::path store_;
  const std::string account_;

  TUserEmailDB index_;
  bool index_changed_ = false;
  MailIndexWriter search_index_{store_};  // the full-text index, written at SaveStore
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
  std::map<int, ServerMessage> messages_;
  int unlisted_count_ = 0;                       // without UIDL and LIST: messages 1..this
  std::unordered_set<std::string> server_uids_;  // every UIDL the server listed
  bool top_unsupported_ = false;
  int refusals_in_a_row_ = 0;
  bool ended_early_ = false;
  bool resumable_ = false;

  const std::string today_ = options_.today.empty() ? LocalDay() : options_.today;
  std::unordered_map<std::string, UnfetchedMessage> unfetched_;  // this account's, by UIDL
  std::vector<UnfetchedMessage> other_unfetched_;
  bool unfetched_changed_ = false;

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
  client.MaxMessageSize = options.max_message_size;
  client.StopFlag = options.stop;
  std::unordered_set<std::string> failed_this_run;
  for (int session = 1;; ++session) {
    reporter.Connecting();
    try {
      client.Connect(options.connect_timeout_ms);
    } catch (const StopRequested&) {
      result.stopped = true;
      reporter.Stopped();
      return result;
    } catch (...) {
      client.Abort();
      result.error = CurrentMailError();
      reporter.ConnectFailed(result.error);
      return result;
    }
    bool resume = false;
    try {
      reporter.Connected(client.Secure());
      const int waiting = client.CheckMessages();
      if (session == 1) {
        result.waiting = waiting;
        reporter.Waiting(waiting);
      }
      bool commit = true;
      if (waiting > 0) {
        MailboxFetch fetch(user, options, client, reporter, result, failed_this_run);
        try {
          commit = fetch.Run();
        } catch (...) {
          resume = fetch.Resumable();
          throw;
        }
        resume = fetch.Resumable();
      }
      if (commit) {
        client.Disconnect();  // QUIT: the deletions take effect
        reporter.Disconnected();
      } else {
        client.Abort();
        if (result.stopped) reporter.Stopped();
      }
    } catch (const StopRequested&) {
      client.Abort();
      result.stopped = true;
      reporter.Stopped();
    } catch (...) {
      client.Abort();
      result.error = CurrentMailError();
      reporter.Failed(result.error);
    }
    // The session ended on one message without QUIT: a new one takes the mail behind
    // it. What the last one stored is recognised by its UIDL and deleted then; the
    // failed message stays on the server, left alone for the rest of this run.
    if (!resume || result.stopped || session >= kMaxSessionsPerRun) break;
  }
  return result;
}

}  // namespace kestrune
