// The toolkit's own view of one HTTP request and its answer, free of the network
// library, so that dispatch and the request cycle can be driven directly in tests.
#pragma once

#include <filesystem>
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

struct HttpResponse {
  int status = 200;
  std::string reason;  // empty = the standard text of the status
  HeaderList headers;
  std::string body;

  void SetHeader(std::string_view name, std::string value);  // replaces any earlier one
  void AddHeader(std::string name, std::string value);       // keeps earlier ones (cookies)
  std::string Header(std::string_view name) const;
  bool HasContent() const { return !body.empty() || status != 200; }
};

}  // namespace kestrune
