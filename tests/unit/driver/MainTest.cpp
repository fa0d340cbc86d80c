// Whole runs in the test process against a loopback stand-in for the management server: how
// each way of ending a run comes about, what it logs and what it sends.
#include "driver/Main.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <regex>

#include "core/FileSys.h"
#include "core/RunState.h"
#include "platform/Dispatch.h"
#include "platform/FileSystem.h"
#include "platform/Shell.h"
#include "platform/Text.h"
#include "scripts/Seals.h"
#include "support/LoopbackServer.h"
#include "support/TestSupport.h"

namespace kdht {
namespace {

using testing::Answer;
using testing::LoopbackServer;
using testing::SeenRequest;

constexpr const char* kTemplatePage = "/tfr_wpdcmgetdeskheraldtemplate.asp";
constexpr const char* kSuccessPage = "/tfr_wpdcmregidtmplveriu.asp";
constexpr const char* kFailurePage = "/tfr_wpdcmtmplupdfailiu.asp";
constexpr const char* kNoNew =
    "<dcmgetdeskheraldtemplate><outstr>No New Template</outstr></dcmgetdeskheraldtemplate>";
constexpr const char* kTemplate =
    "<dcmgetdeskheraldtemplate><templateid>7</templateid><templatever>3</templatever><icon></icon>"
    "<rsssites></rsssites><rssupd>0</rssupd></dcmgetdeskheraldtemplate>";
constexpr const char* kEndLine = "MSG : Application Ended";

std::string ProgramBaseName() {
  const std::string name = FileSystemService::GetFileName(platform::ExecutablePath());
  return name.substr(0, name.rfind('.'));
}

class MainTest : public testing::SandboxTest {
 protected:
  MainTest()
      : server_([this](const SeenRequest& request, int) {
          if (request.Path() != kTemplatePage) return Answer::Status(200, "OK", "1");
          std::lock_guard<std::mutex> lock(replyMutex_);
          return reply_;
        }) {
    agent_.Set("InstallationPath", sandbox_.path());
    agent_.Set("RegID", "33");
    agent_.Set("MemberID", "11");
    agent_.Set("SiteID", "22");
    agent_.Set("Type", "RORI");
    std::string dns;
    for (const char* section : {"wpdcmgetdeskheraldtemplate", "wpdcmtesttoolgetdhtmpmemb", "wpdcmregidtmplveriu",
                                "wpdcmtmplupdfailiu"}) {
      dns += std::string("[") + section + "]\r\nURL=" + server_.Url("/") + "\r\n";
    }
    WriteFile("Configuration\\kScriptDNS.ini", dns);
    // The run names its log after the running program.
    rs_.LogFilePath = rs_.InstallPath + "ApplicationLog\\kXPRLog\\" + ProgramBaseName() + ".log";
  }

  void Reply(Answer answer) {
    std::lock_guard<std::mutex> lock(replyMutex_);
    reply_ = std::move(answer);
  }

  // One whole run, as the process's own entry runs it: the apartment held around the run's
  // state and entered when the run first needs it (a component created without entering it
  // fails, and with it the run's expectations).
  RunEnd RunOnce(const std::string& arguments = "") {
    platform::ComApartment com(platform::ComApartment::Entry::OnFirstUse);
    RunEnd end;
    {
      RunState rs;
      rs.Apartment = &com;
      rs.Arguments = [arguments] { return arguments; };
      end = Main(rs);
      runInstallPath_ = rs.InstallPath;
      documentCreated_ = rs.TemplateDocumentTried;
    }
    apartmentEntered_ = com.entered();
    return end;
  }

  std::vector<SeenRequest> RequestsTo(const std::string& page) const {
    std::vector<SeenRequest> out;
    for (const auto& r : server_.Requests()) {
      if (r.Path() == page) out.push_back(r);
    }
    return out;
  }

  // The run's log ends with the end-of-run steps: VirtualStore refresh, then the end line.
  void ExpectEndOfRunLines() const {
    const auto messages = LogMessages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), kEndLine);
    EXPECT_EQ(std::count(messages.begin(), messages.end(), std::string(kEndLine)), 1);
    EXPECT_EQ(CountLogged("MSG : UsersPath : "), 1);
  }

