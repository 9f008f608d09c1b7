// Reading a whole regular file through one descriptor, so that the content and the file
// status a caller gets belong to the same version of the file.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <filesystem>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

namespace kestrune {

// A file longer than the bound its reader set.
class FileTooLargeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The whole content of a regular file; nullopt when it does not exist. `info`, when given,
// receives the status of exactly the version read. A directory or another failure throws
// std::system_error; a file over max_bytes throws FileTooLargeError.
std::optional<std::string> ReadFileIfExists(
    const std::filesystem::path& file,
    std::size_t max_bytes = std::numeric_limits<std::size_t>::max(), struct stat* info = nullptr);

// The same for a file that must exist: its absence is a std::system_error too.
std::string ReadWholeFile(const std::filesystem::path& file);

}  // namespace kestrune
