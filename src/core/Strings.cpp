// The pure text helpers declared in platform/Text.h: no system call, so they build anywhere
// (the fuzz targets build them natively).
#include <cmath>
#include <cstdio>

#include "platform/Text.h"

namespace kdht::text {

std::string LTrim(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  return std::string(s.substr(i));
}

std::string RTrim(std::string_view s) {
  size_t n = s.size();
  while (n > 0 && s[n - 1] == ' ') --n;
  return std::string(s.substr(0, n));
}

std::string Trim(std::string_view s) { return RTrim(LTrim(s)); }
std::string TrimSpaces(std::string_view s) { return Trim(s); }

std::vector<std::string> Split(std::string_view s, std::string_view sep) {
  std::vector<std::string> parts;
  if (sep.empty()) {
    parts.emplace_back(s);
    return parts;
  }
  size_t start = 0;
  for (;;) {
    size_t p = s.find(sep, start);
    if (p == std::string_view::npos) {
      parts.emplace_back(s.substr(start));
      return parts;
    }
    parts.emplace_back(s.substr(start, p - start));
    start = p + sep.size();
  }
}

namespace {

// Replaces in `s` every place where `needle` is found in `hay`, a text of the same length that
// stands for `s` letter by letter (itself, or its upper-cased form).
std::string ReplaceFound(std::string_view s, std::string_view hay, std::string_view needle, std::string_view to) {
  std::string out;
  out.reserve(s.size());
  size_t start = 0;
  for (;;) {
    size_t p = hay.find(needle, start);
    if (p == std::string_view::npos) {
      out.append(s.substr(start));
      return out;
    }
    out.append(s.substr(start, p - start));
    out.append(to);
    start = p + needle.size();
  }
}

}  // namespace

std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to) {
  if (from.empty()) return std::string(s);
  return ReplaceFound(s, s, from, to);
}

std::string AsciiUpper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string ReplaceAllNoCase(std::string_view s, std::string_view from, std::string_view to) {
  if (from.empty()) return std::string(s);
  return ReplaceFound(s, AsciiUpper(s), AsciiUpper(from), to);
}

bool Contains(std::string_view s, std::string_view part) { return s.find(part) != std::string_view::npos; }
bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }
bool EndsWith(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

double LeadingNumber(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) {
    negative = s[i] == '-';
    ++i;
  }
  double value = 0;
  bool any = false;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
    value = value * 10 + (s[i] - '0');
    any = true;
    ++i;
  }
  if (i < s.size() && s[i] == '.') {
    ++i;
    double scale = 0.1;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
      value += (s[i] - '0') * scale;
      scale /= 10;
      any = true;
      ++i;
    }
  }
  if (!any) return 0;
  return negative ? -value : value;
}

std::string NumberText(double value) {
  if (std::floor(value) == value && std::fabs(value) < 1e15) {
    return std::to_string(static_cast<long long>(value));
  }
  char buffer[64];
  const int length = std::snprintf(buffer, sizeof buffer, "%.15g", value);
  return length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string();
}

std::string XmlEscape(std::string_view s, bool inAttribute) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"':
        if (inAttribute) {
          out += "&quot;";
        } else {
          out += c;
        }
        break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace kdht::text
