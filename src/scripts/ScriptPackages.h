// Preparing one script action: filter answer, e-mail element, script and template details.
#pragma once

#include <string>

#include "platform/Xml.h"

namespace kdht {

struct RunState;

std::string ProcessXPRScripts(RunState& rs, platform::XmlNode& action);

std::string EmailElement(const std::string& subject, const std::string& reqd, const std::string& groups,
                         const std::string& status);

}  // namespace kdht
