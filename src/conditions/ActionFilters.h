// The filter answer of one template action: which of its conditions were asked, what each check
// said and why, and the answer written as the action's filtersatisfied.
#pragma once

#include <string>
#include <vector>

#include "conditions/Filters.h"
#include "platform/Xml.h"

namespace kdht {

struct RunState;

// One condition of an action as its check answered it.
struct ConditionAnswer {
  std::string element;    // "servicepack", "softwares" or "services"
  std::string condition;  // the element's text
  CheckVerdict verdict;
};

struct ActionAnswer {
  bool satisfied = true;  // the action's filtersatisfied: every condition asked holds
  std::vector<ConditionAnswer> conditions;
};

// The conditions an action may carry, by element name, in the order they are asked.
struct ConditionCheck {
  const char* element;
  CheckVerdict (*check)(RunState&, const std::string&);
};
inline constexpr ConditionCheck kConditionChecks[] = {
    {"servicepack", &OSVerdict}, {"softwares", &SoftwareVerdict}, {"services", &ServiceVerdict}};

// "true" or "false", as the answer stands in the template.
inline const char* AnswerText(bool satisfied) { return satisfied ? "true" : "false"; }

// A plain action: each condition that stands as a child of the action (however it is written)
// is asked, OS first, then software, then services, all of them whatever the earlier verdicts.
// An action without conditions is satisfied.
ActionAnswer AnswerPlainConditions(RunState& rs, const platform::XmlNode& action);

}  // namespace kdht
