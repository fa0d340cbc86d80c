// Scheduler request files, read back as raw text so that the checks do not go through the
// profile functions that wrote them.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <utility>

#include "core/Paths.h"
#include "platform/FileSystem.h"
#include "support/TestSupport.h"
#include "system/Scheduler.h"

namespace kdht::testing {
namespace {

struct Section {
  std::string name;
  std::vector<std::pair<std::string, std::string>> keys;  // in file order
  std::optional<std::string> Get(const std::string& key) const {
    for (const auto& [k, v] : keys) {
      if (k == key) return v;
    }
    return std::nullopt;
  }
};

std::vector<Section> ParseIni(const std::string& bytes) {
  std::vector<Section> out;
  for (const std::string& line : CrLfLines(bytes)) {
    if (!line.empty() && line.front() == '[' && line.back() == ']') {
      out.push_back({line.substr(1, line.size() - 2), {}});
    } else if (!out.empty() && line.find('=') != std::string::npos) {
      const size_t eq = line.find('=');
      out.back().keys.emplace_back(line.substr(0, eq), line.substr(eq + 1));
    }
  }
  return out;
}

const std::vector<std::string> kRunnerKeys = {"ExecutableName", "Parameter", "StartTime",
                                              "EndTime",        "Interval",  "Weekdays"};

std::string RequestLine(const std::string& prefix, const std::string& section, const std::string& interval) {
  return prefix + "SectionName=" + section +
         ",Executablename=kXPR\\kInDHM.exe,Parameter=SERVICE,StartTime=00:01,EndTime=23:59,Interval=" + interval +
         ",Weekdays=0,1,2,3,4,5,6";
}
std::string AddLine(const std::string& section, const std::string& interval) {
  return RequestLine("MSG : To Create schedule : ", section, interval);
}
std::string DeleteLine(const std::string& section, const std::string& interval) {
  return RequestLine("MSG : For Clearing schedule : ", section, interval);
}

std::string ForeignSections(int count) {
  std::string text;
  for (int i = 1; i <= count; ++i) {
    const std::string n = std::to_string(i);
    text.append("[").append(n).append("]\r\nExecutableName=kXPR\\Other").append(n);
    text.append(".exe\r\nParameter=X\r\nInterval=5\r\n");
  }
  return text;
}

class SchedulerTest : public SandboxTest {
 protected:
  SchedulerTest() { platform::MakeSureDirectoryPathExists(rs_.InstallPath + "Scheduler INI\\"); }

  static constexpr char kAdd[] = "Scheduler INI\\kDHT_Addsection.ini";
  static constexpr char kDelete[] = "Scheduler INI\\kDHT_DeleteSection.ini";

  std::vector<Section> Sections(const std::string& relative) const { return ParseIni(ReadFile(relative)); }

  // The runner's request as written: every key (in order when the section is new), the given
  // interval. Keys that a rewritten section had already keep their places.
  void ExpectRunnerSection(const Section& s, const std::string& name, const std::string& interval,
                           bool newSection = true) const {
    EXPECT_EQ(s.name, name);
    std::vector<std::string> keys;
    for (const auto& kv : s.keys) keys.push_back(kv.first);
    std::vector<std::string> expectedKeys = kRunnerKeys;
    if (!newSection) {
      std::sort(keys.begin(), keys.end());
      std::sort(expectedKeys.begin(), expectedKeys.end());
    }
    EXPECT_EQ(keys, expectedKeys) << "section " << name;
    EXPECT_EQ(s.Get("ExecutableName"), "kXPR\\kInDHM.exe");
    EXPECT_EQ(s.Get("Parameter"), "SERVICE");
    EXPECT_EQ(s.Get("StartTime"), "00:01");
    EXPECT_EQ(s.Get("EndTime"), "23:59");
    EXPECT_EQ(s.Get("Interval"), interval) << "section " << name;
    EXPECT_EQ(s.Get("Weekdays"), "0,1,2,3,4,5,6") << "section " << name;
  }

