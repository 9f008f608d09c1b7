// Field helpers for the fixed-layout records and headers of the data files: integers
// and doubles in little-endian order, flags and counted strings, each read or written
// at an explicit offset of a byte buffer. A write changes only the bytes of its field,
// so bytes a record holds between and after its fields stay as they were read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kestrune {

// Every helper checks that the field lies inside the buffer and throws
// std::out_of_range otherwise (a wrong offset is a programming error, never data).
std::uint8_t ReadUint8(std::span<const std::uint8_t> bytes, std::size_t offset);
void WriteUint8(std::span<std::uint8_t> bytes, std::size_t offset, std::uint8_t value);

std::uint32_t ReadUint32LE(std::span<const std::uint8_t> bytes, std::size_t offset);
void WriteUint32LE(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value);

std::int32_t ReadInt32LE(std::span<const std::uint8_t> bytes, std::size_t offset);
void WriteInt32LE(std::span<std::uint8_t> bytes, std::size_t offset, std::int32_t value);

// 8-byte IEEE-754 double, little-endian (the date values).
double ReadDouble(std::span<const std::uint8_t> bytes, std::size_t offset);
void WriteDouble(std::span<std::uint8_t> bytes, std::size_t offset, double value);

// One byte; any value other than 0 reads as true. Writing stores 0 or 1, and leaves
// the byte alone when it already reads as the value.
bool ReadFlag(std::span<const std::uint8_t> bytes, std::size_t offset);
void WriteFlag(std::span<std::uint8_t> bytes, std::size_t offset, bool value);

// Counted string of capacity N: N + 1 bytes at offset, byte 0 the length L, bytes 1 to L
// the text. Reading takes at most N bytes whatever L says, and returns them as UTF-8
// (Windows-1252 when they are not valid UTF-8). Writing cuts the text to at most N bytes
// at a character boundary, stores the length and the text, and leaves the bytes after
// the text as they were; when the field already reads as the text nothing is written,
// so an unchanged field keeps its bytes exactly.
std::string ReadCountedString(std::span<const std::uint8_t> bytes, std::size_t offset,
                              std::size_t capacity);
void WriteCountedString(std::span<std::uint8_t> bytes, std::size_t offset, std::size_t capacity,
                        std::string_view text);

// The magic at the start of a data file header: a counted string whose length byte
// equals magic's length and whose letters equal magic ignoring ASCII case.
bool CountedMagicMatches(std::span<const std::uint8_t> bytes, std::string_view magic);

}  // namespace kestrune
