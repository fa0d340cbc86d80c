// What a crash leaves behind: one line naming it and a minidump (thread, module and exception
// streams), after which the process ends with the exception code.
//
// The handler covers unhandled SEH exceptions, std::terminate, abort, the runtime's pure-call and
// invalid-parameter handlers, and stack overflow. The dump and the line are written by a thread
// made for that at installation, so a thread whose stack is exhausted, or whose state is suspect,
// only hands its exception over and waits. A fault inside the handler ends the process at once.
//
// The handler's state is the one process-wide block of the program: the system calls an
// unhandled-exception filter with no context of its own. It is written only by the two calls
// below, on the main thread, before and while the run goes on.
#pragma once

#include <cstdint>
#include <string>

namespace kdht::platform {

struct CrashHandlerSetup {
  // Names the dumps "<prefix>-<yyyymmdd-hhmmss>-<pid>.dmp".
  std::string dumpPrefix;
  // The line goes to standard error (a console program) rather than to a log file.
  bool lineToStandardError = false;
};

// Installs the handler. Until SetCrashLog names a log, dumps go to the user's temporary folder
// and no log line is written.
void InstallCrashHandler(const CrashHandlerSetup& setup);

// From now on the crash line is appended to this log (in its format: time stamp, tab, message,
// in the system code page) and the dumps are written in the log's folder.
void SetCrashLog(const std::string& logFile);

// The newest dumps a folder keeps; older ones of the same prefix are deleted when one is written.
constexpr int kDumpsKept = 5;

// Exception codes for crashes that are not SEH exceptions.
constexpr std::uint32_t kCrashTerminate = 0xE0000001;      // std::terminate
constexpr std::uint32_t kCrashAbort = 0x40000015;          // abort (STATUS_FATAL_APP_EXIT)
constexpr std::uint32_t kCrashPureCall = 0xE0000002;       // pure virtual call
constexpr std::uint32_t kCrashInvalidParameter = 0xC000000D;  // STATUS_INVALID_PARAMETER

}  // namespace kdht::platform
