// The script messages' texts on any bytes, cut into fields at NUL bytes. A template-details reply's
// items are each either an identifier or rejected; the e-mail element gives back the subject from
// its CDATA sections and keeps its three attributes whole; a marker insertion adds only copies of
// the inserted text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "platform/Text.h"
#include "scripts/ScriptDetails.h"

namespace {

namespace text = kdht::text;

void CheckScriptIds(const std::string& reply) {
  std::vector<std::string> rejected;
  const std::vector<std::string> ids = kdht::TemplateScriptIds(reply, &rejected);
  for (const std::string& id : ids) FUZZ_CHECK(id.find(',') == std::string::npos);
  for (const std::string& item : rejected) FUZZ_CHECK(!text::Contains(item, "#@#"));
  FUZZ_CHECK(kdht::TemplateScriptIds(reply, nullptr) == ids);
  if (ids.empty() && rejected.empty()) return;
  // Every item is accounted for: the list is the reply less its wrapper, cut at commas.
  const std::string list = text::ReplaceAllNoCase(
      text::ReplaceAllNoCase(reply, "<dcmtemplatedetails><scriptid><![CDATA[", ""),
      "]]></scriptid></dcmtemplatedetails>", "");
  FUZZ_CHECK(ids.size() + rejected.size() == text::Split(list, ",").size());
}

// The subject as a reader of the stored file gets it: the text of the CDATA sections of
// <msgsubject>, joined.
void CheckEmailElement(const std::string& subject, const std::string& reqd, const std::string& groups) {
  const std::string element = kdht::EmailElement(subject, reqd, groups, "1");
  const std::string open = "<msgsubject><![CDATA[";
  FUZZ_CHECK(text::StartsWith(element, open));
  std::string read;
  size_t at = open.size();
  for (;;) {
    const size_t end = element.find("]]>", at);
    FUZZ_CHECK(end != std::string::npos);
    read.append(element, at, end - at);
    at = end + 3;
    if (element.compare(at, 9, "<![CDATA[") != 0) break;
    at += 9;
  }
  FUZZ_CHECK(read == subject);
  const std::string close = "</msgsubject><email ";
  FUZZ_CHECK(element.compare(at, close.size(), close) == 0);
  const std::string attributes = element.substr(at + close.size());
  size_t quotes = 0;
  for (char c : attributes) quotes += c == '"' ? 1 : 0;
  FUZZ_CHECK(quotes == 6);
  FUZZ_CHECK(attributes.find('<') == std::string::npos);
}

void CheckInsert(const std::string& textIn, const std::string& marker, const std::string& insert) {
  FUZZ_CHECK(kdht::InsertBeforeNoCase(textIn, marker, "") == textIn);
  const std::string out = kdht::InsertBeforeNoCase(textIn, marker, insert);
  FUZZ_CHECK(out.size() >= textIn.size());
  if (insert.empty()) return;
  FUZZ_CHECK((out.size() - textIn.size()) % insert.size() == 0);
  if (marker.empty()) FUZZ_CHECK(out == textIn);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> fields = text::Split(bytes, std::string(1, '\0'));
  fields.resize(3);
  CheckScriptIds(bytes);
  CheckEmailElement(fields[0], fields[1], fields[2]);
  CheckInsert(fields[0], fields[1], fields[2]);
  // The request bodies are built from any member and identifier text without fault.
  FUZZ_CHECK(text::StartsWith(kdht::ScriptDetailsRequest(fields[0], fields[1]), "<wpdcmscriptdetails><memberid>"));
  FUZZ_CHECK(text::StartsWith(kdht::TemplateDetailsRequest(fields[0], fields[1]), "<wpdcmtemplatedetails><memberid>"));
  return 0;
}
