// Small helpers on the toolkit's request and response records.
#include "web/toolkit/http_message.h"

#include <algorithm>

namespace kestrune {

std::string ReplaceIgnoreCase(std::string_view text, std::string_view from, std::string_view to) {
  if (from.empty()) return std::string(text);
  std::string out;
  out.reserve(text.size());
  std::size_t start = 0;
  for (std::size_t hit = FindIgnoringAsciiCase(text, from, 0); hit != std::string_view::npos;
       hit = FindIgnoringAsciiCase(text, from, start)) {
    out.append(text.substr(start, hit - start));
    out.append(to);
    start = hit + from.size();
  }
  out.append(text.substr(start));
  return out;
}

namespace {

std::string FindHeader(const HeaderList& headers, std::string_view name) {
  for (const auto& [key, value] : headers) {
    if (EqualsIgnoringAsciiCase(key, name)) return value;
  }
  return {};
}

}  // namespace

std::string HttpRequest::Header(std::string_view name) const { return FindHeader(headers, name); }

std::string_view HttpRequest::Path() const {
  const std::string_view all = target;
  return all.substr(0, all.find('?'));
}

std::string_view HttpRequest::Query() const {
  const auto mark = target.find('?');
  return mark == std::string::npos ? std::string_view() : std::string_view(target).substr(mark + 1);
}

void HttpResponse::SetHeader(std::string_view name, std::string value) {
  std::erase_if(headers,
                [&](const auto& header) { return EqualsIgnoringAsciiCase(header.first, name); });
  headers.emplace_back(std::string(name), std::move(value));
}

void HttpResponse::AddHeader(std::string name, std::string value) {
  headers.emplace_back(std::move(name), std::move(value));
}

std::string HttpResponse::Header(std::string_view name) const { return FindHeader(headers, name); }

}  // namespace kestrune
