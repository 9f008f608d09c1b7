// Two-stage zlib container body. Compression makes the inner zlib stream of the whole
// record array and then the outer one of that, with libdeflate. Decompression of a body
// whose size is announced inflates each stage whole with libdeflate into a buffer of a
// bounded size; any body that path does not read exactly goes through zlib, which pulls
// the outer inflate's output in 32 KiB chunks into the inner one, so a hostile body is
// stopped at the announced size without being expanded whole, and every failure is
// reported with zlib's own code and message.
#include "store/zlb_archive.h"

#include <libdeflate.h>
#include <sys/mman.h>
#include <zlib.h>

#include <algorithm>
#include <memory>
#include <string>

namespace kestrune {
namespace {

constexpr std::size_t kOuterBufferSize = 65536;
constexpr std::size_t kInnerChunkSize = 32768;
// No deflate stream expands its input more than about 1032-fold.
constexpr std::size_t kMaxDeflateRatio = 1032;

std::string StandardMessage(int code) {
  const char* text = zError(code);
  return text != nullptr ? text : "zlib error " + std::to_string(code);
}

void Check(int result, const z_stream& stream) {
  if (result < 0) throw ZlibError(result, stream.msg != nullptr ? stream.msg : "");
}

// A libdeflate compressor at zlib's default level. It writes the same zlib format as
// zlib itself (any zlib reads it) about twice as fast, which matters because every
// change of a message's status writes the whole index again.
class Compressor {
 public:
  Compressor() : compressor_(libdeflate_alloc_compressor(kLevel)) {
    if (compressor_ == nullptr) throw ZlibError(Z_MEM_ERROR, "cannot make a compressor");
  }
  ~Compressor() { libdeflate_free_compressor(compressor_); }
  Compressor(const Compressor&) = delete;
  Compressor& operator=(const Compressor&) = delete;

  // The whole of input as one zlib stream.
  std::vector<std::uint8_t> Compress(std::span<const std::uint8_t> input) {
    // The bound is about the input's size, the result mostly a small part of it: a buffer
    // left uninitialised costs only the pages actually written.
    const std::size_t bound = libdeflate_zlib_compress_bound(compressor_, input.size());
    const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(bound);
    const std::size_t size =
        libdeflate_zlib_compress(compressor_, input.data(), input.size(), buffer.get(), bound);
    if (size == 0) throw ZlibError(Z_BUF_ERROR, "compressed data larger than its bound");
    return std::vector<std::uint8_t>(buffer.get(), buffer.get() + size);
  }

