// What kDHTInfo reports: the feature's state on this machine and, for a template, each action's
// answer with the reasons for it. Everything is read with the updater's own procedures, from a
// run state whose log lines are discarded; nothing on the machine is changed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "conditions/ActionFilters.h"
#include "conditions/Inventory.h"
#include "info/Crashes.h"
#include "platform/Clock.h"
#include "scripts/ScriptPackages.h"

namespace kdht {

struct RunState;

namespace info {

// A run state for reading: its log goes nowhere, nothing is registered, no lock is taken.
// False when the install folder is not registered or does not exist.
bool PrepareReader(RunState& rs);

struct IdentityValue {
  std::string name, value;
  std::string fault;  // the updater's start-up line for it; empty when the value passes
};

struct HeldTemplate {
  std::string path;
  bool exists = false;
  // "trusted", "missing" (no seal file), "not matching", or "no checksum" (the checksum library
  // could not be used); empty when there is no template.
  std::string seal;
  std::string sealDetail;
  bool loaded = false;
  std::string root, id, version;
};

struct StatusFile {
  std::string path;
  bool exists = false;
  std::string lastRun, tempId, tempVer, status;
  bool lastRunValid = false;
  // Whether the next run reports (as it decides it, with the held template as the run's own).
  bool dueAtNextRun = true;
  // When the daily report falls due regardless of changes; empty when there is no valid time.
  std::optional<platform::LocalTime> dueBy;
};

struct SchedulerRequest {
  std::string file, section, executable, parameter, startTime, endTime, interval, weekdays;
  bool runner = false;
};

struct SchedulerRequests {
  std::string folder;
  bool addFileExists = false, deleteFileExists = false;
  std::vector<SchedulerRequest> requests;  // every section of both files, add file first
};

struct PostFiles {
  std::string folder;
  std::size_t count = 0;
  std::string oldest;  // name of the oldest file by the time in its name; empty when none
  std::optional<platform::LocalTime> oldestTime;
};

struct Inventory {
  std::string osName, osServicePack;
  SoftwareCounts software;
  std::size_t services = 0;
};

struct State {
  std::string installValue;  // the registry value as stored
  std::string installPath;   // as the updater uses it
  std::vector<IdentityValue> identity;
  HeldTemplate held;
  StatusFile status;
  SchedulerRequests scheduler;
  PostFiles posts;
  bool runnerRunning = false;
  std::size_t runnerProcesses = 0;
  Inventory inventory;
  Crashes crashes;
  platform::LocalTime now;
};

struct ActionReport {
  std::size_t index = 0;  // from 1, in document order
  std::string id, name;   // attributes as written; a missing one is empty
  bool hasId = false, hasName = false;
  bool script = false;
  ActionAnswer answer;
  ScriptFetchPlan plan;  // script actions only
};

struct ActionsReport {
  std::string source;
  std::string root, templateId, templateVersion;
  Inventory inventory;
  std::vector<ActionReport> actions;
};

// Takes the inventory once, as the updater does at a template's first action.
Inventory TakeInventory(RunState& rs);
State ReadState(RunState& rs);

// Loads the held template (empty path) or a template file as the server sends it. False, with
// *problem set, when the file is missing or cannot be loaded.
bool LoadTemplateForActions(RunState& rs, const std::string& file, std::string* source, std::string* problem);
// Answers every action of the loaded template in order, with the checks the updater runs.
ActionsReport EvaluateActions(RunState& rs, const std::string& source);

// The time in a post file's name ("..._mmddyyyyhhnnss.txt"); nothing when it carries none.
std::optional<platform::LocalTime> PostFileTime(const std::string& name);

// The names of the files in `folder`; none when it is missing or cannot be listed.
std::vector<std::string> FileNamesIn(RunState& rs, const std::string& folder);
// The first whole hour at which 24 clock-hour boundaries have passed since `last`.
platform::LocalTime DailyReportDue(const platform::LocalTime& last);

}  // namespace info
}  // namespace kdht
