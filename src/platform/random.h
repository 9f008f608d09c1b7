// Cryptographically strong random bytes from the kernel, for names and keys that
// must not be guessed or collide (session keys, unique file names).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace kestrune {

// Fills the buffer from getrandom(2); throws std::system_error if the kernel refuses.
void FillRandom(std::span<std::uint8_t> out);

std::uint32_t RandomUint32();

// 2 * byte_count upper-case hexadecimal characters.
std::string RandomHex(std::size_t byte_count);

}  // namespace kestrune