  testing::AgentKey agent_;
  std::mutex replyMutex_;
  Answer reply_ = Answer::Status(200, "OK", kNoNew);
  LoopbackServer server_;
  std::string runInstallPath_;
  bool documentCreated_ = false;
  bool apartmentEntered_ = false;
};

// ---- Silent ends ------------------------------------------------------------------------

TEST_F(MainTest, SecondInstanceEndsSilentlyAndTheLockGoesWithTheRun) {
  {
    platform::SingleInstance other("Global\\kDHT.Run." + platform::Upper(ProgramBaseName()));
    ASSERT_TRUE(other.acquired());
    EXPECT_EQ(RunOnce(), RunEnd::Silent);
    EXPECT_FALSE(platform::FileExists(rs_.LogFilePath));
    EXPECT_EQ(server_.RequestCount(), 0);
  }
  // Once the other instance is gone, runs in this same process go ahead one after another:
  // each releases the lock when it ends.
  EXPECT_EQ(RunOnce(), RunEnd::EndOfRun);
  EXPECT_EQ(RunOnce(), RunEnd::EndOfRun);
  EXPECT_EQ(RequestsTo(kTemplatePage).size(), 2u);
}

TEST_F(MainTest, MissingInstallFolderEndsSilently) {
  agent_.Set("InstallationPath", sandbox_.path() + "\\NoSuchFolder");
  EXPECT_EQ(RunOnce(), RunEnd::Silent);
  EXPECT_FALSE(platform::FileExists(rs_.LogFilePath));
  EXPECT_FALSE(Exists("NoSuchFolder"));
  EXPECT_EQ(server_.RequestCount(), 0);

  agent_.Remove("InstallationPath");
  EXPECT_EQ(RunOnce(), RunEnd::Silent);
  EXPECT_EQ(server_.RequestCount(), 0);
}

TEST_F(MainTest, LogThatCannotBeRecreatedEndsTheRunSilently) {
  // A file where the log folder belongs: the folder cannot be made, and neither can the log.
  platform::DeleteFolderTree(rs_.InstallPath + "ApplicationLog\\kXPRLog", true);
  WriteFile("ApplicationLog\\kXPRLog", "not a folder");
  EXPECT_EQ(RunOnce(), RunEnd::Silent);
  EXPECT_EQ(ReadFile("ApplicationLog\\kXPRLog"), "not a folder");
  EXPECT_FALSE(Exists("Scheduler INI"));
  EXPECT_EQ(server_.RequestCount(), 0);
}

// ---- Ends at start-up through the end-of-run steps --------------------------------------

TEST_F(MainTest, MissingIdentityEndsThroughTheEndOfRunBeforeTheNextValueIsRead) {
  agent_.Set("RegID", "abc");
  EXPECT_EQ(RunOnce(), RunEnd::EndOfRun);
  const auto messages = LogMessages();
  const auto at = std::find(messages.begin(), messages.end(), "ERR : RegId not found");
  ASSERT_NE(at, messages.end());
  EXPECT_EQ(*(at - 1), "MSG : RegId : abc");
  EXPECT_EQ(CountLogged("MSG : MemberId"), 0);
  ExpectEndOfRunLines();
  EXPECT_EQ(server_.RequestCount(), 0);
}

TEST_F(MainTest, StartUpFailureTakesTheErrorExitAndIsReported) {
  // A file in the way of the scheduler's request folder: creating the folder fails.
  WriteFile("Scheduler INI", "");
  EXPECT_EQ(RunOnce(), RunEnd::EndOfRun);
  const auto messages = LogMessages();
  const std::regex errorExit(R"(ERR : -?\d+ \(.+\) Erl 18 in procedure Main of Module modMain)");
  const auto exitLine = std::find_if(messages.begin(), messages.end(),
                                     [&](const std::string& m) { return std::regex_match(m, errorExit); });
  ASSERT_NE(exitLine, messages.end()) << testing::JoinLines(messages);
  EXPECT_EQ(CountLogged("MSG : CreateObject('msxml.DOMDocument')"), 0);
  ExpectEndOfRunLines();

  EXPECT_TRUE(RequestsTo(kTemplatePage).empty());
  const auto reports = RequestsTo(kFailurePage);
  ASSERT_EQ(reports.size(), 1u);
  const std::string reason = exitLine->substr(6, exitLine->find(" Erl ") - 6);
  EXPECT_NE(reports[0].body.find("<faildesc>" + text::XmlEscape(reason) + "</faildesc>"), std::string::npos)
      << reports[0].body;
}

