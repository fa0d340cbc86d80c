// Preparing one script action: filter answer, e-mail element, script and template details.
#pragma once

#include <string>
#include <vector>

#include "conditions/ActionFilters.h"
#include "platform/Xml.h"
#include "scripts/ScriptDetails.h"

namespace kdht {

struct RunState;

std::string ProcessXPRScripts(RunState& rs, platform::XmlNode& action);

// The filter answer of a script action: all three conditions are asked, whatever the earlier
// verdicts; one that the action does not carry counts as not satisfied.
ActionAnswer AnswerScriptConditions(RunState& rs, const platform::XmlNode& action);

// One identifier of an action's template list and what processing does with it.
struct TemplateIdPlan {
  enum class What { Fetch, Trusted, NotAnId, Refused };
  std::string written;     // as it stands in the list
  std::string templateId;  // trimmed: the identifier that is requested
  What what = What::Fetch;
};

// What processing a script action would ask the server for, decided as processing decides it
// (installed copies trusted by their seals are not fetched again), with nothing fetched.
struct ScriptFetchPlan {
  std::string scriptIds;        // the action's script list as written
  bool fetchScripts = false;    // the script list is requested
  bool scriptsTrusted = false;  // not requested: the installed copy's seal matches
  std::string templateIds;      // the action's template list as written
  std::vector<TemplateIdPlan> templates;
  std::string refused;          // the failure that stops processing before any request, if any
};
ScriptFetchPlan PlanScriptFetch(RunState& rs, const platform::XmlNode& action);

}  // namespace kdht
