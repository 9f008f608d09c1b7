// Reading a message: the fields of a header section into the message object, and the
// decoding of a body into text and attachment parts.
#pragma once

#include <string>
#include <vector>

namespace kestrune {

class TIdMessage;

class TMimeReader {
 public:
  // Multipart nesting deeper than this fails the load (no real message comes close).
  static constexpr int kMaxNesting = 32;

  explicit TMimeReader(TIdMessage& message) : message_(message) {}

  // Sets the message's fields from its Headers.
  void ReadHeaderFields();

  // Decodes the body lines into MessageParts and Body by the message's Content-Type.
  // Fails with MessageError("Unknown Message Part Type.") for a nested multipart part
  // without a usable boundary.
  // Decodes the body lines into Body and MessageParts; lines that become Body as they
  // are are moved out of `lines` rather than copied.
  void DecodeBody(std::vector<std::string>& lines);

 private:
  TIdMessage& message_;
};

}  // namespace kestrune
