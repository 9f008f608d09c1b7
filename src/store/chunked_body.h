// The two-stage compressed body of a record array written so that one changed record
// costs the compression of its own chunk only. The inner zlib stream deflates the array
// in chunks of a fixed number of bytes, each ended by a full flush (byte-aligned, no
// reference back into an earlier chunk), so a chunk's compressed bytes can be replaced
// without touching the others; the outer zlib stream holds the inner one in stored
// blocks. Any zlib reads the result; a message index is rewritten on every click, and
// this keeps that rewrite in proportion to the change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kestrune {

// Bytes of record arrays compressed in this process so far (what saves cost the processor,
// for tests and benchmarks), and the count's increment.
std::uint64_t CompressedRecordBytes();
void CountCompressedRecordBytes(std::size_t bytes);

// One holder's compressed form of its record array. Used by one thread at a time.
class ChunkedBody {
 public:
  // chunk_bytes: the array bytes per chunk (a whole number of records).
  explicit ChunkedBody(std::size_t chunk_bytes);

  // The body of records. Chunks kept from the last Body or Read are reused unless marked
  // changed; everything is compressed when nothing is kept. Afterwards the kept chunks
  // describe records. Throws ZlibError (nothing kept then).
  std::vector<std::uint8_t> Body(std::span<const std::uint8_t> records);

  // The bytes [offset, offset + length) of the array changed or were appended.
  void Changed(std::size_t offset, std::size_t length);
  // Keeps nothing: the next Body compresses the whole array.
  void Forget();

  // Reads a body written by Body: records receives the expected bytes and the chunks are
  // kept. False for any other body, damaged or written another way (records then holds
  // nothing of use and nothing is kept); the caller reads it the general way.
  bool Read(std::span<const std::uint8_t> body, std::size_t expected,
            std::vector<std::uint8_t>& records);

 private:
  struct Chunk {
    std::vector<std::uint8_t> deflated;  // raw deflate, ends with a full flush
    std::uint32_t adler = 1;             // of the chunk's array bytes
    bool changed = false;
  };

  std::size_t ChunkCount(std::size_t array_bytes) const;
  void Compress(std::span<const std::uint8_t> records, std::size_t index, Chunk& chunk) const;
  std::vector<std::uint8_t> Assemble(std::size_t array_bytes) const;

  std::size_t chunk_bytes_;
  std::vector<Chunk> chunks_;
  std::size_t array_bytes_ = 0;  // array size the kept chunks describe
  bool kept_ = false;
};

}  // namespace kestrune
