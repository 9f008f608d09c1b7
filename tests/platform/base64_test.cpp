#include "platform/base64.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrune {
namespace {

TEST(Base64, EncodesTheStandardVectors) {
  EXPECT_EQ(Base64Encode(""), "");
  EXPECT_EQ(Base64Encode("f"), "Zg==");
  EXPECT_EQ(Base64Encode("fo"), "Zm8=");
  EXPECT_EQ(Base64Encode("foo"), "Zm9v");
  EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(Base64Encode("\xFF\xFE\xFD"), "//79");
  EXPECT_EQ(Base64Encode(std::string("\0\0", 2)), "AAA=");
}

TEST(Base64, DecodesEveryByteValueBack) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  for (std::size_t length = 0; length <= all.size(); length += 37) {
    const std::string bytes = all.substr(0, length);
    EXPECT_EQ(Base64Decode(Base64Encode(bytes)), bytes) << length;
  }
}

TEST(Base64, DecodesLenientlyAsMailNeeds) {
  EXPECT_EQ(Base64Decode("Zm9v\r\nYmFy"), "foobar");
  EXPECT_EQ(Base64Decode(" Zm 9v*YmFy "), "foobar");
  EXPECT_EQ(Base64Decode("Zm8=Zm9v"), "fo") << "padding ends the data";
  EXPECT_EQ(Base64Decode("Zm9vY"), "foo") << "a dangling character makes no byte";
  EXPECT_EQ(Base64Decode("YWxpY2U6c2VjcmV0"), "alice:secret");
  EXPECT_EQ(Base64Decode("\x80\xFF"), "");
}

}  // namespace
}  // namespace kestrune
