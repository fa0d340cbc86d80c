// Finding, ending and starting processes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kdht {

struct RunState;

std::uint32_t GetCurrentUserToken(RunState& rs);
bool fncExecuteInUserAcc(RunState& rs, std::uint32_t processId, const std::string& program,
                         const std::string& commandLine, const std::string& workingFolder);
void KillProcess(RunState& rs, std::string& names);
void GetProcessList(RunState& rs, std::string& names, bool restart);
// Ends the desktop application (taskkill /F /IM kDHM.exe, hidden, not waited for).
void StopDesktopApp(RunState& rs);

// The process names of a comma-separated list, trimmed and in capitals; empty items dropped.
std::vector<std::string> ProcessNameList(const std::string& names);
// True when `baseName` equals one of the names of the list, ignoring case.
bool IsListedProcess(const std::string& baseName, const std::vector<std::string>& upperNames);
// A command line for `program` and its arguments; the program part is quoted when it holds a
// blank, so that the started program sees its own path as one word.
std::string CommandLineFor(const std::string& program, const std::string& arguments);
// Full path of a program in the system folder (programs are never found through the search path).
std::string SystemProgram(const std::string& fileName);

}  // namespace kdht
