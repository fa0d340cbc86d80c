// kDHTInfo: a console program that tells the engineer supporting an agent what state Desk
// Herald is in on this machine and, for a template, which condition decided each action's
// answer. It reads only: no file, registry value or INI is written, no request is sent, the run
// log is left alone and the updater's single-instance lock is not taken.
#include <string>
#include <vector>

#include "core/Log.h"
#include "core/RunState.h"
#include "info/Render.h"
#include "info/StateReport.h"
#include "platform/Console.h"
#include "platform/CrashHandler.h"
#include "platform/Dispatch.h"

#ifndef KDHT_VERSION
#error KDHT_VERSION comes from the project version (CMakeLists.txt)
#endif

namespace {

constexpr int kReported = 0;
constexpr int kFailed = 1;
constexpr int kCannotReport = 2;

const char kUsage[] =
    "usage: kDHTInfo [--actions [FILE]] [--json]\r\n"
    "  (no option)      the state of Desk Herald on this machine\r\n"
    "  --actions        each action of the held template with its conditions, verdicts and answer\r\n"
    "  --actions FILE   the same for FILE, a template as the server sends it\r\n"
    "  --json           the same report as one JSON document\r\n";

int Refuse(const std::string& line) {
  kdht::platform::WriteStderr("kDHTInfo: " + line + "\r\n");
  return kCannotReport;
}

struct Options {
  bool actions = false;
  bool json = false;
  bool help = false;
  std::string file;
  std::string error;
};

Options ParseOptions(const std::vector<std::string>& words) {
  Options o;
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (w == "--actions") {
      o.actions = true;
      if (i + 1 < words.size() && words[i + 1].rfind("--", 0) != 0) o.file = words[++i];
    } else if (w == "--json") {
      o.json = true;
    } else if (w == "--help" || w == "-h" || w == "/?") {
      o.help = true;
    } else {
      o.error = "unknown argument \"" + w + "\" (kDHTInfo --help lists the options)";
      return o;
    }
  }
  return o;
}

int Run() {
  const Options options = ParseOptions(kdht::platform::CommandLineWords());
  if (!options.error.empty()) return Refuse(options.error);
  if (options.help) {
    kdht::platform::WriteStdout(kUsage);
    return kReported;
  }
  kdht::platform::ComApartment com;
  kdht::RunState rs;
  if (!kdht::info::PrepareReader(rs)) {
    return Refuse(
        "the agent's install folder is not registered: HKLM\\SOFTWARE\\VORNOD, value InstallationPath "
        "(32-bit view), is missing or names no existing folder");
  }
  const std::string version = KDHT_VERSION;
  if (!options.actions) {
    const kdht::info::State state = kdht::info::ReadState(rs);
    kdht::platform::WriteStdout(options.json ? kdht::info::StateJson(state, version)
                                             : kdht::info::StateText(state, version));
    return kReported;
  }
  std::string source, problem;
  if (!kdht::info::LoadTemplateForActions(rs, options.file, &source, &problem)) return Refuse(problem);
  const kdht::info::ActionsReport report = kdht::info::EvaluateActions(rs, source);
  kdht::platform::WriteStdout(options.json ? kdht::info::ActionsJson(report, version)
                                           : kdht::info::ActionsText(report, version));
  return kReported;
}

}  // namespace

int main() {
  // A crash prints its line on standard error and leaves its dump in the user's temporary folder.
  kdht::platform::InstallCrashHandler({"kDHTInfo", true});
  try {
    return Run();
  } catch (...) {
    const kdht::Failure f = kdht::CurrentFailure();
    kdht::platform::WriteStderr("kDHTInfo: the report failed: " + std::to_string(f.number()) + " (" +
                                f.description() + ")\r\n");
    return kFailed;
  }
}
