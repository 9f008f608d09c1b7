// The toolkit's own view of one HTTP request and its answer, free of the network
// library, so that dispatch and the request cycle can be driven directly in tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/ascii.h"  // HTTP names and toolkit commands are compared ignoring ASCII case

namespace kestrune {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// Every occurrence of `from` (letters of any case) replaced by `to`, in one pass over the
// text: the work grows with the text, not with the number of matches times its length.
std::string ReplaceIgnoreCase(std::string_view text, std::string_view from, std::string_view to);

struct HttpRequest {
  std::string method = "GET";
  std::string target = "/";  // path and query as sent
  HeaderList headers;
  std::string body;
  std::string peer_address;  // the connection's remote address
  bool secure = false;       // arrived on the HTTPS listener
  unsigned short local_port = 0;

  // The first header of that name (case-insensitive), or empty.
  std::string Header(std::string_view name) const;
  std::string_view Path() const;   // target up to "?"
  std::string_view Query() const;  // after "?", or empty
};

// A body sent from an open file instead of memory: the listener reads it piece by piece
// as the client takes it, so a slow reader holds a few kilobytes, not the whole body.
class FileBody {
 public:
  explicit FileBody(int fd);  // takes ownership
  ~FileBody();
  FileBody(const FileBody&) = delete;
  FileBody& operator=(const FileBody&) = delete;
  // Hands the descriptor over (to the network library); -1 afterwards.
  int Release();
  std::uint64_t Size() const { return size_; }

  // The file at that path, opened for reading; throws std::system_error.
  static std::shared_ptr<FileBody> Open(const std::filesystem::path& path);
  // The bytes written to a file without a name in `dir` (only this process can reach
  // it, and it vanishes when closed); throws std::system_error.
  static std::shared_ptr<FileBody> Spill(std::string_view bytes, const std::filesystem::path& dir);

 private:
  int fd_;
  std::uint64_t size_ = 0;
};

struct HttpResponse {
  int status = 200;
  std::string reason;  // empty = the standard text of the status
  HeaderList headers;
  std::string body;
  std::shared_ptr<FileBody> body_file;  // when set, the body instead of `body`

  void SetHeader(std::string_view name, std::string value);  // replaces any earlier one
  void AddHeader(std::string name, std::string value);       // keeps earlier ones (cookies)
  std::string Header(std::string_view name) const;
  bool HasContent() const { return !body.empty() || body_file || status != 200; }
};

}  // namespace kestrune
