// TIdMessage: the one message object for fetched, composed, stored and sent mail. It is
// read from a message file or from a POP3 retrieval (header fields, then the body, which
// is decoded into parts unless NoDecode is set) and written as a message file or as the
// data the SMTP client transmits after DATA.
//
// Message file format: the header section (CR LF lines), an empty line, the body lines
// each with one more "." in front when it begins with ".", and a line holding only ".".
// The POP3 retrieval has the same shape, so both are read by ReadFromLines.
//
// Division of work with the transports: ReadFromLines consumes the lines of a POP3
// reply (it removes the extra "." of lines beginning with ".." and stops at the "."
// line itself). WriteLines produces the transmitted text WITHOUT dot-stuffing and
// WITHOUT the final "." line: the SMTP client adds both.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mail/address_list.h"
#include "mail/mime_error.h"
#include "mail/mime_header.h"
#include "mail/mime_part.h"
#include "platform/date_time.h"

namespace kestrune {

enum class TIdMessagePriority { mpHighest, mpHigh, mpNormal, mpLow, mpLowest };

// Which header section the writer produces.
enum class THeaderTarget {
  kTransmit,  // what goes to the SMTP server: never a "Bcc" field
  kStore,     // the message file: keeps "Bcc" so a Bcc-only message keeps its recipients
};

// Supplies the next line of a message without its line end, or nullopt at the end of
// the input (a file that ends without the "." line).
using TMessageLineSource = std::function<std::optional<std::string>()>;
// Receives one line of written message text, without its line end.
using TMessageLineSink = std::function<void(std::string_view line)>;

class TIdMessage {
 public:
  static constexpr std::size_t kDefaultMaxMessageSize = 50u * 1024u * 1024u;
  // The header section of a message read may not exceed this many bytes.
  static constexpr std::size_t kMaxHeaderSectionSize = 1024u * 1024u;

  TIdMessage();
  ~TIdMessage();
  TIdMessage(const TIdMessage&) = delete;
  TIdMessage& operator=(const TIdMessage&) = delete;

  // Fields the program sets or reads. Text is UTF-8 (decoded from encoded words).
  TIdEmailAddressItem From;
  TIdEmailAddressList Recipients;  // To
  TIdEmailAddressList CCList;
  TIdEmailAddressList BccList;
  std::string Subject;
  std::string ContentType;  // media type without parameters
  std::vector<std::string> Body;
  TIdMessageParts MessageParts;
  std::string MsgId;
  DateValue Date = 0;  // local time; 0: the time of writing
  TIdHeaderList Headers;
  bool NoDecode = false;  // reading keeps the body raw in Body; not reset by Clear
  bool NoEncode = false;  // writing sends Headers and Body as held; not reset by Clear

  // Parsed and written but never set by the program.
  TIdEmailAddressItem Sender;
  TIdEmailAddressList ReplyTo;
  std::string Organization;
  TIdEmailAddressItem ReceiptRecipient;  // Disposition-Notification-To
  std::string References;
  TIdMessagePriority Priority = TIdMessagePriority::mpNormal;
  std::string Newsgroups;
  std::string ContentTransferEncoding;
  std::string ContentDisposition;
  std::string CharSet;
  TIdHeaderList ExtraHeaders;

  // The largest message read or written, in bytes (default 50 MiB). Reading or writing
  // a larger one fails with MessageError.
  void SetMaxMessageSize(std::size_t max_size) { max_message_size_ = max_size; }
  std::size_t MaxMessageSize() const { return max_message_size_; }

  // Empties every field, removes all parts, Priority normal, Date 0. NoDecode, NoEncode
  // and the size limit stay as set.
  void Clear();

  // Fails with "Cannot load message from file %s" when the file does not exist;
  // otherwise clears the object and reads the file. Read errors raise MessageError.
  void LoadFromFile(const std::filesystem::path& path);

  // Replaces an existing file with the message file (header section with Bcc, body,
  // terminator). Errors raise MessageError.
  void SaveToFile(const std::filesystem::path& path) const;

  // Clears the object and reads a message from lines (a POP3 reply after "+OK", or a
  // file's lines) up to the line "." or the end of the input. A message over the size
  // limit is read to its end (so a connection stays in step) and then fails with
  // MessageError; so does a part of unknown kind ("Unknown Message Part Type.").
  void ReadFromLines(const TMessageLineSource& next_line);

  // Clears the object and reads message file text (CR LF or LF lines).
  void LoadFromText(std::string_view text);

  // The header section to be written, in field order (see id_message.cpp).
  TIdHeaderList GenerateHeader(THeaderTarget target = THeaderTarget::kTransmit) const;

  // Writes the header section, the empty line and the body, one line at a time, without
  // dot-stuffing or terminator. With NoEncode: Headers (less any "Bcc" when
  // transmitting), the empty line and Body exactly as held. Lines never contain CR or
  // LF. Fails with MessageError when the text would exceed the size limit.
  void WriteLines(THeaderTarget target, const TMessageLineSink& sink) const;

  // WriteLines gathered into text with CR LF line ends (no dot-stuffing, no ".").
  std::string Text(THeaderTarget target = THeaderTarget::kTransmit) const;

  // The message file text: Text(kStore) dot-stuffed, followed by the "." line.
  std::string FileText() const;

 private:
  std::size_t max_message_size_ = kDefaultMaxMessageSize;
  // Content-Type parameters other than charset as read (boundary among them), written
  // back for a message without parts so a raw multipart body stays readable.
  std::vector<std::pair<std::string, std::string>> content_type_params_;
  // Body holds the body as read without decoding (NoDecode), still in its transfer
  // encoding; the writer then writes it as it is.
  bool body_is_raw_ = false;

  friend class TMimeReader;
  friend class TMimeWriter;
};

}  // namespace kestrune
