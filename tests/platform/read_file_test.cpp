#include "platform/read_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <system_error>

#include "platform_test_support.h"

namespace kestrune {
namespace {

void WriteFile(const std::filesystem::path& file, const std::string& content) {
  std::ofstream(file, std::ios::binary) << content;
}

TEST(ReadFile, GivesTheBytesAndTheStatusOfTheVersionRead) {
  test::TempDir dir;
  const std::string content("line\r\n\0binary\xff", 14);
  WriteFile(dir.path() / "f", content);
  struct stat info {};
  EXPECT_EQ(ReadFileIfExists(dir.path() / "f", 1000, &info), content);
  EXPECT_EQ(info.st_size, 14);
  EXPECT_EQ(ReadWholeFile(dir.path() / "f"), content);
}

TEST(ReadFile, AbsenceIsNulloptOnlyForTheOptionalReader) {
  test::TempDir dir;
  EXPECT_EQ(ReadFileIfExists(dir.path() / "none"), std::nullopt);
  EXPECT_THROW(ReadWholeFile(dir.path() / "none"), std::system_error);
  EXPECT_THROW(ReadFileIfExists(dir.path()), std::system_error);
}

TEST(ReadFile, TheBoundAdmitsItsOwnSizeAndRefusesOneByteMore) {
  test::TempDir dir;
  WriteFile(dir.path() / "f", std::string(8192, 'x'));
  EXPECT_EQ(ReadFileIfExists(dir.path() / "f", 8192)->size(), 8192u);
  EXPECT_THROW(ReadFileIfExists(dir.path() / "f", 8191), FileTooLargeError);
}

TEST(ReadFile, AFileThatLiesAboutItsSizeIsStillBounded) {
  // /proc files report size 0 and hold more: the reader must not trust st_size.
  const auto content = ReadFileIfExists("/proc/self/status", 1 << 20);
  ASSERT_TRUE(content.has_value());
  EXPECT_NE(content->find("Name:"), std::string::npos);
  EXPECT_THROW(ReadFileIfExists("/proc/self/status", 16), FileTooLargeError);
}

}  // namespace
}  // namespace kestrune
