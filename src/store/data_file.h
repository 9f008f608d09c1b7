// The one way data files are read and saved. Each database object holds its own
// in-memory copy; a save takes the file's lock (platform/file_lock.h: an in-process
// mutex plus an flock on "<file>.lock", so other processes such as the command line are
// kept out too), reloads the file when another holder saved it since this copy was
// read, lets the owner apply its change to the current contents, and replaces the file
// atomically with mode 0600 (platform/atomic_file.h). No holder overwrites another's
// changes, and a crash or a full disk never leaves a half-written file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

#include "platform/atomic_file.h"

namespace kestrune {

// Which version of a file a holder last saw. A save replaces the file by rename, so
// every save gives a new inode; together with size and modification time this tells
// whether anybody saved since.
struct FileStamp {
  bool exists = false;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t mtime_ns = 0;
  bool operator==(const FileStamp&) const = default;
};

// Data files larger than this are refused (they come from outside the program).
inline constexpr std::size_t kMaxDataFileBytes = std::size_t{256} << 20;

// What a change function is given: whether the file differs from the version this
// holder last read or wrote, and if so its current bytes (nullopt: it no longer exists).
struct CurrentFile {
  bool changed = false;
  std::optional<std::vector<std::uint8_t>> bytes;
};

// Returns the complete new file image.
using ChangeFunction = std::function<std::vector<std::uint8_t>(const CurrentFile& current)>;

// One holder's view of one data file. Owned by one database object, used by one thread
// at a time; any number of DataFile objects (in any threads or processes) may refer to
// the same path.
class DataFile {
 public:
  explicit DataFile(std::filesystem::path file) : file_(std::move(file)) {}

  const std::filesystem::path& Path() const { return file_; }

  // The whole file, remembering which version was read; nullopt when it does not
  // exist. Throws std::system_error when it cannot be read and DamagedFileError when
  // it is larger than kMaxDataFileBytes. Needs no lock: saves replace the file by
  // rename, so a reader sees the old or the new file whole.
  std::optional<std::vector<std::uint8_t>> Read();

  // Under the file's lock: calls change with the current contents when another holder
  // saved since this object's last Read or Modify (else with changed = false), writes
  // the image it returns atomically and remembers that version. When change or the
  // write throws, the file is left as it was and the exception passes to the caller.
  // flush, asked after change returned, says whether the write is forced to the disk
  // (platform/atomic_file.h); the first form always forces it.
  void Modify(const ChangeFunction& change);
  void Modify(const ChangeFunction& change, const std::function<Flush()>& flush);

  // The version this object last read or wrote.
  const FileStamp& Stamp() const { return stamp_; }

  // Forgets the version seen (after the owner closed its copy).
  void Forget() { stamp_ = FileStamp{}; }

 private:
  std::filesystem::path file_;
  FileStamp stamp_;
};

// Whether a and b name the same file (after resolving "." / ".." and symbolic links
// where the file system allows; FileLockKey, the key under which its lock is taken).
bool IsSameDataFile(const std::filesystem::path& a, const std::filesystem::path& b);

// The file's current stamp (exists = false when there is none).
FileStamp StampOf(const std::filesystem::path& file);

// Reads the whole file and the stamp of exactly the version read; nullopt when the
// file does not exist. Errors as DataFile::Read.
std::optional<std::vector<std::uint8_t>> ReadDataFile(const std::filesystem::path& file,
                                                      FileStamp* stamp = nullptr);

// Creates directory and its missing parents, each new one mode 0700 (mail stores and
// the users directory hold private mail). True when the directory exists afterwards.
bool CreatePrivateDirectories(const std::filesystem::path& directory);

}  // namespace kestrune
