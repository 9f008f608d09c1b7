// Chunked two-stage bodies: writing them chunk by chunk and reading them back with their
// chunks (see chunked_body.h).
#include "store/chunked_body.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>

#include "store/zlb_archive.h"

namespace kestrune {
namespace {

std::atomic<std::uint64_t> compressed_record_bytes{0};

// The zlib header both stages start with: deflate, 32 KiB window, fastest level.
constexpr std::uint8_t kZlibHeader[] = {0x78, 0x01};
// What ends the inner stream's deflate data: an empty final block of fixed codes.
constexpr std::uint8_t kEmptyFinalBlock[] = {0x03, 0x00};
// What a full flush leaves at a chunk's end: the length fields of an empty stored block.
constexpr std::uint8_t kFlushMark[] = {0x00, 0x00, 0xFF, 0xFF};
constexpr std::size_t kMaxStoredBlock = 65535;
// Tries at finding a chunk's end among the flush marks it may contain by chance.
constexpr int kMaxChunkEndTries = 8;
// No deflate stream expands its input more than about 1032-fold.
constexpr std::size_t kMaxDeflateRatio = 1032;

void Append(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> bytes) {
  const std::size_t size = out.size();
  out.resize(size + bytes.size());
  if (!bytes.empty()) std::memcpy(out.data() + size, bytes.data(), bytes.size());
}

void AppendBigEndian32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(value >> shift));
}

