// The popup notifier through the agent's stand-in component, and the choice of runtime
// libraries to register.
#include <gtest/gtest.h>

#include <set>

#include "core/RunState.h"
#include "platform/Dispatch.h"
#include "platform/Failure.h"
#include "platform/FileSystem.h"
#include "platform/Shell.h"
#include "support/ChildProcesses.h"
#include "support/TestSupport.h"
#include "system/Popup.h"
#include "system/SystemTestSupport.h"

namespace kdht::testing {
namespace {

TEST(RuntimeDlls, TheScriptingRuntimeAndTheNewestMsxmlPresent) {
  struct Case {
    const char* name;
    std::set<std::string> present;
    std::vector<std::string> registered;
  };
  const std::string sys = "C:\\windows\\system32\\";
  const Case cases[] = {
      {"no msxml", {}, {sys + "scrrun.dll"}},
      {"3 and 2", {"msxml3.dll", "msxml2.dll"}, {sys + "scrrun.dll", sys + "msxml3.dll"}},
      {"all three", {"msxml4.dll", "msxml3.dll", "msxml2.dll"}, {sys + "scrrun.dll", sys + "msxml4.dll"}},
      {"only 2", {"msxml2.dll"}, {sys + "scrrun.dll", sys + "msxml2.dll"}},
      {"4 and 2", {"msxml4.dll", "msxml2.dll"}, {sys + "scrrun.dll", sys + "msxml4.dll"}},
  };
  for (const auto& c : cases) {
    const auto exists = [&](const std::string& path) {
      return path.rfind(sys, 0) == 0 && c.present.count(path.substr(sys.size())) != 0;
    };
    EXPECT_EQ(RuntimeDllsToRegister(sys, exists), c.registered) << c.name;
  }
  EXPECT_TRUE(RuntimeDllsToRegister("", [](const std::string&) { return true; }).empty());
}

TEST_F(SandboxTest, RuntimeRegistrationsStartBesideTheRunAndAreJoinedByIt) {
  platform::ComApartment com;
  RegisterRuntimeDLLs(rs_);
  ASSERT_TRUE(rs_.Registrations);
  ASSERT_TRUE(rs_.Registrations->Join(60000)) << "the registrations were not started within a minute";
  const std::vector<std::uint32_t> ids = rs_.Registrations->started();
  // The scripting runtime and the MSXML library that this system folder holds, every pass.
  EXPECT_EQ(ids.size(), 2u);
  for (std::uint32_t id : ids) {
    EXPECT_NE(id, 0u);
    EndIfRunning(id);
  }
}

TEST(BackgroundStarts, AProgramThatCannotStartIsPassedOverAndTheNextOneStarts) {
  const std::string sys = platform::SystemFolder();
  const std::string cmd = sys + "\\cmd.exe";
  platform::BackgroundStarts starts({{sys + "\\no-such-program.exe", "no-such-program.exe", platform::ShowWindow::Hidden},
                                     {cmd, "\"" + cmd + "\" /c exit 0", platform::ShowWindow::Hidden}});
  ASSERT_TRUE(starts.Join(60000));
  ASSERT_EQ(starts.started().size(), 1u);
  EndIfRunning(starts.started()[0]);
  platform::BackgroundStarts none({});
  EXPECT_TRUE(none.Join(0));
  EXPECT_TRUE(none.started().empty());
}

class PopupTest : public SandboxTest {
 protected:
  ~PopupTest() override {
    if (registered_.empty()) return;
    EXPECT_TRUE(Regsvr32(registered_, true).has_value()) << "regsvr32 did not end";
  }

  std::string Library() const { return rs_.InstallPath + "kXPR\\kPopup.dll"; }
  void Register(const std::string& library) {
    registered_ = library;
    EXPECT_TRUE(Regsvr32(library).has_value()) << "regsvr32 did not end";
  }
  static bool Creatable() {
    try {
      platform::Dispatch::Create("kPopup.Display");
      return true;
    } catch (const Failure&) {
      return false;
    }
  }

  platform::ComApartment com_;
  std::string registered_;
};

TEST_F(PopupTest, ShowsThroughTheNotifierSettingEveryPropertyInOrder) {
  CopyStandIn("kPopup.dll", Library());
  Register(Library());

  std::string closedBy = "unchanged";
  EXPECT_TRUE(fncCallPopup(rs_, 3, "Desk Herald", "Updated successfully.", 8000, 1300, 6000, 100, 1, closedBy));

  EXPECT_EQ(closedBy, "Timeout");
  EXPECT_EQ(RecordLines(rs_.InstallPath + "kXPR\\kPopup-calls.log"),
            (std::vector<std::string>{"put\tIcon\tVT_I4\t3", "put\tHeader\tVT_BSTR\tDesk Herald",
                                      "put\tBody\tVT_BSTR\tUpdated successfully.",
                                      "put\tDisplayTimeSeconds\tVT_I4\t8000", "put\tPopupHeight\tVT_I4\t1300",
                                      "put\tPopupWidth\tVT_I4\t6000", "put\tTransparencyLevel\tVT_I2\t100",
                                      "put\tModalForm\tVT_I4\t1", "popup"}));
  EXPECT_EQ(LogMessages(), std::vector<std::string>{"MSg : In fncCallPopup"});
}

TEST_F(PopupTest, AMissingNotifierIsReportedAndTheRunGoesOn) {
  // Whatever an earlier test left registered is gone.
  EXPECT_TRUE(Regsvr32(StandIn("kPopup.dll"), true).has_value()) << "regsvr32 did not end";

  std::string closedBy = "unchanged";
  EXPECT_FALSE(fncCallPopup(rs_, 3, "Desk Herald", "Updating please wait...", 1000, 1300, 6000, 100, 1, closedBy));

  EXPECT_EQ(closedBy, "unchanged");
  const auto log = LogMessages();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0], "MSg : In fncCallPopup");
  EXPECT_EQ(log[1], "ERR : " + Library() + " is missing. ");
  EXPECT_EQ(log[2], "ERR : fncCallPopup, ActiveX component can't create object");
}

TEST_F(PopupTest, AnUnregisteredNotifierIsRegisteredForTheNextPopup) {
  CopyStandIn("kPopup.dll", Library());
  EXPECT_TRUE(Regsvr32(Library(), true).has_value()) << "regsvr32 did not end";
  ASSERT_FALSE(Creatable());
  registered_ = Library();  // the call below registers it; the fixture removes it again

  std::string closedBy;
  EXPECT_FALSE(fncCallPopup(rs_, 3, "Desk Herald", "Updating please wait...", 1000, 1300, 6000, 100, 1, closedBy));
  EXPECT_EQ(LogMessages(), (std::vector<std::string>{"MSg : In fncCallPopup",
                                                     "ERR : fncCallPopup, ActiveX component can't create object"}));

  // The failed call started the registration of the notifier in the install folder.
  ASSERT_TRUE(WaitUntil(Creatable, 20000));
  EXPECT_TRUE(fncCallPopup(rs_, 3, "Desk Herald", "Updated failed.", 8000, 1300, 6000, 100, 1, closedBy));
  const auto calls = RecordLines(rs_.InstallPath + "kXPR\\kPopup-calls.log");
  ASSERT_EQ(calls.size(), 9u);
  EXPECT_EQ(calls[2], "put\tBody\tVT_BSTR\tUpdated failed.");
}

}  // namespace
}  // namespace kdht::testing
