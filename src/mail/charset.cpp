// iconv behind an RAII handle. Opening a converter loads a gconv module, which costs far
// more than converting a header, so each thread keeps its open converters (an iconv_t
// is not safe to share between threads).
#include "mail/charset.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>
#include <optional>

#include "platform/text_encoding.h"

namespace kestrune {
namespace {

// The iconv name for a charset label found in mail. Labels that name a subset of a
// charset in practice used for its superset map to the superset (as mail readers do).
std::string IconvName(std::string_view charset) {
  std::string name = AsciiLower(charset);
  while (!name.empty() && (name.back() == ' ' || name.back() == '"')) name.pop_back();
  while (!name.empty() && (name.front() == ' ' || name.front() == '"')) name.erase(0, 1);
  if (name == "iso-8859-1" || name == "latin1" || name == "us-ascii" || name == "ascii" ||
      name == "iso_8859-1" || name == "iso8859-1") {
    return "WINDOWS-1252";
  }
  if (name == "gb2312" || name == "x-gbk" || name == "gbk") return "GBK";
  if (name == "ks_c_5601-1987" || name == "euc-kr") return "CP949";
  if (name == "x-sjis" || name == "shift-jis" || name == "sjis") return "SHIFT_JIS";
  if (name == "iso-8859-8-i") return "ISO-8859-8";
  if (name == "utf8") return "UTF-8";
  return name;
}

class IconvHandle {
 public:
  explicit IconvHandle(const std::string& from) : cd_(iconv_open("UTF-8", from.c_str())) {}
  ~IconvHandle() {
    if (Valid()) iconv_close(cd_);
  }
  IconvHandle(const IconvHandle&) = delete;
  IconvHandle& operator=(const IconvHandle&) = delete;
  bool Valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t Get() const { return cd_; }

 private:
  iconv_t cd_;
};

constexpr std::size_t kMaxCachedConverters = 32;

// This thread's converter from `name`, or nullptr when iconv has none.
IconvHandle* Converter(const std::string& name) {
  thread_local std::map<std::string, std::unique_ptr<IconvHandle>> cache;
  auto found = cache.find(name);
  if (found != cache.end()) return found->second->Valid() ? found->second.get() : nullptr;
  if (cache.size() >= kMaxCachedConverters) cache.clear();  // names come from mail: bound them
  auto handle = std::make_unique<IconvHandle>(name);
  IconvHandle* result = handle->Valid() ? handle.get() : nullptr;
  cache.emplace(name, std::move(handle));
  return result;
}

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Whether an ISO-2022 text is in a two-byte character set at `pos`: the last designation
// before it ("ESC $ ..." two bytes, "ESC ( ..." one byte) and the shift bytes decide.
bool InTwoByteSet(std::string_view bytes, std::size_t pos) {
  bool two_byte = false;
  for (std::size_t i = 0; i < pos; ++i) {
    if (bytes[i] == '\x1B' && i + 1 < pos) {
      two_byte = bytes[i + 1] == '$';
    } else if (bytes[i] == '\x0E' || bytes[i] == '\x0F') {
      two_byte = bytes[i] == '\x0E';  // shift out, shift in (ISO-2022-KR)
    }
  }
  return two_byte;
}

// How many bytes the invalid character at `pos` of an ISO-2022 text takes: a pair of
// graphic bytes in a two-byte set, else one byte.
std::size_t BadCharacterLength(std::string_view bytes, std::size_t pos) {
  const auto graphic = [](char c) { return c >= 0x21 && c <= 0x7E; };
  if (pos + 1 < bytes.size() && graphic(bytes[pos]) && graphic(bytes[pos + 1]) &&
      InTwoByteSet(bytes, pos)) {
    return 2;
  }
  return 1;
}

std::string Convert(IconvHandle& handle, std::string_view bytes, bool stateful) {
  iconv(handle.Get(), nullptr, nullptr, nullptr, nullptr);  // initial shift state
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 2 + 16);
  char* in_ptr = const_cast<char*>(bytes.data());
  std::size_t in_left = bytes.size();
  char buffer[4096];
  while (true) {
    char* out_ptr = buffer;
    std::size_t out_left = sizeof(buffer);
    std::size_t result = in_left == 0 ? iconv(handle.Get(), nullptr, nullptr, &out_ptr, &out_left)
                                      : iconv(handle.Get(), &in_ptr, &in_left, &out_ptr, &out_left);
    out.append(buffer, out_ptr - buffer);
    if (result != static_cast<std::size_t>(-1)) {
      if (in_left == 0) break;
      continue;
    }
    if (errno == E2BIG) continue;
    // EILSEQ or EINVAL (a truncated sequence at the end): one replacement for the bad
    // character, which is skipped; the converter keeps its shift state, so the text after
    // it is read in the character set it is written in.
    out.append(kReplacement);
    if (in_left == 0) break;
    const std::size_t skip = stateful ? BadCharacterLength(bytes, in_ptr - bytes.data()) : 1;
    in_ptr += std::min(skip, in_left);
    in_left -= std::min(skip, in_left);
  }
  return out;
}

}  // namespace

std::string CharsetToUtf8(std::string_view bytes, std::string_view charset) {
  std::string name = IconvName(charset);
  if (name.empty() || name == "utf-8") return BytesToUtf8(bytes);
  IconvHandle* handle = Converter(name);
  if (handle == nullptr) return BytesToUtf8(bytes);
  return Convert(*handle, bytes, name.starts_with("iso-2022") || name.starts_with("iso2022"));
}

bool IsKnownCharset(std::string_view charset) {
  std::string name = IconvName(charset);
  if (name.empty()) return false;
  return Converter(name) != nullptr;
}

}  // namespace kestrune
