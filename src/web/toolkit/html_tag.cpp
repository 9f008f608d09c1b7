// Writing elements: attribute values escaped, void elements unclosed, child elements
// indented two spaces per level except inside "pre".
#include "web/toolkit/html_tag.h"

#include <array>
#include <cstdio>
#include <stdexcept>

#include "platform/escape.h"
#include "web/toolkit/http_message.h"

namespace kestrune {

namespace {

bool IsVoidElement(std::string_view name) {
  static constexpr std::array<std::string_view, 7> kVoid = {"area", "br",    "frame", "hr",
                                                            "img",  "input", "link"};
  for (std::string_view v : kVoid) {
    if (name == v) return true;
  }
  return false;
}

// Attribute names come from code and settings (ExtraTagParams) and are written as they
// are, so only a plain token may be one: anything else could end the tag.
void RequireAttributeName(std::string_view name) {
  for (const char c : name) {
    const bool token = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || c == ':' || c == '.';
    if (!token) throw std::invalid_argument("Invalid attribute name: " + std::string(name));
  }
}

}  // namespace

TIWColor TIWColor::FromRGB(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
  TIWColor color;
  color.rgb_ = (std::uint32_t{red} << 16) | (std::uint32_t{green} << 8) | blue;
  return color;
}

std::string TIWColor::ToHtml() const {
  if (!rgb_) return {};
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "#%06X", static_cast<unsigned>(*rgb_));
  return buffer;
}

TIWHTMLTag::TIWHTMLTag(std::string_view name) : name_(AsciiLower(name)) {}

void TIWHTMLTag::SetTagName(std::string_view name) { name_ = AsciiLower(name); }

TIWHTMLTag::AttributeEntry* TIWHTMLTag::FindAttribute(std::string_view name) {
  for (auto& entry : attributes_) {
    if (EqualsIgnoringAsciiCase(entry.name, name)) return &entry;
  }
  return nullptr;
}

const TIWHTMLTag::AttributeEntry* TIWHTMLTag::FindAttribute(std::string_view name) const {
  for (const auto& entry : attributes_) {
    if (EqualsIgnoringAsciiCase(entry.name, name)) return &entry;
  }
  return nullptr;
}

void TIWHTMLTag::SetAttribute(std::string_view name, std::string_view value) {
  if (value.empty() || name.empty()) return;
  RequireAttributeName(name);
  if (AttributeEntry* existing = FindAttribute(name)) {
    *existing = AttributeEntry{std::string(name), std::string(value), false, false};
    return;
  }
  if (attributes_.empty()) attributes_.reserve(8);  // a control's element carries about as many
  attributes_.push_back({std::string(name), std::string(value), false, false});
}

void TIWHTMLTag::SetRawAttribute(std::string_view name, std::string_view value) {
  if (name.empty()) return;
  if (AttributeEntry* existing = FindAttribute(name)) {
    *existing = AttributeEntry{std::string(name), std::string(value), false, true};
    return;
  }
  attributes_.push_back({std::string(name), std::string(value), false, true});
}

void TIWHTMLTag::SetIntAttribute(std::string_view name, long long value) {
  SetAttribute(name, std::to_string(value));
}

void TIWHTMLTag::SetColorAttribute(std::string_view name, const TIWColor& color) {
  if (color.IsSet()) SetAttribute(name, color.ToHtml());
}

void TIWHTMLTag::AddFlag(std::string_view name) {
  if (name.empty() || FindAttribute(name)) return;
  RequireAttributeName(name);
  attributes_.push_back({std::string(name), {}, true, false});
}

void TIWHTMLTag::RemoveAttribute(std::string_view name) {
  std::erase_if(attributes_,
                [&](const AttributeEntry& e) { return EqualsIgnoringAsciiCase(e.name, name); });
}

std::optional<std::string> TIWHTMLTag::Attribute(std::string_view name) const {
  if (const AttributeEntry* entry = FindAttribute(name)) return entry->value;
  return std::nullopt;
}

bool TIWHTMLTag::HasAttribute(std::string_view name) const { return FindAttribute(name); }

void TIWHTMLTag::AddText(std::string_view text) { content_.push_back({HtmlEscape(text), nullptr}); }

void TIWHTMLTag::AddRawText(std::string_view markup) {
  content_.push_back({std::string(markup), nullptr});
}

TIWHTMLTag& TIWHTMLTag::AddTag(std::string_view name) {
  auto child = std::make_unique<TIWHTMLTag>(name);
  TIWHTMLTag& added = *child;
  content_.push_back({{}, std::move(child)});
  return added;
}

void TIWHTMLTag::AddTag(std::unique_ptr<TIWHTMLTag> child) {
  if (child) content_.push_back({{}, std::move(child)});
}

std::string TIWHTMLTag::Render() const {
  std::string out;
  out.reserve(256);
  RenderTo(out, 0, false);
  return out;
}

std::string TIWHTMLTag::RenderOpenTag() const {
  std::string out;
  RenderOpenTagTo(out);
  return out;
}

void TIWHTMLTag::RenderOpenTagTo(std::string& out) const {
  if (name_.empty()) return;
  out += '<';
  out += name_;
  for (const auto& attribute : attributes_) {
    out += ' ';
    out += attribute.name;
    if (attribute.flag) continue;
    out += "=\"";
    if (attribute.raw) {
      out += attribute.value;
    } else {
      AppendHtmlEscaped(out, attribute.value);
    }
    out += '"';
  }
  out += '>';
}

void TIWHTMLTag::RenderTo(std::string& out, int depth, bool in_pre) const {
  RenderOpenTagTo(out);
  const bool pre = in_pre || name_ == "pre";
  // An element without a name adds no nesting level of its own.
  const int child_depth = name_.empty() ? depth : depth + 1;
  for (const auto& entry : content_) {
    if (entry.child) {
      if (!pre) {
        out += "\r\n";
        out.append(static_cast<std::size_t>(child_depth) * 2, ' ');
      }
      entry.child->RenderTo(out, child_depth, pre);
    } else {
      out += entry.text;
    }
  }
  if (!name_.empty() && !IsVoidElement(name_)) {
    out += "</";
    out += name_;
    out += '>';
  }
}

}  // namespace kestrune
