// TIdSMTP against the recording SMTP servers: what arrives (envelope order, header
// section without Bcc, dot-stuffing undone intact), AUTH LOGIN and the announced-
// mechanism rules, HELO fallback, a refused recipient, and TLS both ways.
#include <gtest/gtest.h>

#include "mail/id_message.h"
#include "mail/id_smtp.h"
#include "mail/socket_error.h"
#include "peers.h"

namespace kestrune {
namespace {

using testing::FindSmtpRecord;
using testing::Peers;
using testing::SmtpRecord;
using testing::UniqueSender;

constexpr int kConnectTimeoutMs = 5000;

class SmtpClientTest : public ::testing::Test {
 protected:
  void SetUp() override { LineConnection::SetTrustedCaFile(Peers::Get().CaFile()); }

  static void Configure(TIdSMTP& smtp, std::string_view port_key, bool login = true) {
    smtp.Host = "127.0.0.1";
    smtp.Port = Peers::Get().Port(port_key);
    if (login) {
      smtp.AuthenticationType = TIdSMTPAuthenticationType::atLogin;
      smtp.Username = Peers::Get().Value("SMTP_USER");
      smtp.Password = Peers::Get().Value("SMTP_PASSWORD");
    }
  }

  // A composed message with a fixed date, so that what was sent can be compared byte for
  // byte with what the writer produces.
  static void Compose(TIdMessage& message, const std::string& sender) {
    message.Clear();
    message.From.Name = "Sender";
    message.From.Address = sender;
    message.Recipients.Add({"To One", "to1@example.org"});
    message.Recipients.Add({"", "to2@example.org"});
    message.CCList.Add({"", "cc@example.org"});
    message.BccList.Add({"Hidden", "bcc@example.org"});
    message.Subject = "Dots and Bcc";
    message.ContentType = "text/html";
    message.Date = EncodeDateValue({2024, 3, 5, 14, 30, 15, 0});
    message.Body = {"<p>first</p>", ".", ".leading dot", "..two", "last"};
  }

