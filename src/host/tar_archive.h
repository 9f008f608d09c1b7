// The backup archive's container: a POSIX tar stream (ustar headers, a pax "path" record for
// names longer than 100 bytes) compressed as one gzip member. Only directories and regular
// files are written or accepted; a reader treats the archive as untrusted input and refuses
// links, devices, unsafe names, bad checksums and a stream that ends early.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kestrune {

// A damaged, truncated or hostile archive, or a failed read or write of one.
class ArchiveError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The largest entry a reader accepts (entries are held in memory whole).
inline constexpr std::uint64_t kMaxArchiveEntryBytes = std::uint64_t{256} << 20;

struct ArchiveEntry {
  std::string path;  // relative, "/"-separated, checked by IsSafeArchivePath
  bool directory = false;
  mode_t mode = 0;  // permission bits only
  std::int64_t mtime = 0;
  std::string data;  // a file's contents
};

// Whether path is a relative path of plain names: not empty, no leading "/", no empty,
// "." or ".." component, no control character.
bool IsSafeArchivePath(std::string_view path);

// Writes entries to an open file descriptor (not owned). Every failure of write(2) (a full
// disk, a file size limit) throws ArchiveError naming the error.
class TarGzWriter {
 public:
  explicit TarGzWriter(int fd);
  ~TarGzWriter();
  TarGzWriter(const TarGzWriter&) = delete;
  TarGzWriter& operator=(const TarGzWriter&) = delete;

  void Add(const ArchiveEntry& entry);
  // The end-of-archive blocks and the end of the gzip member; nothing may be added after.
  void Finish();
  // Compressed bytes written so far.
  std::uint64_t BytesWritten() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// Reads the entries of an archive from an open file descriptor (not owned), in order.
class TarGzReader {
 public:
  explicit TarGzReader(int fd);
  ~TarGzReader();
  TarGzReader(const TarGzReader&) = delete;
  TarGzReader& operator=(const TarGzReader&) = delete;

  // The next entry; nullopt after the end-of-archive blocks, once the gzip member has
  // ended with nothing after it. Throws ArchiveError for anything else.
  std::optional<ArchiveEntry> Next();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kestrune
