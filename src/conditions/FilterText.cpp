// The texts of filter conditions (declared in FilterText.h): pure, so they build anywhere.
#include "conditions/FilterText.h"

#include <vector>

#include "platform/Text.h"

namespace kdht {
namespace {

constexpr size_t kLikeMarkerLength = sizeof(kLikeMarker) - 1;

}  // namespace

std::string WithoutMarks(const std::string& s) {
  std::string out = text::ReplaceAll(s, "\xC2\xAE", "");  // ®
  out = text::ReplaceAll(out, "\xE2\x84\xA2", "");        // ™
  return text::ReplaceAll(out, "(R)", "");
}

OsAlternative SplitOsAlternative(const std::string& alternative) {
  const std::vector<std::string> parts = text::Split(alternative, kPartSeparator);
  return {text::Trim(parts[0]), parts.size() > 1 ? text::Trim(parts[1]) : std::string("ALL")};
}

SoftwarePattern::SoftwarePattern(const std::string& element) {
  const bool atStart = text::StartsWith(element, kLikeMarker);
  const bool atEnd = text::EndsWith(element, kLikeMarker);
  if (atStart && atEnd) {
    form_ = Form::Contains;
    needle_ = text::ReplaceAll(element, kLikeMarker, "");
  } else if (atStart) {
    form_ = Form::EndsWith;
    needle_ = element.substr(kLikeMarkerLength);
  } else if (atEnd) {
    form_ = Form::StartsWith;
    needle_ = text::ReplaceAll(element, kLikeMarker, "");
  } else {
    form_ = Form::Equals;
    needle_ = element;
  }
}

bool SoftwarePattern::Matches(const std::string& entry) const {
  switch (form_) {
    case Form::Contains: return text::Contains(entry, needle_);
    case Form::EndsWith: return text::EndsWith(entry, needle_);
    case Form::StartsWith: return text::StartsWith(entry, needle_);
    case Form::Equals: break;
  }
  return entry == needle_;
}

}  // namespace kdht
