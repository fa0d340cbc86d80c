// Management-instrumentation queries (root\cimv2), through the typed WBEM interfaces.
// The caller owns the COM apartment and the process-wide security setting.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kdht::platform {

// One instance: the requested properties in the order asked for, nothing for a NULL value.
using WmiRow = std::vector<std::optional<std::string>>;

// Every instance of `className` with the text of each property. Throws Failure{hr, text}
// when the service, the class or a property cannot be reached.
std::vector<WmiRow> WmiInstances(const std::string& className, const std::vector<std::string>& properties);

}  // namespace kdht::platform
