// Helpers for the data-store tests: whole-file reads and writes and the operator
// messages shown while a test runs, on top of the platform tests' temporary directory
// and forked child.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/operator_messages.h"
#include "platform/platform_test_support.h"

namespace kestrune::test {

inline std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteBytes(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// Records every operator message shown while it lives.
class MessageRecorder : public OperatorMessages {
 public:
  MessageRecorder() { SetOperatorMessages(this); }
  ~MessageRecorder() override { SetOperatorMessages(nullptr); }
  void ShowMessage(std::string_view text) override { messages.emplace_back(text); }
  std::vector<std::string> Take() { return std::exchange(messages, {}); }
  std::vector<std::string> messages;
};

}  // namespace kestrune::test