  // Every Weekdays value is the bare list; the line end that follows the last one written
  // stays in the file as an empty line. (Windows keeps it for every section; Wine drops the
  // earlier ones when it rewrites the file.)
  void ExpectBlankLineAfterLastWeekdays(const std::string& relative) const {
    const std::string bytes = ReadFile(relative);
    const std::string line = "Weekdays=0,1,2,3,4,5,6\r\n";
    const size_t last = bytes.rfind(line);
    ASSERT_NE(last, std::string::npos);
    const std::string rest = bytes.substr(last + line.size());
    EXPECT_EQ(rest.substr(0, 2), "\r\n") << "no empty line after the last weekday list";
    if (rest.size() > 2) {
      EXPECT_EQ(rest[2], '[') << "only sections follow the empty line";
    }
  }
};

struct ScheduleCase {
  const char* name;
  std::optional<std::string> addFile;  // nothing: no file
  std::vector<std::string> foreign;    // sections that must stay as they were
  std::string first, second;           // the runner's new pair
};

TEST_F(SchedulerTest, ScheduleKINDHMAppendsThePairAboveTheHighestSection) {
  const ScheduleCase cases[] = {
      {"no file", std::nullopt, {}, "1", "2"},
      {"empty file", "", {}, "1", "2"},
      {"four foreign", ForeignSections(4), {"1", "2", "3", "4"}, "5", "6"},
      {"names not numbers",
       "[abc]\r\nExecutableName=x.exe\r\n[7x]\r\nExecutableName=y.exe\r\n[3]\r\nExecutableName=z.exe\r\n",
       {"abc", "7x", "3"},
       "8",
       "9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ClearLog();
    if (Exists(kAdd)) platform::DeleteFileForced(rs_.InstallPath + kAdd);
    if (c.addFile) WriteFile(kAdd, *c.addFile);

    ScheduleKINDHM(rs_);

    const auto sections = Sections(kAdd);
    ASSERT_EQ(sections.size(), c.foreign.size() + 2);
    for (size_t i = 0; i < c.foreign.size(); ++i) EXPECT_EQ(sections[i].name, c.foreign[i]);
    ExpectRunnerSection(sections[c.foreign.size()], c.first, "15");
    ExpectRunnerSection(sections[c.foreign.size() + 1], c.second, "0");
    ExpectBlankLineAfterLastWeekdays(kAdd);
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{"MSG : Schedule not found for kInDHM.exe",
                                                       "MSG : Creating Schedule for kInDHM.exe",
                                                       AddLine(c.first, "15"), AddLine(c.second, "0")}));
  }
}

TEST_F(SchedulerTest, ScheduleKINDHMLeavesAnExistingRequestAlone) {
  const std::string original = ForeignSections(6) +
                               "[7]\r\nExecutableName=  kxpr\\KinDhm.EXE  \r\nInterval=99\r\n"
                               "[12]\r\nExecutableName=kXPR\\kInDHM.exe\r\n";
  WriteFile(kAdd, original);
  WriteFile(kDelete, "[1]\r\nExecutableName=kXPR\\kInDHM.exe\r\n");

  ScheduleKINDHM(rs_);

  EXPECT_EQ(ReadFile(kAdd), original);
  EXPECT_TRUE(Exists(kDelete)) << "a request already in place cancels nothing";
  EXPECT_EQ(LogMessages(), std::vector<std::string>{"MSG : Schedule found for kInDHM.exe : 7"});
}

struct ClearCase {
  const char* name;
  std::optional<std::string> deleteFile;
  std::vector<std::string> sectionsAfter;  // names, in file order
  std::string first, second;
  std::optional<std::string> foundLine;
};

TEST_F(SchedulerTest, ClearSchedulesAppendsAPairOrRewritesTheRunnersSection) {
  const ClearCase cases[] = {
      {"no file", std::nullopt, {"1", "2"}, "1", "2", std::nullopt},
      {"three foreign", ForeignSections(3), {"1", "2", "3", "4", "5"}, "4", "5", std::nullopt},
      {"runner in section 2",
       ForeignSections(1) + "[2]\r\nExecutableName=KXPR\\KINDHM.EXE\r\nInterval=15\r\n" +
           "[3]\r\nExecutableName=kXPR\\Other.exe\r\n",
       {"1", "2", "3"},
       "2",
       "2",
       "MSG : Schedule found for kInDHM.exe in kDHT_DeleteSection.ini: 2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ClearLog();
    if (Exists(kDelete)) platform::DeleteFileForced(rs_.InstallPath + kDelete);
    if (c.deleteFile) WriteFile(kDelete, *c.deleteFile);

    ClearSchedules(rs_);

    const auto sections = Sections(kDelete);
    std::vector<std::string> names;
    for (const auto& s : sections) names.push_back(s.name);
    EXPECT_EQ(names, c.sectionsAfter);
    for (const auto& s : sections) {
      if (s.name == c.second) ExpectRunnerSection(s, c.second, "0", /*newSection=*/!c.foundLine);
      if (s.name == c.first && c.first != c.second) ExpectRunnerSection(s, c.first, "15");
    }
    ExpectBlankLineAfterLastWeekdays(kDelete);
    std::vector<std::string> expected;
    if (c.foundLine) expected.push_back(*c.foundLine);
    expected.push_back("MSG : Creating Schedule for kInDHM.exe in kDHT_DeleteSection.ini");
    expected.push_back(DeleteLine(c.first, "15"));
    expected.push_back(DeleteLine(c.second, "0"));
    EXPECT_EQ(LogMessages(), expected);
  }
}

TEST_F(SchedulerTest, ARequestOfOneKindCancelsThePendingRequestOfTheOther) {
  ClearSchedules(rs_);
  ASSERT_TRUE(Exists(kDelete));
  ScheduleKINDHM(rs_);
  EXPECT_FALSE(Exists(kDelete));
  ASSERT_TRUE(Exists(kAdd));
  ClearSchedules(rs_);
  EXPECT_FALSE(Exists(kAdd));
  EXPECT_TRUE(Exists(kDelete));
}

TEST_F(SchedulerTest, CreateScheduleWritesOneSectionAndOverwritesItsKeys) {
  WriteFile(kAdd, "[4]\r\nExecutableName=old.exe\r\nExtra=kept\r\n[5]\r\nInterval=1\r\n");
  EXPECT_TRUE(CreateSchedule(rs_, "4", "a.exe", "P", "01:00", "02:00", "30", "1,2", "add"));

  auto added = Sections(kAdd);
  ASSERT_EQ(added.size(), 2u);
  EXPECT_EQ(added[0].name, "4");
  EXPECT_EQ(added[0].Get("ExecutableName"), "a.exe");
  EXPECT_EQ(added[0].Get("Extra"), "kept");
  EXPECT_EQ(added[0].Get("Parameter"), "P");
  EXPECT_EQ(added[0].Get("StartTime"), "01:00");
  EXPECT_EQ(added[0].Get("EndTime"), "02:00");
  EXPECT_EQ(added[0].Get("Interval"), "30");
  EXPECT_EQ(added[0].Get("Weekdays"), "1,2");
  EXPECT_EQ(added[1].Get("Interval"), "1");
  EXPECT_EQ(LogMessages(), std::vector<std::string>{"MSG : To Create schedule : SectionName=4,Executablename=a.exe,"
                                                    "Parameter=P,StartTime=01:00,EndTime=02:00,Interval=30,"
                                                    "Weekdays=1,2"});

  // Any mode other than ADD asks for removal.
  ClearLog();
  EXPECT_TRUE(CreateSchedule(rs_, "x", "b.exe", "Q", "03:00", "04:00", "0", "5", "remove"));
  EXPECT_FALSE(Exists(kAdd));
  const auto removed = Sections(kDelete);
  ASSERT_EQ(removed.size(), 1u);
  EXPECT_EQ(removed[0].name, "x");
  EXPECT_EQ(removed[0].Get("ExecutableName"), "b.exe");
  EXPECT_EQ(LogMessages(), std::vector<std::string>{"MSG : For Clearing schedule : SectionName=x,Executablename=b.exe,"
                                                    "Parameter=Q,StartTime=03:00,EndTime=04:00,Interval=0,"
                                                    "Weekdays=5"});
}

TEST_F(SchedulerTest, WithoutTheRequestFolderNothingIsWrittenAnywhere) {
  platform::DeleteFolderTree(rs_.InstallPath + "Scheduler INI", true);
  // The short form of a missing folder is empty; the request must not fall back to "\<file>".
  const std::string driveRootAdd = "\\kDHT_Addsection.ini";
  const std::string driveRootDelete = "\\kDHT_DeleteSection.ini";
  ASSERT_FALSE(platform::FileExists(driveRootAdd));
  ASSERT_FALSE(platform::FileExists(driveRootDelete));

  ScheduleKINDHM(rs_);
  ClearSchedules(rs_);
  EXPECT_FALSE(CreateSchedule(rs_, "1", "a.exe", "", "", "", "", "", "ADD"));

  EXPECT_FALSE(platform::FileExists(driveRootAdd));
  EXPECT_FALSE(platform::FileExists(driveRootDelete));
  EXPECT_FALSE(Exists("Scheduler INI"));
  EXPECT_EQ(LogMessages(), (std::vector<std::string>{
                               "ERR : 76 (Path not found) in procedure ScheduleKINDHM of Module modMain",
                               "ERR : 76 (Path not found) in procedure ClearSchedules of Module modMain",
                               "ERR : 76 (Path not found) in procedure CreateSchedule of Module modMain"}));
}

TEST_F(SchedulerTest, AnAddFileThatCannotBeCreatedIsReportedAndNothingIsWritten) {
  // A folder where the request file belongs: it can be neither read nor created.
  platform::MakeSureDirectoryPathExists(rs_.InstallPath + kAdd + std::string("\\"));

  ScheduleKINDHM(rs_);

  EXPECT_EQ(LogMessages(),
            (std::vector<std::string>{"MSG : File not found : kDHT_Addsection.ini ",
                                      "ERR : 53 (File not found) in procedure ScheduleKINDHM of Module modMain"}));
  EXPECT_FALSE(Exists(kDelete));
}

}  // namespace
}  // namespace kdht::testing
