// Base64 parts are decoded line by line; the result must be what decoding the joined text
// gives, whatever the line lengths, junk between the characters or padding.
#include <gtest/gtest.h>

#include <string>

#include "mail/id_message.h"
#include "mail/mime_part.h"
#include "platform/base64.h"

namespace kestrune {
namespace {

std::string MessageWithBase64Attachment(const std::string& body_lines) {
  return "From: a@x.test\r\nSubject: s\r\nMIME-Version: 1.0\r\n"
         "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
         "--b\r\nContent-Type: text/plain\r\n\r\nhello\r\n"
         "--b\r\nContent-Type: application/octet-stream; name=\"d.bin\"\r\n"
         "Content-Transfer-Encoding: base64\r\n"
         "Content-Disposition: attachment; filename=\"d.bin\"\r\n\r\n" +
         body_lines + "--b--\r\n";
}

std::string AttachmentOf(const std::string& text) {
  TIdMessage message;
  message.LoadFromText(text);
  for (std::size_t i = 0; i < message.MessageParts.Count(); ++i) {
    if (const auto* part = dynamic_cast<const TIdAttachment*>(&message.MessageParts[i])) {
      return part->Content;
    }
  }
  return "(no attachment)";
}

TEST(Base64Body, IrregularLinesAndJunkDecodeAsTheJoinedText) {
  std::string bytes;
  for (int i = 0; i < 300000; ++i) bytes += static_cast<char>((i * 131 + 7) % 256);
  const std::string encoded = Base64Encode(bytes);
  // Lines of 1 to 97 characters with blanks and junk spread in, far past one decoding piece.
  std::string lines;
  std::string joined;
  for (std::size_t at = 0, n = 1; at < encoded.size(); at += n, n = n % 97 + 1) {
    const std::string line = encoded.substr(at, n) + (n % 5 == 0 ? " \t*" : "");
    lines += line + "\r\n";
    joined += line + "\r\n";
  }
  EXPECT_EQ(AttachmentOf(MessageWithBase64Attachment(lines)), Base64Decode(joined));
  EXPECT_EQ(AttachmentOf(MessageWithBase64Attachment(lines)), bytes);
}

TEST(Base64Body, TheFirstPaddingEndsTheDataEvenMidLine) {
  const std::string lines = "aGVs\r\nbG8=IGdhcmJhZ2U=\r\nd29ybGQ=\r\n";
  EXPECT_EQ(AttachmentOf(MessageWithBase64Attachment(lines)), "hello");
}

}  // namespace
}  // namespace kestrune
