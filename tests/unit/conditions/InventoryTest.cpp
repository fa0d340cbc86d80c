// Software and service inventory against the registry and the service manager of the Wine
// prefix.
#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "conditions/Inventory.h"
#include "platform/Registry.h"
#include "platform/Text.h"
#include "support/TestSupport.h"

namespace kdht {
namespace {

using platform::Hive;
using platform::RegView;

constexpr char kUninstall[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

std::vector<std::string> Entries(const std::string& list) { return text::Split(list, ";"); }

long CountOf(const std::vector<std::string>& entries, const std::string& name) {
  return std::count(entries.begin(), entries.end(), name);
}

long IndexOf(const std::vector<std::string>& entries, const std::string& name) {
  return std::find(entries.begin(), entries.end(), name) - entries.begin();
}

// Uninstall entries of this test, in one registry view, removed again at the end.
class UninstallEntries {
 public:
  UninstallEntries(RegView view, std::string stem) : view_(view), stem_(std::move(stem)) {
    platform::RegKey existing;
    hadUninstallKey_ = existing.Open(Hive::LocalMachine, kUninstall, /*queryOnly=*/true, view_) == 0;
  }
  ~UninstallEntries() {
    for (const auto& k : keys_) platform::DeleteRegTree(Hive::LocalMachine, k, view_);
    // A fresh Wine prefix has no Uninstall key; leave the prefix as it was found.
    if (!hadUninstallKey_) platform::DeleteRegTree(Hive::LocalMachine, kUninstall, view_);
  }
  UninstallEntries(const UninstallEntries&) = delete;
  UninstallEntries& operator=(const UninstallEntries&) = delete;

  // A subkey with an optional display name of the given value type.
  void Add(const std::string& suffix, const std::string* displayName, std::uint32_t type = platform::kRegSz) {
    const std::string path = std::string(kUninstall) + "\\" + stem_ + suffix;
    platform::RegKey key;
    ASSERT_EQ(key.Create(Hive::LocalMachine, path, view_), platform::kErrorSuccess) << path;
    keys_.push_back(path);
    ASSERT_EQ(key.SetString("UninstallString", "C:\\nothing.exe"), platform::kErrorSuccess);
    if (displayName != nullptr) {
      ASSERT_EQ(key.SetString("DisplayName", *displayName, type), platform::kErrorSuccess);
    }
  }

 private:
  RegView view_;
  std::string stem_;
  bool hadUninstallKey_ = false;
  std::vector<std::string> keys_;
};

class InventoryTest : public testing::SandboxTest {
 protected:
  const std::string tag_ =
      std::to_string(std::chrono::steady_clock::now().time_since_epoch().count() % 1000000000);
};

TEST_F(InventoryTest, SoftwareListReadsBothViewsAndKeepsNamesAsStored) {
  const std::string alpha = "kDHT Probe Alpha " + tag_;
  const std::string lead = " kDHT Probe Lead " + tag_;
  const std::string blank = "    ";
  const std::string empty;
  const std::string expand = "kDHT Probe Expand " + tag_;
  const std::string wide = "kDHT Probe Wide " + tag_;
  const std::string both = "kDHT Probe Both " + tag_;
  {
    UninstallEntries narrow(RegView::Wow32, "kdhtProbe" + tag_);
    UninstallEntries sixtyFour(RegView::Wow64, "kdhtProbe" + tag_);
    narrow.Add("A", &alpha);
    narrow.Add("B", &blank);
    narrow.Add("C", &lead);
    narrow.Add("D", &alpha);
    narrow.Add("E", nullptr);
    narrow.Add("F", &expand, platform::kRegExpandSz);
    narrow.Add("G", &empty);
    narrow.Add("H", &both);
    sixtyFour.Add("W", &wide);
    sixtyFour.Add("X", &both);

    rs_.SoftwareList = "stale";
    EXPECT_FALSE(GetSoftList(rs_));
  }
  const auto entries = Entries(rs_.SoftwareList);
  EXPECT_EQ(CountOf(entries, alpha), 2) << rs_.SoftwareList;
  EXPECT_EQ(CountOf(entries, lead), 1);
  EXPECT_EQ(CountOf(entries, wide), 1);
  EXPECT_EQ(CountOf(entries, both), 2);
  EXPECT_EQ(CountOf(entries, expand), 0);
  EXPECT_EQ(CountOf(entries, "stale"), 0);
  for (const auto& e : entries) EXPECT_FALSE(text::Trim(e).empty()) << rs_.SoftwareList;
  // The 32-bit view comes first.
  EXPECT_LT(IndexOf(entries, alpha), IndexOf(entries, wide));
  EXPECT_LT(IndexOf(entries, lead), IndexOf(entries, wide));

  EXPECT_EQ(testing::JoinLines(LogMessages()),
            testing::JoinLines({"MSG : Getting software list from "
                                "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
                                "MSG : Softwares installed on machine : " + rs_.SoftwareList}));
}

TEST_F(InventoryTest, SoftwareListForgetsRemovedPrograms) {
  const std::string gone = "kDHT Probe Gone " + tag_;
  {
    UninstallEntries narrow(RegView::Wow32, "kdhtGone" + tag_);
    narrow.Add("A", &gone);
    GetSoftList(rs_);
    EXPECT_EQ(CountOf(Entries(rs_.SoftwareList), gone), 1);
  }
  GetSoftList(rs_);
  EXPECT_EQ(CountOf(Entries(rs_.SoftwareList), gone), 0);
}

TEST(ServiceEnumBufferBytes, OneRecordMoreThanTheWholeRecordsNeeded) {
  EXPECT_EQ(ServiceEnumBufferBytes(1000, 36), 1008u);  // 27 whole records + 1
  EXPECT_EQ(ServiceEnumBufferBytes(36, 36), 72u);
  EXPECT_EQ(ServiceEnumBufferBytes(0, 48), 48u);
  EXPECT_EQ(ServiceEnumBufferBytes(1000, 48), 1008u);
  EXPECT_EQ(ServiceEnumBufferBytes(1008, 48), 1056u);
}

TEST_F(InventoryTest, ServiceListHoldsInternalNamesOfWin32Services) {
  rs_.ServiceList = "stale";
  const std::string result = GetServices(rs_);
  EXPECT_EQ(result, rs_.ServiceList);
  const auto entries = Entries(rs_.ServiceList);
  // Services that every Wine prefix installs, under their key names.
  EXPECT_EQ(CountOf(entries, "RpcSs"), 1) << rs_.ServiceList;
  EXPECT_EQ(CountOf(entries, "Spooler"), 1) << rs_.ServiceList;
  // Never display names, never drivers.
  EXPECT_EQ(CountOf(entries, "Remote Procedure Call (RPC)"), 0);
  EXPECT_EQ(CountOf(entries, "Print Spooler"), 0);
  EXPECT_EQ(CountOf(entries, "mountmgr"), 0);
  EXPECT_EQ(CountOf(entries, "stale"), 0);

  EXPECT_EQ(testing::JoinLines(LogMessages()),
            testing::JoinLines({"MSG : Getting list of services on machine",
                                "MSG : Services on machines : " + rs_.ServiceList}));
}

}  // namespace
}  // namespace kdht
