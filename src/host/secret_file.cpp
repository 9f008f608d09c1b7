// Reading a one-line secret file.
#include "host/secret_file.h"

#include <optional>
#include <stdexcept>
#include <system_error>

#include "platform/read_file.h"

namespace kestrune {

namespace {
constexpr std::size_t kMaxSecretFileBytes = 4096;
}

std::string ReadSecretFile(const std::string& path) {
  // A regular file only: a FIFO or a terminal would wait for input forever, and
  // /dev/null would read as an empty secret.
  std::optional<std::string> content;
  try {
    content = ReadFileIfExists(path, kMaxSecretFileBytes);
  } catch (const FileTooLargeError&) {
    throw std::runtime_error(path + " is too large");
  } catch (const std::system_error&) {
    throw std::runtime_error("cannot read " + path + " (it must be a regular file)");
  }
  if (!content) throw std::runtime_error("cannot read " + path);
  std::string text = std::move(*content);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (!text.empty() && text.back() == '\r') text.pop_back();
  if (text.find_first_of("\r\n") != std::string::npos) {
    throw std::runtime_error(path + " holds more than one line");
  }
  return text;
}

}  // namespace kestrune
