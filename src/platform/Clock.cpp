#include "platform/Clock.h"

#include <windows.h>

#include <cstdio>

namespace kdht::platform {

LocalTime Now() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  return LocalTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
}

void SleepMs(unsigned milliseconds) { ::Sleep(milliseconds); }

}  // namespace kdht::platform

namespace kdht::text {
namespace {

// Days from the civil date 1970-01-01 (proleptic Gregorian).
long long DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

bool ValidDate(int y, int m, int d) {
  if (y < 100 || y > 9999 || m < 1 || m > 12 || d < 1) return false;
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int limit = days[m - 1];
  if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) limit = 29;
  return d <= limit;
}

}  // namespace

std::string FormatStamp(const kdht::platform::LocalTime& t) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%02d/%02d/%04d %02d:%02d:%02d", t.month, t.day, t.year, t.hour, t.minute,
                t.second);
  return buffer;
}

std::string FormatCompact(const kdht::platform::LocalTime& t) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%02d%02d%04d%02d%02d%02d", t.month, t.day, t.year, t.hour, t.minute, t.second);
  return buffer;
}

bool ParseStamp(const std::string& text, kdht::platform::LocalTime* out) {
  int mo = 0, d = 0, y = 0, h = 0, mi = 0, s = 0;
  char extra = 0;
  int n = std::sscanf(text.c_str(), " %d/%d/%d %d:%d:%d %c", &mo, &d, &y, &h, &mi, &s, &extra);
  if (n == 6 || n == 3) {
    if (n == 3) {
      h = mi = s = 0;
      char tail = 0;
      if (std::sscanf(text.c_str(), " %*d/%*d/%*d %c", &tail) == 1) return false;
    }
    if (!ValidDate(y, mo, d) || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 59) return false;
    *out = kdht::platform::LocalTime{y, mo, d, h, mi, s};
    return true;
  }
  return false;
}

long long HourBoundariesBetween(const kdht::platform::LocalTime& from, const kdht::platform::LocalTime& to) {
  const long long a = DaysFromCivil(from.year, from.month, from.day) * 24 + from.hour;
  const long long b = DaysFromCivil(to.year, to.month, to.day) * 24 + to.hour;
  return b - a;
}

}  // namespace kdht::text
