#include "platform/Http.h"

#include <windows.h>
#include <urlmon.h>
#include <winhttp.h>

#include <memory>
#include <utility>

#include "platform/Failure.h"
#include "platform/Text.h"

namespace kdht::platform {
namespace {

// Owner of one WinHTTP handle (session, connection or request).
class InternetHandle {
 public:
  explicit InternetHandle(HINTERNET h = nullptr) : h_(h) {}
  ~InternetHandle() {
    if (h_ != nullptr) WinHttpCloseHandle(h_);
  }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
  HINTERNET get() const { return h_; }

 private:
  HINTERNET h_;
};

[[noreturn]] void ThrowHttpError(DWORD code, std::string detail = {}) {
  // Wine passes up the socket's own time-out where Windows reports WinHTTP's.
  if (code == WSAETIMEDOUT) code = ERROR_WINHTTP_TIMEOUT;
  throw Failure(static_cast<std::int32_t>(code), HttpErrorText(code), std::move(detail));
}

// WinHTTP tells why it refused a server's certificate only to a status callback, as the flags of
// WINHTTP_CALLBACK_STATUS_SECURE_FAILURE; the call itself fails with ERROR_WINHTTP_SECURE_FAILURE.
// The flags are collected here for the failure's detail. (Wine's WinHTTP calls no such callback:
// it fails with ERROR_WINHTTP_SECURE_CHANNEL_ERROR and no reason.)
struct SecureFailureWatch {
  DWORD flags = 0;
};

void CALLBACK RecordSecureFailure(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
  if (status != WINHTTP_CALLBACK_STATUS_SECURE_FAILURE || context == 0 || info == nullptr || length < sizeof(DWORD)) {
    return;
  }
  reinterpret_cast<SecureFailureWatch*>(context)->flags |= *static_cast<const DWORD*>(info);
}

// The watch must outlive the request handle. Without the callback a refusal is still a failure;
// only its reason goes unnamed.
void WatchSecureFailures(HINTERNET request, SecureFailureWatch& watch) {
  DWORD_PTR context = reinterpret_cast<DWORD_PTR>(&watch);
  if (WinHttpSetOption(request, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context)) {
    WinHttpSetStatusCallback(request, RecordSecureFailure, WINHTTP_CALLBACK_FLAG_SECURE_FAILURE, 0);
  }
}

// The failure of a send or receive: a refused certificate carries its reason, from the flags
// or from the code itself.
[[noreturn]] void ThrowExchangeError(DWORD code, const SecureFailureWatch& watch) {
  std::string detail = CertificateRefusalText(watch.flags);
  if (detail.empty()) detail = CertificateErrorText(code);
  ThrowHttpError(code, std::move(detail));
}

[[noreturn]] void ThrowLastHttpError() { ThrowHttpError(GetLastError()); }

struct CrackedUrl {
  std::wstring host;
  std::wstring pathAndQuery;
  INTERNET_PORT port = 0;
  bool secure = false;
};

CrackedUrl Crack(const std::string& url) {
  const std::wstring w = Widen(url);
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof parts;
  parts.dwSchemeLength = static_cast<DWORD>(-1);
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(w.c_str(), static_cast<DWORD>(w.size()), 0, &parts)) ThrowLastHttpError();
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
    ThrowHttpError(ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
  }
  CrackedUrl out;
  if (parts.lpszHostName != nullptr) out.host.assign(parts.lpszHostName, parts.dwHostNameLength);
  if (out.host.empty()) ThrowHttpError(ERROR_WINHTTP_INVALID_URL);
  if (parts.lpszUrlPath != nullptr) out.pathAndQuery.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  if (parts.lpszExtraInfo != nullptr) {
    std::wstring extra(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    // A fragment names a place in the page; it is never sent.
    const size_t hash = extra.find(L'#');
    if (hash != std::wstring::npos) extra.resize(hash);
    out.pathAndQuery += extra;
  }
  if (out.pathAndQuery.empty()) out.pathAndQuery = L"/";
  out.port = parts.nPort;
  out.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  return out;
}

HINTERNET OpenSession(const std::optional<HttpProxy>& proxy) {
  HINTERNET session = nullptr;
  if (proxy) {
    const std::wstring server = Widen(proxy->server);
    session = WinHttpOpen(L"kDHT", WINHTTP_ACCESS_TYPE_NAMED_PROXY, server.c_str(), WINHTTP_NO_PROXY_BYPASS, 0);
  } else {
    // The automatic setting follows everything the user configured (Windows 8.1 and later);
    // older systems refuse it and get the machine's WinHTTP proxy setting instead.
    session = WinHttpOpen(L"kDHT", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                          WINHTTP_NO_PROXY_BYPASS, 0);
    if (session == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
      session = WinHttpOpen(L"kDHT", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                            WINHTTP_NO_PROXY_BYPASS, 0);
    }
  }
  if (session == nullptr) ThrowLastHttpError();
  return session;
}

[[noreturn]] void ThrowOutOfTime(const HttpDeadline& deadline) {
  throw Failure(kErrExchangeTimedOut,
                "The exchange took longer than its limit of " + std::to_string(deadline.TotalMs()) + " ms");
}

// The time left, or a failure when there is none.
std::uint32_t Remaining(const HttpDeadline& deadline) {
  const std::uint32_t left = deadline.RemainingMs();
  if (left == 0) ThrowOutOfTime(deadline);
  return left;
}

// Each wait is held to its own limit and to the time the exchange has left, whichever ends first.
void SetTimeouts(HINTERNET h, const HttpLimits& limits, const HttpDeadline& deadline) {
  const std::uint32_t left = Remaining(deadline);
  const auto cap = [left](std::uint32_t limit) { return static_cast<int>(limit < left ? limit : left); };
  if (!WinHttpSetTimeouts(h, cap(limits.resolveTimeoutMs), cap(limits.connectTimeoutMs), cap(limits.sendTimeoutMs),
                          cap(limits.receiveTimeoutMs))) {
    ThrowLastHttpError();
  }
}

// Waiting for the reply headers has a limit of its own (90 s by default); it is held to the
// receive limit and the time left too.
void SetResponseTimeout(HINTERNET request, const HttpLimits& limits, const HttpDeadline& deadline) {
  const std::uint32_t left = Remaining(deadline);
  DWORD ms = limits.receiveTimeoutMs < left ? limits.receiveTimeoutMs : left;
  if (!WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &ms, sizeof ms)) ThrowLastHttpError();
}

std::optional<std::wstring> QueryHeaderText(HINTERNET request, DWORD info) {
  DWORD size = 0;
  WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                      WINHTTP_NO_HEADER_INDEX);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return std::nullopt;
  std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
  if (!WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &size, WINHTTP_NO_HEADER_INDEX)) {
    return std::nullopt;
  }
  text.resize(size / sizeof(wchar_t));
  return text;
}

