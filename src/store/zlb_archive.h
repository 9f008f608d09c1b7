// The compressed container body shared by Users.Dat, Emails.Dat and Contacts.Dat: the
// record array deflated into a zlib stream, and that stream deflated again. Each
// database object owns one TZLBArchive; it keeps no state between calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrune {

// A failed zlib call. what() is zlib's standard message for the code ("data error",
// "buffer error", ...); detail() is the stream's own message when zlib gave one
// ("incorrect header check").
class ZlibError : public std::runtime_error {
 public:
  explicit ZlibError(int code, std::string detail = {});
  int code() const { return code_; }
  const std::string& detail() const { return detail_; }

 private:
  int code_;
  std::string detail_;
};

// A data file whose body does not hold what its header says (record count disagreeing
// with the decompressed length, negative or absurd count, file too short).
class DamagedFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class TFileCompressionLevel { fcNone, fcFastest, fcDefault, fcMaximum };

// zlib level of a TFileCompressionLevel: 0, 1, -1, 9.
int ZlibLevel(TFileCompressionLevel level);

class TZLBArchive {
 public:
  // Kept for the data classes' sake; both stream operations use zlib's default level
  // for both stages whatever it holds.
  TFileCompressionLevel CompressionLevel = TFileCompressionLevel::fcDefault;

  // destination (cleared first) receives the outer zlib stream of the inner zlib stream
  // of the whole of source. Throws ZlibError.
  void CompressStream(std::span<const std::uint8_t> source, std::vector<std::uint8_t>& destination);

  // source holds the body; destination (cleared first) receives the record array.
  // Bytes after the outer stream's end are ignored. A truncated or damaged body throws
  // ZlibError; destination may then hold a partial result, which callers discard.
  // When the output would exceed output_limit bytes, decompression stops there and
  // throws DamagedFileError (a body can expand a millionfold through two stages).
  void DecompressStream(std::span<const std::uint8_t> source,
                        std::vector<std::uint8_t>& destination,
                        std::size_t output_limit = std::numeric_limits<std::size_t>::max());
};

// The largest record array a data file may hold; bigger claims are refused as damaged.
inline constexpr std::size_t kMaxRecordArrayBytes = std::size_t{1} << 30;

// Makes records an array of size bytes about to be written in full (its contents are
// unspecified until then), in huge pages where the kernel offers them.
void PrepareRecordArray(std::vector<std::uint8_t>& records, std::size_t size);

// Decompresses a body whose header claims count records of record_size bytes and
// returns the record array. Throws DamagedFileError when count is negative, the
// array would exceed kMaxRecordArrayBytes, or the decompressed length is not exactly
// count * record_size; ZlibError when the body itself is damaged.
std::vector<std::uint8_t> DecompressRecordArray(TZLBArchive& archive,
                                                std::span<const std::uint8_t> body,
                                                std::int32_t count, std::size_t record_size);

}  // namespace kestrune
