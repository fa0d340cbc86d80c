// Local wall-clock time, as a plain value so that callers can be given any "now".
#pragma once

#include <string>

namespace kdht::platform {

struct LocalTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

LocalTime Now();
void SleepMs(unsigned milliseconds);

}  // namespace kdht::platform

namespace kdht::text {
// "MM/DD/YYYY HH:NN:SS", fixed separators whatever the regional settings.
std::string FormatStamp(const kdht::platform::LocalTime& t);
// "mmddyyyyhhnnss".
std::string FormatCompact(const kdht::platform::LocalTime& t);
// Parses a date and time in the stamp form (also a few lenient variants); false when it is not one.
bool ParseStamp(const std::string& text, kdht::platform::LocalTime* out);
// Number of clock-hour boundaries crossed from `from` to `to` (negative when `to` is earlier).
long long HourBoundariesBetween(const kdht::platform::LocalTime& from, const kdht::platform::LocalTime& to);
}  // namespace kdht::text