 private:
  static constexpr int kLevel = 6;  // what Z_DEFAULT_COMPRESSION means to zlib
  libdeflate_compressor* compressor_;
};

// A big record array is new memory that is written at once in full: in 2 MiB pages the
// kernel takes one fault where 4 KiB pages take 512 (most of a big index's load time).
// Advice only: nothing changes where the kernel does not follow it.
void AskForHugePages(void* start, std::size_t size) {
  constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
  if (size < 2 * kHugePage) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(start);
  const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t last = (begin + size) & ~(kHugePage - 1);
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

// Both stages inflated whole with libdeflate (several times faster than zlib's
// streaming). True when the body holds exactly expected bytes of records; false for
// anything else (damaged, truncated, another size, an outer stage larger than a zlib
// stream of expected bytes would be), which the caller then reads with zlib; records
// then holds nothing of use.
bool InflateWholeIfExact(std::span<const std::uint8_t> body, std::size_t expected,
                         std::vector<std::uint8_t>& records) {
  // The inner stream as a compressor writes it, stored blocks included, is at most this
  // long, and no longer than the body can expand to.
  const std::size_t inner_limit =
      std::min(expected + expected / 1000 + 1024, body.size() * kMaxDeflateRatio + 1024);
  libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
  if (decompressor == nullptr) return false;
  const std::unique_ptr<libdeflate_decompressor, decltype(&libdeflate_free_decompressor)> owner(
      decompressor, libdeflate_free_decompressor);
  const auto inner = std::make_unique_for_overwrite<std::uint8_t[]>(inner_limit);
  std::size_t used = 0;
  std::size_t inner_size = 0;
  if (libdeflate_zlib_decompress_ex(decompressor, body.data(), body.size(), inner.get(),
                                    inner_limit, &used, &inner_size) != LIBDEFLATE_SUCCESS) {
    return false;
  }
  // The outer stage held an inner stream of a plausible size, and that stream can hold the
  // announced records (a header that claims more than its body can hold touches no memory
  // for them): now the records are made room for.
  if (expected > inner_size * kMaxDeflateRatio + 1024) return false;
  PrepareRecordArray(records, expected);
  std::size_t out_size = 0;
  return libdeflate_zlib_decompress_ex(decompressor, inner.get(), inner_size, records.data(),
                                       expected, &used, &out_size) == LIBDEFLATE_SUCCESS &&
         out_size == expected;
}

class Inflater {
 public:
  Inflater() { Check(inflateInit(&stream_), stream_); }
  ~Inflater() { inflateEnd(&stream_); }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  z_stream& stream() { return stream_; }

  enum class Progress { kMore, kStuck, kEnded };

  // One inflate call. kStuck (zlib's Z_BUF_ERROR) is no error: the call could do nothing
  // with the input and output space it had, and needs more input or room to go on.
  Progress Step(int flush) {
    const int result = inflate(&stream_, flush);
    // A stream that asks for a preset dictionary is not one this program wrote.
    if (result == Z_NEED_DICT) throw ZlibError(Z_DATA_ERROR, "dictionary required");
    if (result == Z_BUF_ERROR) return Progress::kStuck;
    Check(result, stream_);
    return result == Z_STREAM_END ? Progress::kEnded : Progress::kMore;
  }

 private:
  z_stream stream_{};
};

// The outer stage of decompression: yields the outer stream's decompressed bytes on
// demand, reading the body in 64 KiB blocks; stops at the stream's end.
class OuterStage {
 public:
  explicit OuterStage(std::span<const std::uint8_t> source) : source_(source) {}

  // Fills out as far as possible; returns the number of bytes, 0 once the stream ended.
  std::size_t Read(std::span<std::uint8_t> out) {
    z_stream& stream = inflater_.stream();
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    while (stream.avail_out > 0 && !ended_) {
      if (stream.avail_in == 0) {
        if (position_ == source_.size()) {
          // The body ends inside the outer stream: a truncated file.
          throw ZlibError(Z_BUF_ERROR, "unexpected end of data");
        }
        const std::size_t block = std::min(kOuterBufferSize, source_.size() - position_);
        stream.next_in = const_cast<Bytef*>(source_.data() + position_);
        stream.avail_in = static_cast<uInt>(block);
        position_ += block;
      }
      // Input and output space are both there, so a stuck stream is a damaged one.
      const Inflater::Progress progress = inflater_.Step(Z_NO_FLUSH);
      if (progress == Inflater::Progress::kStuck) throw ZlibError(Z_DATA_ERROR, "stream stuck");
      ended_ = progress == Inflater::Progress::kEnded;
    }
    return out.size() - stream.avail_out;
  }

 private:
  std::span<const std::uint8_t> source_;
  std::size_t position_ = 0;
  bool ended_ = false;
  Inflater inflater_;
};

}  // namespace

ZlibError::ZlibError(int code, std::string detail)
    : std::runtime_error(StandardMessage(code)), code_(code), detail_(std::move(detail)) {}

void PrepareRecordArray(std::vector<std::uint8_t>& records, std::size_t size) {
  records.clear();
  records.reserve(size);
  AskForHugePages(records.data(), records.capacity());
  records.resize(size);
}

int ZlibLevel(TFileCompressionLevel level) {
  switch (level) {
    case TFileCompressionLevel::fcNone:
      return 0;
    case TFileCompressionLevel::fcFastest:
      return 1;
    case TFileCompressionLevel::fcMaximum:
      return 9;
    case TFileCompressionLevel::fcDefault:
      break;
  }
  return Z_DEFAULT_COMPRESSION;
}

void TZLBArchive::CompressStream(std::span<const std::uint8_t> source,
                                 std::vector<std::uint8_t>& destination) {
  Compressor compressor;
  const std::vector<std::uint8_t> inner = compressor.Compress(source);
  destination = compressor.Compress(inner);
}

void TZLBArchive::DecompressStream(std::span<const std::uint8_t> source,
                                   std::vector<std::uint8_t>& destination,
                                   std::size_t output_limit) {
  destination.clear();
  // A known size is reserved up to a bound, so a big index is not copied over and over as
  // it grows; beyond the bound the vector grows as the records come (whole files of a
  // plausible size take the whole-body path, and a header claiming a gigabyte must not get
  // room for it before the body shows it).
  constexpr std::size_t kStreamReserveBound = 16 * 1024 * 1024;
  if (output_limit <= kMaxRecordArrayBytes) {
    destination.reserve(std::min(output_limit, kStreamReserveBound));
  }
  OuterStage outer(source);
  Inflater inner;
  z_stream& stream = inner.stream();
  std::vector<std::uint8_t> chunk(kInnerChunkSize);
  std::vector<std::uint8_t> out_buffer(kInnerChunkSize);

  // Inflates what the inner stream holds as input; true at the inner stream's end. A
  // call that fills the output buffer may leave output pending, so the next call gets a
  // fresh buffer even when the input is used up; it reports being stuck when nothing was
  // pending after all.
  const auto inflate_available = [&]() {
    Inflater::Progress progress = Inflater::Progress::kMore;
    do {
      stream.next_out = out_buffer.data();
      stream.avail_out = static_cast<uInt>(out_buffer.size());
      progress = inner.Step(Z_NO_FLUSH);
      const std::size_t produced = out_buffer.size() - stream.avail_out;
      if (produced > output_limit - std::min(output_limit, destination.size())) {
        throw DamagedFileError("the body holds more than its header announces");
      }
      destination.insert(destination.end(), out_buffer.begin(),
                         out_buffer.begin() + static_cast<std::ptrdiff_t>(produced));
    } while (progress == Inflater::Progress::kMore &&
             (stream.avail_in > 0 || stream.avail_out == 0));
    return progress == Inflater::Progress::kEnded;
  };

  bool inner_ended = false;
  while (!inner_ended) {
    const std::size_t got = outer.Read(chunk);
    if (got == 0) {
      // The outer stream is complete and the inner one has flushed everything it could
      // from it, yet has not ended: the inner stream is cut short.
      throw ZlibError(Z_BUF_ERROR, "unexpected end of inner stream");
    }
    stream.next_in = chunk.data();
    stream.avail_in = static_cast<uInt>(got);
    inner_ended = inflate_available();
  }
  // Read the outer stream to its end so that its own check value is verified too. Only
  // a foreign file has data between the two ends; give up checking after a little of it
  // rather than inflate whatever amount it may expand to.
  std::size_t after_inner = 0;
  while (after_inner <= kOuterBufferSize) {
    const std::size_t got = outer.Read(chunk);
    if (got == 0) break;
    after_inner += got;
  }
}

std::vector<std::uint8_t> DecompressRecordArray(TZLBArchive& archive,
                                                std::span<const std::uint8_t> body,
                                                std::int32_t count, std::size_t record_size) {
  if (count < 0) {
    throw DamagedFileError("negative record count " + std::to_string(count));
  }
  const std::size_t expected = static_cast<std::size_t>(count) * record_size;
  if (expected > kMaxRecordArrayBytes) {
    throw DamagedFileError("record count " + std::to_string(count) + " is too large");
  }
  std::vector<std::uint8_t> records;
  if (InflateWholeIfExact(body, expected, records)) return records;
  archive.DecompressStream(body, records, expected);
  if (records.size() != expected) {
    throw DamagedFileError("record count " + std::to_string(count) + " disagrees with " +
                           std::to_string(records.size()) + " bytes of records");
  }
  return records;
}

}  // namespace kestrune
