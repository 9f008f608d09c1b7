#include "web/toolkit/download_answer.h"

#include <chrono>

#include "platform/read_file.h"
#include "web/toolkit/static_files.h"

namespace kestrune {
namespace {

constexpr std::string_view kDownloadMark = "IW_Download_";
// Downloads up to this size are answered from memory; bigger ones from a file.
constexpr std::size_t kDownloadBytesKeptInMemory = 256 * 1024;

// What a download may never do in the browser: be sniffed into another type, run
// script or load anything (an attachment is the sender's content, not ours).
void AddDownloadSafetyHeaders(HttpResponse& response) {
  response.SetHeader("X-Content-Type-Options", "nosniff");
  response.SetHeader("Content-Security-Policy", "sandbox; default-src 'none'");
}

// RFC 8187 attr-char: what filename* may carry without a percent escape.
bool IsAttrChar(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("!#$&+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

}  // namespace

std::string DownloadFileName(std::string_view name) {
  const auto separator = name.find_last_of("/\\");
  if (separator != std::string_view::npos) name.remove_prefix(separator + 1);
  std::string clean;
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) clean += c;
  }
  if (clean.empty() || clean == "." || clean == "..") return "download";
  return clean;
}

std::string ContentDispositionFor(bool as_attachment, std::string_view file_name) {
  const std::string name = DownloadFileName(file_name);
  // The quoted form is for old clients: ASCII only, without the characters that would
  // end or escape the quoted string; each non-ASCII character becomes one "_".
  std::string quoted;
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) {
      if ((byte & 0xC0) != 0x80) quoted += '_';
    } else if (c != '"' && c != '\\') {
      quoted += c;
    }
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsAttrChar(byte)) {
      encoded += c;
    } else {
      encoded += '%';
      encoded += kHex[byte >> 4];
      encoded += kHex[byte & 15];
    }
  }
  return std::string(as_attachment ? "attachment" : "inline") + ";filename=\"" + quoted +
         "\"; filename*=UTF-8''" + encoded;
}

std::optional<HttpResponse> DownloadAnswer(TIWApplication::Download download,
                                           std::string_view url_base,
                                           const std::filesystem::path& spill_dir) {
  HttpResponse response;
  std::string file_name = download.file_name;
  // A big download leaves memory before its answer is written: however slowly the
  // client reads, it holds the file's bytes on disk, not in the server.
  if (download.content) {
    if (download.content->size() > kDownloadBytesKeptInMemory) {
      response.body_file = FileBody::Spill(*download.content, spill_dir);
    } else {
      response.body = std::move(*download.content);
    }
    download.content.reset();
  } else {
    file_name = download.path.filename().string();
    try {
      response.body_file = FileBody::Open(download.path);
      if (response.body_file->Size() <= kDownloadBytesKeptInMemory) {
        response.body = ReadWholeFile(download.path);
        response.body_file.reset();
      }
    } catch (const std::exception&) {
      return std::nullopt;
    }
  }
  std::string type = download.content_type;
  if (type.empty()) type = ContentTypeForFile(DownloadFileName(file_name));
  if (type.empty()) type = "application/unknown";
  response.SetHeader("Content-Type", type);
  response.SetHeader("Content-Disposition",
                     ContentDispositionFor(download.as_attachment, file_name));
  response.SetHeader("Expires", FormatHttpDate(std::chrono::system_clock::now()));
  response.SetHeader("Cache-Control", "private, no-store");
  AddDownloadSafetyHeaders(response);
  // The browser stays on the page that posted; this mark, readable by the page's
  // script and holding no secret, tells it that the answer came and it may post again.
  response.AddHeader("Set-Cookie",
                     std::string(kDownloadMark) + "=1; path=" +
                         (url_base.empty() ? std::string("/") : std::string(url_base)) +
                         "; SameSite=Lax");
  return response;
}

}  // namespace kestrune
