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

// How far a replacement is forced to the disk before ReplaceFileAtomically returns.
//  kDurable    the temporary file is fsynced before the rename and the directory after it:
//              once the call returns, the new contents survive a power failure.
//  kUnflushed  no fsync: the rename still replaces the file whole (a killed process never
//              leaves a torn file), but after a power failure the file may be its previous
//              version. Only for changes whose loss loses no data (a read mark); on ext4
//              the kernel starts writing a file that replaces another by rename at once.
enum class Flush { kDurable, kUnflushed };

// Writes bytes to "<file>.<random>.tmp" in the same directory (created with mode),
// fsyncs it, renames it over file and fsyncs the directory (best effort: once the
// rename is done the file is replaced, so a failing directory fsync is not reported as
// a failed save); with Flush::kUnflushed both fsyncs are left out. On failure the temporary file is
// removed, file is unchanged, and std::system_error is thrown. Returns the written file's status as
// fstat gave it before the rename (the rename keeps inode, size and modification time), so a caller
// can recognise its own version later. Temporaries of file older than a minute (left by
// a writer killed before its rename) are removed first. Callers that may race with other writers
// hold the file's FileLock (platform/file_lock.h).
struct stat ReplaceFileAtomically(const std::filesystem::path& file,
                                  std::span<const std::uint8_t> bytes, mode_t mode,
                                  Flush flush = Flush::kDurable);
struct stat ReplaceFileAtomically(const std::filesystem::path& file, std::string_view bytes,
                                  mode_t mode, Flush flush = Flush::kDurable);

// fsync calls ReplaceFileAtomically has made in this process (what a save costs the disk,
// for tests and benchmarks).
std::uint64_t ReplaceFsyncCount();

// Writes bytes to a new file created with mode; an existing file of that name (or a link
// planted there) is an error, never opened. On failure the partial file is removed and
// std::system_error is thrown. No fsync: for scratch files that do not outlive a request.
void WriteNewFile(const std::filesystem::path& file, std::string_view bytes, mode_t mode);

}  // namespace kestrune
