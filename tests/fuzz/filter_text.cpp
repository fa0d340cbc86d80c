// The texts of filter conditions on any bytes: the input is an element and an entry, split at the
// first line break. A condition splits into alternatives that join back to it; an OS alternative
// splits into trimmed parts without a separator; a software element matches what its marker form
// promises, and without a marker only itself.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "conditions/FilterText.h"
#include "platform/Text.h"

namespace {

using kdht::SoftwarePattern;
namespace text = kdht::text;

bool IsTrimmed(const std::string& s) { return s.empty() || (s.front() != ' ' && s.back() != ' '); }

void CheckOsAlternatives(const std::string& condition) {
  const std::vector<std::string> alternatives = text::Split(condition, kdht::kAlternativeSeparator);
  std::string joined;
  for (size_t i = 0; i < alternatives.size(); ++i) joined += (i > 0 ? kdht::kAlternativeSeparator : "") + alternatives[i];
  FUZZ_CHECK(joined == condition);
  for (const std::string& alternative : alternatives) {
    if (alternative.empty()) continue;  // malformed: the check refuses it before splitting
    const kdht::OsAlternative parts = kdht::SplitOsAlternative(alternative);
    FUZZ_CHECK(!text::Contains(parts.os, kdht::kPartSeparator));
    FUZZ_CHECK(!text::Contains(parts.servicePack, kdht::kPartSeparator));
    FUZZ_CHECK(IsTrimmed(parts.os) && IsTrimmed(parts.servicePack));
    if (!text::Contains(alternative, kdht::kPartSeparator)) FUZZ_CHECK(parts.servicePack == "ALL");
  }
  FUZZ_CHECK(kdht::WithoutMarks(condition).size() <= condition.size());
}

// `name` is a software name without any "$": marked on either side it cannot be read as another
// form (a name ending in "$*LIKE*" would make a marker of its own with the one after it).
void CheckSoftwareForms(const std::string& name, const std::string& entry) {
  const std::string marker = kdht::kLikeMarker;
  const SoftwarePattern exact(name);
  FUZZ_CHECK(exact.Matches(name));
  FUZZ_CHECK(exact.Matches(entry) == (entry == name));

  const SoftwarePattern anywhere(marker + name + marker);
  FUZZ_CHECK(anywhere.Matches(entry + name + entry));
  FUZZ_CHECK(anywhere.Matches(entry) == text::Contains(entry, name));

  const SoftwarePattern ending(marker + name);
  FUZZ_CHECK(ending.Matches(entry + name));
  FUZZ_CHECK(ending.Matches(entry) == text::EndsWith(entry, name));

  const SoftwarePattern starting(name + marker);
  FUZZ_CHECK(starting.Matches(name + entry));
  FUZZ_CHECK(starting.Matches(entry) == text::StartsWith(entry, name));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const size_t cut = bytes.find('\n');
  const std::string element = bytes.substr(0, cut);
  const std::string entry = cut == std::string::npos ? std::string() : bytes.substr(cut + 1);

  CheckOsAlternatives(bytes);
  // Any element, marked or not, is read without fault, and a software entry equal to an element
  // without markers matches it.
  const SoftwarePattern pattern(element);
  (void)pattern.Matches(entry);
  if (element.find('$') == std::string::npos) CheckSoftwareForms(element, entry);
  return 0;
}