std::uint32_t QueryStatus(HINTERNET request) {
  DWORD status = 0;
  DWORD size = sizeof status;
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
    ThrowLastHttpError();
  }
  return status;
}

// The announced body length, when the reply has one.
std::optional<unsigned long long> QueryContentLength(HINTERNET request) {
  const std::optional<std::wstring> text = QueryHeaderText(request, WINHTTP_QUERY_CONTENT_LENGTH);
  if (!text || text->empty()) return std::nullopt;
  unsigned long long n = 0;
  for (wchar_t c : *text) {
    if (c < L'0' || c > L'9') return std::nullopt;
    n = n * 10 + static_cast<unsigned>(c - L'0');
    if (n > (1ull << 48)) return n;
  }
  return n;
}

[[noreturn]] void ThrowTooLarge(const HttpLimits& limits) {
  throw Failure(kErrReplyTooLarge,
                "The reply is larger than the limit of " + std::to_string(limits.maxReplyBytes) + " bytes");
}

std::string ReadBody(HINTERNET request, std::uint32_t status, const HttpLimits& limits, const HttpDeadline& deadline) {
  // These replies carry no body, whatever length they announce.
  if (status < 200 || status == HTTP_STATUS_NO_CONTENT || status == HTTP_STATUS_NOT_MODIFIED) return {};
  const std::optional<unsigned long long> announced = QueryContentLength(request);
  if (announced && *announced > limits.maxReplyBytes) ThrowTooLarge(limits);
  std::string body;
  for (;;) {
    // A server that sends a byte now and then never trips the per-read limit: the time the
    // whole exchange has left is checked, and given to the next wait, before every read.
    SetTimeouts(request, limits, deadline);
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request, &available)) ThrowLastHttpError();
    if (available == 0) break;
    if (available > limits.maxReplyBytes - body.size()) ThrowTooLarge(limits);
    const size_t old = body.size();
    body.resize(old + available);
    DWORD read = 0;
    if (!WinHttpReadData(request, body.data() + old, available, &read)) ThrowLastHttpError();
    body.resize(old + read);
    if (read == 0) break;
  }
  // A connection closed early must not pass for a complete reply (a half icon, half a template).
  if (announced && body.size() != *announced) {
    throw Failure(kErrReplyCutShort, "The reply was cut short: " + std::to_string(body.size()) + " of " +
                                         std::to_string(*announced) + " bytes received");
  }
  return body;
}

