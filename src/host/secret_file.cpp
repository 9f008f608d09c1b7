// Reading a one-line secret file.
#include "host/secret_file.h"

#include <fstream>
#include <stdexcept>

namespace kestrune {

namespace {
constexpr std::size_t kMaxSecretFileBytes = 4096;
}

std::string ReadSecretFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::string text(kMaxSecretFileBytes + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad()) throw std::runtime_error("cannot read " + path);
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (text.size() > kMaxSecretFileBytes) throw std::runtime_error(path + " is too large");
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (!text.empty() && text.back() == '\r') text.pop_back();
  if (text.find_first_of("\r\n") != std::string::npos) {
    throw std::runtime_error(path + " holds more than one line");
  }
  return text;
}

}  // namespace kestrune