  static SmtpRecord RecordOf(const std::string& sender) {
    const std::optional<SmtpRecord> record = FindSmtpRecord(sender);
    if (!record) throw std::runtime_error("nothing recorded from " + sender);
    return *record;
  }
};

TEST_F(SmtpClientTest, SendsEnvelopeInOrderAndTheWrittenMessageWithoutBcc) {
  TIdSMTP smtp;
  Configure(smtp, "SMTP_PORT");
  smtp.Connect(kConnectTimeoutMs);
  EXPECT_FALSE(smtp.Secure());
  EXPECT_EQ(smtp.AuthMechanisms(), (std::vector<std::string>{"LOGIN", "PLAIN"}));
  const std::string sender = UniqueSender();
  TIdMessage message;
  Compose(message, sender);
  smtp.Send(message);
  EXPECT_TRUE(smtp.Authenticated());
  smtp.Disconnect();

  const SmtpRecord record = RecordOf(sender);
  EXPECT_EQ(record.rcpt_to, (std::vector<std::string>{"to1@example.org", "to2@example.org",
                                                      "cc@example.org", "bcc@example.org"}));
  EXPECT_EQ(record.auth_login, "sender");
  EXPECT_TRUE(record.esmtp);
  EXPECT_EQ(record.data, message.Text(THeaderTarget::kTransmit));
  EXPECT_EQ(record.data.find("\r\nBcc:"), std::string::npos);
  EXPECT_EQ(record.data.find("bcc@example.org"), std::string::npos);
  EXPECT_NE(record.data.find("\r\n\r\n<p>first</p>\r\n.\r\n.leading dot\r\n..two\r\nlast\r\n"),
            std::string::npos);
  EXPECT_EQ(record.data.rfind("From: ", 0), 0u) << "From is the first field written";
}

TEST_F(SmtpClientTest, StoredMessageGoesOutAsStoredLessItsBccField) {
  const std::string sender = UniqueSender();
  TIdMessage message;
  message.NoDecode = true;
  message.NoEncode = true;
  const std::string stored = "From: " + sender +
                             "\r\nTo: a@example.org; b@example.org;\r\nBcc: hidden@example.org\r\n"
                             "Subject: as stored\r\nX-Custom:  kept   as is\r\n\r\n"
                             "..dot line\r\nplain\r\n.\r\n";
  message.LoadFromText(stored);

  TIdSMTP smtp;
  Configure(smtp, "SMTP_PORT", /*login=*/false);
  smtp.Connect(kConnectTimeoutMs);
  smtp.Send(message);
  EXPECT_FALSE(smtp.Authenticated());
  smtp.Disconnect();

  const SmtpRecord record = RecordOf(sender);
  EXPECT_EQ(record.rcpt_to,
            (std::vector<std::string>{"a@example.org", "b@example.org", "hidden@example.org"}));
  EXPECT_EQ(record.auth_login, "");
  EXPECT_EQ(record.data, "From: " + sender +
                             "\r\nTo: a@example.org; b@example.org;\r\n"
                             "Subject: as stored\r\nX-Custom:  kept   as is\r\n\r\n"
                             ".dot line\r\nplain\r\n");
}

TEST_F(SmtpClientTest, EhloRefusedFallsBackToHeloAndSendsWithoutAuthentication) {
  TIdSMTP smtp;
  Configure(smtp, "SMTP_HELO_PORT");
  smtp.Connect(kConnectTimeoutMs);
  EXPECT_TRUE(smtp.AuthMechanisms().empty());
  const std::string sender = UniqueSender();
  TIdMessage message;
  Compose(message, sender);
  smtp.Send(message);
  EXPECT_FALSE(smtp.Authenticated());
  smtp.Disconnect();
  const SmtpRecord record = RecordOf(sender);
  EXPECT_FALSE(record.esmtp);
  EXPECT_EQ(record.auth_login, "");
}

TEST_F(SmtpClientTest, OldAuthEqualsFormOffersLoginAndAuthenticatesOncePerConnection) {
  TIdSMTP smtp;
  Configure(smtp, "SMTP_AUTHEQ_PORT");
  smtp.Connect(kConnectTimeoutMs);
  EXPECT_EQ(smtp.AuthMechanisms(), (std::vector<std::string>{"LOGIN", "PLAIN"}));
  const std::string first = UniqueSender();
  const std::string second = UniqueSender();
  TIdMessage message;
  Compose(message, first);
  smtp.Send(message);
  Compose(message, second);
  smtp.Send(message);  // a second AUTH would be answered 503 and fail this Send
  smtp.Disconnect();
  EXPECT_EQ(RecordOf(first).auth_login, "sender");
  EXPECT_EQ(RecordOf(second).auth_login, "sender");
}

TEST_F(SmtpClientTest, WrongPasswordFailsWithTheServersReply) {
  TIdSMTP smtp;
  Configure(smtp, "SMTP_PORT");
  smtp.Password = "wrong";
  smtp.Connect(kConnectTimeoutMs);
  TIdMessage message;
  Compose(message, UniqueSender());
  try {
    smtp.Send(message);
    FAIL() << "sent with a wrong password";
  } catch (const ProtocolError& e) {
    EXPECT_EQ(e.ReplyCode(), 535);
    EXPECT_STREQ(e.what(), "5.7.8 Authentication credentials invalid");
  }
}

TEST_F(SmtpClientTest, RefusedRecipientFailsTheSendAndTheNextSendStartsClean) {
  TIdSMTP smtp;
  Configure(smtp, "SMTP_REJECT_PORT");
  smtp.Connect(kConnectTimeoutMs);
  TIdMessage message;
  const std::string refused_sender = UniqueSender();
  Compose(message, refused_sender);
  message.CCList.Clear();
  message.CCList.Add({"", "reject-me@example.org"});
  try {
    smtp.Send(message);
    FAIL() << "refused recipient not reported";
  } catch (const ProtocolError& e) {
    EXPECT_EQ(e.ReplyCode(), 550);
    EXPECT_STREQ(e.what(),
                 "5.1.1 <reject-me@example.org>: Recipient address rejected: User unknown");
  }
  EXPECT_TRUE(smtp.Connected());

  const std::string sender = UniqueSender();
  Compose(message, sender);
  message.Recipients.Clear();
  message.CCList.Clear();
  message.BccList.Clear();
  message.Recipients.Add({"", "only@example.org"});
  smtp.Send(message);
  smtp.Disconnect();
  EXPECT_EQ(RecordOf(sender).rcpt_to, std::vector<std::string>{"only@example.org"});
  EXPECT_FALSE(FindSmtpRecord(refused_sender, std::chrono::milliseconds(0)).has_value());
}

TEST_F(SmtpClientTest, UnsafeAddressIsRefusedBeforeAnyCommand) {
  TIdSMTP smtp;
  Configure(smtp, "SMTP_PORT");
  smtp.Connect(kConnectTimeoutMs);
  TIdMessage message;
  const std::string sender = UniqueSender();
  Compose(message, sender);
  message.BccList.Add({"", "x@example.org>\r\nRCPT TO:<victim@example.org"});
  EXPECT_THROW(smtp.Send(message), TransportError);
  // (The scripted-server test of TIdSMTP checks that not even RSET went out.)
  EXPECT_FALSE(smtp.Authenticated());
  EXPECT_TRUE(smtp.Connected());

  const std::string next_sender = UniqueSender();
  Compose(message, next_sender);
  smtp.Send(message);
  smtp.Disconnect();
  EXPECT_EQ(RecordOf(next_sender).rcpt_to.size(), 4u);
  EXPECT_FALSE(FindSmtpRecord(sender, std::chrono::milliseconds(0)).has_value());
}

TEST_F(SmtpClientTest, StartTlsWhenOfferedAndImplicitTls) {
  {
    TIdSMTP smtp;
    Configure(smtp, "SMTP_STARTTLS_PORT");
    smtp.Connect(kConnectTimeoutMs);
    EXPECT_TRUE(smtp.Secure());
    // This server offers AUTH only after STARTTLS, so seeing LOGIN proves the second EHLO.
    EXPECT_EQ(smtp.AuthMechanisms(), (std::vector<std::string>{"LOGIN", "PLAIN"}));
    const std::string sender = UniqueSender();
    TIdMessage message;
    Compose(message, sender);
    smtp.Send(message);
    smtp.Disconnect();
    const SmtpRecord record = RecordOf(sender);
    EXPECT_TRUE(record.tls);
    EXPECT_EQ(record.auth_login, "sender");
  }
  {
    TIdSMTP smtp;
    Configure(smtp, "SMTPS_PORT");
    smtp.UseTls = TlsMode::kImplicit;
    smtp.Connect(kConnectTimeoutMs);
    EXPECT_TRUE(smtp.Secure());
    const std::string sender = UniqueSender();
    TIdMessage message;
    Compose(message, sender);
    smtp.Send(message);
    smtp.Disconnect();
    EXPECT_TRUE(RecordOf(sender).tls);
  }
}

TEST_F(SmtpClientTest, PlainOnlyModeIgnoresStartTls) {
  TIdSMTP smtp;
  Configure(smtp, "SMTP_STARTTLS_PORT");
  smtp.UseTls = TlsMode::kNone;
  smtp.Connect(kConnectTimeoutMs);
  EXPECT_FALSE(smtp.Secure());
  EXPECT_TRUE(smtp.AuthMechanisms().empty());  // no AUTH offered without TLS here
  const std::string sender = UniqueSender();
  TIdMessage message;
  Compose(message, sender);
  smtp.Send(message);  // atLogin, but LOGIN not announced: sent unauthenticated
  smtp.Disconnect();
  const SmtpRecord record = RecordOf(sender);
  EXPECT_FALSE(record.tls);
  EXPECT_EQ(record.auth_login, "");
}

// Mode 2 of the SmtpTls setting: a server that does not offer STARTTLS is refused
// before AUTH LOGIN or any mail.
TEST_F(SmtpClientTest, RequiredTlsRefusesAServerWithoutStartTls) {
  {
    TIdSMTP smtp;
    Configure(smtp, "SMTP_PORT");
    smtp.UseTls = TlsModeFromSetting(2);
    try {
      smtp.Connect(kConnectTimeoutMs);
      FAIL() << "connected without TLS";
    } catch (const TransportError& e) {
      EXPECT_STREQ(e.what(), TIdSMTP::kTlsRequiredText);
    }
    EXPECT_FALSE(smtp.Connected());
    TIdMessage message;
    Compose(message, UniqueSender());
    EXPECT_THROW(smtp.Send(message), ConnectionClosed);
  }
  {
    TIdSMTP smtp;
    Configure(smtp, "SMTP_STARTTLS_PORT");
    smtp.UseTls = TlsModeFromSetting(2);
    smtp.Connect(kConnectTimeoutMs);
    EXPECT_TRUE(smtp.Secure());
    const std::string sender = UniqueSender();
    TIdMessage message;
    Compose(message, sender);
    smtp.Send(message);
    smtp.Disconnect();
    const SmtpRecord record = RecordOf(sender);
    EXPECT_TRUE(record.tls);
    EXPECT_EQ(record.auth_login, "sender");
  }
  {
    TIdSMTP smtp;  // mode 1 keeps working with a server that offers nothing
    Configure(smtp, "SMTP_PORT");
    smtp.UseTls = TlsModeFromSetting(1);
    smtp.Connect(kConnectTimeoutMs);
    EXPECT_FALSE(smtp.Secure());
    const std::string sender = UniqueSender();
    TIdMessage message;
    Compose(message, sender);
    smtp.Send(message);
    smtp.Disconnect();
    EXPECT_FALSE(RecordOf(sender).tls);
  }
}

// The test certificate names localhost and 127.0.0.1; "127.1" reaches the same server
// as a name the certificate does not cover.
TEST_F(SmtpClientTest, HostNameTheCertificateDoesNotCoverIsRefused) {
  for (const auto& [port_key, mode] : {std::pair{"SMTPS_PORT", TlsMode::kImplicit},
                                       std::pair{"SMTP_STARTTLS_PORT", TlsMode::kAuto}}) {
    TIdSMTP smtp;
    Configure(smtp, port_key);
    smtp.Host = "127.1";
    smtp.UseTls = mode;
    try {
      smtp.Connect(kConnectTimeoutMs);
      FAIL() << "certificate accepted for a name it does not hold (" << port_key << ")";
    } catch (const TlsError& e) {
      EXPECT_STREQ(e.what(),
                   "TLS error: the certificate of 127.1 was not accepted: hostname mismatch");
    }
    EXPECT_FALSE(smtp.Connected());
  }
}

}  // namespace
}  // namespace kestrune
