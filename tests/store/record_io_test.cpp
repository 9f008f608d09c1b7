#include "store/record_io.h"

#include <gtest/gtest.h>

#include <array>
#include <stdexcept>
#include <vector>

namespace kestrune {
namespace {

std::vector<std::uint8_t> Filled(std::size_t size, std::uint8_t value) {
  return std::vector<std::uint8_t>(size, value);
}

TEST(RecordIo, IntegersAndDoublesAreLittleEndianAtTheirOffset) {
  auto bytes = Filled(16, 0xAA);
  WriteInt32LE(bytes, 1, -2);
  WriteUint32LE(bytes, 5, 0x01020304);
  EXPECT_EQ(bytes, (std::vector<std::uint8_t>{0xAA, 0xFE, 0xFF, 0xFF, 0xFF, 0x04, 0x03, 0x02, 0x01,
                                              0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}));
  EXPECT_EQ(ReadInt32LE(bytes, 1), -2);
  EXPECT_EQ(ReadUint32LE(bytes, 5), 0x01020304u);

  auto date = Filled(8, 0);
  WriteDouble(date, 0, 1.0);
  EXPECT_EQ(date, (std::vector<std::uint8_t>{0, 0, 0, 0, 0, 0, 0xF0, 0x3F}));
  WriteDouble(date, 0, 45000.75);
  EXPECT_EQ(ReadDouble(date, 0), 45000.75);
}

TEST(RecordIo, FieldsOutsideTheBufferThrow) {
  auto bytes = Filled(8, 0);
  EXPECT_THROW(ReadInt32LE(bytes, 5), std::out_of_range);
  EXPECT_THROW(WriteDouble(bytes, 1, 0.0), std::out_of_range);
  EXPECT_THROW(ReadCountedString(bytes, 0, 8), std::out_of_range);
  EXPECT_THROW(ReadUint8(bytes, std::size_t(-1)), std::out_of_range);
  EXPECT_NO_THROW(ReadCountedString(bytes, 0, 7));
}

TEST(RecordIo, FlagsStoreZeroOrOneAndKeepAByteThatAlreadyReadsRight) {
  auto bytes = std::vector<std::uint8_t>{0, 2, 1};
  EXPECT_FALSE(ReadFlag(bytes, 0));
  EXPECT_TRUE(ReadFlag(bytes, 1));
  WriteFlag(bytes, 0, true);
  WriteFlag(bytes, 1, true);
  WriteFlag(bytes, 2, false);
  EXPECT_EQ(bytes, (std::vector<std::uint8_t>{1, 2, 0}));
}

TEST(CountedString, WriteStoresLengthAndTextAndKeepsTheBytesAfterIt) {
  auto bytes = Filled(10, 0xAA);
  WriteCountedString(bytes, 1, 8, "abc");
  EXPECT_EQ(bytes,
            (std::vector<std::uint8_t>{0xAA, 3, 'a', 'b', 'c', 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}));
  EXPECT_EQ(ReadCountedString(bytes, 1, 8), "abc");
  WriteCountedString(bytes, 1, 8, "");
  EXPECT_EQ(bytes,
            (std::vector<std::uint8_t>{0xAA, 0, 'a', 'b', 'c', 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}));
}

TEST(CountedString, LongTextIsCutToCapacityAtACharacterBoundary) {
  auto bytes = Filled(6, 0);
  WriteCountedString(bytes, 0, 5, "abcdefgh");
  EXPECT_EQ(ReadCountedString(bytes, 0, 5), "abcde");
  WriteCountedString(bytes, 0, 5, "h\xC3\xA9llo!");  // "héllo!" is 7 bytes
  EXPECT_EQ(bytes, (std::vector<std::uint8_t>{5, 'h', 0xC3, 0xA9, 'l', 'l'}));
  WriteCountedString(bytes, 0, 5, "abcd\xC3\xA9");  // é would straddle the end
  EXPECT_EQ(bytes[0], 4);
  EXPECT_EQ(ReadCountedString(bytes, 0, 5), "abcd");
}

TEST(CountedString, ReadNeverGoesPastTheCapacityWhateverTheLengthByteSays) {
  auto bytes = std::vector<std::uint8_t>{200, 'a', 'b', 'c', 'X'};
  EXPECT_EQ(ReadCountedString(bytes, 0, 3), "abc");
}

TEST(CountedString, Windows1252TextReadsAsUtf8AndKeepsItsBytesWhenUnchanged) {
  auto bytes = std::vector<std::uint8_t>{6, 'M', 0xFC, 'l', 'l', 'e', 'r', 0x55};
  EXPECT_EQ(ReadCountedString(bytes, 0, 7), "Müller");
  const auto before = bytes;
  WriteCountedString(bytes, 0, 7, "Müller");
  EXPECT_EQ(bytes, before);
  WriteCountedString(bytes, 0, 7, "Mülle");
  EXPECT_EQ(bytes, (std::vector<std::uint8_t>{6, 'M', 0xC3, 0xBC, 'l', 'l', 'e', 0x55}));
}

TEST(CountedString, AnOverlongLengthByteIsRepairedOnWrite) {
  auto bytes = std::vector<std::uint8_t>{9, 'a', 'b', 'c'};
  WriteCountedString(bytes, 0, 3, "abc");
  EXPECT_EQ(bytes[0], 3);
}

TEST(CountedMagic, ComparesLengthByteExactlyAndLettersIgnoringCase) {
  EXPECT_TRUE(CountedMagicMatches(std::vector<std::uint8_t>{3, 'K', 'S', 'T', 0}, "KST"));
  EXPECT_TRUE(CountedMagicMatches(std::vector<std::uint8_t>{3, 'k', 's', 'T'}, "KST"));
  EXPECT_FALSE(CountedMagicMatches(std::vector<std::uint8_t>{4, 'K', 'S', 'T', 'E'}, "KST"));
  EXPECT_FALSE(CountedMagicMatches(std::vector<std::uint8_t>{3, 'K', 'S', 'X'}, "KST"));
  EXPECT_FALSE(CountedMagicMatches(std::vector<std::uint8_t>{3, 'K', 'S'}, "KST"));
  EXPECT_FALSE(CountedMagicMatches(std::vector<std::uint8_t>{4, 'K', 'S', 'T', 'C'}, "KSTE"));
}

}  // namespace
}  // namespace kestrune
