// Small helpers on the toolkit's request and response records.
#include "web/toolkit/http_message.h"

#include <algorithm>

namespace kestrune {

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

std::string UpperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return out;
}

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return out;
}

std::size_t FindIgnoreCase(std::string_view text, std::string_view needle, std::size_t from) {
  if (needle.empty() || text.size() < needle.size()) return std::string_view::npos;
  for (std::size_t i = from; i + needle.size() <= text.size(); ++i) {
    if (EqualsIgnoreCase(text.substr(i, needle.size()), needle)) return i;
  }
  return std::string_view::npos;
}

std::string ReplaceIgnoreCase(std::string_view text, std::string_view from, std::string_view to) {
  std::string out;
  out.reserve(text.size());
  std::size_t start = 0;
  for (std::size_t hit = FindIgnoreCase(text, from, 0); hit != std::string_view::npos;
       hit = FindIgnoreCase(text, from, start)) {
    out.append(text.substr(start, hit - start));
    out.append(to);
    start = hit + from.size();
  }
  out.append(text.substr(start));
  return out;
}

std::string_view TrimSpaces(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

namespace {

std::string FindHeader(const HeaderList& headers, std::string_view name) {
  for (const auto& [key, value] : headers) {
    if (EqualsIgnoreCase(key, name)) return value;
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
  std::erase_if(headers, [&](const auto& header) { return EqualsIgnoreCase(header.first, name); });
  headers.emplace_back(std::string(name), std::move(value));
}

void HttpResponse::AddHeader(std::string name, std::string value) {
  headers.emplace_back(std::move(name), std::move(value));
}

std::string HttpResponse::Header(std::string_view name) const { return FindHeader(headers, name); }

}  // namespace kestrune