// ---- Ends after the template request ----------------------------------------------------

TEST_F(MainTest, FailedPostEndsTheRunWithoutReport) {
  Reply(Answer::Status(500, "Internal Server Error", "<html>down</html>"));
  WriteFile("kXPR\\Herald\\keep.txt", "held");
  EXPECT_EQ(RunOnce(), RunEnd::EndOfRun);
  EXPECT_EQ(CountLogged("ERR : WebPost Failed : 500-"), 1);
  ExpectEndOfRunLines();
  EXPECT_EQ(server_.RequestCount(), 3);  // the post's own attempts, nothing else
  EXPECT_TRUE(Exists("kXPR\\Herald\\keep.txt"));
  EXPECT_FALSE(Exists("kXPR\\kDHTStatus.ini"));
}

TEST_F(MainTest, ExcludedMachineLosesTheFeatureAndReportsSuccess) {
  Reply(Answer::Status(200, "OK", "<dcmgetdeskheraldtemplate><outstr>Resource or Site Excluded</outstr>"
                                  "</dcmgetdeskheraldtemplate>"));
  WriteFile("kXPR\\Herald\\kDHMenu.xml", "<old/>");
  EXPECT_EQ(RunOnce(), RunEnd::EndOfRun);
  EXPECT_TRUE(Logged("MSG : Resource or site excluded"));
  EXPECT_TRUE(Logged("MSG : Deleting folder " + runInstallPath_ + "kXPR\\Herald\\"));
  ExpectEndOfRunLines();
  EXPECT_FALSE(Exists("kXPR\\Herald"));
  const auto reports = RequestsTo(kSuccessPage);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].body.find("<tempid>0</tempid><tempver>0</tempver>"), std::string::npos) << reports[0].body;
  EXPECT_TRUE(RequestsTo(kFailurePage).empty());
}

TEST_F(MainTest, TemplateNotForServersLosesTheFeatureWithoutReport) {
  Reply(Answer::Status(200, "OK", "<x><outstr>Template not applicable for server</outstr></x>"));
  WriteFile("kXPR\\Herald\\kDHMenu.xml", "<old/>");
  EXPECT_EQ(RunOnce(), RunEnd::EndOfRun);
  EXPECT_TRUE(Logged("MSG : Template Not Applicable for server"));
  ExpectEndOfRunLines();
  EXPECT_FALSE(Exists("kXPR\\Herald"));
  EXPECT_EQ(server_.RequestCount(), 1);
}

TEST_F(MainTest, NoNewTemplateEndsWithoutReportAndLeavesAnEmptyStagingFolder) {
  WriteFile("kXPR\\Herald\\Pre_kDHMenu.xml", "<staged by an earlier run/>");
  EXPECT_EQ(RunOnce(), RunEnd::EndOfRun);
  ExpectEndOfRunLines();
  EXPECT_EQ(server_.RequestCount(), 1);
  EXPECT_FALSE(Exists("kXPR\\Herald\\Pre_kDHMenu.xml"));
  EXPECT_TRUE(Exists("kXPR\\Herald\\PreProcessScripts"));
  EXPECT_TRUE(testing::FolderEntries(rs_.InstallPath + "kXPR\\Herald\\PreProcessScripts").empty());
  EXPECT_FALSE(Exists("kXPR\\kDHTStatus.ini"));
}

// ---- Ends after completion --------------------------------------------------------------

TEST_F(MainTest, EmptyReplyCompletesAndReportsSuccess) {
  Reply(Answer::Status(200, "OK", ""));
  EXPECT_EQ(RunOnce(), RunEnd::EndOfRun);
  EXPECT_TRUE(Logged("MSG : sStatus : "));
  ExpectEndOfRunLines();
  const auto reports = RequestsTo(kSuccessPage);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].body.find("<tempid>0</tempid><tempver>0</tempver>"), std::string::npos);
  EXPECT_TRUE(Exists("kXPR\\kDHTStatus.ini"));
}

