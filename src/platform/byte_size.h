// File sizes as people read them: "45 B", "12 KB", "3.1 MB" (units of 1024).
#pragma once

#include <cstdint>
#include <string>

namespace kestrune {

// Bytes below 1024 as "N B"; larger sizes in the largest unit (KB, MB, GB, TB) that keeps
// the number at 1 or more, with one decimal below 10 ("3.1 MB") and none from 10 on
// ("12 KB"), rounded half up; a size that rounds to 1024 of a unit is shown in the next.
std::string ByteSizeText(std::uint64_t bytes);

}  // namespace kestrune
