#include "platform/byte_size.h"

namespace kestrune {

std::string ByteSizeText(std::uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static constexpr const char* kUnits[] = {"KB", "MB", "GB", "TB"};
  // Tenths of the unit, computed in integers so that no size is shown rounded down.
  std::uint64_t divisor = 1024;
  for (std::size_t unit = 0;; ++unit) {
    const bool last = unit + 1 == std::size(kUnits);
    const std::uint64_t tenths = (bytes * 10 + divisor / 2) / divisor;
    if (tenths < 100) {
      return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " " + kUnits[unit];
    }
    const std::uint64_t whole = (bytes + divisor / 2) / divisor;
    if (whole < 1024 || last) return std::to_string(whole) + " " + kUnits[unit];
    divisor *= 1024;
  }
}

}  // namespace kestrune
