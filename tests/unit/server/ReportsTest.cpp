#include "server/Reports.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "core/RunState.h"
#include "platform/Dispatch.h"
#include "platform/FileSystem.h"
#include "platform/Profile.h"
#include "platform/Text.h"
#include "platform/Xml.h"
#include "support/LoopbackServer.h"
#include "support/TestSupport.h"

namespace kdht {
namespace {

using platform::LocalTime;
using testing::Answer;
using testing::LoopbackServer;
using testing::SeenRequest;

const LocalTime kScan{2025, 12, 7, 7, 10, 0};

void FillIdentity(RunState& rs) {
  testing::SetIdentity(rs, "1001", "2002", "1234");
  rs.TempId = "55";
  rs.TempVer = "7";
  rs.ExeVersion = "1.2.40000.7";
}

TEST(ReportXml, SuccessReportHasTheFixedShape) {
  RunState rs;
  FillIdentity(rs);
  EXPECT_EQ(SuccessReportXml(rs, kScan),
            "<wpdcmregidtmplveriu><mmid>1001</mmid><siteid>2002</siteid><regid>1234</regid><tempid>55</tempid>"
            "<tempver>7</tempver><exever>1.2.40000.7</exever><scandt>12/07/2025 07:10:00 </scandt>"
            "</wpdcmregidtmplveriu>");
}

TEST(ReportXml, FailureReportHasTheFixedShape) {
  RunState rs;
  FillIdentity(rs);
  rs.sStatus = "Unable to load Template xml";
  EXPECT_EQ(FailureReportXml(rs, kScan),
            "<wpdcmtmplupdfailiu><mmid>1001</mmid><siteid>2002</siteid><regid>1234</regid><tempid>55 </tempid>"
            "<tempver>7</tempver><exever>1.2.40000.7</exever><scandt>12/07/2025 07:10:00</scandt>"
            "<faildesc>Unable to load Template xml</faildesc></wpdcmtmplupdfailiu>");
}

TEST(ReportXml, MarkupCharactersInValuesStillMakeWellFormedReports) {
  platform::ComApartment com;
  RunState rs;
  FillIdentity(rs);
  rs.TempId = "5<5";
  rs.sStatus = "File not found : C:\\A&B\\<kRSSUpd>.exe";
  struct Case {
    const char* name;
    std::string xml;
  };
  const Case cases[] = {{"success", SuccessReportXml(rs, kScan)}, {"failure", FailureReportXml(rs, kScan)}};
  for (const Case& c : cases) {
    platform::XmlDocument doc = platform::XmlDocument::CreateByProgId("Msxml2.DOMDocument");
    ASSERT_TRUE(doc.LoadXml(c.xml)) << c.name << ": " << c.xml;
    EXPECT_EQ(text::Trim(doc.SelectSingle("/*/tempid")->Text()), "5<5") << c.name;
  }
  platform::XmlDocument doc = platform::XmlDocument::CreateByProgId("Msxml2.DOMDocument");
  ASSERT_TRUE(doc.LoadXml(FailureReportXml(rs, kScan)));
  EXPECT_EQ(doc.SelectSingle("/wpdcmtmplupdfailiu/faildesc")->Text(), rs.sStatus);
}

TEST(PostFileNameTest, NamesTheRequestTheRegistrationAndTheTime) {
  EXPECT_EQ(PostFileName("wpdcmtmplupdfailiu", "1234", kScan),
            "wpdcmtmplupdfailiu_N_1234_wpdcmtmplupdfailiu_12072025071000.txt");
  EXPECT_EQ(PostFileName("wpdcmregidtmplveriu", "9", LocalTime{2026, 1, 2, 23, 4, 5}),
            "wpdcmregidtmplveriu_N_9_wpdcmregidtmplveriu_01022026230405.txt");
  // A registration id cannot lead the file out of its folder.
  const std::string hostile = PostFileName("wpdcmregidtmplveriu", "..\\..\\x/y:z", kScan);
  EXPECT_EQ(hostile.find_first_of("\\/:"), std::string::npos) << hostile;
}

TEST(ReportDueTest, FollowsTheStatusRule) {
  const LocalTime now{2025, 12, 7, 10, 30, 0};
  struct Case {
    const char* name;
    std::string lastRun, storedId, storedVer;
    bool due;
  };
  const Case cases[] = {
      {"no stored time", "", "55", "7", true},
      {"garbage time", "yesterday-ish", "55", "7", true},
      {"impossible date", "02/30/2025 10:00:00", "55", "7", true},
      {"10:59 yesterday: 24 boundaries", "12/06/2025 10:59:00", "55", "7", true},
      {"11:01 yesterday: 23 boundaries", "12/06/2025 11:01:00", "55", "7", false},
      {"an hour ago", "12/07/2025 09:31:00", "55", "7", false},
      {"a week ago", "11/30/2025 10:30:00", "55", "7", true},
      {"later today: the clock went back", "12/07/2025 11:00:00", "55", "7", true},
      {"next year", "01/01/2026 00:00:00", "55", "7", true},
      {"template id changed", "12/07/2025 09:00:00", "54", "7", true},
      {"template version changed", "12/07/2025 09:00:00", "55", "8", true},
      {"stored id with blanks", "12/07/2025 09:00:00", "  55 ", " 7", false},
      {"stored id missing", "12/07/2025 09:00:00", "", "7", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReportDue(c.lastRun, c.storedId, c.storedVer, "55", "7", now), c.due) << c.name;
  }
  // Case matters for the template comparison.
  EXPECT_TRUE(ReportDue("12/07/2025 09:00:00", "abc", "7", "ABC", "7", now));
  // Across a year end: 23:59 on 31 December to 23:00 on 1 January is 24 boundaries.
  EXPECT_TRUE(ReportDue("12/31/2025 23:59:00", "55", "7", "55", "7", LocalTime{2026, 1, 1, 23, 0, 0}));
  EXPECT_FALSE(ReportDue("12/31/2025 23:59:00", "55", "7", "55", "7", LocalTime{2026, 1, 1, 22, 59, 0}));
}

class ReportsTest : public testing::SandboxTest {
 protected:
  ReportsTest() {
    FillIdentity(rs_);
    rs_.Now = [this] { return now_; };
    platform::MakeSureDirectoryPathExists(rs_.InstallPath + "kXPR\\");
  }

