// The index lock and the pending list: flocks on files in the mail store, released by
// the kernel when a holder dies, so a killed writer never leaves the index locked.
#include "search/index_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <system_error>

#include "platform/file_lock.h"
#include "store/mail_store_paths.h"

namespace kestrune {

namespace fs = std::filesystem;

namespace {

// The pending list read at once; a list this long (some hundred thousand names) is
// taken in parts by successive holders.
constexpr std::size_t kMaxPendingBytes = 4u * 1024u * 1024u;

int OpenFile(const fs::path& file, int flags) {
  const int fd = ::open(file.c_str(), flags | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category(), "cannot open " + file.string());
  }
  return fd;
}

// Holds an flock on an open descriptor, blocking; closes the descriptor at the end.
class LockedFile {
 public:
  LockedFile(const fs::path& file, int flags) : fd_(OpenFile(file, flags)) {
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        const int error = errno;
        ::close(fd_);
        throw std::system_error(error, std::generic_category(), "cannot lock " + file.string());
      }
    }
  }
  ~LockedFile() { ::close(fd_); }
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

SearchIndexLock::~SearchIndexLock() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<SearchIndexLock> SearchIndexLock::Take(const fs::path& store,
                                                     std::chrono::milliseconds wait,
                                                     const std::atomic<bool>* stop) {
  const int fd = TakeExclusiveFlock(store / search_files::kLock, wait, stop);
  if (fd < 0) return std::nullopt;
  return SearchIndexLock(fd);
}

IndexVersionLock::IndexVersionLock(const fs::path& store, Use use) {
  fd_ = ::open((store / search_files::kVersionLock).c_str(),
               O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd_ < 0) return;
  const int operation = use == Use::kRead ? LOCK_SH : LOCK_EX;
  while (::flock(fd_, operation) != 0) {
    if (errno != EINTR) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
  }
}

IndexVersionLock::~IndexVersionLock() {
  if (fd_ >= 0) ::close(fd_);
}

// The list is never unlinked, only rewritten in place: a writer that opened it before
// then appends to the same file once the holder is done with it.
void AppendPendingNames(const fs::path& store, const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += name + '\n';
  const fs::path file = store / search_files::kPending;
  LockedFile pending(file, O_WRONLY | O_APPEND);
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t written = ::write(pending.fd(), text.data() + done, text.size() - done);
    if (written > 0) {
      done += static_cast<std::size_t>(written);
    } else if (errno != EINTR) {
      throw std::system_error(errno, std::generic_category(), "cannot write " + file.string());
    }
  }
}

PendingNames ReadPendingNames(const fs::path& store) {
  const fs::path file = store / search_files::kPending;
  std::error_code error;
  if (!fs::exists(file, error)) return {};
  std::string text;
  {
    LockedFile pending(file, O_RDONLY);
    char buffer[8192];
    while (text.size() < kMaxPendingBytes) {
      const ssize_t got = ::read(pending.fd(), buffer, sizeof buffer);
      if (got > 0) {
        text.append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0) {
        break;
      } else if (errno != EINTR) {
        throw std::system_error(errno, std::generic_category(), "cannot read " + file.string());
      }
    }
  }
  // Only whole lines count as read; a longer list is taken in parts.
  const std::size_t whole = text.rfind('\n');
  text.resize(whole == std::string::npos ? 0 : whole + 1);
  PendingNames pending;
  pending.bytes = text.size();
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    const std::string_view name(text.data() + start, end - start);
    if (IsPlainStoreFileName(name)) pending.names.emplace_back(name);
    start = end + 1;
  }
  return pending;
}

void ForgetPendingNames(const fs::path& store, std::uint64_t bytes) {
  const fs::path file = store / search_files::kPending;
  std::error_code error;
  if (!fs::exists(file, error)) return;
  LockedFile pending(file, O_RDWR);
  std::string rest;
  if (bytes != static_cast<std::uint64_t>(-1)) {
    char buffer[8192];
    off_t offset = static_cast<off_t>(bytes);
    for (;;) {
      const ssize_t got = ::pread(pending.fd(), buffer, sizeof buffer, offset);
      if (got > 0) {
        rest.append(buffer, static_cast<std::size_t>(got));
        offset += got;
      } else if (got == 0) {
        break;
      } else if (errno != EINTR) {
        throw std::system_error(errno, std::generic_category(), "cannot read " + file.string());
      }
    }
  }
  if (::ftruncate(pending.fd(), 0) != 0) {
    throw std::system_error(errno, std::generic_category(), "cannot empty " + file.string());
  }
  // Writers append (O_APPEND) under the same lock: the rest goes back to the start.
  for (std::size_t done = 0; done < rest.size();) {
    const ssize_t written =
        ::pwrite(pending.fd(), rest.data() + done, rest.size() - done, static_cast<off_t>(done));
    if (written > 0) {
      done += static_cast<std::size_t>(written);
    } else if (errno != EINTR) {
      throw std::system_error(errno, std::generic_category(), "cannot write " + file.string());
    }
  }
}

void MarkIndexStale(const fs::path& store) {
  const int fd = ::open((store / search_files::kStale).c_str(),
                        O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd >= 0) ::close(fd);
}

}  // namespace kestrune
