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
// The per-call limits end a wait for the next bytes; the total limit ends an exchange whose bytes
// keep coming, slowly, from the connect to the last byte of the reply.
struct HttpLimits {
  std::uint32_t resolveTimeoutMs = 30000;
  std::uint32_t connectTimeoutMs = 30000;
  std::uint32_t sendTimeoutMs = 120000;
  std::uint32_t receiveTimeoutMs = 120000;
  std::uint32_t totalTimeoutMs = 300000;
  std::size_t maxReplyBytes = 64u * 1024 * 1024;
};

// The moment by which an exchange, or a series of them (a post and its retries), must be done:
// the total limit from the moment the object is made. Tests shorten it with KDHT_HTTP_TIMEOUT_MS
// like the other limits.
class HttpDeadline {
 public:
  explicit HttpDeadline(const HttpLimits& limits = {});
  // Milliseconds left, 0 once the moment has passed.
  std::uint32_t RemainingMs() const;
  std::uint32_t TotalMs() const { return totalMs_; }

 private:
  std::uint64_t endTick_ = 0;
  std::uint32_t totalMs_ = 0;
};

// Failure number of an exchange that outlasted its total limit (ERROR_WINHTTP_TIMEOUT).
inline constexpr std::int32_t kErrExchangeTimedOut = 12002;

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
// configuration applies; HTTPS is validated by the system, and a certificate it refuses is a
// failure whose detail() names the reason when the system gives one. No certificate error is
// ever ignored.
// Ends by `deadline` when one is given, else within the total limit of `limits`.
HttpReply HttpPost(const std::string& url, const std::string& body, const std::string& contentType,
                   const HttpLimits& limits = {}, const HttpDeadline* deadline = nullptr);
// GET, through `proxy` when one is given (credentials answer a 407), else as HttpPost.
HttpReply HttpGet(const std::string& url, const std::optional<HttpProxy>& proxy = std::nullopt,
                  const HttpLimits& limits = {}, const HttpDeadline* deadline = nullptr);

// URLDownloadToFile: the HRESULT (0 when the file was downloaded) and, when the system refused
// the server's certificate and said why, the reason ("certificate: untrusted root").
struct UrlDownloadOutcome {
  long result = 0;
  std::string detail;
};
UrlDownloadOutcome UrlDownloadToFile(const std::string& url, const std::string& path);

// Why a server's certificate was refused, from WinHTTP's secure-failure flags
// (WINHTTP_CALLBACK_STATUS_FLAG_*): "certificate: " and each reason, joined by ", ". Empty when
// no flag names one.
std::string CertificateRefusalText(std::uint32_t secureFailureFlags);
// The same for an error code that names the reason itself (WinHTTP and the internet library
// share these numbers: 12037, 12038, 12045, 12057, 12169, 12170, 12179, and the library's 12055).
// Empty for any other code.
std::string CertificateErrorText(std::uint32_t code);

// The text of a WinHTTP error code (12001..12185), or the system's text for other codes.
std::string HttpErrorText(std::uint32_t code);

}  // namespace kdht::platform
