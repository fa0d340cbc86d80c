// HTTP exchanges with the management server and file downloads (WinHTTP, and the system's
// URL download). Transport failures throw Failure{WinHTTP or system code, its text}; any HTTP
// status is a reply, not a failure: the caller decides which statuses it accepts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kdht::platform {

// Every exchange is bounded: a server that stalls or streams without end cannot hold the run.
struct HttpLimits {
  std::uint32_t resolveTimeoutMs = 30000;
  std::uint32_t connectTimeoutMs = 30000;
  std::uint32_t sendTimeoutMs = 120000;
  std::uint32_t receiveTimeoutMs = 120000;
  std::size_t maxReplyBytes = 64u * 1024 * 1024;
};

// A named proxy server ("host:port") and the credentials it may ask for.
struct HttpProxy {
  std::string server;
  std::string user;
  std::string password;
};

struct HttpReply {
  std::uint32_t status = 0;
  std::string statusText;  // the reason phrase, e.g. "Not Found"
  std::string body;        // exactly the bytes received
};

// Failure number of a reply larger than HttpLimits::maxReplyBytes (ERROR_FILE_TOO_LARGE).
inline constexpr std::int32_t kErrReplyTooLarge = 223;
// Failure number of a reply shorter than its announced length (ERROR_WINHTTP_CONNECTION_ERROR).
inline constexpr std::int32_t kErrReplyCutShort = 12030;

// POST `body` (sent as given) with the Content-Type header `contentType`. The system's proxy
// configuration applies; HTTPS is validated by the system.
HttpReply HttpPost(const std::string& url, const std::string& body, const std::string& contentType,
                   const HttpLimits& limits = {});
// GET, through `proxy` when one is given (credentials answer a 407), else as HttpPost.
HttpReply HttpGet(const std::string& url, const std::optional<HttpProxy>& proxy = std::nullopt,
                  const HttpLimits& limits = {});

// URLDownloadToFile: the HRESULT (0 when the file was downloaded).
long UrlDownloadToFile(const std::string& url, const std::string& path);

// The text of a WinHTTP error code (12001..12185), or the system's text for other codes.
std::string HttpErrorText(std::uint32_t code);

}  // namespace kdht::platform
