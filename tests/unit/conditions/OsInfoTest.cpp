// Operating-system name: the naming tables of the fallback, the version text, and the WMI
// answer of the Wine prefix.
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "conditions/OsInfo.h"
#include "platform/Dispatch.h"
#include "platform/OsVersion.h"
#include "support/TestSupport.h"

namespace kdht {
namespace {

OsVersionFacts Facts(std::uint32_t platformId, std::uint32_t major, std::uint32_t minor, std::string servicePack = "",
                     std::uint32_t productType = 1, std::uint32_t suiteMask = 0) {
  OsVersionFacts f;
  f.platformId = platformId;
  f.major = major;
  f.minor = minor;
  f.winVersion = FormatWinVersion(major, minor);
  f.servicePack = std::move(servicePack);
  f.productType = productType;
  f.suiteMask = suiteMask;
  return f;
}

OsVersionFacts PlainRecord(std::uint32_t major, std::uint32_t minor, std::string registryProductType,
                           std::uint32_t productTypeField = 0) {
  OsVersionFacts f = Facts(2, major, minor, "Service Pack 4", productTypeField);
  f.extendedRecord = false;
  f.registryProductType = std::move(registryProductType);
  return f;
}

struct FallbackCase {
  const char* name;
  OsVersionFacts facts;
  std::string expectedName;
  std::string expectedServicePack;
};

TEST(FallbackOsName, NamingTables) {
  const std::string kept = "kept";  // service pack held before the fallback
  const std::vector<FallbackCase> cases = {
      // Base names by platform and version.
      {"Win32s", Facts(0, 3, 10), "Microsoft Win32s ", kept},
      {"95", Facts(1, 4, 0, " A "), "Microsoft Windows 95 ", kept},
      {"95 OSR2 by B", Facts(1, 4, 0, " B "), "Microsoft Windows 95 OSR2 ", kept},
      {"95 OSR2 by C", Facts(1, 4, 0, "C"), "Microsoft Windows 95 OSR2 ", kept},
      {"95 small b is no OSR2", Facts(1, 4, 0, "b"), "Microsoft Windows 95 ", kept},
      {"98 SE", Facts(1, 4, 10, " A "), "Microsoft Windows 98 SE ", kept},
      {"98 small a is no SE", Facts(1, 4, 10, " a "), "Microsoft Windows 98 ", kept},
      {"Me", Facts(1, 4, 90), "Microsoft Windows Me ", kept},
      {"unknown 9x version", Facts(1, 4, 50), "", kept},
      {"NT 3", Facts(2, 3, 51, "Service Pack 5"), "Microsoft Windows NT 3 Professional ", "Service Pack 5"},
      {"NT 4 workstation", Facts(2, 4, 0, "Service Pack 6"), "Microsoft Windows NT 4 ", "Service Pack 6"},
      {"2000 Professional", Facts(2, 5, 0, "Service Pack 4"), "Microsoft Windows 2000 Professional ",
       "Service Pack 4"},
      {"XP Professional", Facts(2, 5, 1, "Service Pack 3"), "Microsoft Windows XP Professional ", "Service Pack 3"},
      {"XP Home", Facts(2, 5, 1, "", 1, 0x0200), "Microsoft Windows XP Home Edition ", ""},
      {"newer than the table, workstation", Facts(2, 6, 1, "Service Pack 1"), "Professional ", "Service Pack 1"},
      {"newer than the table, server", Facts(2, 10, 0, "", 3), "Server ", ""},
      // Editions of servers from the extended record; datacenter wins over enterprise.
      {"NT 4 server", Facts(2, 4, 0, "", 3, 0x0002), "Microsoft Windows NT 4 ", ""},
      {"2000 DataCenter", Facts(2, 5, 0, "", 3, 0x0082), "Microsoft Windows 2000 DataCenter Server ", ""},
      {"2003 enterprise", Facts(2, 5, 2, "", 3, 0x0002), "Microsoft Windows 2003 Server ", ""},
      {"2000 enterprise", Facts(2, 5, 0, "", 3, 0x0002), "Microsoft Windows 2000 Advanced Server ", ""},
      {"2003 plain server", Facts(2, 5, 2, "Service Pack 2", 3), "Microsoft Windows 2003 Server ", "Service Pack 2"},
      {"NT 4 domain controller takes no edition", Facts(2, 4, 0, "", 2), "Microsoft Windows NT 4 ", ""},
      {"unknown product type", Facts(2, 5, 1, "", 7), "Microsoft Windows XP ", ""},
      {"service pack up to its first NUL", Facts(2, 5, 1, std::string("Service Pack 2\0old", 18)),
       "Microsoft Windows XP Professional ", "Service Pack 2"},
      // Editions from the registry when only the plain record could be read.
      {"registry WINNT", PlainRecord(5, 0, "WinNT"), "Microsoft Windows 2000 Professional ", "Service Pack 4"},
      {"registry LANMANNT", PlainRecord(5, 0, "lanmannt"), "Microsoft Windows 2000 Server ", "Service Pack 4"},
      {"registry SERVERNT", PlainRecord(4, 0, "ServerNT"), "Microsoft Windows NT 4 Advanced Server ",
       "Service Pack 4"},
      {"registry other", PlainRecord(5, 1, "Embedded"), "Microsoft Windows XP ", "Service Pack 4"},
      {"registry missing", PlainRecord(5, 1, ""), "Microsoft Windows XP ", "Service Pack 4"},
      {"plain record carries no domain-controller type", PlainRecord(5, 0, "", 2), "Microsoft Windows 2000 ",
       "Service Pack 4"},
      // Domain controllers of the 5.x family.
      {"2000 domain controller", Facts(2, 5, 0, "", 2), "Microsoft Windows 2000 Server", ""},
      {"2000 DataCenter domain controller", Facts(2, 5, 0, "", 2, 0x0082), "Microsoft Windows 2000 DataCenter Server",
       ""},
      {"2003 enterprise domain controller", Facts(2, 5, 2, "", 2, 0x0002), "Microsoft Windows 2003 Server ", ""},
      {"XP-numbered enterprise domain controller", Facts(2, 5, 1, "", 2, 0x0002),
       "Microsoft Windows XP Advanced Server ", ""},
      {"domain controller suffix on any platform", Facts(0, 5, 0, "", 2), "Microsoft Win32s Server", kept},
      {"no suffix outside the 5.x family", Facts(2, 6, 0, "", 2), "", ""},
  };
  for (const FallbackCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string name;
    std::string servicePack = kept;
    FallbackOsName(c.facts, name, servicePack);
    EXPECT_EQ(name, c.expectedName);
    EXPECT_EQ(servicePack, c.expectedServicePack);
  }
}

TEST(FallbackOsName, VersionTextWithAnotherSeparatorAddsNoSuffix) {
  OsVersionFacts f = Facts(2, 5, 0, "", 2);
  f.winVersion = "5,00";
  std::string name, servicePack;
  FallbackOsName(f, name, servicePack);
  EXPECT_EQ(name, "Microsoft Windows 2000 ");
}

TEST(FormatWinVersion, TwoDecimalsWithAPoint) {
  EXPECT_EQ(FormatWinVersion(5, 1), "5.01");
  EXPECT_EQ(FormatWinVersion(6, 0), "6.00");
  EXPECT_EQ(FormatWinVersion(4, 10), "4.10");
  EXPECT_EQ(FormatWinVersion(4, 90), "4.90");
  EXPECT_EQ(FormatWinVersion(10, 0), "10.00");
}

class OsInfoTest : public testing::SandboxTest {};

TEST_F(OsInfoTest, WinVersionIsTheSystemsMajorDotMinor) {
  const auto record = platform::ReadVersionRecord(true);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(GetWinVersion(rs_), FormatWinVersion(record->major, record->minor));
  EXPECT_TRUE(LogMessages().empty());
}

TEST_F(OsInfoTest, WmiGivesCaptionAndServicePack) {
  platform::ComApartment com;
  const std::string answer = fncCreateWMIObject(rs_, "WIN32_OPERATINGSYSTEM");
  ASSERT_NE(answer.find("#@#"), std::string::npos) << answer;

  EXPECT_TRUE(GetOS(rs_));
  EXPECT_FALSE(rs_.OsName.empty());
  EXPECT_EQ(rs_.OsName + "#@#" + rs_.OsServicePack, answer);
  EXPECT_EQ(testing::JoinLines(LogMessages()),
            testing::JoinLines({"MSG : OS name : " + rs_.OsName, "MSG : OS service Pack : " + rs_.OsServicePack}));
}

TEST_F(OsInfoTest, UnknownWmiClassGivesNothing) {
  platform::ComApartment com;
  EXPECT_EQ(fncCreateWMIObject(rs_, "Win32_NoSuchClassKdht"), "");
  // Windows refuses the class (trap line); Wine answers with no instance (no line).
  for (const auto& line : LogMessages()) {
    EXPECT_TRUE(line.ends_with(") in procedure fncCreateWMIObject of Module ModFunctions")) << line;
  }
}

TEST_F(OsInfoTest, WithoutWmiTheVersionNumbersNameTheSystem) {
  // A fresh thread has no COM apartment, so the WMI query fails and the fallback runs.
  bool answeredByWmi = true;
  std::thread([&] { answeredByWmi = GetOS(rs_); }).join();
  EXPECT_FALSE(answeredByWmi);

  const auto record = platform::ReadVersionRecord(true);
  ASSERT_TRUE(record.has_value());
  const auto lines = LogMessages();
  ASSERT_EQ(lines.size(), 4u) << testing::JoinLines(lines);
  EXPECT_TRUE(lines[0].ends_with(") in procedure fncCreateWMIObject of Module ModFunctions")) << lines[0];
  EXPECT_EQ(lines[1], "MSG : Windows version : " + FormatWinVersion(record->major, record->minor));
  EXPECT_EQ(lines[2], "MSG : OS name : " + rs_.OsName);
  EXPECT_EQ(lines[3], "MSG : OS service Pack : " + rs_.OsServicePack);
  // Wine reports an NT workstation newer than the naming table: only the edition is known.
  ASSERT_EQ(record->platformId, 2u);
  ASSERT_GE(record->major, 6u);
  ASSERT_EQ(record->productType, 1u);
  EXPECT_EQ(rs_.OsName, "Professional ");
}

}  // namespace
}  // namespace kdht
