// Password scrambling: published Blowfish test vectors (with the stored byte order),
// partial blocks, and round trips of every length and byte value.
#include "store/scramble.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace kestrune {
namespace {

std::string FromHex(std::string_view hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  }
  return bytes;
}

std::string Reversed(std::string text) {
  std::reverse(text.begin(), text.end());
  return text;
}

struct Vector {
  const char* key;
  const char* plain;
  const char* cipher;
};

// Standard Blowfish vectors (key, big-endian plaintext block, ciphertext block).
constexpr Vector kVectors[] = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
    {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
};

TEST(ScrambleTest, MatchesPublishedVectorsOnReversedBlocks) {
  for (const Vector& v : kVectors) {
    SCOPED_TRACE(v.key);
    const std::string key = FromHex(v.key);
    // The stored layout is standard Blowfish on the reversed block, reversed back.
    std::string text = Reversed(FromHex(v.plain));
    EncryptString(text, key);
    EXPECT_EQ(text, Reversed(FromHex(v.cipher)));
    DecryptString(text, key);
    EXPECT_EQ(text, Reversed(FromHex(v.plain)));
  }
}

TEST(ScrambleTest, MatchesVectorWithLongTextKey) {
  std::string text = Reversed("BLOWFISH");
  EncryptString(text, "abcdefghijklmnopqrstuvwxyz");
  EXPECT_EQ(text, Reversed(FromHex("324ED0FEF413A203")));
}

TEST(ScrambleTest, DiffersFromBigEndianBlowfishOnTheSameBytes) {
  std::string text = FromHex("0123456789ABCDEF");
  EncryptString(text, FromHex("FEDCBA9876543210"));
  EXPECT_NE(text, FromHex("0ACEAB0FC6A0A28D"));
}

TEST(ScrambleTest, ShortTextsAndTailsStayAsTyped) {
  std::string empty;
  EncryptString(empty, kPasswordKey);
  EXPECT_EQ(empty, "");

  std::string short_text = "secret7";
  EncryptString(short_text, kPasswordKey);
  EXPECT_EQ(short_text, "secret7");

  std::string twelve = "password1234";
  EncryptString(twelve, kPasswordKey);
  EXPECT_EQ(twelve.size(), 12u);
  EXPECT_NE(twelve.substr(0, 8), "password");
  EXPECT_EQ(twelve.substr(8), "1234");
  std::string first_block = "password";
  EncryptString(first_block, kPasswordKey);
  EXPECT_EQ(twelve.substr(0, 8), first_block);
}

TEST(ScrambleTest, EveryLengthAndByteRoundTrips) {
  for (std::size_t length = 0; length <= 40; ++length) {
    std::string original;
    for (std::size_t i = 0; i < length; ++i)
      original += static_cast<char>((i * 37 + length) & 0xff);
    std::string text = original;
    EncryptString(text, kPasswordKey);
    EXPECT_EQ(text.size(), length);
    DecryptString(text, kPasswordKey);
    EXPECT_EQ(text, original) << "length " << length;
  }
  std::string all_bytes;
  for (int b = 0; b < 256; ++b) all_bytes += static_cast<char>(b);
  std::string text = all_bytes;
  EncryptString(text, kPasswordKey);
  DecryptString(text, kPasswordKey);
  EXPECT_EQ(text, all_bytes);
}

}  // namespace
}  // namespace kestrune
