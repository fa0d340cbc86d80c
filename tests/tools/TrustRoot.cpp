// Test-only helper: makes a certificate a trusted root of the machine, as an administrator would
// with the certificate manager, so that the test servers' HTTPS is accepted by the programs run
// in this Wine prefix. It only adds: nothing already in the store is changed or removed.
//
//   kTrustRoot <certificate.der>
//
// Prints "added" or "already trusted" and exits 0; 2 for bad arguments, 3 when the file cannot be
// read, 4 when the store cannot be opened or the certificate not added.
#include <windows.h>
#include <shellapi.h>
#include <wincrypt.h>

#include <cstdio>
#include <vector>

int main() {
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc != 2) {
    std::fputs("usage: kTrustRoot <certificate.der>\n", stderr);
    return 2;
  }
  HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 3;
  std::vector<BYTE> der(64 * 1024);
  DWORD size = 0;
  const BOOL read = ReadFile(file, der.data(), static_cast<DWORD>(der.size()), &size, nullptr);
  CloseHandle(file);
  if (!read || size == 0) return 3;

  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT");
  if (store == nullptr) {
    std::fprintf(stderr, "kTrustRoot: cannot open the machine's ROOT store: %lu\n", GetLastError());
    return 4;
  }
  PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), size);
  bool present = false;
  if (cert != nullptr) {
    PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, cert, nullptr);
    present = found != nullptr;
    if (found != nullptr) CertFreeCertificateContext(found);
    CertFreeCertificateContext(cert);
  }
  const BOOL added = present || CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                                                  CERT_STORE_ADD_USE_EXISTING, nullptr);
  const DWORD error = GetLastError();
  CertCloseStore(store, 0);
  if (!added) {
    std::fprintf(stderr, "kTrustRoot: the certificate was not added: %lu\n", error);
    return 4;
  }
  std::puts(present ? "already trusted" : "added");
  return 0;
}
