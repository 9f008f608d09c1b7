// The element a control is about to write (TIWHTMLTag) and the colour values the
// toolkit writes into elements. Attribute values are stored as given and escaped when
// the element is written, so page code can never break out of an attribute.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

// A colour as pages set it; unset colours write nothing.
class TIWColor {
 public:
  TIWColor() = default;
  static TIWColor FromRGB(std::uint8_t red, std::uint8_t green, std::uint8_t blue);
  static TIWColor None() { return TIWColor(); }

  bool IsSet() const { return rgb_.has_value(); }
  std::string ToHtml() const;  // "#ECE9D8"; empty when unset

  friend bool operator==(const TIWColor&, const TIWColor&) = default;

 private:
  std::optional<std::uint32_t> rgb_;
};

class TIWHTMLTag {
 public:
  explicit TIWHTMLTag(std::string_view name = {});

  const std::string& TagName() const { return name_; }
  // Lower-cases the name; the empty name writes only the content.
  void SetTagName(std::string_view name);

  // Sets an attribute; an empty value does nothing. An attribute of the same name
  // (case-insensitive) gets the new value in its place, since browsers would ignore a
  // second one. The value is attribute-escaped when written. A name that is not a plain
  // token (letters, digits, "-", "_", ":", ".") throws std::invalid_argument.
  void SetAttribute(std::string_view name, std::string_view value);
  void SetIntAttribute(std::string_view name, long long value);
  void SetColorAttribute(std::string_view name, const TIWColor& color);
  // A bare flag such as "NOWRAP" or "CHECKED"; added once. Names as for SetAttribute.
  void AddFlag(std::string_view name);
  // An attribute whose value is already valid attribute text (markup taken from the
  // installation's own templates); written as it is.
  void SetRawAttribute(std::string_view name, std::string_view value);
  void RemoveAttribute(std::string_view name);

  // The stored value of an attribute, or none; flags give an empty value.
  std::optional<std::string> Attribute(std::string_view name) const;
  bool HasAttribute(std::string_view name) const;

  // Content: text pieces and child elements in order. AddText escapes (data);
  // AddRawText writes trusted markup as it is.
  void AddText(std::string_view text);
  void AddRawText(std::string_view markup);
  TIWHTMLTag& AddTag(std::string_view name);
  void AddTag(std::unique_ptr<TIWHTMLTag> child);
  bool HasContent() const { return !content_.empty(); }

  // The whole element: "<name attrs>content</name>" (no closing tag for void elements).
  std::string Render() const;
  // Only the opening tag "<name attrs>", for elements whose content is written around
  // the tag by the caller (BODY, FORM).
  std::string RenderOpenTag() const;

 private:
  struct AttributeEntry {
    std::string name;
    std::string value;
    bool flag = false;
    bool raw = false;
  };
  struct ContentEntry {
    std::string text;  // written as it is (already escaped when it came from AddText)
    std::unique_ptr<TIWHTMLTag> child;
  };

  AttributeEntry* FindAttribute(std::string_view name);
  const AttributeEntry* FindAttribute(std::string_view name) const;
  void RenderTo(std::string& out, int depth, bool in_pre) const;
  void RenderOpenTagTo(std::string& out) const;

  std::string name_;
  std::vector<AttributeEntry> attributes_;
  std::vector<ContentEntry> content_;
};

}  // namespace kestrune
