#include "server/WebPost.h"

#include "core/Log.h"
#include "core/RegIni.h"
#include "core/RunState.h"
#include "platform/Http.h"
#include "platform/Shell.h"
#include "platform/Text.h"

namespace kdht {
namespace {

constexpr int kPostAttempts = 3;
// The server's answers are XML texts of some kilobytes. A reply of many megabytes is none this
// program can use, and staging and loading it can take minutes: it is refused like a failed post, so
// that it costs neither the held template nor the run's time.
constexpr std::size_t kMaxReplyBytes = 8u * 1024 * 1024;

bool IsValidUtf8(const std::string& s) {
  size_t i = 0;
  const size_t n = s.size();
  while (i < n) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t extra = 0;
    unsigned long cp = 0;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= n) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and values beyond Unicode are not UTF-8.
    if ((extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) || (cp >= 0xD800 && cp <= 0xDFFF) ||
        cp > 0x10FFFF) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

// One post, shaped as the agent's web-post component answered: the reply text and three error
// parts (number, description, URL), part 1 blank when nothing went wrong.
struct PostOutcome {
  bool ok = false;
  std::string status;
  std::string part1, part2, part3;
};

platform::HttpLimits PostLimits() {
  platform::HttpLimits limits;
  limits.maxReplyBytes = kMaxReplyBytes;
  return limits;
}

PostOutcome PostOnce(const std::string& xml, const std::string& url, const platform::HttpDeadline& deadline) {
  PostOutcome out;
  try {
    const platform::HttpReply reply = platform::HttpPost(url, xml, "text/xml; charset=utf-8", PostLimits(), &deadline);
    if (reply.status >= 200 && reply.status <= 299) {
      out.ok = true;
      out.status = DecodeReplyText(reply.body);
      return out;
    }
    // The body of a refused post (an error page) is not the server's answer: a caller that
    // compares the reply with "1" must not take it for an accepted report.
    out.part1 = std::to_string(reply.status);
    out.part2 = reply.statusText;
  } catch (const Failure& f) {
    out.part1 = std::to_string(f.number());
    out.part2 = f.description();
    // Part 3 says what the failure concerns: the URL and, for a refused certificate, why.
    out.part3 = f.detail().empty() ? url : url + " (" + f.detail() + ")";
    return out;
  }
  out.part3 = url;
  return out;
}

}  // namespace

std::string ShapeServerUrl(const std::string& configured) {
  if (!configured.empty() && configured.back() == '/') return configured;
  return text::Trim(configured) + "/";
}

std::string DecodeReplyText(const std::string& bytes) {
  if (IsValidUtf8(bytes)) {
    if (text::StartsWith(bytes, "\xEF\xBB\xBF")) return bytes.substr(3);
    return bytes;
  }
  return platform::AnsiToUtf8(bytes);
}

std::string GetKScriptURL(RunState& rs, const std::string& requestName) {
  std::string url;
  try {
    WriteLog(rs, "MSG : Getting URL from kScriptDNS.ini " + requestName + " section ");
    url = GetKeyValue(rs, requestName, "URL", rs.InstallPath + "Configuration\\kScriptDNS.ini", false);
    WriteLog(rs, "MSG : URL : " + url);
    if (url.empty()) WriteLog(rs, "ERR: Unable to find url in " + requestName);
    return url;
  } catch (...) {
    LogTrap(rs, "GetKScriptURL", "modMain");
    return url;
  }
}

std::string BuildRequestUrl(RunState& rs, const std::string& requestName) {
  rs.ServerUrl = ShapeServerUrl(GetKScriptURL(rs, requestName));
  return rs.ServerUrl + "tfr_" + requestName + ".asp?mmid=" + rs.MemberId + "&sid=" + rs.SiteId +
         "&rid=" + rs.RegId + "&rty=" + rs.RegType;
}

std::string WebPost(RunState& rs, std::string& xml, std::string& url, std::string& errorText) {
  try {
    // Started by the desktop application: keep its window responsive while the post runs.
    if (platform::Upper(rs.CommandLine) == "DH") platform::PumpMessagesOnce();
    WriteLog(rs, "MSG : Webpost string : " + xml);
    WriteLog(rs, "MSG : Webpost url : " + url);

    // The tries of one post share one total limit: a server that trickles cannot hold the run
    // for three times as long.
    const platform::HttpDeadline deadline(PostLimits());
    PostOutcome outcome;
    for (int attempt = 0; attempt < kPostAttempts; ++attempt) {
      outcome = PostOnce(xml, url, deadline);
      if (text::Trim(outcome.part1).empty()) break;
    }

    WriteLog(rs, "MSG : WebPost Return Status: " + outcome.status);
    if (!outcome.ok) {
      const std::string joined = outcome.part1 + "-" + outcome.part2 + " - " + outcome.part3;
      WriteLog(rs, "ERR : WebPost Failed : " + joined);
      errorText = joined;
    }
    return outcome.status;
  } catch (...) {
    const Failure f = CurrentFailure();
    WriteLog(rs, "ERR : Function WebPost :: " + std::to_string(f.number()) + "-" + f.description());
    return {};
  }
}

}  // namespace kdht