std::uint32_t ReadBigEndian32(std::span<const std::uint8_t> bytes) {
  return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
         (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
}

std::uint32_t Adler(std::span<const std::uint8_t> bytes) {
  return libdeflate_adler32(1, bytes.data(), bytes.size());
}

std::uint32_t CombineAdler(std::uint32_t first, std::uint32_t second, std::size_t second_length) {
  return static_cast<std::uint32_t>(
      adler32_combine(first, second, static_cast<z_off_t>(second_length)));
}

// A raw deflate stream at the fastest level, reset for every chunk. On this kind of data
// (short texts in zero-padded fields) it is faster than any level of the whole-buffer
// compressor and compresses nearly as well.
class ChunkDeflater {
 public:
  ChunkDeflater() {
    const int result = deflateInit2(&stream_, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    if (result != Z_OK) throw ZlibError(result, "cannot make a compressor");
  }
  ~ChunkDeflater() { deflateEnd(&stream_); }
  ChunkDeflater(const ChunkDeflater&) = delete;
  ChunkDeflater& operator=(const ChunkDeflater&) = delete;

  // input deflated on its own and ended by a full flush.
  std::vector<std::uint8_t> Deflate(std::span<const std::uint8_t> input) {
    int result = deflateReset(&stream_);
    if (result != Z_OK) throw ZlibError(result);
    // The bound covers a finished stream; a flush adds an empty stored block.
    std::vector<std::uint8_t> out(deflateBound(&stream_, input.size()) + 16);
    stream_.next_in = const_cast<Bytef*>(input.data());
    stream_.avail_in = static_cast<uInt>(input.size());
    std::size_t used = 0;
    do {
      if (used == out.size()) out.resize(out.size() * 2);
      stream_.next_out = out.data() + used;
      stream_.avail_out = static_cast<uInt>(out.size() - used);
      result = deflate(&stream_, Z_FULL_FLUSH);
      if (result != Z_OK && result != Z_BUF_ERROR) throw ZlibError(result);
      used = out.size() - stream_.avail_out;
    } while (stream_.avail_out == 0);
    out.resize(used);
    return out;
  }

 private:
  z_stream stream_{};
};

class Inflater {
 public:
  Inflater() : decompressor_(libdeflate_alloc_decompressor()) {}
  ~Inflater() {
    if (decompressor_ != nullptr) libdeflate_free_decompressor(decompressor_);
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  bool Ok() const { return decompressor_ != nullptr; }

  // Whether stream is a whole raw deflate stream that inflates to exactly out.size() bytes.
  bool InflatesExactly(std::span<const std::uint8_t> stream, std::span<std::uint8_t> out) {
    std::size_t in_used = 0;
    std::size_t out_size = 0;
    return libdeflate_deflate_decompress_ex(decompressor_, stream.data(), stream.size(), out.data(),
                                            out.size(), &in_used,
                                            &out_size) == LIBDEFLATE_SUCCESS &&
           in_used == stream.size() && out_size == out.size();
  }

 private:
  libdeflate_decompressor* decompressor_;
};

// The data of an outer stream made of stored blocks only, its check value verified;
// false for any other stream.
bool UnwrapStoredBlocks(std::span<const std::uint8_t> body, std::vector<std::uint8_t>& inner) {
  if (body.size() < 2 ||
      !std::equal(std::begin(kZlibHeader), std::end(kZlibHeader), body.begin())) {
    return false;
  }
  inner.clear();
  inner.reserve(body.size());
  std::size_t position = 2;
  bool final_block = false;
  while (!final_block) {
    if (body.size() - position < 5) return false;
    const std::uint8_t block_header = body[position];
    if ((block_header & ~1) != 0) return false;  // not a stored block as written here
    final_block = block_header == 1;
    const std::size_t length = body[position + 1] | (std::size_t{body[position + 2]} << 8);
    const std::size_t check = body[position + 3] | (std::size_t{body[position + 4]} << 8);
    if ((length ^ check) != 0xFFFF) return false;
    position += 5;
    if (body.size() - position < length) return false;
    Append(inner, body.subspan(position, length));
    position += length;
  }
  // Bytes after the stream's check value are ignored, as by the general reader.
  return body.size() - position >= 4 && ReadBigEndian32(body.subspan(position, 4)) == Adler(inner);
}

}  // namespace

std::uint64_t CompressedRecordBytes() { return compressed_record_bytes.load(); }

void CountCompressedRecordBytes(std::size_t bytes) { compressed_record_bytes += bytes; }

ChunkedBody::ChunkedBody(std::size_t chunk_bytes)
    : chunk_bytes_(std::max<std::size_t>(chunk_bytes, 1)) {}

std::size_t ChunkedBody::ChunkCount(std::size_t array_bytes) const {
  return (array_bytes + chunk_bytes_ - 1) / chunk_bytes_;
}

void ChunkedBody::Forget() {
  chunks_.clear();
  array_bytes_ = 0;
  kept_ = false;
}

void ChunkedBody::Changed(std::size_t offset, std::size_t length) {
  if (!kept_ || length == 0) return;
  const std::size_t last = std::min(ChunkCount(offset + length), chunks_.size());
  for (std::size_t index = offset / chunk_bytes_; index < last; ++index) {
    chunks_[index].changed = true;
  }
}

std::vector<std::uint8_t> ChunkedBody::Body(std::span<const std::uint8_t> records) {
  if (!kept_ || records.size() < array_bytes_) Forget();
  // A grown array: the chunk that held the old end has new bytes, and new chunks follow.
  if (kept_ && records.size() != array_bytes_ && !chunks_.empty()) chunks_.back().changed = true;
  const std::size_t first_new = chunks_.size();
  chunks_.resize(ChunkCount(records.size()));
  try {
    ChunkDeflater deflater;
    for (std::size_t index = 0; index < chunks_.size(); ++index) {
      Chunk& chunk = chunks_[index];
      if (index < first_new && !chunk.changed) continue;
      const std::size_t offset = index * chunk_bytes_;
      const auto bytes = records.subspan(offset, std::min(chunk_bytes_, records.size() - offset));
      chunk.deflated = deflater.Deflate(bytes);
      chunk.adler = Adler(bytes);
      chunk.changed = false;
      CountCompressedRecordBytes(bytes.size());
    }
  } catch (...) {
    Forget();
    throw;
  }
  array_bytes_ = records.size();
  kept_ = true;
  return Assemble(records.size());
}

std::vector<std::uint8_t> ChunkedBody::Assemble(std::size_t array_bytes) const {
  std::size_t deflated_size = 0;
  for (const Chunk& chunk : chunks_) deflated_size += chunk.deflated.size();
  std::vector<std::uint8_t> inner;
  inner.reserve(sizeof kZlibHeader + deflated_size + sizeof kEmptyFinalBlock + 4);
  Append(inner, kZlibHeader);
  std::uint32_t adler = 1;
  std::size_t offset = 0;
  for (const Chunk& chunk : chunks_) {
    Append(inner, chunk.deflated);
    const std::size_t length = std::min(chunk_bytes_, array_bytes - offset);
    adler = CombineAdler(adler, chunk.adler, length);
    offset += length;
  }
  Append(inner, kEmptyFinalBlock);
  AppendBigEndian32(inner, adler);

  const std::size_t blocks =
      std::max<std::size_t>(1, (inner.size() + kMaxStoredBlock - 1) / kMaxStoredBlock);
  std::vector<std::uint8_t> body;
  body.reserve(sizeof kZlibHeader + inner.size() + 5 * blocks + 4);
  Append(body, kZlibHeader);
  for (std::size_t block = 0; block < blocks; ++block) {
    const std::size_t start = block * kMaxStoredBlock;
    const std::size_t length = std::min(kMaxStoredBlock, inner.size() - start);
    body.push_back(block + 1 == blocks ? 1 : 0);
    body.push_back(static_cast<std::uint8_t>(length));
    body.push_back(static_cast<std::uint8_t>(length >> 8));
    body.push_back(static_cast<std::uint8_t>(~length));
    body.push_back(static_cast<std::uint8_t>(~length >> 8));
    Append(body, std::span(inner).subspan(start, length));
  }
  AppendBigEndian32(body, Adler(inner));
  return body;
}

bool ChunkedBody::Read(std::span<const std::uint8_t> body, std::size_t expected,
                       std::vector<std::uint8_t>& records) {
  Forget();
  std::vector<std::uint8_t> inner;
  if (!UnwrapStoredBlocks(body, inner)) return false;
  constexpr std::size_t kTrailer = sizeof kEmptyFinalBlock + 4;
  if (inner.size() < sizeof kZlibHeader + kTrailer ||
      !std::equal(std::begin(kZlibHeader), std::end(kZlibHeader), inner.begin())) {
    return false;
  }
  // A header that claims more than the body can hold gets no memory for it.
  if (expected > inner.size() * kMaxDeflateRatio + 1024) return false;
  Inflater inflater;
  if (!inflater.Ok()) return false;
  PrepareRecordArray(records, expected);

  const std::span<const std::uint8_t> stream(inner);
  const std::size_t data_end = inner.size() - kTrailer;
  std::vector<Chunk> chunks(ChunkCount(expected));
  std::vector<std::uint8_t> candidate;
  std::size_t position = sizeof kZlibHeader;
  std::uint32_t adler = 1;
  for (std::size_t index = 0; index < chunks.size(); ++index) {
    const std::size_t offset = index * chunk_bytes_;
    const std::span<std::uint8_t> out(records.data() + offset,
                                      std::min(chunk_bytes_, expected - offset));
    // The chunk ends at a flush mark; the same four bytes may also occur inside it by
    // chance. A candidate is the chunk when, closed by an empty final block, it is one
    // whole deflate stream of exactly the chunk's bytes (which also means it refers back
    // to nothing before its start).
    auto search_from = stream.begin() + static_cast<std::ptrdiff_t>(position);
    bool found = false;
    for (int tries = 0; tries < kMaxChunkEndTries && !found; ++tries) {
      const auto mark =
          std::search(search_from, stream.begin() + static_cast<std::ptrdiff_t>(data_end),
                      std::begin(kFlushMark), std::end(kFlushMark));
      if (mark == stream.begin() + static_cast<std::ptrdiff_t>(data_end)) return false;
      const std::size_t end = static_cast<std::size_t>(mark - stream.begin()) + sizeof kFlushMark;
      candidate.assign(stream.begin() + static_cast<std::ptrdiff_t>(position),
                       stream.begin() + static_cast<std::ptrdiff_t>(end));
      Append(candidate, kEmptyFinalBlock);
      if (inflater.InflatesExactly(candidate, out)) {
        chunks[index].deflated.assign(candidate.begin(), candidate.end() - sizeof kEmptyFinalBlock);
        chunks[index].adler = Adler(out);
        adler = CombineAdler(adler, chunks[index].adler, out.size());
        position = end;
        found = true;
      }
      search_from = mark + 1;
    }
    if (!found) return false;
  }
  if (position != data_end ||
      !std::equal(std::begin(kEmptyFinalBlock), std::end(kEmptyFinalBlock),
                  inner.begin() + static_cast<std::ptrdiff_t>(position)) ||
      ReadBigEndian32(stream.subspan(data_end + sizeof kEmptyFinalBlock, 4)) != adler) {
    return false;
  }
  chunks_ = std::move(chunks);
  array_bytes_ = expected;
  kept_ = true;
  return true;
}

}  // namespace kestrune
