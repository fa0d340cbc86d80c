// Text helpers. Inside the program every string is UTF-8; the wrappers convert at the
// system boundary (wide calls, or the ANSI code page where a file is ANSI by contract).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kdht::platform {

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view wide);

// UTF-8 <-> the system's ANSI code page (log file, INI-style files, seals).
std::string Utf8ToAnsi(std::string_view utf8);
std::string AnsiToUtf8(std::string_view ansi);

// Upper-casing as the system does it for the user's language (letters beyond ASCII too).
std::string Upper(std::string_view text);

}  // namespace kdht::platform

namespace kdht::text {

// Pure helpers with the semantics the procedures rely on.
std::string Trim(std::string_view s);          // blanks (spaces) at both ends
std::string TrimSpaces(std::string_view s);    // alias kept for readability at call sites
std::string LTrim(std::string_view s);
std::string RTrim(std::string_view s);
// Every piece between separators; "" gives one empty piece; exact, case-sensitive.
std::vector<std::string> Split(std::string_view s, std::string_view sep);
std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to);
// Case-insensitive (ASCII) search and replace, for markers in server replies.
std::string ReplaceAllNoCase(std::string_view s, std::string_view from, std::string_view to);
bool Contains(std::string_view s, std::string_view part);
bool StartsWith(std::string_view s, std::string_view prefix);
bool EndsWith(std::string_view s, std::string_view suffix);
std::string AsciiUpper(std::string_view s);
// The value of the leading decimal number of a text: leading blanks skipped, an optional
// sign, digits up to the first other character; 0 when the text starts with no number.
double LeadingNumber(std::string_view s);
// Decimal text of a number as the shortest form (3, not 3.0).
std::string NumberText(double value);
// Escapes &, <, > (and " when inAttribute) for a value placed in XML.
std::string XmlEscape(std::string_view s, bool inAttribute = false);

}  // namespace kdht::text
