// The parts of a "No New Template" pass, each timed alone in a fresh process of the pass's width
// under the same Wine. Usage:
//   steady_probe <held template> <checksum library> <result file>
// Writes "name seconds" lines:
//   spawn     starting the two regsvr32 children of a pass (until each CreateProcess returns)
//   dll_http  loading the HTTP library
//   dll_dom   creating the first DOM document (COM set-up and the MSXML library)
//   checksum  loading the checksum library and one checksum of the held template
//   dom_read  loading the held template into that DOM document
//   plain_read reading the held template's bytes and its names with the program's plain reader
//             (src/core/PlainXml.cpp, built into this probe)
#include <windows.h>
#include <msxml2.h>
#include <objbase.h>

#include <cstdio>
#include <string>

#include "core/PlainXml.h"

namespace {

LARGE_INTEGER frequency;

double Now() {
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return static_cast<double>(t.QuadPart) / static_cast<double>(frequency.QuadPart);
}

const GUID kIidXmlReader = {0x7279fc81, 0x709d, 0x4095, {0xb6, 0x3d, 0x69, 0xfe, 0x4b, 0x0d, 0x90, 0x30}};
const GUID kIidDomDocument = {0x2933bf81, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};

double Spawn() {
  wchar_t sys[MAX_PATH] = {};
  GetSystemDirectoryW(sys, MAX_PATH);
  const std::wstring folder = std::wstring(sys) + L"\\";
  const std::wstring program = folder + L"regsvr32.exe";
  const double start = Now();
  for (const wchar_t* library : {L"scrrun.dll", L"msxml3.dll"}) {
    std::wstring cmd = L"\"" + program + L"\" -s " + folder + library;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_SHOWMINIMIZED;
    PROCESS_INFORMATION pi = {};
    if (CreateProcessW(program.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
      CloseHandle(pi.hThread);
      CloseHandle(pi.hProcess);
    }
  }
  return Now() - start;
}

using KGetMD5Fn = short(WINAPI*)(VARIANT, VARIANT*, VARIANT*, VARIANT*);

double Checksum(const wchar_t* library, const wchar_t* path) {
  const double start = Now();
  HMODULE module = LoadLibraryW(library);
  if (module == nullptr) return -1;
  auto get = reinterpret_cast<KGetMD5Fn>(reinterpret_cast<void*>(GetProcAddress(module, "KGetMD5")));
  if (get == nullptr) return -1;
  VARIANT p, sum, size, error;
  VariantInit(&p);
  VariantInit(&sum);
  VariantInit(&size);
  VariantInit(&error);
  V_VT(&p) = VT_BSTR;
  V_BSTR(&p) = SysAllocString(path);
  const short ok = get(p, &sum, &size, &error);
  const double took = Now() - start;
  VariantClear(&p);
  VariantClear(&sum);
  VariantClear(&size);
  VariantClear(&error);
  return ok ? took : -1;
}

double DomRead(IXMLDOMDocument* doc, const wchar_t* path) {
  VARIANT source;
  VariantInit(&source);
  V_VT(&source) = VT_BSTR;
  V_BSTR(&source) = SysAllocString(path);
  VARIANT_BOOL ok = VARIANT_FALSE;
  const double start = Now();
  doc->put_async(VARIANT_FALSE);
  const HRESULT hr = doc->load(source, &ok);
  const double took = Now() - start;
  VariantClear(&source);
  return SUCCEEDED(hr) && ok == VARIANT_TRUE ? took : -1;
}

double PlainRead(const wchar_t* path) {
  const double start = Now();
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  std::string bytes;
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file, &size)) bytes.reserve(static_cast<size_t>(size.QuadPart));
  char buffer[65536];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) bytes.append(buffer, read);
  CloseHandle(file);
  const bool named = kdht::plainxml::ReadTemplateNames(bytes).has_value();
  const double took = Now() - start;
  return named ? took : -1;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc < 4) return 2;
  QueryPerformanceFrequency(&frequency);
  const double spawn = Spawn();

  double start = Now();
  HMODULE http = LoadLibraryW(L"winhttp.dll");
  const double dllHttp = http != nullptr ? Now() - start : -1;

  start = Now();
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  CLSID clsid;
  IXMLDOMDocument* doc = nullptr;
  double dllDom = -1;
  if (SUCCEEDED(CLSIDFromProgID(L"msxml2.DOMDocument", &clsid)) &&
      SUCCEEDED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, kIidDomDocument, reinterpret_cast<void**>(&doc))))
    dllDom = Now() - start;

  const double checksum = Checksum(argv[2], argv[1]);
  const double domRead = doc != nullptr ? DomRead(doc, argv[1]) : -1;
  if (doc != nullptr) doc->Release();
  const double plainRead = PlainRead(argv[1]);
  CoUninitialize();

  FILE* out = _wfopen(argv[3], L"w");
  if (out == nullptr) return 3;
  std::fprintf(out, "spawn %.9f\ndll_http %.9f\ndll_dom %.9f\nchecksum %.9f\ndom_read %.9f\nplain_read %.9f\n",
               spawn, dllHttp, dllDom, checksum, domRead, plainRead);
  std::fclose(out);
  LocalFree(argv);
  return 0;
}
