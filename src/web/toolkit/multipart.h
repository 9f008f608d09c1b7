// Parsers for posted form bodies: "application/x-www-form-urlencoded" (also query
// strings) and "multipart/form-data". They only split and decode; the request cycle
// decides what the fields mean. Malformed input raises FormDataError.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrune {

class FormDataError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "a=1&b=2" into pairs in order; a pair without "=" gets an empty value.
std::vector<std::pair<std::string, std::string>> ParseUrlEncoded(std::string_view text);

struct FormPart {
  std::string name;
  std::string file_name;  // the browser's file name; empty for plain fields
  bool is_file = false;   // the part carried a filename parameter
  std::string content_type;
  std::string_view data;  // points into the parsed body
};

// The boundary parameter of a multipart/form-data content type, or none when the type
// is another one. A multipart type without a usable boundary raises FormDataError.
std::optional<std::string> MultipartBoundary(std::string_view content_type);

// Splits a multipart body into its parts, in order.
std::vector<FormPart> ParseMultipart(std::string_view body, std::string_view boundary);

}  // namespace kestrune