// The strongest scheme that both the proxy offers and WinHTTP can answer.
DWORD ChooseProxyScheme(HINTERNET request) {
  DWORD supported = 0, first = 0, target = 0;
  if (!WinHttpQueryAuthSchemes(request, &supported, &first, &target)) return 0;
  for (DWORD scheme : {WINHTTP_AUTH_SCHEME_NEGOTIATE, WINHTTP_AUTH_SCHEME_NTLM, WINHTTP_AUTH_SCHEME_DIGEST,
                       WINHTTP_AUTH_SCHEME_BASIC}) {
    if ((supported & scheme) != 0) return scheme;
  }
  return 0;
}

// Tests of stalled servers shorten the time-outs with KDHT_HTTP_TIMEOUT_MS (milliseconds, at least
// 100). The variable is read only when set, and it can shorten a limit, never lengthen or lift it.
HttpLimits WithTestTimeouts(HttpLimits limits) {
  wchar_t text[16] = {};
  const DWORD n = GetEnvironmentVariableW(L"KDHT_HTTP_TIMEOUT_MS", text, 16);
  if (n == 0 || n > 9) return limits;
  std::uint32_t ms = 0;
  for (DWORD i = 0; i < n; ++i) {
    if (text[i] < L'0' || text[i] > L'9') return limits;
    ms = ms * 10 + static_cast<std::uint32_t>(text[i] - L'0');
  }
  if (ms < 100) return limits;
  for (std::uint32_t* limit : {&limits.resolveTimeoutMs, &limits.connectTimeoutMs, &limits.sendTimeoutMs,
                               &limits.receiveTimeoutMs, &limits.totalTimeoutMs}) {
    if (*limit > ms) *limit = ms;
  }
  return limits;
}

