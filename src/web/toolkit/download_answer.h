// The answer to a download a page asked for: the file name and Content-Disposition
// offered to the browser, the type, and the headers that keep an attachment inert.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "web/toolkit/application.h"
#include "web/toolkit/http_message.h"

namespace kestrune {

// A download's file name as offered to the browser: without any directory part ("/" or
// "\\") and control characters; "download" when nothing is left.
std::string DownloadFileName(std::string_view name);

// The Content-Disposition of a download: attachment or inline, the name quoted in ASCII
// for old clients and as filename*=UTF-8'' with percent escapes for the others.
std::string ContentDispositionFor(bool as_attachment, std::string_view file_name);

// The answer carrying a download; none when its file cannot be read. url_base is the
// session's path, where the page's script finds the mark that the answer came. A big
// download is sent from its file, or from an unnamed file in spill_dir that holds the
// bytes the program gave; throws std::system_error when that file cannot be written.
std::optional<HttpResponse> DownloadAnswer(TIWApplication::Download download,
                                           std::string_view url_base,
                                           const std::filesystem::path& spill_dir);

}  // namespace kestrune
