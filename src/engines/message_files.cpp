// A batch's files stay open from Write to Sync: the sync needs them, and reopening each
// by name would cost a path lookup per message. sync_file_range starts each file's disk
// write as soon as it is written, so by the time the batch is synced most of its data is
// on the way and the syncs mostly wait for what is already in flight.
#include "engines/message_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <system_error>
#include <thread>

#include "platform/random.h"

namespace kestrune {

namespace fs = std::filesystem;

MessageFiles::MessageFiles(fs::path directory) : directory_(std::move(directory)) {
  std::error_code error;
  fs::directory_iterator it(directory_, error);
  for (; !error && it != fs::directory_iterator(); it.increment(error)) {
    const std::string name = it->path().filename().string();
    const std::size_t dot = name.find('.');
    if (dot != std::string::npos && dot > 0) taken_.insert(name.substr(0, dot));
  }
}

MessageFiles::~MessageFiles() {
  for (Open& file : batch_) Close(file);
}

void MessageFiles::Close(Open& file) noexcept {
  if (file.fd >= 0) ::close(file.fd);
  file.fd = -1;
}

std::string MessageFiles::NewBase() {
  static constexpr char kCharacters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (;;) {
    std::array<std::uint8_t, 8> random;
    FillRandom(random);
    std::string base;
    for (const std::uint8_t byte : random) base += kCharacters[byte % 36];
    if (!taken_.contains(base)) return base;
  }
}

std::string MessageFiles::Create(const std::function<void(const std::string&)>& announce) {
  if (batch_.size() >= kMaxOpenFiles) {
    throw std::system_error(EMFILE, std::generic_category(),
                            "too many unsynced message files in " + directory_.string());
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string base = NewBase();
    const std::string name = base + ".eml";
    const fs::path path = directory_ / name;
    announce(name);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
      if (errno == EEXIST) {
        taken_.insert(base);
        continue;
      }
      throw std::system_error(errno, std::generic_category(), "cannot create " + path.string());
    }
    taken_.insert(base);
    batch_.push_back({name, fd});
    return name;
  }
  throw std::system_error(EEXIST, std::generic_category(),
                          "no free file name in " + directory_.string());
}

void MessageFiles::Write(const std::string& name, std::string_view text) {
  Open* file = nullptr;
  for (auto it = batch_.rbegin(); it != batch_.rend() && file == nullptr; ++it) {
    if (it->name == name) file = &*it;  // as a rule the last one created
  }
  if (file == nullptr || file->fd < 0) {
    throw std::system_error(EBADF, std::generic_category(), "not a new message file: " + name);
  }
  int failure = 0;
  for (std::size_t done = 0; done < text.size() && failure == 0;) {
    const ssize_t written = ::write(file->fd, text.data() + done, text.size() - done);
    if (written > 0) {
      done += static_cast<std::size_t>(written);
    } else if (written < 0 && errno != EINTR) {
      failure = errno;
    }
  }
  if (failure != 0) {
    Discard(name);
    throw std::system_error(failure, std::generic_category(),
                            "cannot write " + (directory_ / name).string());
  }
  // Only a hint: the sync at the end of the batch is what counts.
  ::sync_file_range(file->fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

void MessageFiles::Discard(const std::string& name) noexcept {
  for (auto it = batch_.begin(); it != batch_.end(); ++it) {
    if (it->name != name) continue;
    Close(*it);
    ::unlink((directory_ / name).c_str());
    batch_.erase(it);
    return;
  }
}

std::vector<std::string> MessageFiles::Sync(std::vector<std::string>* errors) {
  // Syncs issued one after another each wait for a journal commit and a disk flush of
  // their own; issued together, the file system serves many of them with one (on this
  // kind of machine 256 files took 0.9 s one by one and 35 ms from 8 threads).
  std::vector<int> failures(batch_.size(), 0);
  std::atomic<std::size_t> next{0};
  auto sync_some = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < batch_.size();) {
      if (::fdatasync(batch_[i].fd) != 0) failures[i] = errno;
    }
  };
  {
    std::vector<std::jthread> helpers;
    const std::size_t count = std::min(kSyncThreads, batch_.size() / 4);
    try {
      for (std::size_t i = 0; i < count; ++i) helpers.emplace_back(sync_some);
    } catch (const std::system_error&) {
      // no thread to spare: this thread syncs the rest alone
    }
    sync_some();
  }
  std::vector<std::string> failed;
  for (std::size_t i = 0; i < batch_.size(); ++i) {
    Open& file = batch_[i];
    int failure = failures[i];
    if (::close(file.fd) != 0 && failure == 0) failure = errno;
    file.fd = -1;
    if (failure == 0) continue;
    ::unlink((directory_ / file.name).c_str());
    failed.push_back(file.name);
    if (errors != nullptr) {
      errors->push_back("cannot write " + (directory_ / file.name).string() + ": " +
                        std::generic_category().message(failure));
    }
  }
  const bool any = !batch_.empty();
  batch_.clear();
  if (!any) return failed;
  // The new names are only durable once the directory is.
  const int dir = ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const int failure = dir < 0 ? errno : (::fsync(dir) != 0 ? errno : 0);
  if (dir >= 0) ::close(dir);
  if (failure != 0) {
    throw std::system_error(failure, std::generic_category(), "cannot sync " + directory_.string());
  }
  return failed;
}

}  // namespace kestrune