TEST_F(MainTest, NewTemplateIsInstalledSealedReportedAndTrustedByTheNextRun) {
  Reply(Answer::Status(200, "OK", kTemplate));
  EXPECT_EQ(RunOnce(), RunEnd::EndOfRun);
  ExpectEndOfRunLines();
  EXPECT_TRUE(Exists("kXPR\\Herald\\kDHMenu.xml"));
  EXPECT_TRUE(Exists("kXPR\\Herald\\kDHMenu.dat"));
  EXPECT_FALSE(Exists("kXPR\\Herald\\Pre_kDHMenu.xml"));
  const auto reports = RequestsTo(kSuccessPage);
  ASSERT_EQ(reports.size(), 1u) << testing::JoinLines(LogMessages());
  EXPECT_NE(reports[0].body.find("<tempid>7</tempid><tempver>3</tempver>"), std::string::npos) << reports[0].body;

  // The next run, in the same process, names the installed template and hears there is nothing new.
  ClearLog();
  Reply(Answer::Status(200, "OK", kNoNew));
  EXPECT_EQ(RunOnce(), RunEnd::EndOfRun);
  const auto requests = RequestsTo(kTemplatePage);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_NE(requests[1].body.find("<tmplatid>7</tmplatid><tmplatver>3</tmplatver>"), std::string::npos)
      << requests[1].body;
  ExpectEndOfRunLines();
}

// The held template is named by a plain reading when it is in the form the program saves it
// in, and through the DOM otherwise, alike; a sealed file that is not well-formed is no template.
TEST_F(MainTest, HeldTemplateIsNamedAlikeReadPlainlyOrThroughTheDom) {
  Reply(Answer::Status(200, "OK", kTemplate));
  ASSERT_EQ(RunOnce(), RunEnd::EndOfRun);
  Reply(Answer::Status(200, "OK", kNoNew));
  const std::string menu = rs_.InstallPath + "kXPR\\Herald\\kDHMenu.xml";
  struct Case {
    const char* label;
    std::string held;  // empty: as installed by the first run
    const char* named;
    bool throughDom;
  } cases[] = {
      {"as installed", "", "<tmplatid>7</tmplatid><tmplatver>3</tmplatver>", false},
      {"a reference in the identifier",
       "<dcmgetdeskheraldtemplate><templateid>&#52;2</templateid><templatever>3</templatever>"
       "</dcmgetdeskheraldtemplate>",
       "<tmplatid>42</tmplatid><tmplatver>3</tmplatver>", true},
      {"not well-formed", "<dcmgetdeskheraldtemplate><templateid>5</templateid><templatever>1</templatever>",
       "<tmplatid>0</tmplatid><tmplatver>0</tmplatver>", true},
  };
  for (const auto& c : cases) {
    if (!c.held.empty()) {
      WriteFile("kXPR\\Herald\\kDHMenu.xml", c.held);
      ASSERT_EQ(CreateEncMD5(rs_, menu), "") << c.label;
    }
    ClearLog();
    const size_t before = RequestsTo(kTemplatePage).size();
    EXPECT_EQ(RunOnce(), RunEnd::EndOfRun) << c.label;
    const auto requests = RequestsTo(kTemplatePage);
    ASSERT_EQ(requests.size(), before + 1) << c.label;
    EXPECT_NE(requests.back().body.find(c.named), std::string::npos) << c.label << ": " << requests.back().body;
    EXPECT_TRUE(Logged("MSG : Checksum matched")) << c.label;
    EXPECT_EQ(documentCreated_, c.throughDom) << c.label;
    EXPECT_EQ(apartmentEntered_, c.throughDom) << c.label;
    EXPECT_EQ(Logged("MSG : Failed to load Template : " + runInstallPath_ + "kXPR\\Herald\\kDHMenu.xml"),
              std::string(c.label) == "not well-formed")
        << c.label;
    ExpectEndOfRunLines();
  }
}

TEST_F(MainTest, RunStartedByTheDesktopApplicationReturnsWithoutTheEndOfRunSteps) {
  Reply(Answer::Status(200, "OK", ""));
  EXPECT_EQ(RunOnce("DH"), RunEnd::Returned);
  EXPECT_TRUE(Logged("MSG : Command line parameter : DH"));
  EXPECT_TRUE(Logged("MSG : sStatus : "));
  EXPECT_GE(CountLogged("MSg : In fncCallPopup"), 2);  // the progress popup and the report's
  EXPECT_FALSE(Logged(kEndLine));
  EXPECT_EQ(CountLogged("MSG : UsersPath : "), 0);
  EXPECT_EQ(RequestsTo(kSuccessPage).size(), 1u);
}

}  // namespace
}  // namespace kdht
