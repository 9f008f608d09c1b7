// Serving files from a directory: safe resolution of the URL's path argument, content
// types, HTTP dates and the "If-Modified-Since" check.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "web/toolkit/http_message.h"

namespace kestrune {

using SystemTime = std::chrono::system_clock::time_point;

// The file named by a URL path argument inside `dir`: the argument is percent-decoded
// once and split on "/"; an empty, "." or ".." segment, a backslash or NUL refuses it,
// as does more than one segment without sub-folders. The file must be a regular file
// that, after links are resolved, still lies inside `dir`. None when refused or missing.
std::optional<std::filesystem::path> ResolveServedFile(const std::filesystem::path& dir,
                                                       std::string_view argument,
                                                       bool allow_sub_folders);

// Content type by extension: the toolkit's own short table first, then the system's
// table; empty when neither knows it. A ".tmp" file takes the type of "." + the first
// three letters of its name (cache files are named after what they hold).
std::string ContentTypeForFile(std::string_view file_name);

// The header form of a time ("Sun, 06 Nov 1994 08:49:37 GMT"), whole seconds.
std::string FormatHttpDate(SystemTime when);

// True when `modified` is not newer than the If-Modified-Since text (compared at a
// resolution of 1/100000 day); false when the text is empty or not a date.
bool NotModifiedSince(SystemTime modified, std::string_view if_modified_since);

SystemTime FileModificationTime(const std::filesystem::path& file);

}  // namespace kestrune
