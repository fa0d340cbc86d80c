// The texts of the two script messages and of what is stored with a script: request bodies, the
// identifiers a template-details reply names, the e-mail element. Pure, so they build anywhere
// (the fuzz targets build them natively).
#pragma once

#include <string>
#include <vector>

namespace kdht {

// The e-mail element stored with every script details file. The values are escaped for their
// place, so that the stored file stays well-formed whatever the template carries.
std::string EmailElement(const std::string& subject, const std::string& reqd, const std::string& groups,
                         const std::string& status);

// Request bodies of the two script messages (values XML-escaped).
std::string ScriptDetailsRequest(const std::string& memberId, const std::string& scriptIds);
std::string TemplateDetailsRequest(const std::string& memberId, const std::string& templateId);

// The script identifiers a template-details reply names, in order: for each ","-separated item
// the text before its first "#@#". Items without "#@#" are left out and returned in *rejected.
std::vector<std::string> TemplateScriptIds(const std::string& reply, std::vector<std::string>* rejected);

// `insert` placed in front of every `marker` (letter case ignored in the search; the marker
// keeps its own case).
std::string InsertBeforeNoCase(const std::string& text, const std::string& marker, const std::string& insert);

}  // namespace kdht
