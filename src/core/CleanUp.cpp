#include "core/CleanUp.h"

#include <functional>

#include "core/Log.h"
#include "core/RunState.h"

namespace kdht {
namespace {

std::string ErlTrap(int line, const std::string& procedure) {
  const Failure f = CurrentFailure();
  return "ERR : " + std::to_string(f.number()) + " (" + f.description() + ") Erl:" + std::to_string(line) +
         " in procedure " + procedure + " of Module modMain";
}

}  // namespace

void CleanUpPreProcess(RunState& rs) {
  int line = 0;
  try {
    const std::string folder = rs.InstallPath + "kXPR\\Herald\\PreProcessScripts";
    const std::string file = rs.InstallPath + "kXPR\\Herald\\Pre_kDHMenu.xml";
    line = 10;
    if (rs.FileSys.FolderExists(folder)) {
      WriteLog(rs, "MSG : Deleting  folder " + folder);
      rs.FileSys.DeleteFolder(folder, true);
    }
    line = 20;
    if (rs.FileSys.FileExists(file)) {
      WriteLog(rs, "MSG : Deleting file " + file);
      rs.FileSys.DeleteFile(file, true);
    }
  } catch (...) {
    WriteLog(rs, ErlTrap(line, "CleanUpPreProcess"));
  }
}

void CleanUpPostProcess(RunState& rs) {
  const std::string herald = rs.InstallPath + "kXPR\\Herald";
  const std::string menu = herald + "\\kDHMenu.xml";
  const std::string data = herald + "\\kDHMenu.dat";
  const std::string icon = herald + "\\Icon";
  // Each step's failure is logged and the next step still runs.
  auto step = [&rs](int line, const std::function<void()>& body) {
    try {
      body();
    } catch (...) {
      WriteLog(rs, ErlTrap(line, "CleanUpPostProcess"));
    }
  };
  bool menuExists = false;
  step(10, [&] { menuExists = rs.FileSys.FileExists(menu); });
  if (menuExists) {
    step(11, [&] {
      WriteLog(rs, "MSG : Deleting file " + menu);
      rs.FileSys.DeleteFile(menu, true);
    });
    step(12, [&] {
      if (rs.FileSys.FileExists(data)) rs.FileSys.DeleteFile(data, true);
    });
  }
  if (!rs.FileSys.FolderExists(herald)) return;
  step(21, [&] {
    if (rs.FileSys.FolderExists(icon)) rs.FileSys.CopyFolder(icon, rs.InstallPath + "Herald");
  });
  step(22, [&] { WriteLog(rs, "MSG : Deleting All files and folders from " + herald); });
  step(23, [&] { rs.FileSys.DeleteFiles(herald, true); });
  step(24, [&] { rs.FileSys.DeleteFolders(herald, true); });
  step(25, [&] {
    const std::string restore = rs.InstallPath + "Herald\\icon";
    if (rs.FileSys.FolderExists(restore)) rs.FileSys.CopyFolder(restore, icon);
  });
}

}  // namespace kdht
