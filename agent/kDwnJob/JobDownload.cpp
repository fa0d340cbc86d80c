// Stand-in of the agent's job download component: JobDownload(url, "", "", destination,
// errorCode, errorText, errorDetail) fetches the URL with a plain HTTP GET and stores the body.
// Each call is recorded in kDwnJob-calls.log next to the DLL:
//   download<TAB><url><TAB><destination><TAB>1|0
// A file kDwnJob.fail next to the DLL makes every call fail without touching the network, for
// tests of the caller's fallback.
#include <windows.h>
#include <ole2.h>
#include <winhttp.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ComServer.h"
#include "Records.h"
#include "Variants.h"

namespace {

// {B3CE5FC5-7227-4401-A157-FEEA394417C0}
constexpr CLSID kClsid = {0xb3ce5fc5, 0x7227, 0x4401, {0xa1, 0x57, 0xfe, 0xea, 0x39, 0x44, 0x17, 0xc0}};
constexpr wchar_t kProgId[] = L"kDwnJob.JobDownload";
constexpr wchar_t kRecordFile[] = L"kDwnJob-calls.log";
constexpr wchar_t kFailFlagFile[] = L"kDwnJob.fail";

constexpr DISPID kJobDownload = 1;
constexpr kagent::DispatchMember kMembers[] = {{L"JobDownload", kJobDownload}};
constexpr UINT kArgCount = 7;

// A stalled server must not hang the caller for ever.
constexpr int kResolveTimeoutMs = 30000;
constexpr int kConnectTimeoutMs = 30000;
constexpr int kSendTimeoutMs = 60000;
constexpr int kReceiveTimeoutMs = 60000;
constexpr DWORD kReadChunk = 64 * 1024;

// The three error texts JobDownload hands back: a code, its description and what it concerns.
struct Failure {
  std::wstring code;
  std::wstring text;
  std::wstring detail;
};
using Outcome = std::optional<Failure>;  // empty when the file was downloaded

struct InternetCloser {
  void operator()(HINTERNET handle) const { WinHttpCloseHandle(handle); }
};
using Internet = std::unique_ptr<void, InternetCloser>;

// Not every winhttp.dll carries texts for its own codes (Wine's does not); these are the ones a
// download meets.
const wchar_t* WinHttpErrorText(DWORD code) {
  switch (code) {
    case ERROR_WINHTTP_TIMEOUT: return L"The operation timed out";
    case ERROR_WINHTTP_INVALID_URL: return L"The URL is invalid";
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME: return L"The URL does not use a recognized protocol";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED: return L"The server name could not be resolved";
    case ERROR_WINHTTP_CANNOT_CONNECT: return L"A connection with the server could not be established";
    case ERROR_WINHTTP_CONNECTION_ERROR: return L"The connection with the server was reset or terminated";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE: return L"The server response could not be parsed";
    case ERROR_WINHTTP_SECURE_FAILURE: return L"A security error occurred";
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR: return L"A secure channel error occurred";
    case ERROR_WINHTTP_SECURE_INVALID_CA: return L"The server's certificate was issued by an untrusted authority";
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID: return L"The server's certificate name is invalid";
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID: return L"The server's certificate date is invalid";
    default: return nullptr;
  }
}

// Why WinHTTP refused the server's certificate, from the flags it hands the request's status
// callback (WINHTTP_CALLBACK_STATUS_SECURE_FAILURE); empty when it named no reason.
std::wstring CertificateReasons(DWORD flags) {
  static constexpr struct {
    DWORD flag;
    const wchar_t* reason;
  } kReasons[] = {
      {WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA, L"untrusted root"},
      {WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID, L"issued for another host name"},
      {WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID, L"expired or not yet valid"},
      {WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED, L"revoked"},
      {WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED, L"revocation check failed"},
      {WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE, L"not for server use"},
      {WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT, L"invalid"},
      {WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR, L"secure channel error"},
  };
  std::wstring text;
  for (const auto& r : kReasons) {
    if ((flags & r.flag) == 0) continue;
    text += text.empty() ? L"certificate: " : L", ";
    text += r.reason;
  }
  return text;
}

void CALLBACK RecordSecureFailure(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
  if (status == WINHTTP_CALLBACK_STATUS_SECURE_FAILURE && context != 0 && info != nullptr && length >= sizeof(DWORD)) {
    *reinterpret_cast<DWORD*>(context) |= *static_cast<const DWORD*>(info);
  }
}

Failure Win32Failure(DWORD code, const std::wstring& detail) {
  const bool fromWinHttp = code >= WINHTTP_ERROR_BASE && code <= WINHTTP_ERROR_LAST;
  std::wstring text = kagent::SystemMessage(code, fromWinHttp ? GetModuleHandleW(L"winhttp.dll") : nullptr);
  if (text.empty() && fromWinHttp && WinHttpErrorText(code) != nullptr) text = WinHttpErrorText(code);
  if (text.empty()) text = L"error " + std::to_wstring(code);
  return {std::to_wstring(code), text, detail};
}

// Tests and the demo run against local servers only; refusing anything else keeps a wrong URL
// from ever leaving the machine.
bool IsLoopbackHost(const std::wstring& host) {
  if (CompareStringOrdinal(host.c_str(), -1, L"localhost", -1, TRUE) == CSTR_EQUAL) return true;
  if (host == L"[::1]" || host == L"::1") return true;
  if (host.rfind(L"127.", 0) != 0) return false;
  return host.find_first_not_of(L"0123456789.") == std::wstring::npos;
}

std::wstring QueryHeaderText(HINTERNET request, DWORD info) {
  DWORD size = 0;
  WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                      WINHTTP_NO_HEADER_INDEX);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return {};
  std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1);
  if (!WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, buffer.data(), &size,
                           WINHTTP_NO_HEADER_INDEX))
    return {};
  return std::wstring(buffer.data(), size / sizeof(wchar_t));
}

