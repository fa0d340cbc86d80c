// The run log: one time-stamped line per step or failure, appended to the log file.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Failure.h"

namespace kdht {

struct RunState;

// Appends one line; never fails its caller. Returns false, and sets rs.LogUnusable, when the
// log's folder was missing and could not be recreated: the run has no log any more and the
// driver ends it silently.
bool WriteLog(RunState& rs, const std::string& message);
// Makes sure the log folder and file exist; false (and rs.LogUnusable) when they cannot be had.
bool CreateLogFolder(RunState& rs);
// The start-up size rule: a log of 1 MiB or more is deleted and recreated empty. False when it
// was deleted and could not be recreated.
bool ApplyLogSizeLimit(RunState& rs);
// "<code>-<system text>" or the bare code.
std::string fncFormatMessage(RunState& rs, std::int32_t code);

// The failure being handled in a catch block, as a number and a description. Call it only
// inside a catch handler.
Failure CurrentFailure();

// "ERR : <n> (<description>) in procedure <procedure> of Module <module>"
std::string TrapLine(const Failure& f, const std::string& procedure, const std::string& module);
void LogTrap(RunState& rs, const std::string& procedure, const std::string& module);

}  // namespace kdht
