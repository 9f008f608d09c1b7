// Header lists, wrapping, structured parameters, mail dates and address lists.
#include "mail/mime_header.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "mail/address_list.h"
#include "mail/mime_date.h"

namespace kestrune {
namespace {

TEST(HeaderList, KeepsRawLinesAndUnfoldsValues) {
  TIdHeaderList h;
  h.AddRawLine("Subject: one");
  h.AddRawLine("\ttwo");
  h.AddRawLine("X-A: 1");
  h.AddRawLine("junk line without colon");
  h.AddRawLine("x-a: 2");
  EXPECT_EQ(h.Value("SUBJECT"), "one\ttwo");
  EXPECT_EQ(h.Value("X-A"), "1");
  EXPECT_FALSE(h.Find("Missing"));
  h.Set("x-A", "new");
  h.Set("Subject", "");
  h.Set("To", "a\r\nBcc: b@c");
  EXPECT_EQ(h.Lines(),
            (std::vector<std::string>{"x-A: new", "junk line without colon", "To: a  Bcc: b@c"}));
  h.Remove("to");
  EXPECT_EQ(h.Count(), 2u);
}

TEST(HeaderWrap, BreaksAtBlanksAndCommasWithinTheWidth) {
  // The first piece ends with the comma in column 78 exactly.
  std::string line =
      "To: " + std::string(30, 'a') + "@x.com, " + std::string(29, 'b') + "@y.com, c@z.com";
  EXPECT_EQ(WrapHeaderLine(line),
            (std::vector<std::string>{
                "To: " + std::string(30, 'a') + "@x.com, " + std::string(29, 'b') + "@y.com,",
                " c@z.com"}));
  std::string unbreakable = "Subject: " + std::string(100, 'x') + " tail";
  EXPECT_EQ(WrapHeaderLine(unbreakable),
            (std::vector<std::string>{"Subject:", " " + std::string(100, 'x'), " tail"}));
  EXPECT_EQ(WrapHeaderLine("Short: value   "), (std::vector<std::string>{"Short: value"}));
  for (const auto& piece : WrapHeaderLine("References: " + std::string(500, 'r'))) {
    EXPECT_FALSE(piece.empty());
  }
}

TEST(HeaderParams, ReadsQuotedAndRfc2231Values) {
  auto p = ParseHeaderParams(
      "multipart/mixed; boundary=\"a;b\\\"c\"; charset=UTF-8 ;x=1;junk;"
      " title*0*=us-ascii'en'This%20is; title*1=\" fun\"; name*=iso-8859-1''caf%E9.txt");
  EXPECT_EQ(p.Value, "multipart/mixed");
  EXPECT_EQ(MimeParam(p, "BOUNDARY"), "a;b\"c");
  EXPECT_EQ(MimeParam(p, "charset"), "UTF-8");
  EXPECT_EQ(MimeParam(p, "x"), "1");
  EXPECT_EQ(MimeParam(p, "title"), "This is fun");
  EXPECT_EQ(MimeParam(p, "name"), "café.txt");
  EXPECT_EQ(MimeParam(p, "junk"), "");
  EXPECT_EQ(
      MimeParam(ParseHeaderParams("attachment; filename=\"=?utf-8?B?w6kuZG9j?=\""), "filename"),
      "é.doc");
}

TEST(HeaderParams, JoinsContinuationsInAnyOrderAmongManyParameters) {
  auto p = ParseHeaderParams("a; name*1=\"b\"; x=1; name*0=\"a\"; name*2=c; name*02=no");
  EXPECT_EQ(MimeParam(p, "name"), "abc");
  // A value cut into many pieces among many other parameters is read in one pass.
  std::string value = "text/plain";
  std::string expected;
  for (int i = 0; i < 200000; ++i) value += "; p" + std::to_string(i) + "=v";
  for (int i = 999; i >= 0; --i)
    value += "; name*" + std::to_string(i) + "=" + std::to_string(i % 10);
  for (int i = 0; i < 1000; ++i) expected += std::to_string(i % 10);
  auto many = ParseHeaderParams(value);
  EXPECT_EQ(MimeParam(many, "name"), expected);
  EXPECT_EQ(MimeParam(many, "p199999"), "v");
}

class MailDate : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
  }
};

