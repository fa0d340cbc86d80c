// Posting XML to the management server and reading its reply.
#pragma once

#include <string>

namespace kdht {

struct RunState;

// The "URL" of the request's section in Configuration\kScriptDNS.ini, or empty.
std::string GetKScriptURL(RunState& rs, const std::string& requestName);
// Sets ServerUrl for the request (read, "/" appended when missing) and returns the full URL:
// ServerUrl + "tfr_" + name + ".asp?mmid=..&sid=..&rid=..&rty=..".
std::string BuildRequestUrl(RunState& rs, const std::string& requestName);
// Posts `xml` to `url`; returns the reply text. A failed post fills `errorText` with
// part1 + "-" + part2 + " - " + part3 and is retried up to three times while part 1 is not blank.
std::string WebPost(RunState& rs, std::string& xml, std::string& url, std::string& errorText);

// Pure parts, for the callers above and for tests.
// ServerUrl as the request URL rule shapes it: a URL that does not end in "/" is trimmed of
// blanks and given one (so an empty URL becomes "/"); one that does is kept as it is.
std::string ShapeServerUrl(const std::string& configured);
// The reply bytes as text: UTF-8 when they are valid UTF-8 (a byte-order mark dropped), else
// the system code page.
std::string DecodeReplyText(const std::string& bytes);

}  // namespace kdht
