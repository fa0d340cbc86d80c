// The texts of filter conditions as templates write them. Pure, so they build anywhere (the fuzz
// targets build them natively).
#pragma once

#include <string>

namespace kdht {

// Between the alternatives of a condition; between the OS and service-pack parts of an OS
// alternative; the text that stands for no condition; around a software element matched in part.
inline constexpr char kAlternativeSeparator[] = "@#@";
inline constexpr char kPartSeparator[] = "$*$";
inline constexpr char kNoCondition[] = "*&*$*ALL*&*$*";
inline constexpr char kLikeMarker[] = "$*LIKE*$";

// The text without the trademark marks ("®", "™", "(R)") that OS captions carry in some
// languages and releases but template authors leave out.
std::string WithoutMarks(const std::string& s);

// One OS alternative (not empty): its OS part and its service-pack part, trimmed. A lone OS part
// accepts any service pack: "ALL".
struct OsAlternative {
  std::string os;
  std::string servicePack;
};
OsAlternative SplitOsAlternative(const std::string& alternative);

// One upper-cased software element, its marker form worked out once for all entries: "$*LIKE*$"
// at its start matches the end of an entry, at its end the start, at both ends any part; with no
// marker the element matches the whole entry.
class SoftwarePattern {
 public:
  explicit SoftwarePattern(const std::string& element);

  // One upper-cased software entry.
  bool Matches(const std::string& entry) const;

 private:
  enum class Form { Contains, EndsWith, StartsWith, Equals };
  Form form_ = Form::Equals;
  std::string needle_;
};

}  // namespace kdht
