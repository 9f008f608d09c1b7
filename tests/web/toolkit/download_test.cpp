// Downloads sent from memory and the headers every download and cache answer carries: a
// file name that cannot name a path or break the header, no sniffing, no script.
#include <gtest/gtest.h>
#include <unistd.h>

#include "listener_fixture.h"
#include "web/toolkit/controls_text.h"
#include "web/toolkit/request_dispatcher.h"

namespace kestrune::testing {
namespace {

// A page whose link sends what the test put into it.
class DownloadPage : public TIWAppForm {
 public:
  DownloadPage(TIWApplication& session, std::string name, std::string class_name)
      : TIWAppForm(session, std::move(name), std::move(class_name)) {
    auto& link = AddControl<TIWLink>("IWGet");
    link.Caption = "get";
    link.OnClick = [this](TIWBaseControl&) {
      WebApplication().SendDownload(content, file_name, content_type, as_attachment);
    };
  }
  std::string content;
  std::string file_name;
  std::string content_type;
  bool as_attachment = true;
};

class DownloadTest : public ::testing::Test {
 protected:
  DownloadTest() : controller_(MakeController(home_.path())) {
    controller_.MainFormClass = PageClassOf<DownloadPage>("TIWDownloadPage", "IWDownloadPage");
    dispatcher_ = std::make_unique<RequestDispatcher>(controller_, table_);
  }

  HttpRequest Request(std::string method, std::string target, std::string body = {}) {
    return BrowserRequest(std::move(method), std::move(target), std::move(body), cookie_);
  }

  HttpResponse Send(HttpRequest request) {
    HttpResponse response = dispatcher_->Handle(request);
    const std::string id = CookieFrom(response, "IW_SessionID_");
    if (!id.empty()) {
      session_id_ = id;
      cookie_ = "IW_CookieCheck_=Enabled; IW_SessionID_=" + id +
                "; IW_TrackID_=" + CookieFrom(response, "IW_TrackID_");
    }
    if (const std::string token = FormTokenIn(response.body); !token.empty()) token_ = token;
    return response;
  }

  // Starts a session and gives its page the download to send.
  DownloadPage& Start() {
    Send(Request("GET", "/"));
    Send(Request("GET", "/index"));
    TIWApplication* session = table_.TakeOut(*TableKeyOfId(session_id_));
    auto* page = dynamic_cast<DownloadPage*>(session->ActivePage());
    table_.PutBack(session);
    return *page;
  }

  HttpResponse Get() {
    return Send(
        Request("POST", "/index", "IW_Action=IWGET&IW_ActionParam=&IW_FormToken=" + token_));
  }

  TempDir home_;
  TIWServerController controller_;
  SessionTable table_{[] { return std::chrono::steady_clock::now(); }};
  std::unique_ptr<RequestDispatcher> dispatcher_;
  std::string cookie_;
  std::string session_id_;
  std::string token_;
};

TEST_F(DownloadTest, BytesFromMemoryWithTheGivenTypeAndSafetyHeaders) {
  DownloadPage& page = Start();
  page.content = std::string("PK\x03\x04\0zip", 8);
  page.file_name = "Report 2024.zip";
  page.content_type = "application/zip";
  const HttpResponse answer = Get();
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.body, page.content);
  EXPECT_EQ(answer.Header("Content-Type"), "application/zip");
  EXPECT_EQ(answer.Header("Content-Disposition"),
            "attachment;filename=\"Report 2024.zip\"; filename*=UTF-8''Report%202024.zip");
  EXPECT_EQ(answer.Header("X-Content-Type-Options"), "nosniff");
  EXPECT_EQ(answer.Header("Content-Security-Policy"), "sandbox; default-src 'none'");
  EXPECT_EQ(answer.Header("Cache-Control"), "private, no-store");
  EXPECT_EQ(CookieFrom(answer, "IW_TrackID_"), "1");  // the browser stays on its page
  // Nothing of it was written anywhere under the program directory.
  for (const auto& entry : std::filesystem::recursive_directory_iterator(home_.path())) {
    EXPECT_FALSE(entry.is_regular_file()) << entry.path();
  }
}

// A 15 MB attachment asked for by a client that reads slowly: the answer carries it in a
// file without a name (nothing on disk to find, nothing of it pinned in memory).
TEST_F(DownloadTest, BigAttachmentIsSentFromAnUnnamedFileNotFromMemory) {
  DownloadPage& page = Start();
  page.content = std::string(15 * 1024 * 1024, 'z');
  page.file_name = "big.bin";
  HttpResponse answer = Get();
  ASSERT_EQ(answer.status, 200);
  EXPECT_TRUE(answer.body.empty());
  ASSERT_TRUE(answer.body_file);
  EXPECT_EQ(answer.body_file->Size(), page.content.size());
  const int fd = answer.body_file->Release();
  std::string sent(page.content.size(), '\0');
  EXPECT_EQ(pread(fd, sent.data(), sent.size(), 0), static_cast<ssize_t>(sent.size()));
  close(fd);
  EXPECT_EQ(sent, page.content);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(home_.path())) {
    EXPECT_FALSE(entry.is_regular_file()) << entry.path();
  }
}

