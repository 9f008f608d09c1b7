// kestrune_mime_dump: what the program makes of a message file, for the differential
// check against Python's email package (mime_differential.py). The file is read as the
// fetch stores it (raw, written back) and then loaded with decoding, as the view loads it.
//
//   kestrune_mime_dump FILE
//
// Prints TAB-separated lines, every value in hex so that any bytes pass unchanged:
//   subject HEX / from_name HEX / from_address HEX / body_html HEX (the view's body)
//   attachment NAME_HEX CONTENT_HEX (the view's attachment list, in order)
// Exit status 0 on success, 1 when the message cannot be read, 2 for usage.
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "mail/id_message.h"
#include "mail/message_display.h"

namespace {

std::string Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: kestrune_mime_dump FILE\n";
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in) {
    std::cerr << "cannot read " << argv[1] << "\n";
    return 1;
  }
  try {
    kestrune::TIdMessage fetched;
    fetched.NoDecode = true;
    fetched.LoadFromText(text.str());
    kestrune::TIdMessage message;
    message.LoadFromText(fetched.FileText());
    std::cout << "subject\t" << Hex(message.Subject) << "\n";
    std::cout << "from_name\t" << Hex(message.From.Name) << "\n";
    std::cout << "from_address\t" << Hex(message.From.Address) << "\n";
    std::cout << "body_html\t" << Hex(kestrune::BuildDisplayedBody(message, {}).html) << "\n";
    for (const auto& entry : kestrune::ListAttachments(message)) {
      const auto& part =
          static_cast<const kestrune::TIdAttachment&>(message.MessageParts[entry.part_index]);
      std::cout << "attachment\t" << Hex(entry.file_name) << "\t" << Hex(part.Content) << "\n";
    }
  } catch (const kestrune::MessageError& e) {
    std::cerr << e.what() << "\n";
    return 1;
  }
  return 0;
}
