// getrandom(2) wrapper.
#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>
#include <system_error>
#include <vector>

namespace kestrune {

void FillRandom(std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t got = getrandom(out.data() + done, out.size() - done, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "getrandom");
    }
    done += static_cast<std::size_t>(got);
  }
}

std::uint32_t RandomUint32() {
  std::uint8_t bytes[4];
  FillRandom(bytes);
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

std::string RandomHex(std::size_t byte_count) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::vector<std::uint8_t> bytes(byte_count);
  FillRandom(bytes);
  std::string text;
  text.reserve(byte_count * 2);
  for (std::uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  return text;
}

}  // namespace kestrune