TEST_F(DownloadTest, TypeFromTheNameWhenNoneIsGivenAndInlineWhenAsked) {
  DownloadPage& page = Start();
  page.content = "%PDF-1.4";
  page.file_name = "paper.PDF";
  page.as_attachment = false;
  HttpResponse answer = Get();
  EXPECT_EQ(answer.Header("Content-Type"), "application/pdf");
  EXPECT_EQ(answer.Header("Content-Disposition"),
            "inline;filename=\"paper.PDF\"; filename*=UTF-8''paper.PDF");
  page.file_name = "no-extension";
  page.as_attachment = true;
  answer = Get();
  EXPECT_EQ(answer.Header("Content-Type"), "application/unknown");
}

TEST_F(DownloadTest, AFileDownloadCarriesTheSameSafetyHeaders) {
  const std::filesystem::path file = home_.path() / "page.htm";
  WriteFile(file, "<script>alert(1)</script>");
  Send(Request("GET", "/"));
  Send(Request("GET", "/index"));
  TIWApplication* session = table_.TakeOut(*TableKeyOfId(session_id_));
  auto& link = dynamic_cast<TIWLink&>(*session->ActivePage()->FindControl("IWGet"));
  link.OnClick = [session, file](TIWBaseControl&) { session->SendDownload(file, false); };
  table_.PutBack(session);
  const HttpResponse answer = Get();
  EXPECT_EQ(answer.Header("Content-Type"), "text/html");
  EXPECT_EQ(answer.Header("Content-Security-Policy"), "sandbox; default-src 'none'");
  EXPECT_EQ(answer.Header("X-Content-Type-Options"), "nosniff");
}

TEST(ContentDisposition, PathPartsAndControlCharactersNeverReachTheHeader) {
  EXPECT_EQ(DownloadFileName("../../x"), "x");
  EXPECT_EQ(DownloadFileName("C:\\Users\\me\\evil.exe"), "evil.exe");
  EXPECT_EQ(DownloadFileName("a\r\nSet-Cookie: x=1.txt"), "aSet-Cookie: x=1.txt");
  EXPECT_EQ(DownloadFileName("dir/"), "download");
  EXPECT_EQ(DownloadFileName(".."), "download");
  EXPECT_EQ(DownloadFileName(""), "download");
  EXPECT_EQ(ContentDispositionFor(true, "../../x"),
            "attachment;filename=\"x\"; filename*=UTF-8''x");
  EXPECT_EQ(ContentDispositionFor(true, "say \"hi\"\t.txt"),
            "attachment;filename=\"say hi.txt\"; filename*=UTF-8''say%20%22hi%22.txt");
}

TEST(ContentDisposition, NonAsciiNamesArePercentEncodedAndStandInTheQuotedForm) {
  EXPECT_EQ(ContentDispositionFor(true,
                                  "Bericht \xC3\xBC"
                                  "ber \xE2\x82\xAC.pdf"),
            "attachment;filename=\"Bericht _ber _.pdf\"; "
            "filename*=UTF-8''Bericht%20%C3%BCber%20%E2%82%AC.pdf");
  EXPECT_EQ(ContentDispositionFor(false, "a;b=c,d'e.txt"),
            "inline;filename=\"a;b=c,d'e.txt\"; filename*=UTF-8''a%3Bb%3Dc%2Cd%27e.txt");
}

TEST_F(DownloadTest, CacheFilesAreNeverStoredOrAllowedToRunScript) {
  Start();
  TIWApplication* session = table_.TakeOut(*TableKeyOfId(session_id_));
  const std::filesystem::path dir = session->CacheDirectory();
  const std::string url = session->CacheURL() + "print.htm";
  table_.PutBack(session);
  WriteFile(dir / "print.htm", "<p>copy</p>");
  const HttpResponse answer = Send(Request("GET", url));
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.body, "<p>copy</p>");
  EXPECT_EQ(answer.Header("Cache-Control"), "private, no-store");
  const std::string policy = answer.Header("Content-Security-Policy");
  EXPECT_NE(policy.find("default-src 'none'"), std::string::npos) << policy;
  EXPECT_NE(policy.find("sandbox"), std::string::npos) << policy;
  EXPECT_EQ(policy.find("allow-scripts"), std::string::npos) << policy;
  EXPECT_EQ(policy.find("script-src"), std::string::npos) << policy;
}

}  // namespace
}  // namespace kestrune::testing
