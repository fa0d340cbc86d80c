#include "system/Popup.h"

#include "core/Log.h"
#include "core/Paths.h"
#include "core/RunState.h"
#include "platform/Dispatch.h"
#include "platform/Shell.h"
#include "system/ProcessControl.h"

namespace kdht {
namespace {

// regsvr32, silent, for one library by its full path.
platform::ProgramStart Registration(const std::string& library, platform::ShowWindow show) {
  const std::string regsvr32 = SystemProgram("regsvr32.exe");
  const bool quote = library.find(' ') != std::string::npos;
  const std::string argument = quote ? "\"" + library + "\"" : library;
  return {regsvr32, CommandLineFor(regsvr32, "-s " + argument), show};
}

// Starts regsvr32 for one library without waiting for it.
void StartRegistration(const std::string& library, platform::ShowWindow show) {
  const platform::ProgramStart start = Registration(library, show);
  platform::StartProcess(start.application, start.commandLine, start.show);
}

}  // namespace

bool fncCallPopup(RunState& rs, std::int32_t icon, const std::string& header, const std::string& body,
                  std::int32_t displayTime, std::int32_t height, std::int32_t width, std::int16_t transparency,
                  std::int32_t modal, std::string& closedBy) {
  const std::string library = rs.InstallPath + "kXPR\\kPopup.dll";
  try {
    WriteLog(rs, "MSg : In fncCallPopup");
    if (!rs.FileSys.FileExists(library)) WriteLog(rs, "ERR : " + library + " is missing. ");
    UseCom(rs);
    platform::Dispatch popup = platform::Dispatch::Create("kPopup.Display");
    popup.Put("Icon", icon);
    popup.Put("Header", header);
    popup.Put("Body", body);
    popup.Put("DisplayTimeSeconds", displayTime);
    popup.Put("PopupHeight", height);
    popup.Put("PopupWidth", width);
    popup.Put("TransparencyLevel", transparency);
    popup.Put("ModalForm", modal);
    std::vector<platform::DispatchArg> none;
    popup.Call("Popup", none);
    closedBy = platform::DispatchValueText(popup.Get("ClosedBy"));
    return true;
  } catch (...) {
    const Failure f = CurrentFailure();
    // Most often the notifier is not registered yet; a later popup of this run can use it.
    try {
      StartRegistration(library, platform::ShowWindow::Hidden);
    } catch (...) {
    }
    WriteLog(rs, "ERR : fncCallPopup, " + f.description());
    return false;
  }
}

std::vector<std::string> RuntimeDllsToRegister(const std::string& systemFolder,
                                               const std::function<bool(const std::string&)>& exists) {
  std::vector<std::string> out;
  if (systemFolder.empty()) return out;
  out.push_back(systemFolder + "scrrun.dll");
  for (const char* msxml : {"msxml4.dll", "msxml3.dll", "msxml2.dll"}) {
    if (exists(systemFolder + msxml)) {
      out.push_back(systemFolder + msxml);
      break;
    }
  }
  return out;
}

void RegisterRuntimeDLLs(RunState& rs) {
  std::string folder;
  try {
    folder = GetSpecialfolder(rs, kCsidlSystem);
  } catch (...) {
    return;
  }
  if (folder.empty()) return;
  folder += "\\";
  std::vector<std::string> libraries;
  try {
    libraries = RuntimeDllsToRegister(folder, [&rs](const std::string& path) { return rs.FileSys.FileExists(path); });
  } catch (...) {
    return;
  }
  // Not waited for: the registrations run beside the start of the run, and are started from a
  // thread of their own, so that the run does not wait while each regsvr32 initialises either.
  // The thread lives in the run state and is joined before the run ends.
  try {
    std::vector<platform::ProgramStart> starts;
    starts.reserve(libraries.size());
    for (const auto& library : libraries) starts.push_back(Registration(library, platform::ShowWindow::MinimizedFocus));
    rs.Registrations = std::make_unique<platform::BackgroundStarts>(std::move(starts));
  } catch (...) {
  }
}

}  // namespace kdht
