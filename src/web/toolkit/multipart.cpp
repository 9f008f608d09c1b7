// Form body parsing. The multipart reader follows the line structure of the format:
// "--" boundary CRLF, part headers, empty line, data, CRLF "--" boundary, and "--" after
// the last boundary.
#include "web/toolkit/multipart.h"

#include "platform/header_params.h"
#include "web/toolkit/http_message.h"

namespace kestrune {
namespace {

constexpr std::size_t kMaxParts = 10000;
constexpr std::size_t kMaxPartHeaderBytes = 8192;

// One parameter of a part header; browsers send backslashes of Windows paths
// unescaped, so only \" is an escape in a quoted value.
std::optional<std::string> HeaderParameter(std::string_view header, std::string_view wanted) {
  const HeaderParams params = ParseHeaderParams(header, QuotedEscapes::kQuoteOnly);
  if (params.Unterminated) throw FormDataError("Unterminated quoted parameter in form part");
  return params.Find(wanted);
}

void ParsePartHeaders(std::string_view headers, FormPart& part) {
  bool has_disposition = false;
  while (!headers.empty()) {
    const auto end = headers.find("\r\n");
    const std::string_view line = headers.substr(0, end);
    headers = end == std::string_view::npos ? std::string_view() : headers.substr(end + 2);
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) throw FormDataError("Malformed form part header");
    const std::string_view name = TrimBlanks(line.substr(0, colon));
    const std::string_view value = TrimBlanks(line.substr(colon + 1));
    if (EqualsIgnoringAsciiCase(name, "Content-Disposition")) {
      has_disposition = true;
      const auto field = HeaderParameter(value, "name");
      if (!field) throw FormDataError("Form part without a name");
      part.name = *field;
      if (const auto file = HeaderParameter(value, "filename")) {
        part.is_file = true;
        part.file_name = *file;
      }
    } else if (EqualsIgnoringAsciiCase(name, "Content-Type")) {
      part.content_type = std::string(value);
    }
  }
  if (!has_disposition) throw FormDataError("Form part without Content-Disposition");
}

}  // namespace

std::vector<std::pair<std::string, std::string>> ParseUrlEncoded(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> fields;
  while (!text.empty()) {
    const auto amp = text.find('&');
    const std::string_view pair = text.substr(0, amp);
    text = amp == std::string_view::npos ? std::string_view() : text.substr(amp + 1);
    if (pair.empty()) continue;
    if (fields.size() >= kMaxParts) throw FormDataError("Too many form fields");
    const auto equals = pair.find('=');
    if (equals == std::string_view::npos) {
      fields.emplace_back(DecodePercentEscapes(pair, true), std::string());
    } else {
      fields.emplace_back(DecodePercentEscapes(pair.substr(0, equals), true),
                          DecodePercentEscapes(pair.substr(equals + 1), true));
    }
  }
  return fields;
}

std::optional<std::string> MultipartBoundary(std::string_view content_type) {
  const std::string_view type = TrimBlanks(content_type.substr(0, content_type.find(';')));
  if (!EqualsIgnoringAsciiCase(type, "multipart/form-data")) return std::nullopt;
  const auto boundary = HeaderParameter(content_type, "boundary");
  // The format limits a boundary to 70 characters.
  if (!boundary || boundary->empty() || boundary->size() > 70) {
    throw FormDataError("Multipart body without a valid boundary");
  }
  return boundary;
}

std::vector<FormPart> ParseMultipart(std::string_view body, std::string_view boundary) {
  const std::string delimiter = "--" + std::string(boundary);
  const std::string separator = "\r\n" + delimiter;
  std::vector<FormPart> parts;

  std::size_t pos;
  if (body.starts_with(delimiter)) {
    pos = delimiter.size();
  } else {
    const auto first = body.find(separator);  // after a preamble
    if (first == std::string_view::npos) throw FormDataError("Multipart body without boundary");
    pos = first + separator.size();
  }
  for (;;) {
    if (body.substr(pos, 2) == "--") return parts;  // closing delimiter
    // Transport padding after a delimiter is allowed before its CRLF.
    while (pos < body.size() && (body[pos] == ' ' || body[pos] == '\t')) ++pos;
    if (body.substr(pos, 2) != "\r\n") throw FormDataError("Malformed multipart delimiter");
    pos += 2;
    if (parts.size() >= kMaxParts) throw FormDataError("Too many form parts");

    FormPart part;
    const auto header_end = body.find("\r\n\r\n", pos);
    std::string_view headers;
    std::size_t data_start;
    if (body.substr(pos, 2) == "\r\n") {  // a part without headers
      data_start = pos + 2;
    } else {
      if (header_end == std::string_view::npos) throw FormDataError("Unterminated form part");
      if (header_end - pos > kMaxPartHeaderBytes) throw FormDataError("Form part header too long");
      headers = body.substr(pos, header_end - pos);
      data_start = header_end + 4;
    }
    ParsePartHeaders(headers, part);
    const auto data_end = body.find(separator, data_start);
    if (data_end == std::string_view::npos) throw FormDataError("Unterminated form part");
    part.data = body.substr(data_start, data_end - data_start);
    parts.push_back(std::move(part));
    pos = data_end + separator.size();
  }
}

}  // namespace kestrune
