#include "core/Paths.h"

#include "core/Log.h"
#include "core/RunState.h"
#include "platform/FileSystem.h"
#include "platform/Shell.h"

namespace kdht {
namespace {

std::string WithBackslash(const std::string& folder) {
  return !folder.empty() && folder.back() == '\\' ? folder : folder + "\\";
}

}  // namespace

std::string GetShortPath(RunState& rs, const std::string& path) {
  try {
    return platform::ShortPathName(path, 164);
  } catch (...) {
    const Failure f = CurrentFailure();
    WriteLog(rs, "ERR : In GetShortpath : " + std::to_string(f.number()) + "-" + f.description());
    return {};
  }
}

std::string GetLongPath(RunState& /*rs*/, const std::string& path) {
  try {
    std::string out;
    const std::uint32_t n = platform::LongPathName(path, 500, &out);
    if (n == 0 || n > 500) return path;
    return out;
  } catch (...) {
    return path;
  }
}

std::string GetSpecialfolder(RunState& rs, int csidl) {
  try {
    std::string path;
    if (platform::SpecialFolderPath(csidl, &path) < 0) return {};
    return path;
  } catch (...) {
    LogTrap(rs, "GetSpecialfolder", "modMain");
    return {};
  }
}

std::string FileVerInfo(RunState& rs, const std::string& path) {
  try {
    const auto v = platform::ReadFileVersion(path);
    if (!v) return {};
    // Each half is printed unsigned: a version sent to the server is never negative.
    return std::to_string(v->major) + "." + std::to_string(v->minor) + "." + std::to_string(v->build) + "." +
           std::to_string(v->revision);
  } catch (...) {
    LogTrap(rs, "FileVerInfo", "modMain");
    return {};
  }
}

bool CopyFiles(RunState& rs, const std::string& source, const std::string& destination) {
  try {
    for (const auto& name : rs.FileSys.FileNames(source)) {
      rs.FileSys.CopyFile(WithBackslash(source) + name, WithBackslash(destination) + name);
    }
    return true;
  } catch (...) {
    LogTrap(rs, "CopyFiles", "modMain");
    return false;
  }
}

bool CopyFolders(RunState& rs, const std::string& source, const std::string& destination) {
  try {
    for (const auto& name : rs.FileSys.SubfolderNames(source)) {
      rs.FileSys.CopyFolder(WithBackslash(source) + name, WithBackslash(destination) + name);
    }
    return true;
  } catch (...) {
    LogTrap(rs, "CopyFolders", "modMain");
    return false;
  }
}

}  // namespace kdht
