// The tar stream in a gzip member, written and read with zlib's stream interface; one 512-byte
// header per entry, the contents padded to whole blocks, two zero blocks at the end.
#include "host/tar_archive.h"

#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

namespace kestrune {
namespace {

constexpr std::size_t kBlock = 512;
constexpr std::size_t kBufferBytes = 64 * 1024;
constexpr std::size_t kMaxPaxBytes = 64 * 1024;
constexpr std::size_t kNameField = 100;

// Field offsets of a ustar header.
constexpr std::size_t kNameOffset = 0;
constexpr std::size_t kModeOffset = 100;
constexpr std::size_t kUidOffset = 108;
constexpr std::size_t kGidOffset = 116;
constexpr std::size_t kSizeOffset = 124;
constexpr std::size_t kMtimeOffset = 136;
constexpr std::size_t kChecksumOffset = 148;
constexpr std::size_t kTypeOffset = 156;
constexpr std::size_t kMagicOffset = 257;
constexpr std::size_t kPrefixOffset = 345;

using Block = std::array<unsigned char, kBlock>;

std::string ErrnoText(int error) { return std::strerror(error); }

std::string ZlibText(const z_stream& stream, int code) {
  if (stream.msg != nullptr) return stream.msg;
  return zError(code);
}

void PutOctal(Block& block, std::size_t offset, std::size_t width, std::uint64_t value) {
  // width - 1 digits and a NUL.
  for (std::size_t i = width - 1; i-- > 0;) {
    block[offset + i] = static_cast<unsigned char>('0' + (value & 7));
    value >>= 3;
  }
  block[offset + width - 1] = 0;
}

unsigned HeaderChecksum(const Block& block) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < kBlock; ++i) {
    sum += (i >= kChecksumOffset && i < kChecksumOffset + 8) ? ' ' : block[i];
  }
  return sum;
}

// An octal field: digits, then NUL or blanks. Leading blanks are allowed.
std::uint64_t ReadOctal(const Block& block, std::size_t offset, std::size_t width,
                        std::string_view field) {
  std::size_t i = offset;
  const std::size_t end = offset + width;
  while (i < end && block[i] == ' ') ++i;
  std::uint64_t value = 0;
  std::size_t digits = 0;
  for (; i < end && block[i] >= '0' && block[i] <= '7'; ++i, ++digits) {
    if (digits >= 21) throw ArchiveError("the " + std::string(field) + " of an entry is too large");
    value = (value << 3) | static_cast<std::uint64_t>(block[i] - '0');
  }
  for (; i < end; ++i) {
    if (block[i] != 0 && block[i] != ' ') {
      throw ArchiveError("the " + std::string(field) + " field of an entry is not a number");
    }
  }
  if (digits == 0) throw ArchiveError("the " + std::string(field) + " field of an entry is empty");
  return value;
}

std::string ReadText(const Block& block, std::size_t offset, std::size_t width) {
  const auto* begin = reinterpret_cast<const char*>(block.data() + offset);
  return std::string(begin, strnlen(begin, width));
}

// "LEN path=VALUE\n" with LEN counting the whole record.
std::string PaxRecord(std::string_view key, std::string_view value) {
  const std::string body = " " + std::string(key) + "=" + std::string(value) + "\n";
  std::size_t length = body.size() + 1;
  while (std::to_string(length).size() + body.size() != length) ++length;
  return std::to_string(length) + body;
}

}  // namespace

