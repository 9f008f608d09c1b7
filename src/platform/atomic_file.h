// Replacing a small file whole without ever leaving it half-written: the settings file
// and the autostart entry. (Data files have their own locked save in store/data_file.h.)
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string_view>

namespace kestrune {

// Writes bytes to "<file>.<random>.tmp" in the same directory (created with mode),
// fsyncs it, renames it over file and fsyncs the directory. On failure the temporary
// file is removed, file is unchanged, and std::system_error is thrown.
void ReplaceFileAtomically(const std::filesystem::path& file, std::string_view bytes, mode_t mode);

}  // namespace kestrune
