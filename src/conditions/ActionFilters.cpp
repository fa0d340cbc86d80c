#include "conditions/ActionFilters.h"

#include "core/RunState.h"

namespace kdht {

ActionAnswer AnswerPlainConditions(RunState& rs, const platform::XmlNode& action) {
  ActionAnswer answer;
  for (const auto& c : kConditionChecks) {
    // A condition that cannot be read counts as absent; a check that could not be asked leaves
    // the answer as it is.
    std::string condition;
    bool present = false;
    try {
      if (auto child = action.SelectSingle(c.element)) {
        condition = child->Text();
        present = true;
      }
    } catch (...) {
      present = false;
    }
    if (!present) continue;
    try {
      ConditionAnswer asked{c.element, condition, c.check(rs, condition)};
      if (!asked.verdict.holds) answer.satisfied = false;
      answer.conditions.push_back(std::move(asked));
    } catch (...) {
    }
  }
  return answer;
}

}  // namespace kdht