TEST_F(MailDate, ParsesCommonAndObsoleteForms) {
  DateValue expected = EncodeDateValue({2024, 3, 5, 14, 3, 9, 0});
  EXPECT_EQ(ParseMailDate("Tue, 5 Mar 2024 14:03:09 +0100"), expected);
  EXPECT_EQ(ParseMailDate("5 Mar 2024 13:03:09 GMT"), expected);
  EXPECT_EQ(ParseMailDate("Tuesday, 05 march 2024 08:03:09 EST (comment)"), expected);
  EXPECT_EQ(ParseMailDate("Tue, 5 Mar 24 13:03:09"), expected) << "no zone: UTC";
  EXPECT_EQ(ParseMailDate("5 Mar 2024 14:03 +0100"), EncodeDateValue({2024, 3, 5, 14, 3, 0, 0}));
  EXPECT_FALSE(ParseMailDate("yesterday"));
  EXPECT_FALSE(ParseMailDate("32 Mar 2024 10:00:00 +0000"));
  EXPECT_FALSE(ParseMailDate("5 Mar 2024 25:00:00 +0000"));
  EXPECT_FALSE(ParseMailDate("5 Mar 2024 1:2:3:4"));
}

TEST_F(MailDate, FormatsInLocalTimeWithItsOffset) {
  EXPECT_EQ(FormatMailDate(EncodeDateValue({2024, 3, 5, 14, 3, 9, 0})),
            "Tue, 5 Mar 2024 14:03:09 +0100");
  EXPECT_EQ(FormatMailDate(EncodeDateValue({2024, 7, 21, 9, 5, 0, 999})),
            "Sun, 21 Jul 2024 09:05:01 +0200");
  DateValue value = EncodeDateValue({2023, 12, 31, 23, 59, 59, 0});
  EXPECT_EQ(ParseMailDate(FormatMailDate(value)), value);
}

TEST(AddressList, SplitsOnCommaAndSemicolonOutsideQuotesAndDropsEmptyItems) {
  EXPECT_EQ(SplitAddressList("a@x;b@y;"), (std::vector<std::string>{"a@x", "b@y"}));
  EXPECT_EQ(SplitAddressList(" \"Doe, Jane\" <j@x>, (c,d) e@y ,, "),
            (std::vector<std::string>{"\"Doe, Jane\" <j@x>", "(c,d) e@y"}));
  EXPECT_EQ(SplitAddressList("Team: a@x, b@y;, undisclosed-recipients:;"),
            (std::vector<std::string>{"a@x", "b@y"}));
  EXPECT_TRUE(SplitAddressList(" ; , ").empty());
}

TEST(AddressList, ParsesItemsAndGivesTheirTextForms) {
  TIdEmailAddressList list;
  list.SetText("\"Doe, \\\"JD\\\" Jane\" <j@x>; bob@y (Bob B), <c@z>, =?utf-8?Q?J=C3=B6rg?= <g@h>");
  ASSERT_EQ(list.Count(), 4u);
  EXPECT_EQ(list[0].Name, "Doe, \"JD\" Jane");
  EXPECT_EQ(list[1].Name, "Bob B");
  EXPECT_EQ(list[1].Address, "bob@y");
  EXPECT_EQ(list[2].Text(), "c@z");
  EXPECT_EQ(list.Text(), "Doe, \"JD\" Jane <j@x>, Bob B <bob@y>, c@z, Jörg <g@h>");
}

TEST(AddressList, RefusesAddressesThatCouldInjectProtocolText) {
  EXPECT_TRUE(IsSafeAddress("a@example.com"));
  EXPECT_FALSE(IsSafeAddress(""));
  EXPECT_FALSE(IsSafeAddress("a@x>\r\nRCPT TO:<b@y"));
  EXPECT_FALSE(IsSafeAddress(std::string("a\0b", 3)));
  EXPECT_FALSE(IsSafeAddress("a<b"));
  EXPECT_EQ(UnsafeAddressText("a@x\r\nQUIT"), "Invalid e-mail address: a@x??QUIT");
}

TEST(RecipientTextTest, ContactsWrittenIntoARecipientBoxReadBackAsTheSameNameAndAddress) {
  const struct {
    const char* name;
    const char* address;
    const char* text;
  } cases[] = {
      {"Ann Lee", "ann@x.test", "Ann Lee <ann@x.test>"},
      {"", "bob@x.test", "bob@x.test"},
      {"bob@x.test", "bob@x.test", "bob@x.test"},
      {"Doe, Jane", "j@x.test", "\"Doe, Jane\" <j@x.test>"},  // the comma would split it
      {"A \"B\" C", "c@x.test", "\"A \\\"B\\\" C\" <c@x.test>"},
      {"Eve <boss@x.test>", "eve@x.test", "\"Eve <boss@x.test>\" <eve@x.test>"},
  };
  for (const auto& c : cases) {
    const std::string text = RecipientText(c.name, c.address);
    EXPECT_EQ(text, c.text);
    const std::string list = text + "; other@x.test";
    const std::vector<std::string> items = SplitAddressList(list);
    ASSERT_EQ(items.size(), 2u) << list;
    TIdEmailAddressItem item;
    item.SetText(items[0]);
    EXPECT_EQ(item.Address, c.address) << text;
    EXPECT_EQ(item.Name, std::string(c.name) == c.address ? "" : c.name) << text;
  }
}

}  // namespace
}  // namespace kestrune
