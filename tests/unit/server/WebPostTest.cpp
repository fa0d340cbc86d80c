#include "server/WebPost.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/Http.h"
#include "platform/Text.h"
#include "support/LoopbackServer.h"
#include "support/TestSupport.h"

namespace kdht {
namespace {

using testing::Answer;
using testing::LoopbackServer;
using testing::SeenRequest;

constexpr const char* kRequest = "wpdcmgetdeskheraldtemplate";

class WebPostTest : public testing::SandboxTest {
 protected:
  WebPostTest() { testing::SetIdentity(rs_, "11", "22", "33"); }

  void ConfigureUrl(const std::string& section, const std::string& line) {
    WriteFile("Configuration\\kScriptDNS.ini", "[" + section + "]\r\n" + line + "\r\n");
  }

  std::string Post(std::string xml, std::string url, std::string* errorText) {
    return WebPost(rs_, xml, url, *errorText);
  }
};

TEST(ShapeServerUrl, FollowsTheTrailingSlashRule) {
  struct Case {
    const char* configured;
    const char* expected;
  };
  const Case cases[] = {
      {"http://srv/app", "http://srv/app/"},
      {"  http://srv/app  ", "http://srv/app/"},  // trimmed because it does not end in "/"
      {"http://srv/app/", "http://srv/app/"},
      {"  http://srv/app/", "  http://srv/app/"},  // ends in "/": kept with its blanks
      {"http://srv/app/ ", "http://srv/app//"},    // the last character is a blank
      {"", "/"},
      {"   ", "/"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ShapeServerUrl(c.configured), c.expected) << "[" << c.configured << "]";
  }
}

TEST_F(WebPostTest, BuildRequestUrlSetsServerUrlAndAppendsTheIdentity) {
  ConfigureUrl(kRequest, "URL=http://127.0.0.1:8080/dcm");
  const std::string url = BuildRequestUrl(rs_, kRequest);
  EXPECT_EQ(rs_.ServerUrl, "http://127.0.0.1:8080/dcm/");
  EXPECT_EQ(url, "http://127.0.0.1:8080/dcm/tfr_wpdcmgetdeskheraldtemplate.asp?mmid=11&sid=22&rid=33&rty=RORI");
  EXPECT_EQ(LogMessages(), (std::vector<std::string>{
                               "MSG : Getting URL from kScriptDNS.ini wpdcmgetdeskheraldtemplate section ",
                               "MSG : URL : http://127.0.0.1:8080/dcm",
                           }));
}

TEST_F(WebPostTest, MissingUrlIsLoggedAndTheUrlStartsWithSlash) {
  ConfigureUrl("othersection", "URL=http://127.0.0.1/");
  const std::string url = BuildRequestUrl(rs_, "wpdcmscriptdetails");
  EXPECT_EQ(rs_.ServerUrl, "/");
  EXPECT_EQ(url, "/tfr_wpdcmscriptdetails.asp?mmid=11&sid=22&rid=33&rty=RORI");
  EXPECT_TRUE(Logged("MSG : URL : "));
  EXPECT_TRUE(Logged("ERR: Unable to find url in wpdcmscriptdetails"));
}

TEST_F(WebPostTest, SuccessfulPostReturnsTheReplyAndSendsUtf8Xml) {
  LoopbackServer server(Answer::Status(200, "OK", "<reply>fine</reply>"));
  const std::string xml = "<wpdcmgetdeskheraldtemplate><name>caf\xC3\xA9</name></wpdcmgetdeskheraldtemplate>";
  const std::string url = server.Url("/tfr_wpdcmgetdeskheraldtemplate.asp?mmid=11&sid=22&rid=33&rty=RORI");
  std::string error = "earlier failure";

  EXPECT_EQ(Post(xml, url, &error), "<reply>fine</reply>");
  EXPECT_EQ(error, "earlier failure");  // written only when a post fails

  ASSERT_EQ(server.RequestCount(), 1);
  const SeenRequest seen = server.Requests()[0];
  EXPECT_EQ(seen.method, "POST");
  EXPECT_EQ(seen.target, "/tfr_wpdcmgetdeskheraldtemplate.asp?mmid=11&sid=22&rid=33&rty=RORI");
  EXPECT_EQ(seen.body, xml);
  EXPECT_TRUE(text::StartsWith(seen.Header("Content-Type"), "text/xml")) << seen.Header("Content-Type");
  EXPECT_EQ(LogMessages(), (std::vector<std::string>{
                               "MSG : Webpost string : " + xml,
                               "MSG : Webpost url : " + url,
                               "MSG : WebPost Return Status: <reply>fine</reply>",
                           }));
}

TEST_F(WebPostTest, ServerErrorIsTriedThreeTimesAndJoinedIntoTheErrorText) {
  LoopbackServer server(
      [](const SeenRequest&, int) { return Answer::Status(500, "Internal Server Error", "<html>broken</html>"); });
  const std::string url = server.Url("/tfr_wpdcmregidtmplveriu.asp?mmid=1&sid=2&rid=3&rty=RORI");
  std::string error;

  // The error page is not the server's answer: a report compared with "1" must not pass on it.
  EXPECT_EQ(Post("<x/>", url, &error), "");
  EXPECT_EQ(server.RequestCount(), 3);
  EXPECT_EQ(error, "500-Internal Server Error - " + url);
  EXPECT_TRUE(Logged("MSG : WebPost Return Status: "));
  EXPECT_TRUE(Logged("ERR : WebPost Failed : 500-Internal Server Error - " + url));
}

TEST_F(WebPostTest, HugeReplyIsAFailedPostNotACrash) {
  // Announces 80 MB; the client must refuse it from the headers, without reading it all.
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 83886080\r\nConnection: close\r\n\r\n";
  LoopbackServer server(Answer::Raw(head + std::string(1 << 20, '<')));
  const std::string url = server.Url("/tfr_a.asp");
  std::string error;
  EXPECT_EQ(Post("<x/>", url, &error), "");
  EXPECT_EQ(server.RequestCount(), 3);
  EXPECT_EQ(error, "223-The reply is larger than the limit of 8388608 bytes - " + url);
}

TEST_F(WebPostTest, RetryStopsAtTheFirstAcceptedPost) {
  LoopbackServer server([](const SeenRequest&, int index) {
    return index < 2 ? Answer::Status(503, "Service Unavailable", "") : Answer::Status(200, "OK", "1");
  });
  std::string error = "kept";
  EXPECT_EQ(Post("<x/>", server.Url("/tfr_a.asp"), &error), "1");
  EXPECT_EQ(server.RequestCount(), 3);
  EXPECT_EQ(error, "kept");
  EXPECT_EQ(CountLogged("ERR : WebPost Failed"), 0);
}

TEST_F(WebPostTest, TransportFailuresGiveNumberTextAndUrl) {
  struct Case {
    const char* name;
    std::string url;
    const char* number;  // nullptr: any WinHTTP code
  };
  const Case cases[] = {
      {"connection refused", "http://127.0.0.1:" + std::to_string(testing::UnusedLoopbackPort()) + "/tfr_a.asp?x=1",
       "12029"},
      {"URL without server", "/tfr_wpdcmscriptdetails.asp?mmid=11&sid=22&rid=33&rty=RORI", nullptr},
      {"unsupported scheme", "ftp://127.0.0.1/tfr_a.asp", nullptr},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_EQ(Post("<x/>", c.url, &error), "") << c.name;
    const size_t dash = error.find('-');
    ASSERT_NE(dash, std::string::npos) << c.name << ": " << error;
    const std::string number = error.substr(0, dash);
    ASSERT_FALSE(number.empty()) << c.name;
    EXPECT_EQ(number.find_first_not_of("0123456789"), std::string::npos) << c.name << ": " << error;
    const long code = std::stol(number);
    if (c.number != nullptr) {
      EXPECT_EQ(number, c.number) << c.name;
    }
    EXPECT_TRUE(code > 12000 && code < 12200) << c.name << ": " << error;
    EXPECT_EQ(error, number + "-" + platform::HttpErrorText(static_cast<std::uint32_t>(code)) + " - " + c.url)
        << c.name;
    EXPECT_GT(error.size(), number.size() + 1 + 3 + c.url.size()) << "no description: " << error;
    EXPECT_TRUE(Logged("ERR : WebPost Failed : " + error)) << c.name;
  }
}

TEST_F(WebPostTest, ReplyThatIsNotUtf8IsReadInTheSystemCodePage) {
  const std::string latin = "Caf\xE9 na\xEFve";
  LoopbackServer server(Answer::Status(200, "OK", latin));
  std::string error;
  const std::string reply = Post("<x/>", server.Url("/tfr_a.asp"), &error);
  EXPECT_EQ(reply, platform::AnsiToUtf8(latin));
  EXPECT_NE(reply, latin);
  EXPECT_TRUE(error.empty());
}

TEST(DecodeReplyText, KeepsUtf8AndConvertsEverythingElse) {
  struct Case {
    const char* name;
    std::string bytes;
    bool utf8;
  };
  const Case cases[] = {
      {"ascii", "1", true},
      {"empty", "", true},
      {"two-byte", "caf\xC3\xA9", true},
      {"three-byte", "\xE2\x82\xAC 5", true},
      {"four-byte", "\xF0\x9F\x98\x80", true},
      {"latin-1 byte", "caf\xE9", false},
      {"lone continuation", "a\x80z", false},
      {"overlong slash", "\xC0\xAF", false},
      {"overlong three-byte", "\xE0\x80\xAF", false},
      {"surrogate", "\xED\xA0\x80", false},
      {"beyond unicode", "\xF4\x90\x80\x80", false},
      {"truncated at end", "abc\xE2\x82", false},
  };
  for (const Case& c : cases) {
    const std::string expected = c.utf8 ? c.bytes : platform::AnsiToUtf8(c.bytes);
    EXPECT_EQ(DecodeReplyText(c.bytes), expected) << c.name;
  }
  EXPECT_EQ(DecodeReplyText("\xEF\xBB\xBF" "1"), "1");
}

}  // namespace
}  // namespace kdht
