// Text format, one message a line: account TAB uid TAB file name LF; kNoUid when the
// message had no usable UIDL (a blank inside, so no server's UIDL can be mistaken for it).
// Everything read back is checked: a damaged or planted line is dropped instead of steering a
// fetch.
#include "engines/fetched_uids.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <system_error>

#include "platform/atomic_file.h"
#include "store/mail_store_paths.h"

namespace kestrune {

namespace {

constexpr std::string_view kNoUid = "<no uid>";

std::string LineOf(const FetchedMessage& message) {
  std::string line = message.account;
  line += '\t';
  line += message.uid.empty() ? std::string(kNoUid) : message.uid;
  line += '\t';
  line += message.file_name;
  line += '\n';
  return line;
}

std::system_error SystemError(std::string_view what, const std::filesystem::path& path) {
  return std::system_error(errno, std::generic_category(), std::string(what) + " " + path.string());
}

}  // namespace

bool IsPopUid(std::string_view uid) {
  if (uid.empty() || uid.size() > 70) return false;
  for (char c : uid) {
    if (c <= 0x20 || c >= 0x7f) return false;
  }
  return true;
}

bool IsAccountKey(std::string_view account) {
  if (account.empty()) return false;
  for (char c : account) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) return false;
  }
  return true;
}

std::string AccountKey(std::string_view pop_user, std::string_view pop_server) {
  const std::string raw = std::string(pop_user) + "@" + std::string(pop_server);
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string key;
  for (char c : raw) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7f || c == '%') {
      key += '%';
      key += kHex[byte >> 4];
      key += kHex[byte & 0x0f];
    } else {
      key += c;
    }
  }
  return key;
}

FetchedUidFile::FetchedUidFile(std::filesystem::path mail_store)
    : path_(std::move(mail_store) / kFileName) {}

FetchedUidFile::~FetchedUidFile() { CloseAppender(); }

void FetchedUidFile::CloseAppender() noexcept {
  if (append_fd_ >= 0) ::close(append_fd_);
  append_fd_ = -1;
}

std::vector<FetchedMessage> FetchedUidFile::Load() const {
  std::vector<FetchedMessage> messages;
  std::error_code error;
  if (!std::filesystem::exists(path_, error)) return messages;
  std::ifstream in(path_, std::ios::binary);
  if (!in) throw SystemError("cannot read", path_);
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) throw SystemError("cannot read", path_);
  const std::string text = content.str();
  // Only lines ended by LF count: a last line without one was cut short by a crash.
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string_view line(text.data() + start, end - start);
    const std::size_t first = line.find('\t');
    if (first == std::string_view::npos) continue;
    const std::size_t second = line.find('\t', first + 1);
    if (second == std::string_view::npos) continue;
    FetchedMessage message{std::string(line.substr(0, first)),
                           std::string(line.substr(first + 1, second - first - 1)),
                           std::string(line.substr(second + 1))};
    if (message.uid == kNoUid) message.uid.clear();
    if (!IsAccountKey(message.account) || (!message.uid.empty() && !IsPopUid(message.uid)) ||
        !IsPlainStoreFileName(message.file_name)) {
      continue;  // damaged, or not written by a fetch
    }
    messages.push_back(std::move(message));
  }
  return messages;
}

void FetchedUidFile::Append(const FetchedMessage& message) {
  if (append_fd_ < 0) {
    append_fd_ =
        ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (append_fd_ < 0) throw SystemError("cannot open", path_);
  }
  const std::string line = LineOf(message);
  // One write per line: O_APPEND puts it whole at the end.
  const ssize_t written = ::write(append_fd_, line.data(), line.size());
  if (written != static_cast<ssize_t>(line.size())) {
    if (written >= 0) errno = ENOSPC;
    throw SystemError("cannot write", path_);
  }
}

void FetchedUidFile::Sync() {
  if (append_fd_ >= 0 && ::fsync(append_fd_) != 0) throw SystemError("cannot sync", path_);
}

void FetchedUidFile::Rewrite(const std::vector<FetchedMessage>& messages) {
  CloseAppender();
  std::string text;
  for (const FetchedMessage& message : messages) text += LineOf(message);
  ReplaceFileAtomically(path_, std::string_view(text), 0600);
}

}  // namespace kestrune
