// A template action's filter conditions, answered against the machine inventory in RunState.
#pragma once

#include <string>

namespace kdht {

struct RunState;

// A check's answer with its reason, put for a person reading it: the alternative that matched,
// the software or service that was missing, or what made the check fail. The checks write the
// same log lines whoever asks them.
struct CheckVerdict {
  bool holds = true;
  bool present = true;  // false: no condition at all (empty, blank, or the no-condition text)
  std::string reason;
};

CheckVerdict OSVerdict(RunState& rs, const std::string& condition);
CheckVerdict SoftwareVerdict(RunState& rs, const std::string& condition);
CheckVerdict ServiceVerdict(RunState& rs, const std::string& condition);

// The same checks as the run driver asks them: OSCheck's truth; for the other two, empty when
// the condition holds, else the reason.
bool OSCheck(RunState& rs, const std::string& condition);
std::string SoftwareCheck(RunState& rs, const std::string& condition);
std::string ServiceCheck(RunState& rs, const std::string& condition);

}  // namespace kdht
