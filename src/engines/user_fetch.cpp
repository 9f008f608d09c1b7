// The fetch of one mailbox. Per message: skip it when the record of fetched messages
// (or, as a fallback, its Message-ID) shows it is stored already; otherwise RETR it
// and write its file. Messages are committed in batches (group commit): the batch's
// files are synced together, their lines in the record of fetched messages are synced,
// the index is saved and the full-text index committed with it, and only then are the
// batch's messages marked for deletion on the server (unless the user keeps mail
// there). A run thus costs a few syncs and index saves per batch, not per message.
// With a server that offers pipelining, RETRs go out ahead of their answers (a bounded
// window) and a batch's DELEs in one write; every answer is still read in order and
// handled exactly as in the one-command-at-a-time exchange.
#include "engines/user_fetch.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <deque>
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
#include "engines/message_files.h"
#include "engines/unfetched_uids.h"
#include "engines/user_store_lock.h"
#include "mail/id_message.h"
#include "mail/id_pop3.h"
#include "mail/socket_error.h"
#include "platform/date_time.h"
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

class MailboxFetch {
 public:
  // failed_this_run: UIDLs of messages that failed in an earlier session of this run,
  // left alone for the rest of it; the failures of this session are added.
  // lock_step: set once the server's pipelined answers were found out of step; the
  // rest of the run sends one command at a time.
  MailboxFetch(const TUserRecord& user, const FetchOptions& options, TIdPOP3& client,
               FetchReporter& reporter, FetchResult& result,
               std::unordered_set<std::string>& failed_this_run, bool& lock_step)
      : user_(user),
        options_(options),
        client_(client),
        reporter_(reporter),
        result_(result),
        failed_this_run_(failed_this_run),
        lock_step_(lock_step),
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
    // Commands are sent ahead only where the next session can recognise what this one
    // stored (by UIDL) should it have to be abandoned.
    pipelining_ = client_.Pipelining() && has_uidl_ && options_.pipeline_depth > 0 && !lock_step_;
    ahead_ = messages_.begin();
    std::exception_ptr broken;
    auto step = [&](int number, const ServerMessage& message) {
      if (options_.stop != nullptr && options_.stop->load()) {
        result_.stopped = true;
        return false;
      }
      try {
        if (pipelining_) {
          ReadDeleteReplies();
          FillWindow(number);
        }
        FetchOne(number, message);
        if (!CommitDue()) return false;
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
    // The last batch's deletions, when the session is to end with QUIT.
    if (saved && !result_.stopped && !ended_early_) {
      DeleteCommitted();
      FinishPipeline();
    }
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

  // Whether a message remembered as failing is no longer retrieved.
  bool Remembered(const std::string& uid) const {
    const auto it = unfetched_.find(uid);
    return it != unfetched_.end() &&
           (it->second.over_size || it->second.attempts >= std::max(options_.max_attempts, 1));
  }

  // Whether a message remembered as failing is skipped; names it once a day.
  bool SkipRemembered(int number, const std::string& uid) {
    if (!Remembered(uid)) return false;
    UnfetchedMessage& entry = unfetched_.at(uid);
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
      // A message file is named in the record twice: without UIDL when it is created,
      // with its UIDL once it is synced. The second line decides.
      std::unordered_set<std::string> synced;
      for (const FetchedMessage& entry : trail_entries_) {
        if (!entry.uid.empty()) synced.insert(entry.file_name);
      }
      for (const FetchedMessage& entry : trail_entries_) {
        if (entry.uid.empty() && synced.contains(entry.file_name)) continue;
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

  // What FetchOne will send for a message, told before it gets there.
  enum class Exchange {
    kRetrieve,  // RETR alone: may be sent ahead
    kNone,      // nothing: the message is left alone
    kLockStep,  // something else, or a RETR whose answer cannot be checked: in turn
  };
  Exchange ExchangeFor(const ServerMessage& message) const {
    const std::string& uid = message.uid;
    if (uid.empty() || !message.size) return Exchange::kLockStep;
    if (known_.contains(uid)) return user_.LeaveEmails ? Exchange::kNone : Exchange::kLockStep;
    if (failed_this_run_.contains(uid) || Remembered(uid)) return Exchange::kNone;
    if (*message.size > options_.max_message_size) return Exchange::kNone;
    if (user_.LeaveEmails && !account_seen_) return Exchange::kLockStep;
    return Exchange::kRetrieve;
  }

  // Sends RETRs ahead for the messages from `number` on, until the window is full or a
  // message needs a command in turn (sent once the window before it has drained).
  void FillWindow(int number) {
    std::vector<std::string> commands;
    while (ahead_ != messages_.end() && sent_ahead_.size() < options_.pipeline_depth) {
      const auto& [next, message] = *ahead_;
      if (next >= number) {
        const Exchange exchange = ExchangeFor(message);
        if (exchange == Exchange::kLockStep) break;
        if (exchange == Exchange::kRetrieve) {
          if (!sent_ahead_.empty() && bytes_ahead_ + *message.size > options_.pipeline_bytes) {
            break;
          }
          commands.push_back("RETR " + std::to_string(next));
          sent_ahead_.push_back({next, *message.size});
          bytes_ahead_ += *message.size;
        }
      }
      ++ahead_;
    }
    client_.SendAhead(commands);
  }

  bool DeleteReplyIsNext() const {
    return !deletes_ahead_.empty() && !client_.Pending().empty() &&
           client_.Pending().front() == "DELE " + std::to_string(deletes_ahead_.front());
  }

  // Reads the answers to the DELEs sent ahead that have come to the front.
  void ReadDeleteReplies() {
    while (DeleteReplyIsNext()) {
      const int number = deletes_ahead_.front();
      deletes_ahead_.pop_front();
      MarkDeleted(number);
    }
  }

  // Before QUIT: the DELEs' answers, and those of RETRs sent for messages the session
  // no longer takes (read and thrown away).
  void FinishPipeline() {
    while (!client_.Pending().empty()) {
      ReadDeleteReplies();
      if (!client_.Pending().empty() && !DeleteReplyIsNext()) {
        client_.DiscardReply(options_.message_time_floor);
      }
    }
  }

  void FetchOne(int number, const ServerMessage& message) {
    const std::string& uid = message.uid;
    if (!sent_ahead_.empty() && sent_ahead_.front().first == number) {
      bytes_ahead_ -= sent_ahead_.front().second;
      sent_ahead_.pop_front();
      if (Retrieve(number, message, true)) Store(number, uid);
      return;
    }
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
    Store(number, uid);
  }

  // Real servers count LIST sizes with CR LF line ends, exactly; the slack allows for a
  // final line end the server adds to a message without one.
  void CheckInStep(int number, std::uint64_t listed) {
    constexpr std::uint64_t kSlack = 2;
    const std::uint64_t octets = client_.LastMessageOctets();
    if (octets + kSlack >= listed && octets <= listed + kSlack) return;
    lock_step_ = true;
    resumable_ = true;
    reporter_.EndedEarly(
        {MailErrorKind::kProtocol,
         "the answer to RETR " + std::to_string(number) + " was " + std::to_string(octets) +
             " bytes where LIST said " + std::to_string(listed) +
             ": the Pop Server's answers to pipelined commands are out of step. Nothing of it "
             "was stored; the rest is fetched one command at a time."});
    throw SessionAbandoned();
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
  // For a RETR sent ahead, an answer whose size is not what LIST said may belong to
  // another command (a server whose answers slipped out of step): nothing of it is
  // stored and the session is abandoned; the rest of the run goes one command at a time.
  bool Retrieve(int number, const ServerMessage& message, bool sent_ahead = false) {
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
      if (answered && sent_ahead) CheckInStep(number, *message.size);
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

  // Writes the message's file and adds it to the batch; its record joins the index when
  // the batch is committed.
  bool Store(int number, const std::string& uid) {
    std::string name;
    try {
      const std::string text = raw_.FileText();
      // Named in the record (without UIDL) before the file exists: should the run end
      // before the batch is committed, the next run removes the file (the message is
      // still on the server and is fetched again). A name another writer took in the
      // meantime is named too; such a line is only acted on for a file no index record
      // lists, and the next completed run drops it.
      name = files_->Create([this](const std::string& candidate) {
        trail_.Append({account_, "", candidate});
        trail_appended_ = true;
      });
      files_->Write(name, text);
      bool decoded = true;
      try {
        decoded_.Clear();
        decoded_.LoadFromText(text);
      } catch (const std::exception&) {
        decoded = false;  // filed with what its header gives
      }
      if (batch_.empty()) batch_started_ = Clock::now();
      if (unsaved_ == 0 && batch_.empty()) first_unsaved_ = batch_started_;
      batch_.push_back({number, uid, RecordOf(decoded ? decoded_ : raw_, decoded, name)});
      batch_bytes_ += text.size();
      if (decoded) {
        search_index_.Add(name, decoded_);
      } else {
        search_index_.AddFile(name);  // indexed by what its header section says
      }
      if (message_ids_) {
        const std::string key = MessageIdKey(raw_.MsgId);
        if (!key.empty()) message_ids_->emplace(key, name);
      }
      ++result_.stored;
      reporter_.Stored(number, decoded ? decoded_ : raw_);
      return true;
    } catch (...) {
      const MailError error = CurrentMailError();
      if (!name.empty()) {
        if (!batch_.empty() && batch_.back().record.FileName == name) batch_.pop_back();
        files_->Discard(name);
      }
      MessageFailed(number, error);
      return false;
    }
  }

  using Clock = std::chrono::steady_clock;

  // Whether the written files are to be synced now: the batch is full, or it has
  // waited long enough (a slow server still gets its mail committed as it comes).
  bool BatchIsFull() const {
    if (batch_.empty()) return false;
    const std::size_t most =
        std::clamp<std::size_t>(options_.batch_messages, 1, MessageFiles::kMaxOpenFiles);
    return batch_.size() >= most || batch_bytes_ >= options_.batch_bytes ||
           Clock::now() - batch_started_ >= options_.batch_time;
  }

  // Whether the index is to be saved now. A save writes the whole index, so in a large
  // store saves are spaced by a multiple of the time the last one took: their share of
  // the run stays bounded however many messages the store holds, and a run's cost stays
  // linear in the number of messages it fetches.
  bool SaveIsDue() const {
    const std::size_t unsaved = unsaved_ + batch_.size();
    if (unsaved == 0) return false;
    const Clock::time_point now = Clock::now();
    if (now - last_save_end_ < options_.save_spacing * last_save_time_) return false;
    const std::size_t most = std::max<std::size_t>(options_.batch_messages, 1);
    return unsaved >= most || now - first_unsaved_ >= options_.batch_time;
  }

  // Makes the batch's files durable, then their lines with UIDL in the record of
  // fetched messages (a crash from here on leaves files the next run adopts), and adds
  // their records to this copy of the index. False when the store could not be
  // written: nothing more is stored and the session ends without QUIT.
  bool SyncBatch() {
    if (store_broken_) return false;
    if (batch_.empty()) return true;
    std::vector<std::string> errors;
    std::vector<std::string> unsynced;
    try {
      unsynced = files_->Sync(&errors);
    } catch (...) {
      return StoreBroken();
    }
    for (std::size_t i = 0; i < unsynced.size(); ++i) {
      const auto it = std::find_if(batch_.begin(), batch_.end(), [&](const BatchedMessage& m) {
        return m.record.FileName == unsynced[i];
      });
      if (it == batch_.end()) continue;
      --result_.stored;
      MessageFailed(it->number, {MailErrorKind::kOther, errors[i]});
      batch_.erase(it);
    }
    try {
      for (const BatchedMessage& message : batch_) {
        if (!message.uid.empty()) trail_.Append({account_, message.uid, message.record.FileName});
      }
      trail_.Sync();
    } catch (...) {
      return StoreBroken();
    }
    for (const BatchedMessage& message : batch_) {
      if (!index_.AddEmail(message.record)) return StoreBroken();
      index_changed_ = true;
      referenced_.insert(message.record.FileName);
      Remember({account_, message.uid, message.record.FileName});
      if (!user_.LeaveEmails) unsaved_numbers_.push_back(message.number);
    }
    unsaved_ += batch_.size();
    batch_.clear();
    batch_bytes_ = 0;
    return true;
  }

  // Saves the index listing the synced messages, and commits the full-text index after
  // it; those messages are then due for deletion on the server.
  bool SaveIndex() {
    if (store_broken_) return false;
    if (index_changed_) {
      const Clock::time_point start = Clock::now();
      search_index_.Journal();
      try {
        index_.Save(store_);
      } catch (...) {
        return StoreBroken();
      }
      index_changed_ = false;
      search_index_.Flush();  // a message left out is found after the next rebuild
      last_save_end_ = Clock::now();
      last_save_time_ =
          std::chrono::duration_cast<std::chrono::microseconds>(last_save_end_ - start);
    }
    committed_.insert(committed_.end(), unsaved_numbers_.begin(), unsaved_numbers_.end());
    unsaved_numbers_.clear();
    unsaved_ = 0;
    return true;
  }

  // The step after each message: syncs and saves what is due, then marks what was
  // saved for deletion.
  bool CommitDue() {
    const bool save = SaveIsDue();
    if ((save || BatchIsFull()) && !SyncBatch()) return false;
    if (save) {
      if (!SaveIndex()) return false;
      DeleteCommitted();
    }
    return true;
  }

  bool StoreBroken() {
    store_broken_ = true;
    committed_.clear();
    unsaved_numbers_.clear();
    result_.store_failed = true;
    reporter_.StoreFailed(CurrentMailError());
    return false;
  }

  // Marks the committed messages for deletion; QUIT deletes them. Pipelined, they go
  // out in one write and their answers are read as they come to the front.
  void DeleteCommitted() {
    std::vector<int> numbers;
    numbers.swap(committed_);
    if (pipelining_) {
      std::vector<std::string> commands;
      for (const int number : numbers) commands.push_back("DELE " + std::to_string(number));
      client_.SendAhead(commands);
      deletes_ahead_.insert(deletes_ahead_.end(), numbers.begin(), numbers.end());
      return;
    }
    for (const int number : numbers) MarkDeleted(number);
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

  // Commits the last batch (and what OpenStore adopted), then rewrites the trail
  // without lines that no longer matter. False when the store could not be saved: the
  // session must then end without QUIT.
  bool SaveStore() {
    const bool saved = SyncBatch() && SaveIndex();
    index_.Close();
    if (saved) RewriteTrail();
    return saved;
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
    if (kept.size() == trail_entries_.size() && new_entries_.empty() && !trail_appended_) return;
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
  bool& lock_step_;
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
  // The batch: messages whose files are written and not yet committed.
  struct BatchedMessage {
    int number;
    std::string uid;
    TEmailRecord record;
  };
  std::vector<BatchedMessage> batch_;
  std::size_t batch_bytes_ = 0;
  std::chrono::steady_clock::time_point batch_started_;
  std::size_t unsaved_ = 0;           // synced messages the saved index does not list yet
  std::vector<int> unsaved_numbers_;  // those of them to delete on the server
  std::chrono::steady_clock::time_point first_unsaved_;  // when the first of them came
  std::chrono::steady_clock::time_point last_save_end_;
  std::chrono::microseconds last_save_time_{0};
  std::vector<int> committed_;  // saved messages not yet marked for deletion
  bool store_broken_ = false;   // a commit failed: nothing more is saved
  bool trail_appended_ = false;
  std::unordered_set<std::string> referenced_;  // file names the index lists
  std::unordered_set<std::string> known_;       // UIDLs of this account stored already
  bool account_seen_ = false;
  std::optional<std::unordered_map<std::string, std::string>> message_ids_;

  bool has_uidl_ = false;
  std::map<int, ServerMessage> messages_;
  bool pipelining_ = false;
  std::map<int, ServerMessage>::const_iterator ahead_;    // the next message to send ahead
  std::deque<std::pair<int, std::uint64_t>> sent_ahead_;  // RETRs in flight: number, size
  std::uint64_t bytes_ahead_ = 0;
  std::deque<int> deletes_ahead_;                // DELEs in flight
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
  bool lock_step = false;
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
        MailboxFetch fetch(user, options, client, reporter, result, failed_this_run, lock_step);
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
