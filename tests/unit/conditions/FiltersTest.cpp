// The three filter checks against inventory values set by each case, with the exact log.
#include <string>
#include <vector>

#include "conditions/Filters.h"
#include "support/TestSupport.h"

namespace kdht {
namespace {

using Lines = std::vector<std::string>;

class FiltersTest : public testing::SandboxTest {};

const Lines kOsDetailsXp = {
    "MSG : OS from filter condition : Microsoft Windows XP Professional",
    "MSG : Service pack from filter condition : Service Pack 3",
    "MSG : OS on machine : Microsoft Windows XP Professional ",
    "MSG : Service pack on machine : Service Pack 3",
};

Lines Concat(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct OsCase {
  const char* name;
  std::string osName, servicePack;
  std::string condition;
  bool expected;
  Lines log;
  std::string osNameAfter;  // the cached name once the marks are gone
};

TEST_F(FiltersTest, OSCheckCases) {
  const std::string xp = "Microsoft Windows XP Professional ";
  const std::string check = "MSG : Checking for OS Name and Service pack";
  const std::string notMatched = "MSG : OS And Service pack not matched";
  const std::string trap = "ERR : 9 (Subscript out of range) in procedure OSCheck of Module modMain";
  const std::vector<OsCase> cases = {
      {"empty condition", xp, "Service Pack 3", "", true, {}, xp},
      {"blank condition", xp, "Service Pack 3", "   ", true, {}, xp},
      {"ALL on both sides", xp, "Service Pack 3", "ALL$*$ALL", true,
       {check, "MSG : OS from filter condition : ALL", "MSG : Service pack from filter condition : ALL",
        "MSG : OS on machine : " + xp, "MSG : Service pack on machine : Service Pack 3"},
       xp},
      {"all in small letters, padded", "", "", " all $*$ All ", true,
       {check, "MSG : OS from filter condition : all", "MSG : Service pack from filter condition : All",
        "MSG : OS on machine : ", "MSG : Service pack on machine : "},
       ""},
      {"registered mark and outer spaces ignored", "Microsoft\xC2\xAE Windows 7 Professional ", "",
       "Microsoft Windows 7 Professional$*$ALL", true,
       {check, "MSG : OS from filter condition : Microsoft Windows 7 Professional",
        "MSG : Service pack from filter condition : ALL", "MSG : OS on machine : Microsoft Windows 7 Professional ",
        "MSG : Service pack on machine : ", "MSG : OS matched"},
       "Microsoft Windows 7 Professional "},
      {"trade mark and (R) removed on both sides", "Microsoft Windows(R) Server\xE2\x84\xA2 2008 Standard ",
       "Service Pack 2", "Microsoft\xC2\xAE Windows Server 2008 Standard$*$service pack 2", true,
       {check, "MSG : OS from filter condition : Microsoft Windows Server 2008 Standard",
        "MSG : Service pack from filter condition : service pack 2",
        "MSG : OS on machine : Microsoft Windows Server 2008 Standard ", "MSG : Service pack on machine : Service Pack 2",
        "MSG : OS And Service pack matched"},
       "Microsoft Windows Server 2008 Standard "},
      {"service pack only, any case", xp, "service pack 1", "ALL$*$Service Pack 1", true,
       {check, "MSG : OS from filter condition : ALL", "MSG : Service pack from filter condition : Service Pack 1",
        "MSG : OS on machine : " + xp, "MSG : Service pack on machine : service pack 1", "MSG : Service pack matched"},
       xp},
      {"OS and service pack", xp, "Service Pack 3", "Microsoft Windows XP Professional$*$Service Pack 3", true,
       Concat(Concat({check}, kOsDetailsXp), {"MSG : OS And Service pack matched"}), xp},
      {"OS and service pack in other letter case", xp, "Service Pack 3",
       "MICROSOFT windows xp PROFESSIONAL $*$ SERVICE PACK 3", true,
       {check, "MSG : OS from filter condition : MICROSOFT windows xp PROFESSIONAL",
        "MSG : Service pack from filter condition : SERVICE PACK 3", "MSG : OS on machine : " + xp,
        "MSG : Service pack on machine : Service Pack 3", "MSG : OS And Service pack matched"},
       xp},
      {"letters beyond ASCII compared without case", "Microsoft Windows 10 \xC3\x89" "ducation", "",
       "MICROSOFT WINDOWS 10 \xC3\xA9" "DUCATION$*$ALL", true,
       {check, "MSG : OS from filter condition : MICROSOFT WINDOWS 10 \xC3\xA9" "DUCATION",
        "MSG : Service pack from filter condition : ALL",
        "MSG : OS on machine : Microsoft Windows 10 \xC3\x89" "ducation", "MSG : Service pack on machine : ",
        "MSG : OS matched"},
       "Microsoft Windows 10 \xC3\x89" "ducation"},
      {"service pack differs", xp, "Service Pack 2", "Microsoft Windows XP Professional$*$Service Pack 3", false,
       {check, notMatched}, xp},
      {"OS differs", xp, "Service Pack 3", "Microsoft Windows 2000 Professional$*$Service Pack 3", false,
       {check, notMatched}, xp},
      {"name is compared whole, not as a prefix", xp, "", "Microsoft Windows XP$*$ALL", false, {check, notMatched}, xp},
      {"second alternative holds", xp, "Service Pack 3",
       "Microsoft Windows 2000 Professional$*$ALL@#@Microsoft Windows XP Professional$*$Service Pack 3", true,
       Concat(Concat({check}, kOsDetailsXp), {"MSG : OS And Service pack matched"}), xp},
      {"only the text up to a third separator counts", xp, "Service Pack 3",
       "Microsoft Windows XP Professional$*$Service Pack 3$*$whatever", true,
       Concat(Concat({check}, kOsDetailsXp), {"MSG : OS And Service pack matched"}), xp},
      {"lone OS part accepts any service pack", xp, "Service Pack 3", "Microsoft Windows XP Professional", true,
       {check, "MSG : OS from filter condition : Microsoft Windows XP Professional",
        "MSG : Service pack from filter condition : ALL", "MSG : OS on machine : " + xp,
        "MSG : Service pack on machine : Service Pack 3", "MSG : OS matched"},
       xp},
      {"lone OS part does not take the previous alternative's service pack", xp, "Service Pack 3",
       "Microsoft Windows 2000 Professional$*$Service Pack 4@#@Microsoft Windows XP Professional", true,
       {check, "MSG : OS from filter condition : Microsoft Windows XP Professional",
        "MSG : Service pack from filter condition : ALL", "MSG : OS on machine : " + xp,
        "MSG : Service pack on machine : Service Pack 3", "MSG : OS matched"},
       xp},
      {"earlier alternative holds, later empty one never reached", xp, "Service Pack 3", "ALL$*$Service Pack 3@#@@#@",
       true,
       {check, "MSG : OS from filter condition : ALL", "MSG : Service pack from filter condition : Service Pack 3",
        "MSG : OS on machine : " + xp, "MSG : Service pack on machine : Service Pack 3", "MSG : Service pack matched"},
       xp},
      {"empty first alternative", xp, "Service Pack 3", "@#@ALL$*$ALL", false, {check, trap}, xp},
      {"empty alternative after one that fails", xp, "Service Pack 3", "Microsoft Windows 95$*$ALL@#@", false,
       {check, trap}, xp},
      {"two separators in a row", xp, "Service Pack 3", "Microsoft Windows 95$*$ALL@#@@#@ALL$*$ALL", false,
       {check, trap}, xp},
  };
  for (const OsCase& c : cases) {
    SCOPED_TRACE(c.name);
    ClearLog();
    rs_.OsName = c.osName;
    rs_.OsServicePack = c.servicePack;
    EXPECT_EQ(OSCheck(rs_, c.condition), c.expected);
    EXPECT_EQ(testing::JoinLines(LogMessages()), testing::JoinLines(c.log));
    EXPECT_EQ(rs_.OsName, c.osNameAfter);
    EXPECT_EQ(rs_.OsServicePack, c.servicePack);
  }
}

struct ListCase {
  const char* name;
  std::string list;
  std::string condition;
  std::string expected;
  Lines log;
};

TEST_F(FiltersTest, SoftwareCheckCases) {
  const std::string list = "Paper Reader X;Packer 9.20";
  const std::string satisfied = "MSG : software Filter condition satisfied";
  const std::vector<ListCase> cases = {
      {"empty condition", list, "", "", {}},
      {"blank condition", list, "  ", "", {}},
      {"no-condition text", list, "*&*$*ALL*&*$*", "", {}},
      {"no-condition text in small letters", list, "*&*$*all*&*$*", "", {}},
      {"every marker form and exact match",
       list,
       "$*LIKE*$READER$*LIKE*$@#@packer$*like*$@#@$*LIKE*$9.20@#@packer 9.20",
       "",
       {"MSG : Searching for software : $*LIKE*$READER$*LIKE*$", "MSG : software found : PAPER READER X",
        "MSG : Searching for software : packer$*like*$", "MSG : software found : PACKER 9.20",
        "MSG : Searching for software : $*LIKE*$9.20", "MSG : software found : PACKER 9.20",
        "MSG : Searching for software : packer 9.20", "MSG : software found : PACKER 9.20", satisfied}},
      {"exact form needs the whole name",
       list,
       "Packer",
       "Software PACKER not found",
       {"MSG : Searching for software : Packer", "MSG : software not found : PACKER"}},
      {"ends-with form does not match the middle",
       list,
       "$*like*$Reader",
       "Software $*LIKE*$READER not found",
       {"MSG : Searching for software : $*like*$Reader", "MSG : software not found : $*LIKE*$READER"}},
      {"begins-with form does not match the middle",
       list,
       "Reader$*LIKE*$",
       "Software READER$*LIKE*$ not found",
       {"MSG : Searching for software : Reader$*LIKE*$", "MSG : software not found : READER$*LIKE*$"}},
      {"the first entry that matches is reported",
       list,
       "$*LIKE*$E$*LIKE*$",
       "",
       {"MSG : Searching for software : $*LIKE*$E$*LIKE*$", "MSG : software found : PAPER READER X", satisfied}},
      {"marker alone matches any entry",
       list,
       "$*LIKE*$",
       "",
       {"MSG : Searching for software : $*LIKE*$", "MSG : software found : PAPER READER X", satisfied}},
      {"stops at the first element not found",
       list,
       "Nothing Here@#@Packer 9.20",
       "Software NOTHING HERE not found",
       {"MSG : Searching for software : Nothing Here", "MSG : software not found : NOTHING HERE"}},
      {"empty inventory finds nothing",
       "",
       "$*LIKE*$",
       "Software $*LIKE*$ not found",
       {"MSG : Searching for software : $*LIKE*$", "MSG : software not found : $*LIKE*$"}},
      {"spaces belong to the name",
       list,
       " Packer 9.20",
       "Software  PACKER 9.20 not found",
       {"MSG : Searching for software :  Packer 9.20", "MSG : software not found :  PACKER 9.20"}},
      {"entry with a leading space",
       " Lead Tool;Other",
       " lead tool",
       "",
       {"MSG : Searching for software :  lead tool", "MSG : software found :  LEAD TOOL", satisfied}},
      {"empty element is not found",
       list,
       "Packer 9.20@#@",
       "Software  not found",
       {"MSG : Searching for software : Packer 9.20", "MSG : software found : PACKER 9.20",
        "MSG : Searching for software : ", "MSG : software not found : "}},
  };
  for (const ListCase& c : cases) {
    SCOPED_TRACE(c.name);
    ClearLog();
    rs_.SoftwareList = c.list;
    EXPECT_EQ(SoftwareCheck(rs_, c.condition), c.expected);
    EXPECT_EQ(testing::JoinLines(LogMessages()), testing::JoinLines(c.log));
    EXPECT_EQ(rs_.SoftwareList, c.list);
  }
}

TEST_F(FiltersTest, ServiceCheckCases) {
  const std::string list = "RpcSs;Spooler";
  const std::string satisfied = "MSG : Service filter conditions satisfied";
  const std::vector<ListCase> cases = {
      {"empty condition", list, "", "", {}},
      {"blank condition", list, "   ", "", {}},
      {"no-condition text", list, "*&*$*ALL*&*$*", "", {}},
      {"no-condition text in mixed case", list, "*&*$*aLl*&*$*", "", {}},
      {"padded element, any case",
       list,
       " spooler ",
       "",
       {"MSG : Searching for service :  SPOOLER ", "MSG : Service found :  SPOOLER ", satisfied}},
      {"every element found",
       list,
       "rpcss@#@SPOOLER",
       "",
       {"MSG : Searching for service : RPCSS", "MSG : Service found : RPCSS", "MSG : Searching for service : SPOOLER",
        "MSG : Service found : SPOOLER", satisfied}},
      {"no partial match",
       list,
       "Spool",
       "Service SPOOL not found",
       {"MSG : Searching for service : SPOOL", "MSG : Service not found : SPOOL"}},
      {"stops at the first element not found",
       list,
       "Nope@#@Spooler",
       "Service NOPE not found",
       {"MSG : Searching for service : NOPE", "MSG : Service not found : NOPE"}},
      {"empty inventory finds nothing",
       "",
       "Spooler",
       "Service SPOOLER not found",
       {"MSG : Searching for service : SPOOLER", "MSG : Service not found : SPOOLER"}},
      {"blank element is not found",
       list,
       "Spooler@#@ ",
       "Service   not found",
       {"MSG : Searching for service : SPOOLER", "MSG : Service found : SPOOLER", "MSG : Searching for service :  ",
        "MSG : Service not found :  "}},
  };
  for (const ListCase& c : cases) {
    SCOPED_TRACE(c.name);
    ClearLog();
    rs_.ServiceList = c.list;
    EXPECT_EQ(ServiceCheck(rs_, c.condition), c.expected);
    EXPECT_EQ(testing::JoinLines(LogMessages()), testing::JoinLines(c.log));
  }
}

// The entries of a list are prepared once and reused: a list changed between checks must be
// searched as it stands now, also when it changes back to one searched before.
TEST_F(FiltersTest, ChecksSearchTheInventoryAsItStandsNow) {
  const std::string both = "Paper Reader X;Packer 9.20";
  rs_.SoftwareList = both;
  EXPECT_EQ(SoftwareCheck(rs_, "packer 9.20@#@$*LIKE*$reader$*LIKE*$"), "");
  rs_.SoftwareList = "Paper Reader X";
  EXPECT_EQ(SoftwareCheck(rs_, "packer 9.20"), "Software PACKER 9.20 not found");
  EXPECT_EQ(SoftwareCheck(rs_, "$*LIKE*$reader$*LIKE*$"), "");
  rs_.SoftwareList = both;
  EXPECT_EQ(SoftwareCheck(rs_, "packer 9.20"), "");
  EXPECT_EQ(rs_.SoftwareList, both);

  rs_.ServiceList = "RpcSs;Spooler";
  EXPECT_EQ(ServiceCheck(rs_, "spooler"), "");
  rs_.ServiceList = "RpcSs";
  EXPECT_EQ(ServiceCheck(rs_, "spooler"), "Service SPOOLER not found");
  EXPECT_EQ(rs_.ServiceList, "RPCSS");
  rs_.ServiceList = "rpcss; spooler ";
  EXPECT_EQ(ServiceCheck(rs_, "spooler"), "");
  EXPECT_EQ(rs_.ServiceList, "RPCSS; SPOOLER ");
}

TEST_F(FiltersTest, ServiceCheckLeavesTheListUpperCasedOnlyWhenItSearches) {
  rs_.ServiceList = "RpcSs;Spooler";
  EXPECT_EQ(ServiceCheck(rs_, "*&*$*ALL*&*$*"), "");
  EXPECT_EQ(rs_.ServiceList, "RpcSs;Spooler");
  EXPECT_EQ(ServiceCheck(rs_, "spooler"), "");
  EXPECT_EQ(rs_.ServiceList, "RPCSS;SPOOLER");
}

// What each check tells both callers: the alternative or entries that decided, or what failed.
TEST_F(FiltersTest, VerdictsCarryTheirReasons) {
  rs_.OsName = "Microsoft Windows 7 Professional ";
  rs_.OsServicePack = "Service Pack 1";
  rs_.SoftwareList = "Paper Reader X;Packer 9.20";
  rs_.ServiceList = "RpcSs;Spooler";
  struct Case {
    CheckVerdict (*check)(RunState&, const std::string&);
    std::string condition;
    bool holds, present;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {&OSVerdict, " ", true, false, "no condition"},
      {&OSVerdict, "XP$*$ALL@#@ALL$*$service pack 1", true, true,
       "alternative 2 matched: OS \"ALL\", service pack \"service pack 1\""},
      {&OSVerdict, "XP$*$ALL@#@ALL$*$Service Pack 2", false, true,
       "no alternative matches OS \"Microsoft Windows 7 Professional \", service pack \"Service Pack 1\""},
      {&OSVerdict, "XP$*$ALL@#@@#@ALL$*$ALL", false, true, "check failed at alternative 2: 9 (Subscript out of range)"},
      {&SoftwareVerdict, "*&*$*all*&*$*", true, false, "no condition"},
      {&SoftwareVerdict, "packer$*LIKE*$@#@Paper Reader X", true, true,
       "\"packer$*LIKE*$\" found as \"PACKER 9.20\"; \"Paper Reader X\" found as \"PAPER READER X\""},
      {&SoftwareVerdict, "Paper Reader X@#@Packer@#@Nothing", false, true, "Software PACKER not found"},
      {&ServiceVerdict, "", true, false, "no condition"},
      {&ServiceVerdict, "spooler@#@ RPCSS ", true, true, "found: SPOOLER, RPCSS"},
      {&ServiceVerdict, "spooler@#@spool", false, true, "Service SPOOL not found"},
  };
  for (const auto& c : cases) {
    const CheckVerdict v = c.check(rs_, c.condition);
    EXPECT_EQ(v.holds, c.holds) << c.condition;
    EXPECT_EQ(v.present, c.present) << c.condition;
    EXPECT_EQ(v.reason, c.reason) << c.condition;
  }
  // The driver's forms are the same answers.
  EXPECT_FALSE(OSCheck(rs_, "XP$*$ALL"));
  EXPECT_EQ(SoftwareCheck(rs_, "Packer"), "Software PACKER not found");
  EXPECT_EQ(ServiceCheck(rs_, "spooler"), "");
}

}  // namespace
}  // namespace kdht