bool IsSafeArchivePath(std::string_view path) {
  if (path.empty() || path.front() == '/') return false;
  for (unsigned char c : path) {
    if (c < 0x20 || c == 0x7f) return false;
  }
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

class TarGzWriter::Impl {
 public:
  explicit Impl(int fd) : fd_(fd), out_(kBufferBytes) {
    // 15 + 16: a gzip wrapper around the deflate stream.
    const int result =
        deflateInit2(&stream_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    if (result != Z_OK)
      throw ArchiveError("cannot start the compressor: " + std::string(zError(result)));
  }
  ~Impl() { deflateEnd(&stream_); }

  void Add(const ArchiveEntry& entry) {
    if (!IsSafeArchivePath(entry.path)) throw ArchiveError("unsafe entry name " + entry.path);
    std::string name = entry.path + (entry.directory ? "/" : "");
    if (name.size() > kNameField) {
      const std::string pax = PaxRecord("path", name);
      Header("PaxHeader", 0644, 0, pax.size(), 'x');
      Data(pax);
      name = name.substr(0, kNameField - 1);  // readers that know pax use the record
    }
    Header(name, entry.mode, entry.mtime, entry.directory ? 0 : entry.data.size(),
           entry.directory ? '5' : '0');
    if (!entry.directory) Data(entry.data);
  }

  void Finish() {
    static const Block kZero{};
    Deflate(kZero.data(), kBlock, Z_NO_FLUSH);
    Deflate(kZero.data(), kBlock, Z_FINISH);
  }

  std::uint64_t BytesWritten() const { return written_; }

 private:
  void Header(const std::string& name, mode_t mode, std::int64_t mtime, std::uint64_t size,
              char type) {
    Block block{};
    std::memcpy(block.data() + kNameOffset, name.data(), std::min(name.size(), kNameField));
    PutOctal(block, kModeOffset, 8, mode & 07777);
    PutOctal(block, kUidOffset, 8, 0);
    PutOctal(block, kGidOffset, 8, 0);
    PutOctal(block, kSizeOffset, 12, size);
    PutOctal(block, kMtimeOffset, 12, mtime > 0 ? static_cast<std::uint64_t>(mtime) : 0);
    block[kTypeOffset] = static_cast<unsigned char>(type);
    std::memcpy(block.data() + kMagicOffset,
                "ustar\0"
                "00",
                8);
    PutOctal(block, kChecksumOffset, 7, HeaderChecksum(block));
    block[kChecksumOffset + 7] = ' ';
    Deflate(block.data(), kBlock, Z_NO_FLUSH);
  }

  void Data(std::string_view data) {
    Deflate(reinterpret_cast<const unsigned char*>(data.data()), data.size(), Z_NO_FLUSH);
    static const Block kZero{};
    const std::size_t padding = (kBlock - data.size() % kBlock) % kBlock;
    Deflate(kZero.data(), padding, Z_NO_FLUSH);
  }

  void Deflate(const unsigned char* data, std::size_t size, int flush) {
    stream_.next_in = const_cast<unsigned char*>(data);
    stream_.avail_in = static_cast<uInt>(size);
    while (true) {
      stream_.next_out = out_.data();
      stream_.avail_out = static_cast<uInt>(out_.size());
      const int result = deflate(&stream_, flush);
      if (result == Z_STREAM_ERROR) throw ArchiveError("compression failed");
      WriteAll(out_.data(), out_.size() - stream_.avail_out);
      if (flush == Z_FINISH ? result == Z_STREAM_END
                            : (stream_.avail_in == 0 && stream_.avail_out != 0)) {
        return;
      }
    }
  }

  void WriteAll(const unsigned char* data, std::size_t size) {
    while (size > 0) {
      const ssize_t n = ::write(fd_, data, size);
      if (n < 0) {
        if (errno == EINTR) continue;
        throw ArchiveError("cannot write the archive: " + ErrnoText(errno));
      }
      data += n;
      size -= static_cast<std::size_t>(n);
      written_ += static_cast<std::uint64_t>(n);
    }
  }

  int fd_;
  z_stream stream_{};
  std::vector<unsigned char> out_;
  std::uint64_t written_ = 0;
};

TarGzWriter::TarGzWriter(int fd) : impl_(std::make_unique<Impl>(fd)) {}
TarGzWriter::~TarGzWriter() = default;
void TarGzWriter::Add(const ArchiveEntry& entry) { impl_->Add(entry); }
void TarGzWriter::Finish() { impl_->Finish(); }
std::uint64_t TarGzWriter::BytesWritten() const { return impl_->BytesWritten(); }

class TarGzReader::Impl {
 public:
  explicit Impl(int fd) : fd_(fd), in_(kBufferBytes) {
    const int result = inflateInit2(&stream_, 15 + 16);
    if (result != Z_OK)
      throw ArchiveError("cannot start the decompressor: " + std::string(zError(result)));
  }
  ~Impl() { inflateEnd(&stream_); }

  std::optional<ArchiveEntry> Next() {
    if (ended_) return std::nullopt;
    std::optional<std::string> pax_path;
    while (true) {
      Block block;
      if (!Read(block.data(), kBlock)) throw ArchiveError("the archive ends early (truncated)");
      if (std::all_of(block.begin(), block.end(), [](unsigned char c) { return c == 0; })) {
        if (pax_path) throw ArchiveError("an extended header is followed by the archive's end");
        FinishStream();
        return std::nullopt;
      }
      if (ReadOctal(block, kChecksumOffset, 8, "checksum") != HeaderChecksum(block)) {
        throw ArchiveError("an entry header has a wrong checksum (damaged archive)");
      }
      if (std::memcmp(block.data() + kMagicOffset, "ustar", 6) != 0) {
        throw ArchiveError("an entry header is not a POSIX tar header");
      }
      const char type = static_cast<char>(block[kTypeOffset]);
      const std::uint64_t size = ReadOctal(block, kSizeOffset, 12, "size");
      if (type == 'x') {
        if (pax_path) throw ArchiveError("two extended headers follow each other");
        if (size > kMaxPaxBytes) throw ArchiveError("an extended header is too large");
        pax_path = PaxPath(Contents(size));
        continue;
      }
      ArchiveEntry entry;
      std::string name = ReadText(block, kNameOffset, kNameField);
      const std::string prefix = ReadText(block, kPrefixOffset, 155);
      if (!prefix.empty()) name = prefix + "/" + name;
      if (pax_path) name = *pax_path;
      if (type == '5') {
        entry.directory = true;
        while (name.size() > 1 && name.back() == '/') name.pop_back();
        if (size != 0) throw ArchiveError("the directory entry " + name + " has contents");
      } else if (type == '1' || type == '2') {
        throw ArchiveError("the entry " + name + " is a link; links are not restored");
      } else if (type != '0' && type != '\0') {
        throw ArchiveError("the entry " + name + " is of a kind that is not restored (type " +
                           std::string(1, type) + ")");
      }
      if (!IsSafeArchivePath(name)) {
        throw ArchiveError("the entry name " + name +
                           " is absolute, climbs out with \"..\" or is not a plain path");
      }
      if (size > kMaxArchiveEntryBytes) {
        throw ArchiveError("the entry " + name + " is larger than " +
                           std::to_string(kMaxArchiveEntryBytes >> 20) + " MiB");
      }
      entry.path = std::move(name);
      entry.mode = static_cast<mode_t>(ReadOctal(block, kModeOffset, 8, "mode") & 07777);
      entry.mtime = static_cast<std::int64_t>(ReadOctal(block, kMtimeOffset, 12, "mtime"));
      if (!entry.directory) entry.data = Contents(size);
      return entry;
    }
  }

 private:
  // size bytes of contents and the padding to the next block.
  std::string Contents(std::uint64_t size) {
    std::string data(size, '\0');
    if (!Read(reinterpret_cast<unsigned char*>(data.data()), data.size())) {
      throw ArchiveError("the archive ends early (truncated)");
    }
    Block padding;
    const std::size_t rest = (kBlock - size % kBlock) % kBlock;
    if (!Read(padding.data(), rest)) throw ArchiveError("the archive ends early (truncated)");
    return data;
  }

  static std::string PaxPath(const std::string& records) {
    std::optional<std::string> path;
    std::size_t at = 0;
    while (at < records.size()) {
      const std::size_t space = records.find(' ', at);
      if (space == std::string::npos) throw ArchiveError("a damaged extended header");
      std::size_t length = 0;
      for (std::size_t i = at; i < space; ++i) {
        if (records[i] < '0' || records[i] > '9' || length > kMaxPaxBytes) {
          throw ArchiveError("a damaged extended header");
        }
        length = length * 10 + static_cast<std::size_t>(records[i] - '0');
      }
      if (length <= space - at + 1 || at + length > records.size() ||
          records[at + length - 1] != '\n') {
        throw ArchiveError("a damaged extended header");
      }
      const std::string record = records.substr(space + 1, at + length - space - 2);
      const std::size_t equals = record.find('=');
      if (equals == std::string::npos) throw ArchiveError("a damaged extended header");
      const std::string key = record.substr(0, equals);
      if (key == "path") {
        path = record.substr(equals + 1);
      } else if (key != "mtime" && key != "atime" && key != "ctime") {
        throw ArchiveError("an extended header sets " + key + ", which is not accepted");
      }
      at += length;
    }
    if (!path) throw ArchiveError("an extended header without a path");
    while (path->size() > 1 && path->back() == '/') path->pop_back();
    return *path;
  }

  // After the end blocks: only zero padding until the gzip member ends, then the file ends.
  void FinishStream() {
    Block block;
    while (Read(block.data(), kBlock)) {
      if (!std::all_of(block.begin(), block.end(), [](unsigned char c) { return c == 0; })) {
        throw ArchiveError("data follows the archive's end");
      }
    }
    if (!stream_ended_) throw ArchiveError("the archive ends early (truncated)");
    if (stream_.avail_in != 0 || FillInput() != 0) {
      throw ArchiveError("data follows the compressed archive");
    }
    ended_ = true;
  }

  std::size_t FillInput() {
    while (true) {
      const ssize_t n = ::read(fd_, in_.data(), in_.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        throw ArchiveError("cannot read the archive: " + ErrnoText(errno));
      }
      stream_.next_in = in_.data();
      stream_.avail_in = static_cast<uInt>(n);
      return static_cast<std::size_t>(n);
    }
  }

  // Exactly size decompressed bytes; false when the stream ended before them (a partial
  // block at the end of the member is an error).
  bool Read(unsigned char* data, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
      if (stream_ended_) {
        if (got == 0) return false;
        throw ArchiveError("the archive ends inside a block (truncated)");
      }
      if (stream_.avail_in == 0 && FillInput() == 0) {
        throw ArchiveError("the archive ends early (truncated)");
      }
      stream_.next_out = data + got;
      stream_.avail_out = static_cast<uInt>(size - got);
      const int result = inflate(&stream_, Z_NO_FLUSH);
      if (result == Z_STREAM_END) {
        stream_ended_ = true;
      } else if (result != Z_OK && result != Z_BUF_ERROR) {
        throw ArchiveError("the archive is damaged: " + ZlibText(stream_, result));
      }
      got = size - stream_.avail_out;
    }
    return true;
  }

  int fd_;
  z_stream stream_{};
  std::vector<unsigned char> in_;
  bool stream_ended_ = false;
  bool ended_ = false;
};

TarGzReader::TarGzReader(int fd) : impl_(std::make_unique<Impl>(fd)) {}
TarGzReader::~TarGzReader() = default;
std::optional<ArchiveEntry> TarGzReader::Next() { return impl_->Next(); }

}  // namespace kestrune
