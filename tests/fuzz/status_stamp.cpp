// The status file's time stamp read back. Any text: what it accepts is a real date and time of
// day, and writing that out again and reading it gives the same fields.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "platform/Clock.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  kdht::platform::LocalTime t{};
  if (!kdht::text::ParseStamp(text, &t)) return 0;
  FUZZ_CHECK(t.year >= 100 && t.year <= 9999 && t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31);
  FUZZ_CHECK(t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59 && t.second >= 0 && t.second <= 59);
  kdht::platform::LocalTime again{};
  FUZZ_CHECK(kdht::text::ParseStamp(kdht::text::FormatStamp(t), &again));
  FUZZ_CHECK(again.year == t.year && again.month == t.month && again.day == t.day && again.hour == t.hour &&
             again.minute == t.minute && again.second == t.second);
  FUZZ_CHECK(kdht::text::HourBoundariesBetween(t, again) == 0);
  return 0;
}
