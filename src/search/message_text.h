// The words of a message as the full-text index takes them: subject, addresses, the
// decoded text of its text parts (HTML reduced to its text) and attachment names, all
// UTF-8. One message contributes a bounded amount, however large it is.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace kestrune {

class TIdMessage;

struct MessageText {
  std::string subject;
  std::string addresses;    // names and addresses of From, To and Cc
  std::string body;         // the text parts' text, at most kMaxIndexedBody bytes
  std::string attachments;  // attachment file names
};

// The body text one message contributes; the rest is not indexed.
inline constexpr std::size_t kMaxIndexedBody = 256u * 1024u;
// The bytes of a message file read to index it: a larger file is indexed by its start
// (its headers, its first parts), never held whole for the index.
inline constexpr std::size_t kMaxIndexedFileBytes = 4u * 1024u * 1024u;

// The words of a decoded message.
MessageText TextOfMessage(const TIdMessage& message);

// The words of a stored message file (its first kMaxIndexedFileBytes). A file the
// parser refuses gives what its header section holds. Throws std::system_error when the
// file cannot be read.
MessageText TextOfMessageFile(const std::filesystem::path& file);

// The text of an HTML document as a reader sees it: the content of elements other than
// script, style and template, with blanks where elements separate words. Reads at most
// the first kMaxIndexedBody * 2 bytes of html.
std::string HtmlText(std::string_view html);

}  // namespace kestrune
