// Mail addresses as the message object holds them: one item (display name and address)
// and ordered lists of items, with their text forms, the splitting of typed or parsed
// address lists, and the check that keeps an address from smuggling protocol text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

// One address. Name is the display name (UTF-8, decoded), Address the bare address.
struct TIdEmailAddressItem {
  std::string Name;
  std::string Address;

  // "Name <Address>" when there is a name, else the bare address.
  std::string Text() const;
  // Replaces both fields with the parse of one address in any of the usual forms:
  // "Name <a@b>", "\"Doe, Jane\" <a@b>", "<a@b>", "a@b", "a@b (Name)".
  void SetText(std::string_view text);
  bool Empty() const { return Name.empty() && Address.empty(); }
};

// An ordered list of addresses (To, Cc, Bcc, Reply-To).
class TIdEmailAddressList {
 public:
  std::size_t Count() const { return items_.size(); }
  bool Empty() const { return items_.empty(); }
  const TIdEmailAddressItem& operator[](std::size_t index) const { return items_[index]; }
  TIdEmailAddressItem& operator[](std::size_t index) { return items_[index]; }
  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

  TIdEmailAddressItem& Add();
  void Add(TIdEmailAddressItem item);
  void Clear() { items_.clear(); }

  // The items' text forms joined by ", ".
  std::string Text() const;
  // Replaces the list with the items of `text`, split as SplitAddressList does.
  void SetText(std::string_view text);

 private:
  std::vector<TIdEmailAddressItem> items_;
};

// A recipient as a user writes it into a recipient box: "Name <address>", the name
// quoted ("\"Doe, Jane\" <a@b>") when it holds a character that would split or end
// it, the bare address when the name is empty or the address itself. SplitAddressList
// and TIdEmailAddressItem::SetText read it back as the same name and address.
std::string RecipientText(std::string_view name, std::string_view address);

// Splits an address list at "," and ";" outside quoted strings, angle brackets and
// comments; items are trimmed and empty items dropped, so "a@x;b@y;" gives two.
// A group's "Name:" prefix is dropped, leaving its members.
std::vector<std::string> SplitAddressList(std::string_view text);

// Whether `address` may go into a protocol command: not empty and free of CR, LF, NUL,
// "<" and ">". An address failing this would end the command early or inject a second.
bool IsSafeAddress(std::string_view address);

// The error text for an address that fails IsSafeAddress: "Invalid e-mail address: "
// followed by the address with its control characters shown as "?".
std::string UnsafeAddressText(std::string_view address);

}  // namespace kestrune
