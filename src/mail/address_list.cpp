// Address items and lists. Parsing accepts the forms people type and mail programs
// write; it never fails, it keeps what it cannot make sense of as the address text.
#include "mail/address_list.h"

#include "mail/mime_encoding.h"

namespace kestrune {
namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// The text of a quoted string or comment without its delimiters and backslash escapes.
std::string Unquote(std::string_view text) {
  text = Trim(text);
  if (text.size() >= 2 && ((text.front() == '"' && text.back() == '"') ||
                           (text.front() == '(' && text.back() == ')'))) {
    text = text.substr(1, text.size() - 2);
  }
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) ++i;
    out += text[i];
  }
  return std::string(Trim(out));
}

}  // namespace

std::string TIdEmailAddressItem::Text() const {
  if (Name.empty()) return Address;
  return Name + " <" + Address + ">";
}

void TIdEmailAddressItem::SetText(std::string_view text) {
  Name.clear();
  Address.clear();
  text = Trim(text);
  // The last "<" outside quotes starts the address.
  std::size_t angle = std::string_view::npos;
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && quoted) {
      ++i;
    } else if (text[i] == '"') {
      quoted = !quoted;
    } else if (text[i] == '<' && !quoted) {
      angle = i;
    }
  }
  if (angle != std::string_view::npos) {
    std::size_t close = text.find('>', angle);
    std::string_view address = text.substr(
        angle + 1, close == std::string_view::npos ? std::string_view::npos : close - angle - 1);
    Address = std::string(Trim(address));
    Name = DecodeHeaderWords(Unquote(text.substr(0, angle)));
    return;
  }
  // "a@b (Name)": the comment is the display name.
  std::size_t paren = text.find('(');
  if (paren != std::string_view::npos && text.back() == ')') {
    Name = DecodeHeaderWords(Unquote(text.substr(paren)));
    Address = std::string(Trim(text.substr(0, paren)));
    return;
  }
  Address = std::string(text);
}

TIdEmailAddressItem& TIdEmailAddressList::Add() { return items_.emplace_back(); }

void TIdEmailAddressList::Add(TIdEmailAddressItem item) { items_.push_back(std::move(item)); }

std::string TIdEmailAddressList::Text() const {
  std::string out;
  for (const auto& item : items_) {
    if (!out.empty()) out += ", ";
    out += item.Text();
  }
  return out;
}

void TIdEmailAddressList::SetText(std::string_view text) {
  items_.clear();
  for (const std::string& piece : SplitAddressList(text)) {
    TIdEmailAddressItem item;
    item.SetText(piece);
    if (!item.Empty()) items_.push_back(std::move(item));
  }
}

std::vector<std::string> SplitAddressList(std::string_view text) {
  std::vector<std::string> items;
  std::string current;
  bool quoted = false;
  bool in_angle = false;
  int comment_depth = 0;
  auto finish = [&] {
    std::string_view item = Trim(current);
    // A group "Friends: a@x, b@y;" keeps its members; "undisclosed-recipients:;" is empty.
    std::size_t colon = item.find(':');
    if (colon != std::string_view::npos && colon < item.find_first_of("<\"@")) {
      item = Trim(item.substr(colon + 1));
    }
    if (!item.empty()) items.emplace_back(item);
    current.clear();
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (quoted) {
      if (c == '\\' && i + 1 < text.size()) {
        current += c;
        c = text[++i];
      } else if (c == '"') {
        quoted = false;
      }
    } else if (comment_depth > 0) {
      if (c == '(') ++comment_depth;
      if (c == ')') --comment_depth;
    } else if (c == '"') {
      quoted = true;
    } else if (c == '(') {
      comment_depth = 1;
    } else if (c == '<') {
      in_angle = true;
    } else if (c == '>') {
      in_angle = false;
    } else if ((c == ',' || c == ';') && !in_angle) {
      finish();
      continue;
    }
    current += c;
  }
  finish();
  return items;
}

bool IsSafeAddress(std::string_view address) {
  if (address.empty()) return false;
  return address.find_first_of(std::string_view("\r\n\0<>", 5)) == std::string_view::npos;
}

std::string UnsafeAddressText(std::string_view address) {
  std::string shown;
  for (char c : address) {
    shown += (c == '\r' || c == '\n' || c == '\0') ? '?' : c;
  }
  return "Invalid e-mail address: " + shown;
}

}  // namespace kestrune
