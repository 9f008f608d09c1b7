// What the home page says after the compose page's Send: when the queued message will go,
// or, with SendOnCompose, that it was sent at once through a real SMTP conversation, or
// why not (the message then still waits in the Outbox).
#include <gtest/gtest.h>

#include <regex>

#include "mail/scripted_server.h"
#include "store/email_db.h"
#include "web_app_fixture.h"

namespace kestrune::testing {
namespace {

// An SMTP server that takes every message, or refuses every sender.
void PlaySmtp(ScriptedPeer& peer, bool accept) {
  peer.Send("220 smtp.test ESMTP\r\n");
  for (std::string line = peer.ReadLine(); !peer.Closed(); line = peer.ReadLine()) {
    if (line.rfind("MAIL FROM", 0) == 0 && !accept) {
      peer.Send("554 5.7.1 Sender refused\r\n");
    } else if (line == "DATA") {
      peer.Send("354 go ahead\r\n");
      peer.ReadUntil(".");
      peer.Send("250 queued\r\n");
    } else if (line == "QUIT") {
      peer.Send("221 bye\r\n");
      return;
    } else {
      peer.Send("250 ok\r\n");
    }
  }
}

class SendFeedbackTest : public WebAppTest {
 protected:
  SendFeedbackTest() {
    TUserList users;
    EXPECT_TRUE(users.Open(config_.UserDirectories));
    TUserRecord user;
    EXPECT_TRUE(users.FindUser("Admin", user));
    user.EmailAddress = "admin@home.test";
    EXPECT_TRUE(users.UpdateUser("Admin", user));
    users.Save();
    config_.SmtpServer = "127.0.0.1";
  }

  // Logs in, writes a message and sends it; the home page that follows.
  Answer SendOne() {
    Start();
    browser_ = std::make_unique<TestBrowser>(NewBrowser());
    browser_->Get("/");
    LogIn(*browser_, "admin", "SecretPw");
    browser_->Post("IWMain", "IWCREATEEMAIL");
    return browser_->Post("IWNewEmail", "IWSEND",
                          {{"IWTO", "ann@x.test"}, {"IWSUBJECT", "Hello"}, {"IWEMAILBODY", "hi"}});
  }

  std::int32_t OnlyStatus() const {
    TUserEmailDB index;
    EXPECT_TRUE(index.Open(config_.UserDirectories + "Admin/"));
    TEmailRecord record;
    EXPECT_EQ(index.GetCount(), 1);
    EXPECT_TRUE(index.GetEmail(1, record));
    return record.Status;
  }

  static std::string StatusLine(const Answer& answer) {
    const std::string mark = "role=\"status\" aria-live=\"polite\">";
    const auto at = answer.body.find(mark);
    if (at == std::string::npos) return "(no status region)";
    const auto start = at + mark.size();
    const std::string region = answer.body.substr(start, answer.body.find("</div>", start) - start);
    return std::regex_replace(std::regex_replace(region, std::regex("<[^>]*>"), ""),
                              std::regex("^\\s+|\\s+$"), "");
  }

  std::unique_ptr<TestBrowser> browser_;
};

TEST_F(SendFeedbackTest, AQueuedMessageSaysWhenTheTimerSendsIt) {
  config_.AutoCheckEmails = true;
  config_.AutoCheckInterval = 10;
  const Answer home = SendOne();
  ASSERT_EQ(home.PageName(), "IWMain");
  EXPECT_EQ(StatusLine(home),
            "Queued in the Outbox. It goes with the next timed send/receive, within 10 minutes.");
  EXPECT_EQ(OnlyStatus(), email_status::kOutbox);
  // Said once.
  EXPECT_EQ(StatusLine(browser_->Get("/index")), "");
}

TEST_F(SendFeedbackTest, WithoutTheTimerAQueuedMessageWaitsForSendReceive) {
  EXPECT_EQ(StatusLine(SendOne()), "Queued in the Outbox. It goes when you press Send/Receive.");
  EXPECT_EQ(OnlyStatus(), email_status::kOutbox);
}

TEST_F(SendFeedbackTest, SendOnComposeSendsAtOnceAndSaysSent) {
  ScriptedServer smtp([](ScriptedPeer& peer) { PlaySmtp(peer, true); });
  config_.SendOnCompose = true;
  config_.SmtpPort = smtp.Port();
  const Answer home = SendOne();
  EXPECT_EQ(StatusLine(home), "Sent.");
  EXPECT_EQ(OnlyStatus(), email_status::kSent);
  EXPECT_FALSE(home.HasAlert("Send Failure."));
}

TEST_F(SendFeedbackTest, SendOnComposeRefusedBySmtpSaysSoAndKeepsTheMessageInTheOutbox) {
  ScriptedServer smtp([](ScriptedPeer& peer) { PlaySmtp(peer, false); });
  config_.SendOnCompose = true;
  config_.SmtpPort = smtp.Port();
  const Answer home = SendOne();
  EXPECT_EQ(StatusLine(home).rfind("Not sent yet, it waits in the Outbox: ", 0), 0u)
      << StatusLine(home);
  EXPECT_EQ(OnlyStatus(), email_status::kOutbox);
  // Told in the status line, not a second time in an alert.
  EXPECT_EQ(home.body.find("window.alert("), std::string::npos);
}

}  // namespace
}  // namespace kestrune::testing
