// Blowfish: 16 rounds, key schedule from the pi tables, and the block layout of the
// stored password (bytes of a block read as one little-endian 64-bit number).
#include "store/scramble.h"

#include <array>
#include <cstdint>
#include <stdexcept>

#include "store/blowfish_tables.h"

namespace kestrune {
namespace {

using blowfish::kRounds;

class Blowfish {
 public:
  explicit Blowfish(std::string_view key) : p_(blowfish::kInitialP), s_(blowfish::kInitialS) {
    if (key.empty()) throw std::invalid_argument("empty Blowfish key");
    const std::size_t n = key.size();
    std::size_t j = 0;
    for (std::uint32_t& word : p_) {
      std::uint32_t key_word = 0;
      for (int k = 0; k < 4; ++k) {
        key_word = (key_word << 8) | static_cast<unsigned char>(key[j]);
        j = (j + 1) % n;
      }
      word ^= key_word;
    }
    std::uint32_t left = 0;
    std::uint32_t right = 0;
    for (std::size_t i = 0; i < p_.size(); i += 2) {
      Encipher(left, right);
      p_[i] = left;
      p_[i + 1] = right;
    }
    for (auto& box : s_) {
      for (std::size_t i = 0; i < box.size(); i += 2) {
        Encipher(left, right);
        box[i] = left;
        box[i + 1] = right;
      }
    }
  }

  void Encipher(std::uint32_t& left, std::uint32_t& right) const {
    std::uint32_t l = left ^ p_[0];
    std::uint32_t r = right;
    for (int i = 1; i <= kRounds - 1; i += 2) {
      r ^= F(l) ^ p_[i];
      l ^= F(r) ^ p_[i + 1];
    }
    left = r ^ p_[kRounds + 1];
    right = l;
  }

  void Decipher(std::uint32_t& left, std::uint32_t& right) const {
    std::uint32_t l = left ^ p_[kRounds + 1];
    std::uint32_t r = right;
    for (int i = kRounds; i >= 2; i -= 2) {
      r ^= F(l) ^ p_[i];
      l ^= F(r) ^ p_[i - 1];
    }
    left = r ^ p_[0];
    right = l;
  }

 private:
  std::uint32_t F(std::uint32_t x) const {
    return ((s_[0][x >> 24] + s_[1][(x >> 16) & 0xff]) ^ s_[2][(x >> 8) & 0xff]) + s_[3][x & 0xff];
  }

  std::array<std::uint32_t, kRounds + 2> p_;
  std::array<std::array<std::uint32_t, 256>, 4> s_;
};

std::uint32_t WordAt(const std::string& text, std::size_t offset) {
  std::uint32_t word = 0;
  for (int k = 3; k >= 0; --k) word = (word << 8) | static_cast<unsigned char>(text[offset + k]);
  return word;
}

void PutWord(std::string& text, std::size_t offset, std::uint32_t word) {
  for (int k = 0; k < 4; ++k) text[offset + k] = static_cast<char>((word >> (8 * k)) & 0xff);
}

// Each whole block: right half = little-endian word at bytes 0-3, left half = the one
// at bytes 4-7.
template <typename Operation>
void ForEachBlock(std::string& text, Operation operation) {
  for (std::size_t offset = 0; offset + 8 <= text.size(); offset += 8) {
    std::uint32_t right = WordAt(text, offset);
    std::uint32_t left = WordAt(text, offset + 4);
    operation(left, right);
    PutWord(text, offset, right);
    PutWord(text, offset + 4, left);
  }
}

}  // namespace

void EncryptString(std::string& text, std::string_view key) {
  const Blowfish cipher(key);
  ForEachBlock(text, [&](std::uint32_t& l, std::uint32_t& r) { cipher.Encipher(l, r); });
}

void DecryptString(std::string& text, std::string_view key) {
  const Blowfish cipher(key);
  ForEachBlock(text, [&](std::uint32_t& l, std::uint32_t& r) { cipher.Decipher(l, r); });
}

}  // namespace kestrune