HttpReply Exchange(const wchar_t* verb, const std::string& url, const std::string* body, const std::wstring& headers,
                   const std::optional<HttpProxy>& proxy, const HttpLimits& requested, const HttpDeadline* given) {
  const HttpLimits limits = WithTestTimeouts(requested);
  const HttpDeadline own(requested);
  const HttpDeadline& deadline = given != nullptr ? *given : own;
  const CrackedUrl target = Crack(url);
  InternetHandle session(OpenSession(proxy));
  SetTimeouts(session.get(), limits, deadline);
  InternetHandle connection(WinHttpConnect(session.get(), target.host.c_str(), target.port, 0));
  if (connection.get() == nullptr) ThrowLastHttpError();
  SecureFailureWatch secureFailure;
  InternetHandle request(WinHttpOpenRequest(connection.get(), verb, target.pathAndQuery.c_str(), nullptr,
                                            WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                            target.secure ? WINHTTP_FLAG_SECURE : 0));
  if (request.get() == nullptr) ThrowLastHttpError();
  WatchSecureFailures(request.get(), secureFailure);

  const DWORD bodyLength = body != nullptr ? static_cast<DWORD>(body->size()) : 0;
  void* bodyData = body != nullptr && !body->empty() ? const_cast<char*>(body->data()) : WINHTTP_NO_REQUEST_DATA;
  bool credentialsGiven = false;
  for (;;) {
    SetTimeouts(request.get(), limits, deadline);
    SetResponseTimeout(request.get(), limits, deadline);
    if (!WinHttpSendRequest(request.get(), headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                            headers.empty() ? 0 : static_cast<DWORD>(-1L), bodyData, bodyLength, bodyLength, 0)) {
      ThrowExchangeError(GetLastError(), secureFailure);
    }
    if (!WinHttpReceiveResponse(request.get(), nullptr)) {
      // A time-out after the exchange's own moment has passed is the total limit's.
      const DWORD error = GetLastError();
      if (deadline.RemainingMs() == 0) ThrowOutOfTime(deadline);
      ThrowExchangeError(error, secureFailure);
    }
    const std::uint32_t status = QueryStatus(request.get());
    // The proxy asks who we are: answer once with the agent's proxy account. Without a user
    // name the logon session answers where the scheme allows it (NTLM, Negotiate).
    if (status == HTTP_STATUS_PROXY_AUTH_REQ && proxy && !credentialsGiven) {
      credentialsGiven = true;
      const DWORD scheme = ChooseProxyScheme(request.get());
      const bool logonSession = proxy->user.empty() &&
                                (scheme == WINHTTP_AUTH_SCHEME_NTLM || scheme == WINHTTP_AUTH_SCHEME_NEGOTIATE);
      const std::wstring user = Widen(proxy->user);
      const std::wstring password = Widen(proxy->password);
      // Credentials that cannot be set leave the 407 as the reply.
      if (scheme != 0 && WinHttpSetCredentials(request.get(), WINHTTP_AUTH_TARGET_PROXY, scheme,
                                               logonSession ? nullptr : user.c_str(),
                                               logonSession ? nullptr : password.c_str(), nullptr)) {
        continue;
      }
    }
    HttpReply reply;
    reply.status = status;
    reply.statusText = Narrow(QueryHeaderText(request.get(), WINHTTP_QUERY_STATUS_TEXT).value_or(L""));
    reply.body = ReadBody(request.get(), status, limits, deadline);
    return reply;
  }
}

// WinHTTP's own texts, for systems whose winhttp.dll carries no message table.
const char* KnownHttpErrorText(DWORD code) {
  switch (code) {
    case ERROR_WINHTTP_OUT_OF_HANDLES: return "No more handles could be generated at this time";
    case ERROR_WINHTTP_TIMEOUT: return "The operation timed out";
    case ERROR_WINHTTP_INTERNAL_ERROR: return "An internal error has occurred";
    case ERROR_WINHTTP_INVALID_URL: return "The URL is invalid";
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME: return "The URL does not use a recognized protocol";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED: return "The server name or address could not be resolved";
    case ERROR_WINHTTP_INVALID_OPTION: return "The option is invalid";
    case ERROR_WINHTTP_OPERATION_CANCELLED: return "The operation was canceled";
    case ERROR_WINHTTP_LOGIN_FAILURE: return "The login attempt failed";
    case ERROR_WINHTTP_CANNOT_CONNECT: return "A connection with the server could not be established";
    case ERROR_WINHTTP_CONNECTION_ERROR: return "The connection with the server was terminated abnormally";
    case ERROR_WINHTTP_INCORRECT_HANDLE_STATE: return "The operation is not valid in the handle's state";
    case ERROR_WINHTTP_CANNOT_CALL_BEFORE_OPEN: return "The request has not been opened";
    case ERROR_WINHTTP_CANNOT_CALL_BEFORE_SEND: return "The request has not been sent";
    case ERROR_WINHTTP_HEADER_NOT_FOUND: return "The requested header could not be located";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE: return "The server response could not be parsed";
    case ERROR_WINHTTP_REDIRECT_FAILED: return "The redirection failed";
    case ERROR_WINHTTP_SECURE_FAILURE: return "A security error occurred";
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID: return "The server's certificate date is invalid";
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID: return "The server's certificate name is invalid";
    case ERROR_WINHTTP_SECURE_INVALID_CA: return "The server's certificate was issued by an untrusted authority";
    case ERROR_WINHTTP_SECURE_CERT_REVOKED: return "The server's certificate has been revoked";
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR: return "A secure channel error occurred";
    case ERROR_WINHTTP_RESPONSE_DRAIN_OVERFLOW: return "The reply exceeded the drain limit";
    case ERROR_WINHTTP_HEADER_SIZE_OVERFLOW: return "The reply headers were too large";
    default: return nullptr;
  }
}

}  // namespace

