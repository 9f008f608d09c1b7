#include "platform/read_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
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

// A FIFO planted where a file is read (a password file, the settings file) must be
// refused, not waited on until someone writes to it.
TEST(ReadFile, AFifoOrADeviceIsRefusedWithoutBlocking) {
  test::TempDir dir;
  const auto fifo = dir.path() / "password";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::filesystem::path file : {fifo, std::filesystem::path("/dev/null")}) {
    auto read = std::async(std::launch::async, [&] { return ReadFileIfExists(file); });
    if (read.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      // Release the reader so the test can end, then fail.
      const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      if (writer >= 0) ::close(writer);
      FAIL() << file << ": the read blocked";
    }
    EXPECT_THROW(read.get(), std::system_error) << file;
  }
}

}  // namespace
}  // namespace kestrune
