// Little-endian fields and counted strings at explicit offsets of record buffers.
#include "store/record_io.h"

#include <algorithm>
#include <bit>
#include <stdexcept>
#include <string>

#include "platform/text_encoding.h"

namespace kestrune {
namespace {

void CheckField(std::size_t buffer_size, std::size_t offset, std::size_t size) {
  if (offset > buffer_size || size > buffer_size - offset) {
    throw std::out_of_range("record field at " + std::to_string(offset) + " (" +
                            std::to_string(size) + " bytes) outside a buffer of " +
                            std::to_string(buffer_size) + " bytes");
  }
}

std::uint64_t ReadLE(std::span<const std::uint8_t> bytes, std::size_t offset, std::size_t size) {
  CheckField(bytes.size(), offset, size);
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < size; ++i) value |= std::uint64_t{bytes[offset + i]} << (8 * i);
  return value;
}

void WriteLE(std::span<std::uint8_t> bytes, std::size_t offset, std::size_t size,
             std::uint64_t value) {
  CheckField(bytes.size(), offset, size);
  for (std::size_t i = 0; i < size; ++i)
    bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::string_view CountedText(std::span<const std::uint8_t> bytes, std::size_t offset,
                             std::size_t capacity) {
  CheckField(bytes.size(), offset, capacity + 1);
  // The length byte comes from a file: never read past the field's capacity.
  const std::size_t length = std::min<std::size_t>(bytes[offset], capacity);
  return {reinterpret_cast<const char*>(bytes.data() + offset + 1), length};
}

}  // namespace

std::uint8_t ReadUint8(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return static_cast<std::uint8_t>(ReadLE(bytes, offset, 1));
}

void WriteUint8(std::span<std::uint8_t> bytes, std::size_t offset, std::uint8_t value) {
  WriteLE(bytes, offset, 1, value);
}

std::uint32_t ReadUint32LE(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return static_cast<std::uint32_t>(ReadLE(bytes, offset, 4));
}

void WriteUint32LE(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value) {
  WriteLE(bytes, offset, 4, value);
}

std::int32_t ReadInt32LE(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return static_cast<std::int32_t>(ReadUint32LE(bytes, offset));
}

void WriteInt32LE(std::span<std::uint8_t> bytes, std::size_t offset, std::int32_t value) {
  WriteUint32LE(bytes, offset, static_cast<std::uint32_t>(value));
}

double ReadDouble(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return std::bit_cast<double>(ReadLE(bytes, offset, 8));
}

void WriteDouble(std::span<std::uint8_t> bytes, std::size_t offset, double value) {
  WriteLE(bytes, offset, 8, std::bit_cast<std::uint64_t>(value));
}

bool ReadFlag(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return ReadUint8(bytes, offset) != 0;
}

void WriteFlag(std::span<std::uint8_t> bytes, std::size_t offset, bool value) {
  if (ReadFlag(bytes, offset) != value) WriteUint8(bytes, offset, value ? 1 : 0);
}

std::string ReadCountedString(std::span<const std::uint8_t> bytes, std::size_t offset,
                              std::size_t capacity) {
  return BytesToUtf8(CountedText(bytes, offset, capacity));
}

void WriteCountedString(std::span<std::uint8_t> bytes, std::size_t offset, std::size_t capacity,
                        std::string_view text) {
  const std::string_view kept = text.substr(0, Utf8PrefixLength(text, capacity));
  // An unchanged field keeps its bytes (Windows-1252 text from an older installation).
  if (ReadUint8(bytes, offset) <= capacity && ReadCountedString(bytes, offset, capacity) == kept) {
    return;
  }
  bytes[offset] = static_cast<std::uint8_t>(kept.size());
  std::copy(kept.begin(), kept.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset + 1));
}

bool CountedMagicMatches(std::span<const std::uint8_t> bytes, std::string_view magic) {
  if (bytes.size() < magic.size() + 1 || bytes[0] != magic.size()) return false;
  const std::string_view stored(reinterpret_cast<const char*>(bytes.data() + 1), magic.size());
  return EqualsIgnoringAsciiCase(stored, magic);
}

}  // namespace kestrune
