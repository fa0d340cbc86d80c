// The end-of-run steps, and the refresh of the users' VirtualStore copies of the feature folder.
#include "core/Log.h"
#include "core/Paths.h"
#include "core/RunState.h"
#include "driver/Main.h"
#include "platform/Shell.h"

namespace kdht {

void PropagateToVirtualStore(RunState& rs) {
  // A file-system service of its own: the run's one may be in any state by now.
  FileSystemService fs;
  try {
    const std::string users = platform::GetEnv("SystemDrive").value_or("") + "\\Users";
    WriteLog(rs, "MSG : UsersPath : " + users);
    if (!fs.FolderExists(users)) {
      WriteLog(rs, "MSG : Invalid User Path");
      return;
    }
    for (const auto& profile : fs.SubfolderNames(users)) {
      WriteLog(rs, "MSG : ********************* User Name : " + profile + " **********************");
      std::string store = users;
      store += '\\';
      store += profile;
      store += "\\AppData\\Local\\VirtualStore";
      if (!fs.FolderExists(store)) {
        WriteLog(rs, "MSG : " + store + " - Not Available");
      } else {
        WriteLog(rs, "MSG : UserVirutalStorePath : " + store);
        const std::string longInstall = GetLongPath(rs, rs.InstallPath);
        WriteLog(rs, "MSG : VornODLongPath : " + longInstall);
        const size_t slash = longInstall.find('\\');
        if (slash == std::string::npos) {
          WriteLog(rs, "MSG : VornODLongPath - Invalid Long Path");
        } else {
          const std::string relative = longInstall.substr(slash) + "kXPR\\herald";
          WriteLog(rs, "MSG : VirtualStoreVORNOD : " + relative);
          const std::string target = store + relative;
          if (!fs.FolderExists(target)) {
            WriteLog(rs, "MSG : " + target + " - Not Available");
          } else {
            fs.DeleteFolder(target, true);
            WriteLog(rs, "MSG : DeleteFolder : " + target);
            if (!fs.FolderExists(target)) {
              fs.CreateFolder(target);
              WriteLog(rs, "MSG : CreateFolder : " + target);
            }
            fs.CopyFolder(rs.InstallPath + "kXPR\\herald", target);
            WriteLog(rs, "MSG : CopyFolder : " + rs.InstallPath + "kXPR\\herald   To   " + target);
          }
        }
      }
      WriteLog(rs, "MSG : ********************* Completed **********************");
    }
  } catch (...) {
    const Failure f = CurrentFailure();
    WriteLog(rs, "ERR :  Error No : " + std::to_string(f.number()) + "  Error Description  :  " + f.description());
  }
}

void EndRun(RunState& rs) {
  try {
    PropagateToVirtualStore(rs);
  } catch (...) {
  }
  WriteLog(rs, "MSG : Application Ended");
  rs.FilterElement.reset();
  rs.rsXML.reset();
}

}  // namespace kdht