std::string CertificateRefusalText(std::uint32_t secureFailureFlags) {
  static constexpr struct {
    DWORD flag;
    const char* reason;
  } kReasons[] = {
      {WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA, "untrusted root"},
      {WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID, "issued for another host name"},
      {WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID, "expired or not yet valid"},
      {WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED, "revoked"},
      {WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED, "revocation check failed"},
      {WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE, "not for server use"},
      {WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT, "invalid"},
      {WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR, "secure channel error"},
  };
  std::string text;
  for (const auto& r : kReasons) {
    if ((secureFailureFlags & r.flag) == 0) continue;
    text += text.empty() ? "certificate: " : ", ";
    text += r.reason;
  }
  return text;
}

std::string CertificateErrorText(std::uint32_t code) {
  // The internet library's "certificate errors" (ERROR_INTERNET_SEC_CERT_ERRORS), which
  // winhttp.h does not name.
  constexpr DWORD kInternetCertErrors = 12055;
  switch (code) {
    case ERROR_WINHTTP_SECURE_INVALID_CA: return CertificateRefusalText(WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA);
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
      return CertificateRefusalText(WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID);
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
      return CertificateRefusalText(WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID);
    case ERROR_WINHTTP_SECURE_CERT_REVOKED: return CertificateRefusalText(WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED);
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
      return CertificateRefusalText(WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED);
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
      return CertificateRefusalText(WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE);
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case kInternetCertErrors: return CertificateRefusalText(WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT);
    default: return {};
  }
}

std::string HttpErrorText(std::uint32_t code) {
  if (code >= WINHTTP_ERROR_BASE && code <= WINHTTP_ERROR_LAST) {
    wchar_t* buffer = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
        GetModuleHandleW(L"winhttp.dll"), code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text;
    if (n != 0 && buffer != nullptr) text.assign(buffer, n);
    if (buffer != nullptr) LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' ||
                             text.back() == L'.')) {
      text.pop_back();
    }
    if (!text.empty()) return Narrow(text);
    if (const char* known = KnownHttpErrorText(code)) return known;
    return "WinHTTP error " + std::to_string(code);
  }
  return SystemMessage(static_cast<std::int32_t>(code));
}

HttpDeadline::HttpDeadline(const HttpLimits& limits) : totalMs_(WithTestTimeouts(limits).totalTimeoutMs) {
  endTick_ = GetTickCount64() + totalMs_;
}

std::uint32_t HttpDeadline::RemainingMs() const {
  const std::uint64_t now = GetTickCount64();
  return now >= endTick_ ? 0 : static_cast<std::uint32_t>(endTick_ - now);
}

HttpReply HttpPost(const std::string& url, const std::string& body, const std::string& contentType,
                   const HttpLimits& limits, const HttpDeadline* deadline) {
  const std::wstring headers = contentType.empty() ? std::wstring() : L"Content-Type: " + Widen(contentType);
  return Exchange(L"POST", url, &body, headers, std::nullopt, limits, deadline);
}

HttpReply HttpGet(const std::string& url, const std::optional<HttpProxy>& proxy, const HttpLimits& limits,
                  const HttpDeadline* deadline) {
  return Exchange(L"GET", url, nullptr, std::wstring(), proxy, limits, deadline);
}

