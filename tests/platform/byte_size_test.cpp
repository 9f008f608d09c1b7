// Sizes shown next to attachments.
#include "platform/byte_size.h"

#include <gtest/gtest.h>

namespace kestrune::testing {
namespace {

TEST(ByteSizeTextTest, SizesReadAsPeopleWriteThem) {
  const std::pair<std::uint64_t, const char*> cases[] = {
      {0, "0 B"},
      {45, "45 B"},
      {1023, "1023 B"},  // never "0 KB"
      {1024, "1.0 KB"},
      {1536, "1.5 KB"},
      {10188, "9.9 KB"},
      {10189, "10 KB"},  // 9.95 KB rounds up to the next whole unit, not "10.0"
      {12 * 1024 + 100, "12 KB"},
      {1024 * 1024 - 1, "1.0 MB"},  // 1023.999 KB is shown in the next unit
      {3250585, "3.1 MB"},
      {36ull * 1024 * 1024, "36 MB"},
      {5ull * 1024 * 1024 * 1024, "5.0 GB"},
      {3000ull * 1024 * 1024 * 1024 * 1024, "3000 TB"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(ByteSizeText(bytes), text) << bytes;
}

}  // namespace
}  // namespace kestrune::testing
