// Small text and path routines with exact results that several parts of the server
// rely on: random base names of new message and print files, the proper-case form of
// user names, plain text shown as HTML, substring search, trailing path separators,
// file sizes, file existence with "*" patterns, and copying the files of a directory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace kestrune {

// Length of the names UniqueBaseName returns.
inline constexpr std::size_t kUniqueBaseNameLength = 8;

// 8 characters drawn uniformly from "a"-"z" and "0"-"9" by the kernel's cryptographic
// random source, such that no file in directory has that base name with any extension.
// Nothing is reserved: create the file with CreateUniqueFile to be sure of it.
std::string UniqueBaseName(const std::filesystem::path& directory);

struct UniqueFile {
  std::string base_name;       // the 8 characters
  std::filesystem::path path;  // directory / (base_name + extension)
};

// Creates a new empty file (mode 0600) named UniqueBaseName(directory) + extension
// (e.g. ".eml") with O_CREAT | O_EXCL, drawing again when the name was taken in the
// meantime, so two writers in the same instant never share a name. Throws
// std::system_error when the file cannot be created.
UniqueFile CreateUniqueFile(const std::filesystem::path& directory, std::string_view extension);

// ASCII letters lower-cased, then the first character and every character after a
// space, "\", a double quote, "=", "_" or "." upper-cased: "ADMIN_USER" -> "Admin_User".
std::string ProperCase(std::string_view text);

// Plain text for an HTML page: &, <, >, " and ' become entities (the text is data,
// not markup), then every carriage return becomes "<br>"; line feeds stay.
std::string TextToHtml(std::string_view text);

// The first occurrence of needle in text, byte for byte; position is 1-based, 0 when
// not found (and for an empty needle, which finds nothing).
bool FindText(std::string_view needle, std::string_view text, int& position);

// path with "/" appended unless it already ends with one.
std::string AddTrailingBackslash(std::string_view path);
// path without its last character when that is "/".
std::string RemoveTrailingBackslash(std::string_view path);

// Made absolute first. With "*" or "?" in its last component: the sum of the sizes of
// the matching entries (directories count 0; 0 when none match). Otherwise the size of
// the entry it names (0 for a directory), or -1 when there is none.
std::int64_t FileSizeOf(const std::filesystem::path& path);

// Whether a file exists at path; with "*" or "?" in its last component, whether any
// entry matches ("*.*" matches every name, as on the system the data came from).
bool FileExists(const std::filesystem::path& path);
bool DirectoryExists(const std::filesystem::path& path);

// Copies the regular files (not subdirectories) that match source_pattern (a directory
// followed by a pattern such as "*.*") into destination, replacing files of the same
// name and creating destination when missing. True when every copy succeeded.
bool CopyMatchingFiles(const std::filesystem::path& source_pattern,
                       const std::filesystem::path& destination);

// Whether name matches pattern: "*" any run of characters, "?" one character; "*.*"
// matches every name. Letter case counts.
bool MatchesFilePattern(std::string_view name, std::string_view pattern);

}  // namespace kestrune
