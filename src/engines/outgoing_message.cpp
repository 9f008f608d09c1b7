// Envelope building for the outgoing engine.
#include "engines/outgoing_message.h"

#include <algorithm>
#include <unordered_set>

#include "mail/address_list.h"
#include "mail/id_message.h"

namespace kestrune {

namespace {

std::string LowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

// Adds the bare address of every item of text to out unless seen holds it.
void AddAddresses(std::string_view text, std::vector<std::string>& out,
                  std::unordered_set<std::string>& seen) {
  for (const std::string& piece : SplitAddressList(text)) {
    TIdEmailAddressItem item;
    item.SetText(piece);
    std::string address = item.Address.empty() ? piece : item.Address;
    if (address.empty()) continue;
    if (seen.insert(LowerAscii(address)).second) out.push_back(std::move(address));
  }
}

void AddList(const TIdEmailAddressList& list, std::vector<std::string>& out,
             std::unordered_set<std::string>& seen) {
  for (const TIdEmailAddressItem& item : list) {
    // An item's address may still hold a whole typed list ("a@x; b@y").
    if (item.Address.find_first_of(",;") != std::string::npos) {
      AddAddresses(item.Address, out, seen);
    } else if (!item.Address.empty() && seen.insert(LowerAscii(item.Address)).second) {
      out.push_back(item.Address);
    }
  }
}

}  // namespace

std::vector<std::string> SplitRecipientText(std::string_view text) {
  std::vector<std::string> out;
  std::unordered_set<std::string> seen;
  AddAddresses(text, out, seen);
  return out;
}

std::vector<std::string> EnvelopeRecipients(const TIdMessage& message) {
  std::vector<std::string> out;
  std::unordered_set<std::string> seen;
  AddList(message.Recipients, out, seen);
  AddList(message.CCList, out, seen);
  AddList(message.BccList, out, seen);
  return out;
}

void LoadOutgoingMessage(const std::filesystem::path& file, TIdMessage& message) {
  message.Clear();
  message.NoDecode = true;
  message.NoEncode = true;
  message.LoadFromFile(file);
}

std::string PrepareEnvelope(TIdMessage& message) {
  if (!message.From.Address.empty() && !IsSafeAddress(message.From.Address)) {
    return UnsafeAddressText(message.From.Address);
  }
  const std::vector<std::string> recipients = EnvelopeRecipients(message);
  for (const std::string& address : recipients) {
    if (!IsSafeAddress(address)) return UnsafeAddressText(address);
  }
  message.Recipients.Clear();
  message.CCList.Clear();
  message.BccList.Clear();
  for (const std::string& address : recipients) {
    TIdEmailAddressItem& item = message.Recipients.Add();
    item.Address = address;
  }
  return {};
}

}  // namespace kestrune
