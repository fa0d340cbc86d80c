#include "server/Download.h"

#include <gtest/gtest.h>

#include "core/RunState.h"
#include "platform/Dispatch.h"
#include "platform/Registry.h"
#include "platform/Text.h"
#include "support/LoopbackServer.h"
#include "support/TestSupport.h"

namespace kdht {
namespace {

using testing::Answer;
using testing::LoopbackServer;
using testing::SeenRequest;

// "agent" and "s3cr&t" in the agent's encoding.
constexpr const char* kEncodedUser = "97H103H101H110H116";
constexpr const char* kEncodedPassword = "115H51H99H114H38H116";

class DownloadTest : public testing::SandboxTest {
 protected:
  std::string Dest(const std::string& relative) const { return rs_.InstallPath + relative; }
  std::string IniPath() const { return rs_.InstallPath + "VORNMobile.ini"; }

  bool Xml(std::string url, std::string destination) { return XmlDownload(rs_, url, destination); }
};

TEST_F(DownloadTest, DecryptStringTable) {
  struct Case {
    const char* encoded;
    std::string plain;
    const char* error;  // the log line, or nullptr
  };
  const Case cases[] = {
      {"97H98H99", "abc", nullptr},
      {"", "", nullptr},
      {"65", "A", nullptr},
      {"112H64H115H115H33", "p@ss!", nullptr},
      {"97H", "", "ERR : DecryptString 13 Type mismatch"},
      {"H97", "", "ERR : DecryptString 13 Type mismatch"},
      {"97HH98", "", "ERR : DecryptString 13 Type mismatch"},
      {"97h98", "", "ERR : DecryptString 13 Type mismatch"},  // the separator is a capital H
      {"9x7", "", "ERR : DecryptString 13 Type mismatch"},
      {"-5", "", "ERR : DecryptString 13 Type mismatch"},
      {"256", "", "ERR : DecryptString 5 Invalid procedure call or argument"},
      {"97H99999999999", "", "ERR : DecryptString 13 Type mismatch"},
  };
  for (const Case& c : cases) {
    ClearLog();
    EXPECT_EQ(DecryptString(rs_, c.encoded), c.plain) << c.encoded;
    if (c.error != nullptr) {
      EXPECT_EQ(LogMessages(), std::vector<std::string>{c.error}) << c.encoded;
    } else {
      EXPECT_TRUE(LogMessages().empty()) << c.encoded;
    }
  }
  // Codes above 127 are characters of the system code page.
  EXPECT_EQ(DecryptString(rs_, "233"), platform::AnsiToUtf8("\xE9"));
}

TEST_F(DownloadTest, StatusOkReplacesALongerFileWithExactlyTheBody) {
  const std::string body("\x89PNG\r\n\x1A\n\x00\xFF tail", 16);
  LoopbackServer server(Answer::Status(200, "OK", body));
  WriteFile("kXPR\\Herald\\icon.png", std::string(5000, 'o'));
  const std::string url = server.Url("/files/icon.png");

  EXPECT_TRUE(Xml(url, Dest("kXPR\\Herald\\icon.png")));
  EXPECT_EQ(ReadFile("kXPR\\Herald\\icon.png"), body);
  ASSERT_EQ(server.RequestCount(), 1);
  EXPECT_EQ(server.Requests()[0].method, "GET");
  EXPECT_EQ(server.Requests()[0].target, "/files/icon.png");
  EXPECT_EQ(LogMessages(), (std::vector<std::string>{
                               "MSG : Downloading using xmlhttp : " + url + " to " + Dest("kXPR\\Herald\\icon.png"),
                               "MSG : File not found : " + IniPath(),
                               "MSG : Downloaded Successsfully",
                           }));
}

TEST_F(DownloadTest, StatusOtherThanOkWritesNothing) {
  for (int status : {404, 500, 403}) {
    LoopbackServer server(Answer::Status(status, "Nope", "error page"));
    ClearLog();
    EXPECT_FALSE(Xml(server.Url("/files/x.ico"), Dest("x.ico"))) << status;
    EXPECT_FALSE(Exists("x.ico")) << status;
    EXPECT_TRUE(Logged("MSG : Download Failed   ")) << status;
  }
}

TEST_F(DownloadTest, MissingDestinationFolderIsALoggedFailure) {
  LoopbackServer server(Answer::Status(200, "OK", "data"));
  EXPECT_FALSE(Xml(server.Url("/files/x.ico"), Dest("no\\such\\folder\\x.ico")));
  const std::vector<std::string> log = LogMessages();
  ASSERT_FALSE(log.empty());
  EXPECT_TRUE(text::StartsWith(log.back(), "ERR : 3 (")) << log.back();
  EXPECT_TRUE(text::EndsWith(log.back(), ") line 50 in procedure XmlDownload of Module ModFunctions")) << log.back();
}

TEST_F(DownloadTest, NamedProxyGetsTheRequestAndTheDecodedCredentials) {
  LoopbackServer proxy([](const SeenRequest& r, int) {
    if (r.Header("Proxy-Authorization").empty()) {
      return Answer::Status(407, "Proxy Authentication Required", "",
                            "Proxy-Authenticate: Basic realm=\"agent\"\r\n");
    }
    return Answer::Status(200, "OK", "via proxy");
  });
  WriteFile("VORNMobile.ini", "[ProxySettings]\r\nProxyIP=127.0.0.1\r\nProxyPort=" + std::to_string(proxy.port()) +
                                  "\r\nProxyUsername=" + kEncodedUser + "\r\nProxyPassword=" +
                                  kEncodedPassword + "\r\n");
  // Nothing listens on the origin: only the proxy can answer.
  const std::string origin = "127.0.0.1:" + std::to_string(testing::UnusedLoopbackPort());
  const std::string url = "http://" + origin + "/files/a.ico";
  // Windows names the whole URL to the proxy; Wine's WinHTTP sends the path and the Host.
  const auto forOrigin = [&](const SeenRequest& r) {
    return (r.target == url || r.target == "/files/a.ico") && r.Header("Host") == origin;
  };

  ASSERT_TRUE(Xml(url, Dest("a.ico"))) << testing::JoinLines(LogMessages());
  EXPECT_EQ(ReadFile("a.ico"), "via proxy");
  const std::vector<SeenRequest> seen = proxy.Requests();
  // The first request goes out without credentials; the proxy's challenge is answered (Wine's
  // WinHTTP takes one more round for it than Windows does).
  ASSERT_GE(seen.size(), 2u);
  ASSERT_LE(seen.size(), 3u);
  EXPECT_TRUE(forOrigin(seen[0])) << seen[0].target;
  EXPECT_TRUE(seen[0].Header("Proxy-Authorization").empty());
  EXPECT_TRUE(forOrigin(seen.back())) << seen.back().target;
  EXPECT_EQ(seen.back().Header("Proxy-Authorization"), "Basic YWdlbnQ6czNjciZ0"  /* agent:s3cr&t */);
  EXPECT_TRUE(Logged("MSG : Reading ProxySettings from " + IniPath()));
  EXPECT_TRUE(Logged("MSG : ProxyIP=127.0.0.1"));
  EXPECT_TRUE(Logged("MSG : ProxyPort=" + std::to_string(proxy.port())));
  EXPECT_TRUE(Logged("MSG : ProxyUserName=agent"));
  for (const std::string& line : LogMessages()) {
    EXPECT_EQ(line.find("s3cr"), std::string::npos) << "password logged: " << line;
    EXPECT_EQ(line.find(kEncodedPassword), std::string::npos) << "encoded password logged: " << line;
  }
}

TEST_F(DownloadTest, ProxyRefusingTheCredentialsFailsTheDownload) {
  LoopbackServer proxy([](const SeenRequest&, int) {
    return Answer::Status(407, "Proxy Authentication Required", "denied",
                          "Proxy-Authenticate: Basic realm=\"agent\"\r\n");
  });
  WriteFile("VORNMobile.ini", "[ProxySettings]\r\nProxyIP=127.0.0.1\r\nProxyPort=" + std::to_string(proxy.port()) +
                                  "\r\nProxyUsername=\r\nProxyPassword=\r\n");
  const std::string url = "http://127.0.0.1:" + std::to_string(testing::UnusedLoopbackPort()) + "/files/f.ico";
  EXPECT_FALSE(Xml(url, Dest("f.ico")));
  EXPECT_FALSE(Exists("f.ico"));
  EXPECT_TRUE(Logged("MSG : Download Failed   ")) << testing::JoinLines(LogMessages());
  EXPECT_GE(proxy.RequestCount(), 1);
  EXPECT_LE(proxy.RequestCount(), 3);
}

TEST_F(DownloadTest, EmptyProxyHostMeansADirectRequest) {
  LoopbackServer server(Answer::Status(200, "OK", "direct"));
  WriteFile("VORNMobile.ini",
            "[ProxySettings]\r\nProxyIP=\r\nProxyPort=1\r\nProxyUsername=97\r\nProxyPassword=98\r\n");
  ASSERT_TRUE(Xml(server.Url("/files/b.ico"), Dest("b.ico")));
  ASSERT_EQ(server.RequestCount(), 1);
  EXPECT_EQ(server.Requests()[0].target, "/files/b.ico");
  EXPECT_TRUE(server.Requests()[0].Header("Proxy-Authorization").empty());
  EXPECT_TRUE(Logged("MSG : ProxyIP="));
  EXPECT_TRUE(Logged("MSG : ProxyUserName=a"));
}

TEST_F(DownloadTest, DownloadFileContentTrimsItsArgumentsAndStopsAtTheFirstMethod) {
  LoopbackServer server(Answer::Status(200, "OK", "icon"));
  std::string url = std::string("  ").append(server.Url("/files/c.ico")).append(" ");
  std::string destination = std::string(" ").append(Dest("c.ico")).append("  ");
  EXPECT_TRUE(DownloadFileContent(rs_, url, destination));
  EXPECT_EQ(url, server.Url("/files/c.ico"));
  EXPECT_EQ(destination, Dest("c.ico"));
  EXPECT_EQ(server.RequestCount(), 1);
  EXPECT_EQ(LogMessages().back(), "MSG : Successfully downloaded to " + Dest("c.ico"));
}

TEST_F(DownloadTest, SystemDownloadTakesOverWhenTheFirstMethodFails) {
  LoopbackServer server([](const SeenRequest&, int index) {
    return index == 0 ? Answer::Status(404, "Not Found", "") : Answer::Status(200, "OK", "second try");
  });
  std::string url = server.Url("/files/e.ico");
  std::string destination = Dest("e.ico");
  EXPECT_TRUE(DownloadFileContent(rs_, url, destination)) << testing::JoinLines(LogMessages());
  EXPECT_EQ(ReadFile("e.ico"), "second try");
  const std::vector<std::string> log = LogMessages();
  const std::vector<std::string> tail(log.end() - 3, log.end());
  EXPECT_EQ(tail, (std::vector<std::string>{
                      "MSG : Download Failed   ",
                      "MSG : Downloading Using API from URL : " + url,
                      "MSG : Successfully downloaded to " + destination,
                  }));
}

TEST_F(DownloadTest, EveryMethodFailingEndsFalseAfterBoundedRegistrationTries) {
  platform::ComApartment com;
  // Other test binaries share the prefix and may have registered the stand-in component.
  for (auto view : {platform::RegView::Wow64, platform::RegView::Wow32}) {
    platform::DeleteRegTree(platform::Hive::LocalMachine, "Software\\Classes\\kDwnJob.JobDownload", view);
  }
  LoopbackServer server(Answer::Status(200, "OK", "icon"));
  std::string url = server.Url("/files/d.ico");
  std::string destination = Dest("missing\\d.ico");

  EXPECT_FALSE(DownloadFileContent(rs_, url, destination));
  EXPECT_FALSE(Exists("missing\\d.ico"));
  EXPECT_TRUE(Logged("MSG : Downloading Using API from URL : " + url));
  EXPECT_TRUE(Logged("ERR : Failed to download to " + destination));
  // The job-download component is not registered here: registration is started once.
  EXPECT_EQ(CountLogged("MSG : Registered Dll : " + rs_.InstallPath + "kDwnJob.dll"), 1);
  EXPECT_TRUE(rs_.JobDownloadRegistered);
  EXPECT_EQ(LogMessages().back(), "ERR : JobDownload. 429:ActiveX component can't create object");
}

TEST_F(DownloadTest, RegistrationOfTheJobComponentStartsOncePerRun) {
  RegisterDLLJobDwn(rs_);
  RegisterDLLJobDwn(rs_);
  EXPECT_EQ(LogMessages(), std::vector<std::string>{"MSG : Registered Dll : " + rs_.InstallPath + "kDwnJob.dll"});
}

}  // namespace
}  // namespace kdht