namespace {

// URLDownloadToFile reports success for any answer that has a body, so an error page (a 404)
// would be stored as the file. The HTTP status reaches the caller's callback through
// IHttpNegotiate::OnResponse; only a 200 counts as the file.
// A server certificate the system finds wrong is put to the callback's IHttpSecurity (asked for
// through IServiceProvider) before anything is fetched: the download is always abandoned, and
// the problem (an internet library error code naming the reason) kept for the failure line.
class DownloadStatusWatch final : public IBindStatusCallback,
                                  public IHttpNegotiate,
                                  public IServiceProvider,
                                  public IHttpSecurity {
 public:
  DownloadStatusWatch() = default;
  // The interfaces have no virtual destructor of their own; one here keeps a delete through a
  // base pointer sound should the object ever leave the stack.
  virtual ~DownloadStatusWatch() = default;
  DownloadStatusWatch(const DownloadStatusWatch&) = delete;
  DownloadStatusWatch& operator=(const DownloadStatusWatch&) = delete;
  DWORD status() const { return status_; }
  // The body length the answer announced, when it did.
  std::optional<unsigned long long> announced() const { return announced_; }
  // The certificate problem reported, 0 when none was.
  DWORD securityProblem() const { return securityProblem_; }

  // The object lives on the caller's stack for the whole (synchronous) download.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IBindStatusCallback)) {
      *object = static_cast<IBindStatusCallback*>(this);
    } else if (IsEqualIID(riid, IID_IHttpNegotiate)) {
      *object = static_cast<IHttpNegotiate*>(this);
    } else if (IsEqualIID(riid, IID_IServiceProvider)) {
      *object = static_cast<IServiceProvider*>(this);
    } else if (IsEqualIID(riid, IID_IHttpSecurity) || IsEqualIID(riid, IID_IWindowForBindingUI)) {
      *object = static_cast<IHttpSecurity*>(this);
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE OnStartBinding(DWORD, IBinding*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetPriority(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnLowResource(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnProgress(ULONG, ULONG, ULONG, LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT, LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD*, BINDINFO*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }

  HRESULT STDMETHODCALLTYPE BeginningTransaction(LPCWSTR, LPCWSTR, DWORD, LPWSTR* additionalHeaders) override {
    if (additionalHeaders != nullptr) *additionalHeaders = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnResponse(DWORD code, LPCWSTR headers, LPCWSTR, LPWSTR* additionalHeaders) override {
    if (additionalHeaders != nullptr) *additionalHeaders = nullptr;
    status_ = code;
    announced_ = ContentLengthOf(headers);
    return code == 200 ? S_OK : E_ABORT;
  }

  HRESULT STDMETHODCALLTYPE QueryService(REFGUID service, REFIID riid, void** object) override {
    if (IsEqualGUID(service, IID_IHttpSecurity) || IsEqualGUID(service, IID_IWindowForBindingUI) ||
        IsEqualGUID(service, IID_IHttpNegotiate)) {
      return QueryInterface(riid, object);
    }
    if (object != nullptr) *object = nullptr;
    return E_NOINTERFACE;
  }

  // No window: nothing is ever put to a user.
  HRESULT STDMETHODCALLTYPE GetWindow(REFGUID, HWND* window) override {
    if (window == nullptr) return E_INVALIDARG;
    *window = nullptr;
    return S_FALSE;
  }
  // Never S_OK, which would accept the certificate.
  HRESULT STDMETHODCALLTYPE OnSecurityProblem(DWORD problem) override {
    securityProblem_ = problem;
    return E_ABORT;
  }

 private:
  static std::optional<unsigned long long> ContentLengthOf(LPCWSTR headers) {
    if (headers == nullptr) return std::nullopt;
    std::wstring text = L"\n" + std::wstring(headers);
    CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    const size_t at = text.find(L"\ncontent-length:");
    if (at == std::wstring::npos) return std::nullopt;
    size_t i = at + 16;
    while (i < text.size() && text[i] == L' ') ++i;
    unsigned long long n = 0;
    size_t digits = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9' && digits < 18; ++i, ++digits) {
      n = n * 10 + static_cast<unsigned>(text[i] - L'0');
    }
    if (digits == 0) return std::nullopt;
    return n;
  }

  DWORD status_ = 0;
  std::optional<unsigned long long> announced_;
  DWORD securityProblem_ = 0;
};

// The size of a file, when it can be read.
std::optional<unsigned long long> SizeOfFile(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
  return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace

namespace {

struct SystemDownload {
  std::wstring url;
  std::wstring target;
  HRESULT result = E_PENDING;
  DWORD securityProblem = 0;
};

// The system's URL download, from urlmon.dll loaded by the download that needs it: the library
// and the ones it brings (the internet and network-provider libraries) cost every start-up that
// imported them, and most runs download nothing. Only the system folder's copy is loaded. It
// stays loaded for the rest of the process, as an imported library would: a download may leave
// the internet library's threads and caches behind, which must not outlive urlmon's code.
HRESULT DownloadThroughSystem(const wchar_t* url, const wchar_t* target, IBindStatusCallback* callback) {
  using DownloadFn = HRESULT(WINAPI*)(IUnknown*, LPCWSTR, LPCWSTR, DWORD, IBindStatusCallback*);
  HMODULE library = LoadLibraryExW(L"urlmon.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (library == nullptr) return HRESULT_FROM_WIN32(GetLastError());
  const auto download =
      reinterpret_cast<DownloadFn>(reinterpret_cast<void*>(GetProcAddress(library, "URLDownloadToFileW")));
  if (download == nullptr) return HRESULT_FROM_WIN32(GetLastError());
  return download(nullptr, url, target, 0, callback);
}

DWORD WINAPI SystemDownloadThread(void* parameter) {
  const std::unique_ptr<std::shared_ptr<SystemDownload>> owner(static_cast<std::shared_ptr<SystemDownload>*>(parameter));
  SystemDownload& job = **owner;
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  DownloadStatusWatch watch;
  HRESULT hr = DownloadThroughSystem(job.url.c_str(), job.target.c_str(), &watch);
  // What was written is the server's error page, not the file; or the connection closed before
  // the announced end, and what was written is part of the file.
  const bool errorPage = SUCCEEDED(hr) && watch.status() != 0 && watch.status() != 200;
  if (errorPage || (SUCCEEDED(hr) && watch.announced() && SizeOfFile(job.target) != watch.announced())) {
    DeleteFileW(job.target.c_str());
    hr = INET_E_DOWNLOAD_FAILURE;
  }
  job.result = hr;
  job.securityProblem = watch.securityProblem();
  if (SUCCEEDED(com)) CoUninitialize();
  return 0;
}

}  // namespace

UrlDownloadOutcome UrlDownloadToFile(const std::string& url, const std::string& path) {
  // The system download has no time-outs of its own: a server that takes the connection and never
  // answers would hold the run for ever. It runs on a thread of its own and is given up when the
  // connect and receive limits of the other exchanges have passed. A download given up is left to
  // end with the process; it writes the file only once complete, from its cache copy.
  auto job = std::make_shared<SystemDownload>();
  job->url = Widen(url);
  job->target = Widen(path);
  // The thread owns the parameter once it runs; until then, this does.
  auto parameter = std::make_unique<std::shared_ptr<SystemDownload>>(job);
  HANDLE thread = CreateThread(nullptr, 0, SystemDownloadThread, parameter.get(), 0, nullptr);
  if (thread == nullptr) return {HRESULT_FROM_WIN32(GetLastError()), {}};
  static_cast<void>(parameter.release());
  const HttpLimits limits = WithTestTimeouts(HttpLimits{});
  const DWORD perCalls = limits.connectTimeoutMs + limits.receiveTimeoutMs;
  const DWORD waited = WaitForSingleObject(thread, perCalls < limits.totalTimeoutMs ? perCalls : limits.totalTimeoutMs);
  CloseHandle(thread);
  if (waited != WAIT_OBJECT_0) return {INET_E_CONNECTION_TIMEOUT, {}};
  UrlDownloadOutcome outcome{job->result, {}};
  if (FAILED(job->result) && job->securityProblem != 0) outcome.detail = CertificateErrorText(job->securityProblem);
  return outcome;
}

}  // namespace kdht::platform
