// Address items and lists. Parsing accepts the forms people type and mail programs
// write; it never fails, it keeps what it cannot make sense of as the address text.
#include "mail/address_list.h"

#include "mail/mime_encoding.h"
#include "platform/ascii.h"

namespace kestrune {
namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool IsBlankOrBreak(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// One address read the way RFC 5322 reads it: comments (nested, with backslash escapes)
// are no part of the address or the display name, quoted strings lose their quotes and
// escapes. What lies outside the angle brackets is the display name; the comments are
// kept aside, the last of them naming an address written without one ("a@b (Name)").
struct AddressTokens {
  std::string phrase;   // the display name as written, comments removed
  std::string address;  // inside the angle brackets, or the whole bare address
  std::string comment;  // the last comment's text
  bool has_angle = false;
};

// The position of the last "<" outside quoted strings and comments: the one that opens
// the address when a display name holds a "<" of its own; npos when there is none.
std::size_t AddressAngle(std::string_view text) {
  std::size_t angle = std::string_view::npos;
  bool quoted = false;
  int depth = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if ((quoted || depth > 0) && c == '\\') {
      ++i;
    } else if (quoted) {
      quoted = c != '"';
    } else if (depth > 0) {
      depth += c == '(' ? 1 : c == ')' ? -1 : 0;
    } else if (c == '"') {
      quoted = true;
    } else if (c == '(') {
      depth = 1;
    } else if (c == '<') {
      angle = i;
    }
  }
  return angle;
}

AddressTokens Tokenise(std::string_view text) {
  AddressTokens tokens;
  const std::size_t angle = AddressAngle(text);
  bool quoted = false;
  int depth = 0;
  bool in_angle = false;
  std::string comment;
  std::string outside;      // outside the angle brackets, quotes removed
  std::string outside_raw;  // the same with its quoted strings as written
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    // Quoted strings keep their quotes in an address ("a b"@x.test), not in a name.
    std::string& target = in_angle ? tokens.address : outside;
    const auto keep = [&](std::string_view piece, std::string_view raw) {
      target += piece;
      if (!in_angle) outside_raw += raw;
    };
    if (depth > 0) {
      if (c == '\\' && i + 1 < text.size()) {
        comment += text[++i];
      } else if (c == '(') {
        ++depth;
        comment += c;
      } else if (c == ')') {
        if (--depth == 0) {
          tokens.comment = std::move(comment);
          comment.clear();
        } else {
          comment += c;
        }
      } else {
        comment += c;
      }
      continue;
    }
    if (quoted) {
      if (c == '\\' && i + 1 < text.size()) {
        if (in_angle) target += c;
        keep(text.substr(i + 1, 1), text.substr(i, 2));
        ++i;
      } else if (c == '"') {
        quoted = false;
        if (in_angle) target += c;
        outside_raw += in_angle ? "" : "\"";
      } else {
        keep(text.substr(i, 1), text.substr(i, 1));
      }
      continue;
    }
    if (c == '"') {
      quoted = true;
      if (in_angle) target += c;
      outside_raw += in_angle ? "" : "\"";
    } else if (c == '(') {
      depth = 1;
      keep(" ", " ");  // a comment separates what it stands between
    } else if (i == angle) {
      in_angle = true;
      tokens.has_angle = true;
    } else if (c == '>' && in_angle) {
      in_angle = false;
    } else {
      keep(text.substr(i, 1), text.substr(i, 1));
    }
  }
  if (depth > 0) tokens.comment = std::move(comment);  // an unclosed comment
  if (tokens.has_angle) {
    tokens.phrase = std::move(outside);
  } else {
    tokens.address = std::move(outside_raw);
  }
  return tokens;
}

// Runs of blanks made one blank, and none at either end.
std::string Collapse(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (IsBlankOrBreak(c)) {
      if (!out.empty() && out.back() != ' ') out += ' ';
    } else {
      out += c;
    }
  }
  if (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

// A bare address without the blanks folding or comments left in it ("pete @ silly.test").
std::string CompactAddress(std::string_view text) {
  std::string collapsed = Collapse(text);
  std::string out;
  for (std::size_t i = 0; i < collapsed.size(); ++i) {
    char c = collapsed[i];
    if (c == ' ') {
      char before = out.empty() ? '\0' : out.back();
      char after = i + 1 < collapsed.size() ? collapsed[i + 1] : '\0';
      if (before == '@' || before == '.' || after == '@' || after == '.') continue;
    }
    out += c;
  }
  return out;
}

}  // namespace

std::string TIdEmailAddressItem::Text() const {
  if (Name.empty()) return Address;
  return Name + " <" + Address + ">";
}

void TIdEmailAddressItem::SetText(std::string_view text) {
  Name.clear();
  Address.clear();
  AddressTokens tokens = Tokenise(text);
  Address = CompactAddress(tokens.address);
  std::string name = Collapse(tokens.phrase);
  // "a@b (Name)": a comment names an address written without a display name.
  if (name.empty() && !tokens.has_angle) name = Collapse(tokens.comment);
  Name = DecodeHeaderWords(name);
}

std::string RecipientText(std::string_view name, std::string_view address) {
  std::string_view trimmed = TrimBlanks(name);
  if (trimmed.empty() || trimmed == address) return std::string(address);
  // Characters that end a name, start an address or a comment, or split a list.
  if (trimmed.find_first_of(",;\"<>()@:[]\\") == std::string_view::npos) {
    return std::string(trimmed) + " <" + std::string(address) + ">";
  }
  std::string quoted = "\"";
  for (char c : trimmed) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\" <" + std::string(address) + ">";
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
      if (c == '\\' && i + 1 < text.size()) {
        current += c;
        c = text[++i];
      } else if (c == '(') {
        ++comment_depth;
      } else if (c == ')') {
        --comment_depth;
      }
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
