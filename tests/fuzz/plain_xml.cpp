// The plain template reader on any bytes. Beyond not failing: what it accepts it must be able to
// stand behind. Names only come back as plain printable tokens; a document it calls well-formed
// stops being one with markup cut short after it or before it, and stays one with blanks after
// it; a UTF-8 text without declaration whose names it reads is a plain document to the string
// reader too.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "core/PlainXml.h"

namespace {

bool IsPlainToken(const std::string& s) {
  for (char c : s) {
    if (c < 0x20 || c > 0x7E || c == '<' || c == '&') return false;
  }
  return true;
}

bool IsName(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s) {
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    if (!letter && !(c >= '0' && c <= '9') && c != '.' && c != '-') return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  using kdht::plainxml::IsPlainDocument;
  using kdht::plainxml::ReadTemplateNames;

  const auto names = ReadTemplateNames(bytes);
  if (names) {
    FUZZ_CHECK(IsName(names->root));
    FUZZ_CHECK(IsPlainToken(names->templateId));
    FUZZ_CHECK(IsPlainToken(names->templateVer));
    const bool marked = bytes.rfind("\xEF\xBB\xBF", 0) == 0 || bytes.rfind("\xFF\xFE", 0) == 0;
    if (!marked && bytes.find("<?") == std::string::npos) FUZZ_CHECK(IsPlainDocument(bytes));
  }

  if (IsPlainDocument(bytes)) {
    FUZZ_CHECK(!IsPlainDocument(bytes + "<"));
    FUZZ_CHECK(!IsPlainDocument("<" + bytes));
    FUZZ_CHECK(!IsPlainDocument(bytes + "<a>"));
    FUZZ_CHECK(IsPlainDocument(bytes + " \r\n\t"));
    // The same document as the file reader sees it, with the mark the DOM writes.
    FUZZ_CHECK(ReadTemplateNames("\xEF\xBB\xBF" + bytes).has_value() == ReadTemplateNames(bytes).has_value());
  }
  return 0;
}