// The body goes to a file beside the destination first, so a failed transfer never leaves a
// truncated destination behind; the destination is replaced only once the body is complete.
class PartFile {
 public:
  explicit PartFile(const std::wstring& destination)
      : path_(destination + L"." + std::to_wstring(GetCurrentProcessId()) + L".part") {}
  ~PartFile() {
    file_.reset();
    if (!committed_) DeleteFileW(path_.c_str());
  }
  PartFile(const PartFile&) = delete;
  PartFile& operator=(const PartFile&) = delete;

  bool Create() {
    file_.reset(CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    return static_cast<bool>(file_);
  }
  bool Write(const char* data, DWORD size) {
    DWORD written = 0;
    return WriteFile(file_.get(), data, size, &written, nullptr) && written == size;
  }
  bool CommitTo(const std::wstring& destination) {
    file_.reset();
    committed_ = MoveFileExW(path_.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
    return committed_;
  }

 private:
  std::wstring path_;
  kagent::UniqueHandle file_;
  bool committed_ = false;
};

Outcome Download(const std::wstring& url, const std::wstring& destination) {
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof(parts);
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (url.empty() || !WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) {
    return Win32Failure(url.empty() ? static_cast<DWORD>(ERROR_WINHTTP_INVALID_URL) : GetLastError(), url);
  }
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  if (!IsLoopbackHost(host)) return Failure{L"5", L"refused: not a loopback address", url};
  std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
  path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (path.empty()) path = L"/";

  Internet session(WinHttpOpen(L"kDwnJob/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                               WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) return Win32Failure(GetLastError(), url);
  if (!WinHttpSetTimeouts(session.get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs, kReceiveTimeoutMs))
    return Win32Failure(GetLastError(), url);
  Internet connection(WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
  if (!connection) return Win32Failure(GetLastError(), url);
  // Declared before the request handle, so that it outlives it.
  DWORD secureFailure = 0;
  Internet request(WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                      WINHTTP_DEFAULT_ACCEPT_TYPES,
                                      parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0));
  if (!request) return Win32Failure(GetLastError(), url);
  DWORD_PTR context = reinterpret_cast<DWORD_PTR>(&secureFailure);
  if (WinHttpSetOption(request.get(), WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof(context))) {
    WinHttpSetStatusCallback(request.get(), RecordSecureFailure, WINHTTP_CALLBACK_FLAG_SECURE_FAILURE, 0);
  }
  if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !WinHttpReceiveResponse(request.get(), nullptr)) {
    Failure failure = Win32Failure(GetLastError(), url);
    const std::wstring reasons = CertificateReasons(secureFailure);
    if (!reasons.empty()) failure.text += L" (" + reasons + L")";
    return failure;
  }

  DWORD status = 0;
  DWORD statusSize = sizeof(status);
  if (!WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX))
    return Win32Failure(GetLastError(), url);
  if (status != HTTP_STATUS_OK) {
    std::wstring text = L"HTTP status " + std::to_wstring(status);
    const std::wstring reason = QueryHeaderText(request.get(), WINHTTP_QUERY_STATUS_TEXT);
    if (!reason.empty()) text += L" " + reason;
    return Failure{std::to_wstring(status), text, url};
  }

  PartFile part(destination);
  if (!part.Create()) return Win32Failure(GetLastError(), destination);
  std::vector<char> buffer(kReadChunk);
  ULONGLONG received = 0;
  for (;;) {
    DWORD read = 0;
    if (!WinHttpReadData(request.get(), buffer.data(), kReadChunk, &read)) return Win32Failure(GetLastError(), url);
    if (read == 0) break;
    if (!part.Write(buffer.data(), read)) return Win32Failure(GetLastError(), destination);
    received += read;
  }
  const std::wstring announced = QueryHeaderText(request.get(), WINHTTP_QUERY_CONTENT_LENGTH);
  if (!announced.empty() && announced != std::to_wstring(received)) {
    return Failure{L"0", L"incomplete body: " + std::to_wstring(received) + L" of " + announced + L" bytes", url};
  }
  if (!part.CommitTo(destination)) return Win32Failure(GetLastError(), destination);
  return std::nullopt;
}

bool FailureForced() {
  const std::wstring flag = kagent::ModuleFolder() + L"\\" + kFailFlagFile;
  return GetFileAttributesW(flag.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class JobDownloader final : public kagent::DispatchObject {
 public:
  JobDownloader() : DispatchObject(kMembers) {}

 protected:
  HRESULT Call(DISPID id, WORD flags, DISPPARAMS& params, VARIANT* result, UINT* argError) override {
    if (id != kJobDownload || (flags & DISPATCH_METHOD) == 0) return DISP_E_MEMBERNOTFOUND;
    if (params.cNamedArgs != 0) return DISP_E_NONAMEDARGS;
    if (params.cArgs != kArgCount) return DISP_E_BADPARAMCOUNT;
    // Invoke delivers the arguments last-to-first; `position` counts from 1 in call order.
    const auto index = [](UINT position) { return kArgCount - position; };
    const auto arg = [&](UINT position) -> VARIANT& { return params.rgvarg[index(position)]; };

    std::wstring url;
    std::wstring destination;
    const auto mismatch = [&](UINT position) {
      if (argError != nullptr) *argError = index(position);
      return DISP_E_TYPEMISMATCH;
    };
    if (!kagent::TextArgument(arg(1), url)) return mismatch(1);
    if (!kagent::TextArgument(arg(4), destination)) return mismatch(4);

    const Outcome outcome =
        FailureForced() ? Outcome(Failure{L"1", L"forced failure", kFailFlagFile}) : Download(url, destination);
    const Failure texts = outcome.value_or(Failure{});
    kagent::SetOutText(arg(5), texts.code);
    kagent::SetOutText(arg(6), texts.text);
    kagent::SetOutText(arg(7), texts.detail);

    const bool downloaded = !outcome.has_value();
    kagent::AppendRecord(kRecordFile, L"download\t" + kagent::RecordField(url) + L"\t" +
                                          kagent::RecordField(destination) + (downloaded ? L"\t1" : L"\t0"));
    if (result != nullptr) {
      VariantInit(result);
      result->vt = VT_BOOL;
      result->boolVal = downloaded ? VARIANT_TRUE : VARIANT_FALSE;
    }
    return S_OK;
  }
};

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* object) {
  return kagent::GetClassObject<JobDownloader>(kClsid, clsid, riid, object);
}

STDAPI DllCanUnloadNow() { return kagent::ModuleInUse() ? S_FALSE : S_OK; }

STDAPI DllRegisterServer() { return kagent::RegisterServer(kClsid, kProgId); }

STDAPI DllUnregisterServer() { return kagent::UnregisterServer(kClsid, kProgId); }
