#include "core/Log.h"

#include <new>
#include <system_error>

#include "core/RunState.h"
#include "platform/FileSystem.h"
#include "platform/Text.h"

namespace kdht {
namespace {

constexpr std::uint32_t kErrorPathNotFound = 3;

// The log line as bytes of the system code page.
std::string LineBytes(const RunState& rs, const std::string& message) {
  return platform::Utf8ToAnsi(text::FormatStamp(rs.Now()) + "\t" + message + "\r\n");
}

}  // namespace

Failure CurrentFailure() {
  try {
    throw;
  } catch (const Failure& f) {
    return f;
  } catch (const std::bad_alloc&) {
    return Failure(7, "Out of memory");
  } catch (const std::system_error& e) {
    return Failure(e.code().value(), e.what());
  } catch (const std::exception& e) {
    return Failure(5, std::string("Invalid procedure call or argument: ") + e.what());
  } catch (...) {
    return Failure(5, "Invalid procedure call or argument");
  }
}

std::string TrapLine(const Failure& f, const std::string& procedure, const std::string& module) {
  return "ERR : " + std::to_string(f.number()) + " (" + f.description() + ") in procedure " + procedure +
         " of Module " + module;
}

void LogTrap(RunState& rs, const std::string& procedure, const std::string& module) {
  WriteLog(rs, TrapLine(CurrentFailure(), procedure, module));
}

bool WriteLog(RunState& rs, const std::string& message) {
  if (rs.Log == LogTarget::Discard) return true;
  try {
    if (text::Trim(rs.LogFilePath).empty()) {
      // A blank log path: the folder procedure is asked to repair it, and cannot.
      return CreateLogFolder(rs);
    }
    platform::AppendFileBytes(rs.LogFilePath, LineBytes(rs, message));
  } catch (const Failure& f) {
    if (static_cast<std::uint32_t>(f.number()) == kErrorPathNotFound) {
      // The folder is missing: this line is lost, the folder and an empty log appear.
      return CreateLogFolder(rs);
    }
    // Any other failure (locked, disk full): the line is dropped silently.
  } catch (...) {
  }
  return true;
}

bool CreateLogFolder(RunState& rs) {
  if (rs.Log == LogTarget::Discard) return true;  // nothing to create: no line is written
  try {
    platform::MakeSureDirectoryPathExists(rs.InstallPath + "ApplicationLog\\kXPRLog\\");
    if (text::Trim(rs.LogFilePath).empty()) throw Failure(kErrPathNotFound, "Path not found");
    if (!platform::FileExists(rs.LogFilePath)) platform::AppendFileBytes(rs.LogFilePath, std::string());
    return true;
  } catch (...) {
    // Without a log the run cannot report anything: its driver ends it.
    rs.LogUnusable = true;
    return false;
  }
}

bool ApplyLogSizeLimit(RunState& rs) {
  if (rs.Log == LogTarget::Discard) return true;
  constexpr std::uint64_t kLimit = 1048576;
  if (platform::FileExists(rs.LogFilePath) && platform::FileSize(rs.LogFilePath) >= kLimit) {
    try {
      platform::DeleteFileForced(rs.LogFilePath);
    } catch (...) {
      // Held open by another program: the log stays for this run, its lines appended or lost.
      // The log's upkeep must not cost the run its update (it would, run after run).
      return true;
    }
    return CreateLogFolder(rs);
  }
  return true;
}

std::string fncFormatMessage(RunState& rs, std::int32_t code) {
  try {
    const std::string text = platform::SystemMessage(code);
    if (text.rfind("Error ", 0) == 0 && text == "Error " + std::to_string(code)) {
      return std::to_string(code);  // the system has no text for this code
    }
    return std::to_string(code) + "-" + text;
  } catch (...) {
    const Failure f = CurrentFailure();
    WriteLog(rs, "ERR : fncFormatMessage. ErrDesc : " + std::to_string(f.number()) + " " + f.description());
    return std::to_string(code);
  }
}

}  // namespace kdht