  std::string StatusFile() const { return rs_.InstallPath + "kXPR\\kDHTStatus.ini"; }
  std::string Stored(const std::string& key) const {
    return platform::ProfileString("kDHT", key, StatusFile(), 255);
  }

  void PointReportsAt(const LoopbackServer& server) {
    WriteFile("Configuration\\kScriptDNS.ini", "[wpdcmregidtmplveriu]\r\nURL=" + server.Url("/dcm") +
                                                   "\r\n[wpdcmtmplupdfailiu]\r\nURL=" + server.Url("/dcm/") + "\r\n");
  }

  std::vector<std::string> PostFiles() const {
    const std::string folder = rs_.InstallPath + "XPRPostLogs";
    return platform::FolderExists(folder) ? platform::ListFiles(folder) : std::vector<std::string>{};
  }

  LocalTime now_{2025, 12, 7, 10, 30, 0};
};

TEST_F(ReportsTest, MissingStatusFileMakesAReportDueAndRecordsAllFourKeys) {
  rs_.sStatus.clear();
  EXPECT_TRUE(UpdateStatus(rs_));
  EXPECT_EQ(Stored("LastRunDateTime"), "12/07/2025 10:30:00");
  EXPECT_EQ(Stored("TempId"), "55");
  EXPECT_EQ(Stored("TempVer"), "7");
  EXPECT_EQ(Stored("Status"), "SUCCESS");
}

TEST_F(ReportsTest, GarbageStatusFileMakesAReportDueAndRecordsTheFailure) {
  WriteFile("kXPR\\kDHTStatus.ini", "\x01\xFF garbage\r\n[kDHT\r\nLastRunDateTime=soon\r\n");
  rs_.sStatus = "Unable to load Template xml";
  EXPECT_TRUE(UpdateStatus(rs_));
  EXPECT_EQ(Stored("LastRunDateTime"), "12/07/2025 10:30:00");
  EXPECT_EQ(Stored("Status"), "FAILED");
}

TEST_F(ReportsTest, StatusFileIsRewrittenOnlyWhenAReportIsDue) {
  struct Case {
    const char* name;
    std::string lastRun, storedId;
    bool due;
  };
  const Case cases[] = {
      {"23 boundaries, same template", "12/06/2025 11:01:00", "55", false},
      {"24 boundaries", "12/06/2025 10:59:00", "55", true},
      {"future time", "12/08/2025 10:00:00", "55", true},
      {"template changed", "12/07/2025 10:00:00", "54", true},
  };
  for (const Case& c : cases) {
    const std::string original = "[kDHT]\r\nLastRunDateTime=" + c.lastRun + "\r\nTempId=" + c.storedId +
                                 "\r\nTempVer=7\r\nStatus=SUCCESS\r\n";
    WriteFile("kXPR\\kDHTStatus.ini", original);
    EXPECT_EQ(UpdateStatus(rs_), c.due) << c.name;
    if (c.due) {
      EXPECT_EQ(Stored("LastRunDateTime"), "12/07/2025 10:30:00") << c.name;
      EXPECT_EQ(Stored("TempId"), "55") << c.name;
    } else {
      EXPECT_EQ(ReadFile("kXPR\\kDHTStatus.ini"), original) << c.name;
    }
  }
}

TEST_F(ReportsTest, PostFileHoldsTheReportAndOneLineEnd) {
  std::string xml = "<wpdcmtmplupdfailiu><faildesc>caf\xC3\xA9</faildesc></wpdcmtmplupdfailiu>";
  std::string request = "wpdcmtmplupdfailiu";
  now_ = LocalTime{2025, 12, 7, 7, 10, 0};
  WpFileXPRPostLogs(rs_, xml, request);

  const std::string name = "wpdcmtmplupdfailiu_N_1234_wpdcmtmplupdfailiu_12072025071000.txt";
  EXPECT_EQ(PostFiles(), std::vector<std::string>{name});
  EXPECT_EQ(ReadFile("XPRPostLogs\\" + name), platform::Utf8ToAnsi(xml) + "\r\n");
  EXPECT_TRUE(Exists("Configuration"));
  EXPECT_TRUE(Logged("MSG : Creating webpost file  " + name + " in XPRPostLogs folder"));

  // The same name again overwrites.
  std::string second = "<wpdcmtmplupdfailiu/>";
  WpFileXPRPostLogs(rs_, second, request);
  EXPECT_EQ(ReadFile("XPRPostLogs\\" + name), second + "\r\n");
}

TEST_F(ReportsTest, AcceptedSuccessReportLeavesNoPostFile) {
  LoopbackServer server(Answer::Status(200, "OK", "1"));
  PointReportsAt(server);
  WPSuccess(rs_);

  ASSERT_EQ(server.RequestCount(), 1);
  const SeenRequest seen = server.Requests()[0];
  EXPECT_EQ(seen.target, "/dcm/tfr_wpdcmregidtmplveriu.asp?mmid=1001&sid=2002&rid=1234&rty=RORI");
  EXPECT_EQ(seen.body, SuccessReportXml(rs_, now_));
  EXPECT_EQ(rs_.PostXml, seen.body);
  EXPECT_EQ(rs_.ServerUrl, server.Url("/dcm/"));
  EXPECT_TRUE(PostFiles().empty());
}

TEST_F(ReportsTest, ReportNotAnsweredWithExactlyOneIsSavedAsAPostFile) {
  for (const std::string reply : {"1 ", "0", ""}) {
    LoopbackServer server(Answer::Status(200, "OK", reply));
    PointReportsAt(server);
    rs_.sStatus = "Script & <data> failed";
    WPFailure(rs_);
    EXPECT_EQ(server.RequestCount(), 1) << "[" << reply << "]";
    const std::string name = PostFileName("wpdcmtmplupdfailiu", "1234", now_);
    EXPECT_EQ(PostFiles(), std::vector<std::string>{name}) << "[" << reply << "]";
    EXPECT_EQ(ReadFile("XPRPostLogs\\" + name), FailureReportXml(rs_, now_) + "\r\n");
    platform::DeleteFolderTree(rs_.InstallPath + "XPRPostLogs", true);
  }
}

TEST_F(ReportsTest, OutcomePopupOnlyForTheDesktopApplication) {
  LoopbackServer server(Answer::Status(200, "OK", "1"));
  PointReportsAt(server);
  struct Case {
    const char* commandWord;
    bool popup;
  };
  for (const Case& c : {Case{"", false}, Case{"DHX", false}, Case{"dh", true}, Case{"DH", true}}) {
    ClearLog();
    rs_.CommandWord = c.commandWord;
    WPSuccess(rs_);
    const std::vector<std::string> log = LogMessages();
    ASSERT_FALSE(log.empty()) << c.commandWord;
    EXPECT_EQ(CountLogged("MSg : In fncCallPopup"), c.popup ? 1 : 0) << c.commandWord;
    const auto posted = std::find(log.begin(), log.end(), "MSG : WebPost Return Status: 1");
    ASSERT_NE(posted, log.end()) << c.commandWord;
    if (c.popup) {
      // The popup tells the outcome, so it follows the post.
      EXPECT_NE(std::find(posted, log.end(), "MSg : In fncCallPopup"), log.end()) << c.commandWord;
    } else {
      EXPECT_EQ(posted + 1, log.end()) << c.commandWord;
    }
  }
}

TEST_F(ReportsTest, FailedPostIsSavedAndLeavesTheErrorText) {
  WriteFile("Configuration\\kScriptDNS.ini",
            "[wpdcmregidtmplveriu]\r\nURL=http://127.0.0.1:" + std::to_string(testing::UnusedLoopbackPort()) + "\r\n");
  WPSuccess(rs_);
  EXPECT_TRUE(text::StartsWith(rs_.PostError, "12029-")) << rs_.PostError;
  EXPECT_EQ(PostFiles().size(), 1u);
  EXPECT_EQ(CountLogged("ERR : WebPost Failed : "), 1);
}

}  // namespace
}  // namespace kdht
