// Script actions: the e-mail element, the template-details reply, and ProcessXPRScripts against
// a loopback stand-in of the server's two script pages.
#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/ChecksumLibrary.h"
#include "platform/Dispatch.h"
#include "platform/FileSystem.h"
#include "platform/Xml.h"
#include "scripts/ScriptPackages.h"
#include "scripts/Seals.h"
#include "support/LoopbackServer.h"
#include "support/TestSupport.h"

namespace kdht {
namespace {

using testing::Answer;
using testing::LoopbackServer;
using testing::SandboxTest;
using testing::SeenRequest;
using testing::TempFolder;

// ---- pure parts ----

TEST(EmailElement, HasTheExactShapeTheRunnerReads) {
  EXPECT_EQ(EmailElement("Done", "1", "4,5", "2"),
            "<msgsubject><![CDATA[Done]]></msgsubject><email emailreqd=\"1\" emailgrpids=\"4,5\" "
            "executionstatus=\"2\" />");
  EXPECT_EQ(EmailElement("", "", "", ""),
            "<msgsubject><![CDATA[]]></msgsubject><email emailreqd=\"\" emailgrpids=\"\" executionstatus=\"\" />");
}

TEST(EmailElement, AnyValueSurvivesAnXmlReaderUnchanged) {
  platform::ComApartment com;
  struct Case {
    std::string subject, reqd, groups, status;
  };
  const std::vector<Case> cases = {
      {"a ]]> b", "1", "2", "3"},
      {"]]>]]>", "\"", "<g>", "&amp;"},
      {"x & y < z", "1\" onload=\"x", "4,5", "a'b"},
      {"]]", ">", "]]>", "\xC3\xA4"},
  };
  for (const auto& c : cases) {
    auto doc = platform::XmlDocument::CreateByProgId("Msxml2.DOMDocument");
    const std::string element = EmailElement(c.subject, c.reqd, c.groups, c.status);
    ASSERT_TRUE(doc.LoadXml("<r>" + element + "</r>")) << element;
    EXPECT_EQ(doc.SelectSingle("r/msgsubject")->Text(), c.subject);
    const auto email = doc.SelectSingle("r/email");
    ASSERT_TRUE(email);
    EXPECT_EQ(email->Attribute("emailreqd").value_or("?"), c.reqd);
    EXPECT_EQ(email->Attribute("emailgrpids").value_or("?"), c.groups);
    EXPECT_EQ(email->Attribute("executionstatus").value_or("?"), c.status);
    EXPECT_EQ(doc.Select("r/*").size(), 2u) << element;
  }
}

TEST(TemplateScriptIds, TakesTheTextBeforeEachItemsMarker) {
  struct Case {
    std::string reply;
    std::vector<std::string> ids;
    std::vector<std::string> rejected;
  };
  const std::vector<Case> cases = {
      {"<dcmtemplatedetails><scriptid><![CDATA[101#@#a,102#@#b]]></scriptid></dcmtemplatedetails>", {"101", "102"}, {}},
      {"<DCMTemplateDetails><SCRIPTID><![CDATA[7#@#x#@#y]]></ScriptId></dcmtemplatedetails>", {"7"}, {}},
      {"", {}, {}},
      {"<dcmtemplatedetails><scriptid><![CDATA[]]></scriptid></dcmtemplatedetails>", {}, {}},
      {"<dcmtemplatedetails><scriptid><![CDATA[101#@#a,junk,,102#@#b]]></scriptid></dcmtemplatedetails>",
       {"101", "102"}, {"junk", ""}},
      {"5#@#", {"5"}, {}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> rejected;
    EXPECT_EQ(TemplateScriptIds(c.reply, &rejected), c.ids) << c.reply;
    EXPECT_EQ(rejected, c.rejected) << c.reply;
  }
}

TEST(InsertBeforeNoCase, InsertsBeforeEveryMarkerKeepingItsCase) {
  EXPECT_EQ(InsertBeforeNoCase("<a></dcmxprscrdet><b></DCMXprScrDet>", "</dcmxprscrdet>", "E"),
            "<a>E</dcmxprscrdet><b>E</DCMXprScrDet>");
  EXPECT_EQ(InsertBeforeNoCase("<a/>", "</dcmxprscrdet>", "E"), "<a/>");
  EXPECT_EQ(InsertBeforeNoCase("", "</x>", "E"), "");
}

// ---- ProcessXPRScripts ----

constexpr char kEmail[] =
    "<msgsubject><![CDATA[Done]]></msgsubject><email emailreqd=\"1\" emailgrpids=\"4,5\" executionstatus=\"2\" />";
constexpr char kNoConditions[] = "<servicepack></servicepack><softwares></softwares><services></services>";
constexpr char kEmailSettings[] =
    "<emailmsgsubject>Done</emailmsgsubject><executionstatus>2</executionstatus>"
    "<emailgroupids>4,5</emailgroupids><emailreqd>1</emailreqd>";

std::string Between(const std::string& text, const std::string& open, const std::string& close) {
  const size_t a = text.find(open);
  if (a == std::string::npos) return "?";
  const size_t b = text.find(close, a + open.size());
  return text.substr(a + open.size(), b - a - open.size());
}

// "wpdcmscriptdetails" for a post to "/tfr_wpdcmscriptdetails.asp?..."; any other path as it is.
std::string PageOf(const SeenRequest& post) {
  const std::string path = post.Path();
  if (path.rfind("/tfr_", 0) == 0 && path.size() > 9 && path.compare(path.size() - 4, 4, ".asp") == 0) {
    return path.substr(5, path.size() - 9);
  }
  return path;
}

class ScriptActionTest : public SandboxTest {
 protected:
  ScriptActionTest() {
    testing::SetIdentity(rs_, "31", "4", "77");
    rs_.FilterSatisfied = true;
    WriteFile("Configuration\\kScriptDNS.ini", "[wpdcmscriptdetails]\r\nURL=" + server_.Url("/") +
                                                   "\r\n[wpdcmtemplatedetails]\r\nURL=" + server_.Url("/") + "\r\n");
    platform::MakeSureDirectoryPathExists(Herald());
  }

  ~ScriptActionTest() override {
    // COM objects go before the apartment does.
    rs_.FilterElement.reset();
    rs_.rsXML.reset();
  }

  std::string Herald() const { return rs_.InstallPath + "kXPR\\Herald\\"; }
  std::string Installed(const std::string& file) const { return Herald() + "Action_7_XPR\\" + file; }
  std::string Staged(const std::string& file) const { return Herald() + "PreProcessScripts\\Action_7_XPR\\" + file; }

  // Runs the procedure on the one action of a template holding `actionXml`.
  std::string Process(const std::string& actionXml) {
    rs_.rsXML = platform::XmlDocument::CreateByProgId("Msxml2.DOMDocument");
    const std::string templateXml = "<dcmgetdeskheraldtemplate><templateid>5</templateid>" + actionXml +
                                    "</dcmgetdeskheraldtemplate>";
    if (!rs_.rsXML->LoadXml(templateXml)) {
      ADD_FAILURE() << "template does not load: " << templateXml;
      return "?";
    }
    auto action = rs_.rsXML->SelectSingle("dcmgetdeskheraldtemplate/action");
    if (!action) {
      ADD_FAILURE() << "no action";
      return "?";
    }
    return ProcessXPRScripts(rs_, *action);
  }

  static std::string Action(const std::string& children, const std::string& id = "id=\"7\"") {
    return "<action name=\"Execute XPR Script\" " + id + ">" + children + "</action>";
  }

  // A details file as the server's reply left it, read back from its UTF-16 file.
  std::string StagedText(const std::string& file) const {
    const std::string bytes = platform::ReadFileBytes(Staged(file));
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE") << file << " is not UTF-16 with BOM";
    return rs_.FileSys.ReadText(Staged(file));
  }

  bool SealMatches(const std::string& path) {
    std::string ignored;
    return GetDecryptedMD5(rs_, SealPathFor(path), Checksum(rs_, path, ignored));
  }

  // Installs a details file with its seal, as an earlier run would have left it.
  void InstallSealed(const std::string& file, const std::string& content) {
    platform::MakeSureDirectoryPathExists(Installed(file));
    rs_.FileSys.WriteUnicodeText(Installed(file), content);
    ASSERT_EQ(CreateEncMD5(rs_, Installed(file)), "");
  }

  // The bodies posted to one page, in order.
  std::vector<std::string> Bodies(const std::string& page) const {
    std::vector<std::string> bodies;
    for (const auto& post : server_.Requests()) {
      if (PageOf(post) == page) bodies.push_back(post.body);
    }
    return bodies;
  }

  std::string Reply(const SeenRequest& post) {
    if (PageOf(post) == "wpdcmtemplatedetails") {
      const std::string id = Between(post.body, "<batchid>", "</batchid>");
      auto it = templateLists_.find(id);
      if (it == templateLists_.end()) return "";
      if (it->second == "<raw>") return "";
      return "<dcmtemplatedetails><scriptid><![CDATA[" + it->second + "]]></scriptid></dcmtemplatedetails>";
    }
    const std::string ids = Between(post.body, "<scriptid>", "</scriptid>");
    if (emptyScriptReplies_.count(ids) != 0) return "";
    return "<dcmscriptdetails><dcmxprscrdet><scriptid>" + ids + "</scriptid></dcmxprscrdet></dcmscriptdetails>";
  }

  platform::ComApartment com_;
  std::map<std::string, std::string> templateLists_;  // batch id -> CDATA list
  std::map<std::string, int> emptyScriptReplies_;     // script id lists answered with nothing
  LoopbackServer server_{[this](const SeenRequest& post, int) {
    return Answer::Status(200, "OK", Reply(post), "Content-Type: text/xml; charset=utf-8\r\n");
  }};
};

TEST_F(ScriptActionTest, FetchesStagesAndSealsTheActionsOwnScripts) {
  EXPECT_EQ(Process(Action(std::string(kNoConditions) + kEmailSettings + "<scriptids>5,6</scriptids><temipds></temipds>")),
            "");

  const auto posts = server_.Requests();
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(PageOf(posts[0]), "wpdcmscriptdetails");
  EXPECT_EQ(posts[0].Query(), "mmid=31&sid=4&rid=77&rty=RORI");
  EXPECT_EQ(posts[0].body, "<wpdcmscriptdetails><memberid>31</memberid><scriptid>5,6</scriptid></wpdcmscriptdetails>");

  EXPECT_EQ(StagedText("XPR_Script.xml"), std::string("<dcmscriptdetails><dcmxprscrdet><scriptid>5,6</scriptid>") +
                                              kEmail + "</dcmxprscrdet></dcmscriptdetails>");
  EXPECT_TRUE(SealMatches(Staged("XPR_Script.xml")));
  EXPECT_FALSE(platform::FileExists(Installed("XPR_Script.xml")));  // installing is the caller's

  // The answer is in the document and in the staged template.
  EXPECT_EQ(rs_.rsXML->SelectSingle("dcmgetdeskheraldtemplate/action/filtersatisfied")->Text(), "true");
  auto staged = platform::XmlDocument::CreateByProgId("Msxml2.DOMDocument");
  ASSERT_TRUE(staged.Load(Herald() + "Pre_kDHMenu.xml"));
  EXPECT_EQ(staged.SelectSingle("dcmgetdeskheraldtemplate/action/filtersatisfied")->Text(), "true");

  EXPECT_TRUE(Logged("MSG : scriptids :  5,6"));
  EXPECT_TRUE(Logged("MSG : Creating file : " + Staged("XPR_Script.xml")));
  EXPECT_TRUE(Logged("MSG : tempids :  "));
  EXPECT_EQ(CountLogged("ERR"), 0);
}

TEST_F(ScriptActionTest, IntactInstalledScriptsAreNotFetchedAgain) {
  InstallSealed("XPR_Script.xml", "<dcmscriptdetails>old</dcmscriptdetails>");
  ClearLog();
  EXPECT_EQ(Process(Action(std::string(kNoConditions) + "<scriptids>5</scriptids><temipds></temipds>")), "");
  EXPECT_TRUE(Bodies("wpdcmscriptdetails").empty());
  EXPECT_TRUE(Logged("MSG : File Already exists : " + Installed("XPR_Script.xml")));
  EXPECT_TRUE(Logged("MSG : Checksum matched"));
  EXPECT_FALSE(platform::FileExists(Staged("XPR_Script.xml")));
}

TEST_F(ScriptActionTest, InstalledScriptsWithoutAMatchingSealAreFetched) {
  struct Case {
    const char* name;
    bool keepSeal;
    bool changeFile;
    const char* expectedLine;
  };
  const std::vector<Case> cases = {
      {"seal missing", false, false, "MSG : File not found : "},
      {"file changed after sealing", true, true, "MSG : Checksum not matched"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InstallSealed("XPR_Script.xml", "<dcmscriptdetails>old</dcmscriptdetails>");
    if (!c.keepSeal) platform::DeleteFileForced(Installed("XPR_Script.dat"));
    if (c.changeFile) rs_.FileSys.WriteUnicodeText(Installed("XPR_Script.xml"), "<dcmscriptdetails>new</dcmscriptdetails>");
    ClearLog();
    const size_t before = Bodies("wpdcmscriptdetails").size();
    EXPECT_EQ(Process(Action(std::string(kNoConditions) + "<scriptids>5</scriptids>")), "");
    EXPECT_EQ(Bodies("wpdcmscriptdetails").size(), before + 1);
    std::string expected = c.expectedLine;
    if (!c.keepSeal) expected += Installed("XPR_Script.dat");
    EXPECT_TRUE(Logged(expected));
    EXPECT_TRUE(SealMatches(Staged("XPR_Script.xml")));
  }
}

TEST_F(ScriptActionTest, OnlyNumericTemplateIdsAreFetchedEachWithItsOwnScripts) {
  templateLists_["12"] = "101#@#a,102#@#b";
  templateLists_["13"] = "201#@#c";
  EXPECT_EQ(Process(Action(std::string(kNoConditions) + kEmailSettings + "<temipds>12, 0, x, 13</temipds>")), "");

  EXPECT_EQ(Bodies("wpdcmtemplatedetails"),
            (std::vector<std::string>{
                "<wpdcmtemplatedetails><memberid>31</memberid><batchid>12</batchid></wpdcmtemplatedetails>",
                "<wpdcmtemplatedetails><memberid>31</memberid><batchid>13</batchid></wpdcmtemplatedetails>"}));
  EXPECT_EQ(Bodies("wpdcmscriptdetails"),
            (std::vector<std::string>{
                "<wpdcmscriptdetails><memberid>31</memberid><scriptid>101,102</scriptid></wpdcmscriptdetails>",
                "<wpdcmscriptdetails><memberid>31</memberid><scriptid>201</scriptid></wpdcmscriptdetails>"}));

  EXPECT_EQ(StagedText("XPR_Template_12.xml"), std::string("<dcmtemplatedetails><dcmxprscrdet><scriptid>101,102") +
                                                   "</scriptid></dcmxprscrdet>" + kEmail + "</dcmtemplatedetails>");
  EXPECT_EQ(StagedText("XPR_Template_13.xml"), std::string("<dcmtemplatedetails><dcmxprscrdet><scriptid>201") +
                                                   "</scriptid></dcmxprscrdet>" + kEmail + "</dcmtemplatedetails>");
  EXPECT_TRUE(SealMatches(Staged("XPR_Template_12.xml")));
  EXPECT_TRUE(SealMatches(Staged("XPR_Template_13.xml")));
  EXPECT_FALSE(platform::FileExists(Staged("XPR_Template_0.xml")));
  EXPECT_FALSE(platform::FileExists(Staged("XPR_Script.xml")));  // no scriptids: nothing of its own
  EXPECT_TRUE(Logged("MSG : tempids :  12, 0, x, 13"));
  EXPECT_EQ(CountLogged("ERR"), 0);
}

TEST_F(ScriptActionTest, IntactInstalledTemplateIsSkippedButTheIdAsWrittenCounts) {
  templateLists_["12"] = "101#@#a";
  templateLists_["13"] = "201#@#c";
  InstallSealed("XPR_Template_12.xml", "<dcmtemplatedetails>old</dcmtemplatedetails>");
  InstallSealed("XPR_Template_13.xml", "<dcmtemplatedetails>old</dcmtemplatedetails>");
  ClearLog();
  // " 13" is looked for under the name with the blank, which was never installed.
  EXPECT_EQ(Process(Action(std::string(kNoConditions) + "<temipds>12, 13</temipds>")), "");
  EXPECT_EQ(Bodies("wpdcmtemplatedetails"),
            (std::vector<std::string>{
                "<wpdcmtemplatedetails><memberid>31</memberid><batchid>13</batchid></wpdcmtemplatedetails>"}));
  EXPECT_TRUE(Logged("MSG : File Already exists : " + Installed("XPR_Template_12.xml")));
  EXPECT_TRUE(platform::FileExists(Staged("XPR_Template_13.xml")));
}

TEST_F(ScriptActionTest, FailedPostsEndTheCallWithTheirTexts) {
  struct Case {
    const char* name;
    std::string children;
    std::vector<std::string> emptyScriptReplies;
    std::string expected;
    size_t templatePosts;
  };
  const std::vector<Case> cases = {
      {"own scripts", "<scriptids>5,6</scriptids><temipds>12</temipds>", {"5,6"},
       "webpost failed (wpdcmscriptdetails) scriptids : 5,6", 0},
      {"first template", "<temipds>12,13</temipds>", {"101"}, "webpost failed (wpdcmtemplatedetails) tempid : 12", 1},
      {"second template", "<temipds>12,13</temipds>", {"201"}, "webpost failed (wpdcmtemplatedetails) tempid : 13", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    templateLists_ = {{"12", "101#@#a"}, {"13", "201#@#c"}};
    emptyScriptReplies_.clear();
    for (const auto& ids : c.emptyScriptReplies) emptyScriptReplies_[ids] = 1;
    const size_t before = Bodies("wpdcmtemplatedetails").size();
    EXPECT_EQ(Process(Action(kNoConditions + c.children)), c.expected);
    EXPECT_EQ(Bodies("wpdcmtemplatedetails").size() - before, c.templatePosts);
  }
  // Files staged before the failure stay where they are.
  EXPECT_TRUE(platform::FileExists(Staged("XPR_Template_12.xml")));
}

TEST_F(ScriptActionTest, EmptyTemplateReplyStillAsksForAnEmptyScriptList) {
  templateLists_["12"] = "<raw>";
  EXPECT_EQ(Process(Action(std::string(kNoConditions) + "<temipds>12</temipds>")), "");
  EXPECT_EQ(Bodies("wpdcmscriptdetails"),
            (std::vector<std::string>{
                "<wpdcmscriptdetails><memberid>31</memberid><scriptid></scriptid></wpdcmscriptdetails>"}));
  EXPECT_EQ(CountLogged("ERR"), 0);
}

TEST_F(ScriptActionTest, TemplateItemsWithoutMarkerAreLoggedAndSkipped) {
  templateLists_["12"] = "101#@#a,junk,102#@#b";
  EXPECT_EQ(Process(Action(std::string(kNoConditions) + "<temipds>12</temipds>")), "");
  EXPECT_EQ(Bodies("wpdcmscriptdetails"),
            (std::vector<std::string>{
                "<wpdcmscriptdetails><memberid>31</memberid><scriptid>101,102</scriptid></wpdcmscriptdetails>"}));
  EXPECT_EQ(CountLogged("ERR : 5 (Invalid procedure call or argument) in procedure ProcessXPRScripts of Module modMain"),
            1);
}

TEST_F(ScriptActionTest, HostileActionIdsAreRefusedBeforeAnyFileOrPost) {
  const std::vector<std::string> ids = {"..\\..\\evil", "..\\", "a/b", "C:\\x", "x:y", "a*b",
                                        "a?b", "a|b", "\\\\host\\share", std::string(201, '9')};
  for (const auto& id : ids) {
    SCOPED_TRACE(id);
    const std::string escaped = "id=\"" + id + "\"";
    EXPECT_EQ(Process(Action(std::string(kNoConditions) + "<scriptids>5</scriptids><temipds>12</temipds>", escaped)),
              "Invalid action id : " + id);
    EXPECT_TRUE(Logged("ERR : Invalid action id : " + id));
  }
  // A line break in the id cannot forge a log line of its own.
  EXPECT_EQ(Process(Action(kNoConditions, "id=\"7&#13;&#10;MSG : forged\"")), "Invalid action id : 7??MSG : forged");
  EXPECT_FALSE(Logged("MSG : forged"));
  EXPECT_TRUE(server_.Requests().empty());
  EXPECT_FALSE(platform::FolderExists(Herald() + "PreProcessScripts"));
  EXPECT_EQ(platform::ListFolders(rs_.InstallPath).size(), 3u);  // ApplicationLog, Configuration, kXPR
}

// The id is the middle of "Action_<id>_XPR": a missing or empty id, a device name, a trailing
// blank or dot all still name an ordinary folder inside the feature folder, the one Windows makes.
TEST_F(ScriptActionTest, IdsThatStillNameAPlainFolderAreTakenAsWritten) {
  for (const std::string id : {"", "..", "CON", "7.", "7 "}) {
    SCOPED_TRACE("[" + id + "]");
    EXPECT_EQ(Process(Action(std::string(kNoConditions) + "<scriptids>5</scriptids>", "id=\"" + id + "\"")), "");
    EXPECT_TRUE(platform::FileExists(Herald() + "PreProcessScripts\\Action_" + id + "_XPR\\XPR_Script.xml"));
  }
  EXPECT_EQ(Process(Action(std::string(kNoConditions) + "<scriptids>5</scriptids>", "")), "");
  EXPECT_TRUE(platform::FileExists(Herald() + "PreProcessScripts\\Action__XPR\\XPR_Script.xml"));
  EXPECT_EQ(CountLogged("Invalid action id"), 0);
}

TEST_F(ScriptActionTest, HostileTemplateIdsAreRefusedWhereTheyWouldBeUsed) {
  const std::vector<std::string> ids = {"12\\..\\..\\evil", "12/x", "12:stream", "12.", "12..x", "12*"};
  for (const auto& id : ids) {
    SCOPED_TRACE(id);
    EXPECT_EQ(Process(Action(std::string(kNoConditions) + "<temipds>" + id + "</temipds>")),
              "Invalid template id : " + id);
    EXPECT_TRUE(Logged("ERR : Invalid template id : " + id));
  }
  EXPECT_TRUE(server_.Requests().empty());

  // Zero and non-numeric identifiers are passed over before any check, as always.
  ClearLog();
  EXPECT_EQ(Process(Action(std::string(kNoConditions) + "<temipds>0\\..\\x,..,x/y</temipds>")), "");
  EXPECT_EQ(CountLogged("ERR"), 0);
  EXPECT_TRUE(server_.Requests().empty());
}

TEST_F(ScriptActionTest, MissingElementsAreEmptyAndMissingConditionsUnsatisfied) {
  EXPECT_EQ(Process(Action("<servicepack></servicepack><softwares></softwares>")), "");
  EXPECT_TRUE(server_.Requests().empty());
  EXPECT_TRUE(Logged("MSG : scriptids :  "));
  EXPECT_TRUE(Logged("MSG : tempids :  "));
  // No services element: a condition that cannot be read is not satisfied.
  EXPECT_EQ(CountLogged("ERR : 91 "), 1);
  EXPECT_FALSE(rs_.FilterSatisfied);
  EXPECT_EQ(rs_.rsXML->SelectSingle("dcmgetdeskheraldtemplate/action/filtersatisfied")->Text(), "false");
}

TEST_F(ScriptActionTest, AnExistingAnswerIsReusedWhateverItsForm) {
  const std::vector<std::string> forms = {"<filtersatisfied>old</filtersatisfied>", "<filtersatisfied/>"};
  for (const auto& form : forms) {
    SCOPED_TRACE(form);
    rs_.FilterSatisfied = true;
    EXPECT_EQ(Process(Action(form + kNoConditions)), "");
    const auto answers = rs_.rsXML->Select("dcmgetdeskheraldtemplate/action/filtersatisfied");
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].Text(), "true");
  }
}

TEST_F(ScriptActionTest, MissingLibraryMakesTheInstalledCopyUntrustedAndTheSealFail) {
  InstallSealed("XPR_Script.xml", "<dcmscriptdetails>old</dcmscriptdetails>");
  TempFolder elsewhere;
  rs_.ChecksumLib = std::make_shared<platform::ChecksumLibrary>(elsewhere.path());
  EXPECT_EQ(Process(Action(std::string(kNoConditions) + "<scriptids>5</scriptids>")), "File not found: KGnMD5");
  EXPECT_EQ(rs_.PostError, "File not found: KGnMD5");
  EXPECT_EQ(Bodies("wpdcmscriptdetails").size(), 1u);
  EXPECT_FALSE(platform::FileExists(Staged("XPR_Script.dat")));
}

// The plan of what processing would fetch, against what processing then fetches.
TEST_F(ScriptActionTest, PlanNamesWhatProcessingFetchesAndFetchesNothingItself) {
  templateLists_["13"] = "301#@#a";
  templateLists_["14"] = "401#@#b";
  InstallSealed("XPR_Template_12.xml", "<dcmtemplatedetails>old</dcmtemplatedetails>");
  InstallSealed("XPR_Script.xml", "<dcmscriptdetails>old</dcmscriptdetails>");
  const std::string action =
      Action(std::string(kNoConditions) + "<scriptids>201,202</scriptids><temipds>12, 13,x,0,14</temipds>");
  rs_.rsXML = platform::XmlDocument::CreateByProgId("Msxml2.DOMDocument");
  ASSERT_TRUE(rs_.rsXML->LoadXml("<dcmgetdeskheraldtemplate>" + action + "</dcmgetdeskheraldtemplate>"));
  const ScriptFetchPlan plan = PlanScriptFetch(rs_, *rs_.rsXML->SelectSingle("dcmgetdeskheraldtemplate/action"));
  EXPECT_TRUE(server_.Requests().empty());
  EXPECT_TRUE(plan.refused.empty());
  EXPECT_FALSE(plan.fetchScripts);
  EXPECT_TRUE(plan.scriptsTrusted);
  using W = TemplateIdPlan::What;
  std::vector<std::pair<std::string, W>> planned;
  std::vector<std::string> fetchedBodies;
  for (const auto& t : plan.templates) {
    planned.emplace_back(t.written, t.what);
    if (t.what == W::Fetch) fetchedBodies.push_back(TemplateDetailsRequest("31", t.templateId));
  }
  EXPECT_EQ(planned, (std::vector<std::pair<std::string, W>>{
                         {"12", W::Trusted}, {" 13", W::Fetch}, {"x", W::NotAnId}, {"0", W::NotAnId}, {"14", W::Fetch}}));

  EXPECT_EQ(Process(action), "");
  EXPECT_EQ(Bodies("wpdcmtemplatedetails"), fetchedBodies);
  EXPECT_TRUE(Bodies("wpdcmscriptdetails").size() == 2u);  // one per fetched template, none for the action

  // A refused identifier stops the plan where it stops processing.
  ASSERT_TRUE(rs_.rsXML->LoadXml("<dcmgetdeskheraldtemplate>" +
                                 Action(std::string(kNoConditions) + "<temipds>15,12*,16</temipds>") +
                                 "</dcmgetdeskheraldtemplate>"));
  const ScriptFetchPlan refused =
      PlanScriptFetch(rs_, *rs_.rsXML->SelectSingle("dcmgetdeskheraldtemplate/action"));
  EXPECT_EQ(refused.refused, "Invalid template id : 12*");
  EXPECT_EQ(refused.templates.size(), 2u);
  ASSERT_TRUE(rs_.rsXML->LoadXml("<dcmgetdeskheraldtemplate>" + Action(kNoConditions, "id=\"..\\x\"") +
                                 "</dcmgetdeskheraldtemplate>"));
  EXPECT_EQ(PlanScriptFetch(rs_, *rs_.rsXML->SelectSingle("dcmgetdeskheraldtemplate/action")).refused,
            "Invalid action id : ..\\x");
}

// A script action asks every condition and counts one it lacks as unsatisfied; a plain action
// asks only those it carries. Both give the reasons, with the checks' own log lines.
TEST_F(ScriptActionTest, ActionAnswersCarryEachVerdictWithItsReason) {
  rs_.OsName = "Microsoft Windows 7 Professional";
  rs_.OsServicePack = "Service Pack 1";
  rs_.ServiceList = "RpcSs;Spooler";
  rs_.SoftwareList = "Paper Reader X";
  rs_.rsXML = platform::XmlDocument::CreateByProgId("Msxml2.DOMDocument");
  ASSERT_TRUE(rs_.rsXML->LoadXml(
      "<t><action name=\"a\"><servicepack>Microsoft Windows XP$*$ALL@#@microsoft windows 7 professional$*$ALL"
      "</servicepack><services>spooler@#@Nope</services></action></t>"));
  const platform::XmlNode action = *rs_.rsXML->SelectSingle("t/action");

  ClearLog();
  const ActionAnswer plain = AnswerPlainConditions(rs_, action);
  EXPECT_FALSE(plain.satisfied);
  ASSERT_EQ(plain.conditions.size(), 2u);
  EXPECT_EQ(plain.conditions[0].element, "servicepack");
  EXPECT_TRUE(plain.conditions[0].verdict.holds);
  EXPECT_EQ(plain.conditions[0].verdict.reason,
            "alternative 2 matched: OS \"microsoft windows 7 professional\", service pack \"ALL\"");
  EXPECT_EQ(plain.conditions[1].verdict.reason, "Service NOPE not found");
  EXPECT_EQ(CountLogged("ERR"), 0);
  const std::vector<std::string> plainLog = LogMessages();

  ClearLog();
  const ActionAnswer script = AnswerScriptConditions(rs_, action);
  EXPECT_FALSE(script.satisfied);
  ASSERT_EQ(script.conditions.size(), 3u);
  EXPECT_EQ(script.conditions[1].element, "softwares");
  EXPECT_FALSE(script.conditions[1].verdict.holds);
  EXPECT_FALSE(script.conditions[1].verdict.present);
  EXPECT_EQ(CountLogged("ERR : 91 "), 1);
  // The same check lines, with the trap for the missing element between them.
  std::vector<std::string> scriptLog = LogMessages();
  scriptLog.erase(std::remove_if(scriptLog.begin(), scriptLog.end(),
                                 [](const std::string& l) { return l.rfind("ERR : 91 ", 0) == 0; }),
                  scriptLog.end());
  EXPECT_EQ(scriptLog, plainLog);

  // Found names are given with the entry that matched them.
  ASSERT_TRUE(rs_.rsXML->LoadXml("<t><action name=\"a\"><softwares>$*LIKE*$reader x</softwares>"
                                 "<services> rpcss </services></action></t>"));
  const ActionAnswer found = AnswerPlainConditions(rs_, *rs_.rsXML->SelectSingle("t/action"));
  EXPECT_TRUE(found.satisfied);
  ASSERT_EQ(found.conditions.size(), 2u);
  EXPECT_EQ(found.conditions[0].verdict.reason, "\"$*LIKE*$reader x\" found as \"PAPER READER X\"");
  EXPECT_EQ(found.conditions[1].verdict.reason, "found: RPCSS");
}

}  // namespace
}  // namespace kdht
