// TIdPOP3 against Dovecot: STAT, RETR, TOP, DELE committed only by QUIT, log-in errors,
// limits, and TLS from the first byte or through STLS.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "mail/id_message.h"
#include "mail/id_pop3.h"
#include "mail/socket_error.h"
#include "peers.h"

namespace kestrune {
namespace {

using testing::Peers;
using testing::PopMailbox;

constexpr int kConnectTimeoutMs = 5000;

std::string SimpleMessage(std::string_view subject, std::string_view body) {
  return "From: Alice <alice@example.org>\nTo: bob@example.org\nSubject: " + std::string(subject) +
         "\nMessage-Id: <" + std::string(subject) + "@example.org>\n\n" + std::string(body);
}

class Pop3ClientTest : public ::testing::Test {
 protected:
  void SetUp() override { LineConnection::SetTrustedCaFile(Peers::Get().CaFile()); }

  void Configure(TIdPOP3& pop, std::string_view port_key = "POP3_PORT") {
    pop.Host = "127.0.0.1";
    pop.Port = Peers::Get().Port(port_key);
    pop.Username = mailbox_.User();
    pop.Password = mailbox_.Password();
    pop.ReadTimeoutMs = 20000;
  }

  PopMailbox mailbox_;
};

TEST_F(Pop3ClientTest, CountsRetrievesWholeMessagesAndHeadersOnly) {
  mailbox_.Deliver(SimpleMessage("first", "one\n"));
  mailbox_.Deliver(SimpleMessage("second", "before\n.\n.starts with a dot\n..two dots\nafter\n"));
  mailbox_.Deliver(SimpleMessage("third", "three\n"));
  TIdPOP3 pop;
  Configure(pop);
  pop.Connect(kConnectTimeoutMs);
  EXPECT_TRUE(pop.Connected());
  EXPECT_FALSE(pop.Secure());  // this instance offers no STLS
  EXPECT_EQ(pop.CheckMessages(), 3);

  TIdMessage message;
  message.NoDecode = true;
  ASSERT_TRUE(pop.Retrieve(2, message));
  EXPECT_EQ(message.Subject, "second");
  EXPECT_EQ(message.MsgId, "<second@example.org>");
  EXPECT_EQ(message.From.Address, "alice@example.org");
  EXPECT_EQ(message.Body,
            (std::vector<std::string>{"before", ".", ".starts with a dot", "..two dots", "after"}));

  TIdMessage header;
  EXPECT_TRUE(pop.RetrieveHeader(3, header));
  EXPECT_EQ(header.Subject, "third");
  EXPECT_TRUE(header.Body.empty());

  EXPECT_FALSE(pop.Retrieve(4, message));
  EXPECT_EQ(pop.LastStatus(), "-ERR");
  EXPECT_THROW(pop.RetrieveHeader(4, header), ProtocolError);
  pop.Disconnect();
  EXPECT_FALSE(pop.Connected());
  EXPECT_EQ(mailbox_.MessageCount(), 3u);
}

TEST_F(Pop3ClientTest, DeletionsTakeEffectOnlyThroughQuit) {
  for (const char* subject : {"m1", "m2", "m3"}) mailbox_.Deliver(SimpleMessage(subject, "x\n"));
  TIdPOP3 pop;
  Configure(pop);

  // A dropped connection keeps the marked message.
  pop.Connect(kConnectTimeoutMs);
  EXPECT_TRUE(pop.Delete(1));
  pop.Abort();
  pop.Connect(kConnectTimeoutMs);
  EXPECT_EQ(pop.CheckMessages(), 3);

  // Numbers stay fixed after DELE within the session; QUIT commits.
  EXPECT_TRUE(pop.Delete(1));
  TIdMessage message;
  EXPECT_FALSE(pop.Retrieve(1, message));
  ASSERT_TRUE(pop.Retrieve(2, message));
  EXPECT_EQ(message.Subject, "m2");
  EXPECT_THROW(pop.Delete(1), ProtocolError);  // already deleted
  pop.Disconnect();
  EXPECT_EQ(mailbox_.MessageCount(), 2u);

  pop.Connect(kConnectTimeoutMs);
  EXPECT_EQ(pop.CheckMessages(), 2);
  ASSERT_TRUE(pop.Retrieve(1, message));
  EXPECT_EQ(message.Subject, "m2");
  pop.Disconnect();
}

TEST_F(Pop3ClientTest, WrongPasswordIsAProtocolErrorWithTheServersTextAndCloses) {
  TIdPOP3 pop;
  Configure(pop);
  pop.Password = "wrong";
  try {
    pop.Connect(kConnectTimeoutMs);
    FAIL() << "logged in with a wrong password";
  } catch (const ProtocolError& e) {
    EXPECT_STREQ(e.what(), "[AUTH] Authentication failed.");
  }
  EXPECT_FALSE(pop.Connected());
  pop.Password = mailbox_.Password();
  pop.Connect(kConnectTimeoutMs);  // the object is reusable
  EXPECT_EQ(pop.CheckMessages(), 0);
}

TEST_F(Pop3ClientTest, UserNameOrPasswordThatCouldInjectCommandsIsRefusedBeforeConnecting) {
  TIdPOP3 pop;
  Configure(pop);
  pop.Port = 1;  // nothing listens: any attempt to connect would fail differently
  for (const std::string& bad :
       std::vector<std::string>{"a\r\nDELE 1", "a\nb", std::string("a\0b", 3), "<a>"}) {
    pop.Username = bad;
    try {
      pop.Connect(kConnectTimeoutMs);
      FAIL() << "accepted user name " << bad;
    } catch (const SocketError&) {
      FAIL() << "connected before checking the user name";
    } catch (const TransportError& e) {
      EXPECT_STREQ(e.what(),
                   "The POP3 user name contains a character that cannot be sent (CR, LF, NUL, "
                   "\"<\" or \">\").");
    }
  }
  pop.Username = mailbox_.User();
  pop.Password = "pass>word";
  EXPECT_THROW(pop.Connect(kConnectTimeoutMs), TransportError);
  EXPECT_FALSE(pop.Connected());
}

TEST_F(Pop3ClientTest, MessageOverTheSizeLimitClosesTheConnectionAtTheLimit) {
  // Reading on to the end would let an endless message hold the session for ever.
  mailbox_.Deliver(
      SimpleMessage("big", std::string(3000, 'b') + "\n" + std::string(3000, 'c') + "\n"));
  mailbox_.Deliver(SimpleMessage("small", "tiny\n"));
  TIdPOP3 pop;
  Configure(pop);
  pop.MaxMessageSize = 2000;
  pop.Connect(kConnectTimeoutMs);
  TIdMessage message;
  EXPECT_THROW(pop.Retrieve(1, message), MessageTooLarge);
  EXPECT_FALSE(pop.Connected());
  EXPECT_EQ(mailbox_.MessageCount(), 2u);
}

TEST_F(Pop3ClientTest, ANewsletterWithA20KbLineIsRetrievedWhole) {
  const std::string line = "<td>" + std::string(20000, 'x') + "</td>";
  mailbox_.Deliver(SimpleMessage("long", line + "\n"));
  mailbox_.Deliver(SimpleMessage("after", "tiny\n"));
  TIdPOP3 pop;
  Configure(pop);
  pop.Connect(kConnectTimeoutMs);
  TIdMessage message;
  message.NoDecode = true;
  ASSERT_TRUE(pop.Retrieve(1, message));
  EXPECT_NE(std::find(message.Body.begin(), message.Body.end(), line), message.Body.end());
  ASSERT_TRUE(pop.Retrieve(2, message));
  EXPECT_EQ(message.Subject, "after");
  pop.Disconnect();
}

// What the fetch engine does: retrieve raw, store, reload with decoding. The reloaded
// parts must equal those of decoding the message straight off the connection.
TEST_F(Pop3ClientTest, FetchedMessageStoredRawDecodesLikeTheReceivedOne) {
  mailbox_.Deliver(
      "From: =?ISO-8859-1?Q?J=F6rg?= <joerg@example.org>\nTo: bob@example.org\n"
      "Subject: parts\nMIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=\"b1\"\n\n"
      "preamble\n--b1\nContent-Type: text/plain; charset=ISO-8859-1\n"
      "Content-Transfer-Encoding: quoted-printable\n\nGr=FC=DFe\n.\n.dot\n"
      "--b1\nContent-Type: application/octet-stream; name=\"data.bin\"\n"
      "Content-Transfer-Encoding: base64\nContent-Disposition: attachment; "
      "filename=\"data.bin\"\n\nAAECA/8=\n--b1--\n");
  TIdPOP3 pop;
  Configure(pop);
  pop.Connect(kConnectTimeoutMs);
  TIdMessage received;
  ASSERT_TRUE(pop.Retrieve(1, received));
  TIdMessage stored;
  stored.NoDecode = true;
  ASSERT_TRUE(pop.Retrieve(1, stored));
  pop.Disconnect();

  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("kestrune-fetch-" + mailbox_.User() + ".eml");
  stored.SaveToFile(file);
  TIdMessage reloaded;
  reloaded.LoadFromFile(file);
  std::filesystem::remove(file);

  EXPECT_EQ(reloaded.From.Name, "Jörg");
  EXPECT_EQ(reloaded.Subject, received.Subject);
  ASSERT_EQ(received.MessageParts.Count(), 2u);
  ASSERT_EQ(reloaded.MessageParts.Count(), received.MessageParts.Count());
  const auto& text = static_cast<const TIdText&>(received.MessageParts[0]);
  const auto& text_again = static_cast<const TIdText&>(reloaded.MessageParts[0]);
  ASSERT_TRUE(text_again.IsText());
  EXPECT_EQ(text_again.Body, text.Body);
  EXPECT_EQ(text.TextAsUtf8(), "Grüße\r\n.\r\n.dot");
  const auto& file_part = static_cast<const TIdAttachment&>(received.MessageParts[1]);
  const auto& file_again = static_cast<const TIdAttachment&>(reloaded.MessageParts[1]);
  ASSERT_TRUE(file_again.IsAttachment());
  EXPECT_EQ(file_again.FileName, "data.bin");
  EXPECT_EQ(file_again.Content, file_part.Content);
  EXPECT_EQ(file_part.Content, std::string("\x00\x01\x02\x03\xff", 5));
}

TEST_F(Pop3ClientTest, ImplicitTlsAndStlsUpgrade) {
  mailbox_.Deliver(SimpleMessage("secure", "s\n"));
  {
    TIdPOP3 pop;
    Configure(pop, "POP3S_PORT");
    pop.UseTls = TlsMode::kImplicit;
    pop.Connect(kConnectTimeoutMs);
    EXPECT_TRUE(pop.Secure());
    EXPECT_EQ(pop.CheckMessages(), 1);
    pop.Disconnect();
  }
  {
    TIdPOP3 pop;  // by name: the certificate is checked for the DNS name, not the address
    Configure(pop, "POP3S_PORT");
    pop.Host = "localhost";
    pop.UseTls = TlsMode::kImplicit;
    pop.Connect(kConnectTimeoutMs);
    EXPECT_TRUE(pop.Secure());
    pop.Disconnect();
  }
  {
    TIdPOP3 pop;
    Configure(pop, "POP3_STLS_PORT");  // CAPA announces STLS here
    pop.Connect(kConnectTimeoutMs);
    EXPECT_TRUE(pop.Secure());
    TIdMessage message;
    ASSERT_TRUE(pop.Retrieve(1, message));
    EXPECT_EQ(message.Subject, "secure");
    pop.Disconnect();
  }
  {
    TIdPOP3 pop;
    Configure(pop, "POP3_STLS_PORT");
    pop.UseTls = TlsMode::kNone;  // never upgraded, though CAPA offers STLS
    pop.Connect(kConnectTimeoutMs);
    EXPECT_FALSE(pop.Secure());
    EXPECT_EQ(pop.CheckMessages(), 1);
    pop.Disconnect();
  }
}

TEST_F(Pop3ClientTest, CertificateOfAnUntrustedIssuerIsRefusedWithTheReason) {
  LineConnection::SetTrustedCaFile({});  // the system store does not know the test CA
  TIdPOP3 pop;
  Configure(pop, "POP3S_PORT");
  pop.UseTls = TlsMode::kImplicit;
  try {
    pop.Connect(kConnectTimeoutMs);
    FAIL() << "untrusted certificate accepted";
  } catch (const TlsError& e) {
    EXPECT_STREQ(e.what(),
                 "TLS error: the certificate of 127.0.0.1 was not accepted: unable to get local "
                 "issuer certificate");
  }
  EXPECT_FALSE(pop.Connected());
}

// Mode 2 of the PopTls setting: an attacker on the path can strip STLS from CAPA, so a
// server that does not offer it is refused before USER and PASS.
TEST_F(Pop3ClientTest, RequiredTlsRefusesAServerWithoutStlsBeforeLoggingIn) {
  mailbox_.Deliver(SimpleMessage("required", "r\n"));
  {
    TIdPOP3 pop;
    Configure(pop, "POP3_PORT");  // plain Dovecot: CAPA without STLS
    pop.UseTls = TlsModeFromSetting(2);
    try {
      pop.Connect(kConnectTimeoutMs);
      FAIL() << "logged in without TLS";
    } catch (const TransportError& e) {
      EXPECT_STREQ(e.what(), TIdPOP3::kTlsRequiredText);
    }
    EXPECT_FALSE(pop.Connected());
  }
  {
    TIdPOP3 pop;
    Configure(pop, "POP3_STLS_PORT");
    pop.UseTls = TlsModeFromSetting(2);
    pop.Connect(kConnectTimeoutMs);
    EXPECT_TRUE(pop.Secure());
    EXPECT_EQ(pop.CheckMessages(), 1);
    pop.Disconnect();
  }
  {
    TIdPOP3 pop;  // mode 1 keeps working with a server that offers nothing
    Configure(pop, "POP3_PORT");
    pop.UseTls = TlsModeFromSetting(1);
    pop.Connect(kConnectTimeoutMs);
    EXPECT_FALSE(pop.Secure());
    EXPECT_EQ(pop.CheckMessages(), 1);
    pop.Disconnect();
  }
}

// The test certificate names localhost and 127.0.0.1. "127.1" reaches the same server but
// is a name (not an address in the strict form), and one the certificate does not cover.
TEST_F(Pop3ClientTest, HostNameTheCertificateDoesNotCoverIsRefused) {
  for (const auto& [port_key, mode] :
       {std::pair{"POP3S_PORT", TlsMode::kImplicit}, std::pair{"POP3_STLS_PORT", TlsMode::kAuto}}) {
    TIdPOP3 pop;
    Configure(pop, port_key);
    pop.Host = "127.1";
    pop.UseTls = mode;
    try {
      pop.Connect(kConnectTimeoutMs);
      FAIL() << "certificate accepted for a name it does not hold (" << port_key << ")";
    } catch (const TlsError& e) {
      EXPECT_STREQ(e.what(),
                   "TLS error: the certificate of 127.1 was not accepted: hostname mismatch");
    }
    EXPECT_FALSE(pop.Connected());
  }
}

}  // namespace
}  // namespace kestrune
