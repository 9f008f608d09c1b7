// What reading a message costs in memory, measured by this executable's own operator new:
// mail comes from anyone, so a message within the size limit must never cost more than a
// small multiple of its size, whatever its shape.
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "mail/id_message.h"

namespace {

std::atomic<std::size_t> live_bytes{0};
std::atomic<std::size_t> peak_bytes{0};

void* Allocate(std::size_t size) {
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  const std::size_t now = live_bytes += malloc_usable_size(block);
  std::size_t peak = peak_bytes.load();
  while (now > peak && !peak_bytes.compare_exchange_weak(peak, now)) {
  }
  return block;
}

void Release(void* block) noexcept {
  if (block == nullptr) return;
  live_bytes -= malloc_usable_size(block);
  std::free(block);
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* block) noexcept { Release(block); }
void operator delete[](void* block) noexcept { Release(block); }
void operator delete(void* block, std::size_t) noexcept { Release(block); }
void operator delete[](void* block, std::size_t) noexcept { Release(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { Release(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { Release(block); }

namespace kestrune {
namespace {

constexpr std::size_t kMessageBytes = 45u * 1024u * 1024u;

// The peak of live heap bytes above what was live before, while `read` runs.
template <typename Read>
std::size_t PeakExtraBytes(Read&& read) {
  const std::size_t before = live_bytes.load();
  peak_bytes = before;
  read();
  const std::size_t peak = peak_bytes.load() - before;
  ::testing::Test::RecordProperty("peak_heap_mib", std::to_string(peak / (1024 * 1024)));
  return peak;
}

// Lines of a message as a POP3 connection hands them over: a short header, then the
// body lines, then ".", without ever holding the whole text.
TMessageLineSource Lines(std::string body_line, std::size_t body_bytes) {
  const std::size_t count = body_bytes / (body_line.size() + 2);
  return [body_line = std::move(body_line), count,
          n = std::size_t{0}]() mutable -> std::optional<std::string> {
    ++n;
    if (n == 1) return std::string("Subject: many lines");
    if (n == 2) return std::string();
    if (n < count + 3) return body_line;
    return std::string(".");
  };
}

TEST(MessageMemory, AMessageOfEmptyLinesCostsASmallMultipleOfItsSize) {
  TIdMessage message;
  std::string error;
  const std::size_t peak = PeakExtraBytes([&] {
    try {
      message.ReadFromLines(Lines("", kMessageBytes));
    } catch (const MessageError& e) {
      error = e.what();
    }
  });
  EXPECT_LE(peak, 3 * kMessageBytes) << "peak " << peak / (1024 * 1024) << " MiB";
  EXPECT_EQ(error,
            "Message holds too many short lines: it counts as more than the maximum size of "
            "52428800 bytes.");
  EXPECT_TRUE(message.Body.empty());
}

TEST(MessageMemory, AMessageOfOrdinaryLinesIsReadWithinASmallMultipleOfItsSize) {
  TIdMessage message;
  const std::string line(76, 'x');
  const std::size_t peak =
      PeakExtraBytes([&] { message.ReadFromLines(Lines(line, kMessageBytes)); });
  EXPECT_LE(peak, 3 * kMessageBytes) << "peak " << peak / (1024 * 1024) << " MiB";
  ASSERT_EQ(message.Body.size(), kMessageBytes / 78);
  EXPECT_EQ(message.Body.front(), line);
}

}  // namespace
}  // namespace kestrune
