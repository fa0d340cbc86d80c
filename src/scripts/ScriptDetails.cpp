// The texts of the two script messages (declared in ScriptDetails.h): pure, so they build anywhere.
#include "scripts/ScriptDetails.h"

#include "platform/Text.h"

namespace kdht {

std::string EmailElement(const std::string& subject, const std::string& reqd, const std::string& groups,
                         const std::string& status) {
  // "]]>" would end the CDATA section early: it is split across two sections.
  const std::string cdata = text::ReplaceAll(subject, "]]>", "]]]]><![CDATA[>");
  return "<msgsubject><![CDATA[" + cdata + "]]></msgsubject><email emailreqd=\"" + text::XmlEscape(reqd, true) +
         "\" emailgrpids=\"" + text::XmlEscape(groups, true) + "\" executionstatus=\"" +
         text::XmlEscape(status, true) + "\" />";
}

std::string ScriptDetailsRequest(const std::string& memberId, const std::string& scriptIds) {
  return "<wpdcmscriptdetails><memberid>" + text::XmlEscape(memberId) + "</memberid><scriptid>" +
         text::XmlEscape(scriptIds) + "</scriptid></wpdcmscriptdetails>";
}

std::string TemplateDetailsRequest(const std::string& memberId, const std::string& templateId) {
  return "<wpdcmtemplatedetails><memberid>" + text::XmlEscape(memberId) + "</memberid><batchid>" +
         text::XmlEscape(templateId) + "</batchid></wpdcmtemplatedetails>";
}

std::vector<std::string> TemplateScriptIds(const std::string& reply, std::vector<std::string>* rejected) {
  std::string list = text::ReplaceAllNoCase(reply, "<dcmtemplatedetails><scriptid><![CDATA[", "");
  list = text::ReplaceAllNoCase(list, "]]></scriptid></dcmtemplatedetails>", "");
  std::vector<std::string> ids;
  if (list.empty()) return ids;  // an empty reply names no scripts
  for (const std::string& item : text::Split(list, ",")) {
    const size_t marker = item.find("#@#");
    if (marker == std::string::npos) {
      if (rejected != nullptr) rejected->push_back(item);
      continue;
    }
    ids.push_back(item.substr(0, marker));
  }
  return ids;
}

std::string InsertBeforeNoCase(const std::string& textIn, const std::string& marker, const std::string& insert) {
  if (marker.empty()) return textIn;
  const std::string hay = text::AsciiUpper(textIn);
  const std::string needle = text::AsciiUpper(marker);
  std::string out;
  size_t start = 0;
  for (;;) {
    const size_t p = hay.find(needle, start);
    if (p == std::string::npos) break;
    out.append(textIn, start, p - start);
    out += insert;
    out.append(textIn, p, marker.size());
    start = p + marker.size();
  }
  out.append(textIn, start, std::string::npos);
  return out;
}

}  // namespace kdht
