// The envelope of an Outbox message: typed recipient lists split, repeated addresses
// dropped, Bcc only in the envelope and never in the transmitted text.
#include "engines/outgoing_message.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "mail/id_message.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

using Addresses = std::vector<std::string>;

TEST(SplitRecipientText, SplitsOnCommaAndSemicolonOutsideQuotesAndBrackets) {
  EXPECT_EQ(SplitRecipientText("a@x;b@y;"), (Addresses{"a@x", "b@y"}));
  EXPECT_EQ(SplitRecipientText(" a@x , ;; b@y ; "), (Addresses{"a@x", "b@y"}));
  EXPECT_EQ(SplitRecipientText("\"Doe, Jane; Sr\" <jane@x>, Ann <ann@y>"),
            (Addresses{"jane@x", "ann@y"}));
  EXPECT_EQ(SplitRecipientText("<odd;name@x>"), (Addresses{"odd;name@x"}));
}

TEST(SplitRecipientText, DropsEmptiesAndDuplicates) {
  EXPECT_TRUE(SplitRecipientText(" ; , ;").empty());
  EXPECT_EQ(SplitRecipientText("a@x; A@X; Ann <a@x>; b@y; a@x"), (Addresses{"a@x", "b@y"}));
}

class StoredMessage : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kst-outgoing-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path Write(std::string_view text) {
    const fs::path file = dir_ / "abcdefgh.eml";
    std::ofstream(file, std::ios::binary) << text;
    return file;
  }

  fs::path dir_;
};

TEST_F(StoredMessage, EnvelopeHasEveryRecipientOnceAndTheTextNoBcc) {
  const fs::path file = Write(
      "From: Me <me@here>\r\n"
      "To: a@x;b@y;\r\n"
      "Cc: B@Y, c@z\r\n"
      "Bcc: hidden@w; a@x\r\n"
      "Subject: Hello\r\n"
      "\r\n"
      "Body line\r\n"
      "..leading dot\r\n"
      ".\r\n");
  TIdMessage message;
  LoadOutgoingMessage(file, message);
  EXPECT_EQ(EnvelopeRecipients(message), (Addresses{"a@x", "b@y", "c@z", "hidden@w"}));
  EXPECT_EQ(PrepareEnvelope(message), "");
  ASSERT_EQ(message.Recipients.Count(), 4u);
  EXPECT_TRUE(message.BccList.Empty());

  const std::string text = message.Text(THeaderTarget::kTransmit);
  EXPECT_EQ(text.find("Bcc"), std::string::npos) << text;
  EXPECT_EQ(text.find("hidden@w"), std::string::npos) << text;
  // The header and body as stored, not re-encoded.
  EXPECT_NE(text.find("To: a@x;b@y;\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\r\n\r\nBody line\r\n.leading dot\r\n"), std::string::npos) << text;
}

TEST_F(StoredMessage, AnAddressThatCouldInjectACommandIsRefused) {
  const fs::path file = Write(
      "From: me@here\r\n"
      "To: \"x\" <a@x\r\nRCPT TO:<evil@y>>\r\n"
      "Subject: s\r\n\r\nb\r\n.\r\n");
  TIdMessage message;
  LoadOutgoingMessage(file, message);
  message.Recipients.Clear();
  message.Recipients.Add().Address = std::string("a@x\rRCPT TO:<evil@y", 18);
  EXPECT_NE(PrepareEnvelope(message), "");
}

}  // namespace
}  // namespace kestrune
