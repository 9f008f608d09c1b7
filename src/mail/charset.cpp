// iconv behind an RAII handle. Opening a converter loads a gconv module, which costs far
// more than converting a header, so each thread keeps its open converters (an iconv_t
// is not safe to share between threads).
#include "mail/charset.h"

#include <iconv.h>

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

std::string Convert(IconvHandle& handle, std::string_view bytes) {
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
    // EILSEQ or EINVAL (a truncated sequence at the end): one replacement, skip a byte.
    out.append(kReplacement);
    iconv(handle.Get(), nullptr, nullptr, nullptr, nullptr);
    if (in_left == 0) break;
    ++in_ptr;
    --in_left;
  }
  return out;
}

}  // namespace

std::string CharsetToUtf8(std::string_view bytes, std::string_view charset) {
  std::string name = IconvName(charset);
  if (name.empty() || name == "utf-8") return BytesToUtf8(bytes);
  IconvHandle* handle = Converter(name);
  if (handle == nullptr) return BytesToUtf8(bytes);
  return Convert(*handle, bytes);
}

bool IsKnownCharset(std::string_view charset) {
  std::string name = IconvName(charset);
  if (name.empty()) return false;
  return Converter(name) != nullptr;
}

}  // namespace kestrune
