// Replacing a file whole without ever leaving it half-written: the data files (through
// store/data_file.h, which adds the lock and the merge), the settings file and the
// autostart entry all save through this one writer.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>

namespace kestrune {

// Writes bytes to "<file>.<random>.tmp" in the same directory (created with mode),
// fsyncs it, renames it over file and fsyncs the directory (best effort: once the
// rename is done the file is replaced, so a failing directory fsync is not reported as
// a failed save). On failure the temporary file is removed, file is unchanged, and
// std::system_error is thrown. Returns the written file's status as fstat gave it
// before the rename (the rename keeps inode, size and modification time), so a caller
// can recognise its own version later. Temporaries of file older than a minute (left by
// a writer killed before its rename) are removed first. Callers that may race with other writers
// hold the file's FileLock (platform/file_lock.h).
struct stat ReplaceFileAtomically(const std::filesystem::path& file,
                                  std::span<const std::uint8_t> bytes, mode_t mode);
struct stat ReplaceFileAtomically(const std::filesystem::path& file, std::string_view bytes,
                                  mode_t mode);

// Writes bytes to a new file created with mode; an existing file of that name (or a link
// planted there) is an error, never opened. On failure the partial file is removed and
// std::system_error is thrown. No fsync: for scratch files that do not outlive a request.
void WriteNewFile(const std::filesystem::path& file, std::string_view bytes, mode_t mode);

}  // namespace kestrune
