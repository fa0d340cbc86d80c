// The time stamps of the log and the status file, written and read back: declared in
// platform/Clock.h, pure, so they build anywhere (the fuzz targets build them natively).
#include <algorithm>
#include <cstdio>
#include <string_view>

#include "platform/Clock.h"

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

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

void SkipBlanks(std::string_view text, size_t& i) {
  while (i < text.size() && IsBlank(text[i])) ++i;
}

bool Expect(std::string_view text, size_t& i, char c) {
  if (i >= text.size() || text[i] != c) return false;
  ++i;
  return true;
}

// A decimal field as scanf's "%d" reads one (blanks before it, a sign, digits), refused when it
// has no digit or does not fit an int.
bool ReadInt(std::string_view text, size_t& i, int& value) {
  SkipBlanks(text, i);
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
  long long v = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    v = v * 10 + (text[i] - '0');
    if (v > 2147483648LL) return false;
    ++i;
  }
  if (negative) v = -v;
  if (v > 2147483647LL) return false;
  value = static_cast<int>(v);
  return true;
}

// What snprintf wrote into a buffer, nothing when it failed.
std::string Written(const char* buffer, size_t capacity, int length) {
  if (length <= 0) return {};
  return std::string(buffer, std::min(static_cast<size_t>(length), capacity - 1));
}

}  // namespace

std::string FormatStamp(const kdht::platform::LocalTime& t) {
  char buffer[32];
  const int length = std::snprintf(buffer, sizeof buffer, "%02d/%02d/%04d %02d:%02d:%02d", t.month, t.day, t.year,
                                   t.hour, t.minute, t.second);
  return Written(buffer, sizeof buffer, length);
}

std::string FormatCompact(const kdht::platform::LocalTime& t) {
  char buffer[32];
  const int length =
      std::snprintf(buffer, sizeof buffer, "%02d%02d%04d%02d%02d%02d", t.month, t.day, t.year, t.hour, t.minute, t.second);
  return Written(buffer, sizeof buffer, length);
}

bool ParseStamp(const std::string& text, kdht::platform::LocalTime* out) {
  // "M/D/YYYY H:N:S" or "M/D/YYYY", blanks allowed around the whole and between date and time.
  size_t i = 0;
  int mo = 0, d = 0, y = 0, h = 0, mi = 0, s = 0;
  if (!ReadInt(text, i, mo) || !Expect(text, i, '/') || !ReadInt(text, i, d) || !Expect(text, i, '/') ||
      !ReadInt(text, i, y)) {
    return false;
  }
  SkipBlanks(text, i);
  if (i < text.size()) {
    if (!ReadInt(text, i, h) || !Expect(text, i, ':') || !ReadInt(text, i, mi) || !Expect(text, i, ':') ||
        !ReadInt(text, i, s)) {
      return false;
    }
    SkipBlanks(text, i);
    if (i < text.size()) return false;
  }
  if (!ValidDate(y, mo, d) || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 59) return false;
  *out = kdht::platform::LocalTime{y, mo, d, h, mi, s};
  return true;
}

long long HourBoundariesBetween(const kdht::platform::LocalTime& from, const kdht::platform::LocalTime& to) {
  const long long a = DaysFromCivil(from.year, from.month, from.day) * 24 + from.hour;
  const long long b = DaysFromCivil(to.year, to.month, to.day) * 24 + to.hour;
  return b - a;
}

}  // namespace kdht::text
