#include "platform/CrashHandler.h"

#include <windows.h>

#include <dbghelp.h>
#include <tlhelp32.h>

#include <csignal>
#include <cstdlib>
#include <exception>

#include "platform/Text.h"

namespace kdht::platform {
namespace {

constexpr DWORD kWriterDeadlineMs = 60 * 1000;
// What the system keeps for the handler on a thread whose stack ran out.
constexpr ULONG kStackGuarantee = 32 * 1024;
constexpr int kMaxDumpsSeen = 64;
constexpr size_t kPathChars = 1024;

// Text built in fixed buffers: the heap of a crashed process is not to be relied on.
template <typename Char, size_t N>
struct Buffer {
  Char text[N] = {};
  size_t size = 0;

  void Add(const Char* s) {
    for (; s != nullptr && *s != 0 && size + 1 < N; ++s) text[size++] = *s;
    text[size] = 0;
  }
  void AddChar(Char c) {
    if (size + 1 < N) text[size++] = c;
    text[size] = 0;
  }
  // Decimal with at least `width` digits.
  void AddNumber(unsigned long long value, int width = 1) { AddDigits(value, 10, width); }
  void AddHex(unsigned long long value, int width = 1) { AddDigits(value, 16, width); }
  // Three numbers of the given widths with `separator` between them (none when it is 0).
  void AddTriple(Char separator, unsigned a, int aWidth, unsigned b, int bWidth, unsigned c, int cWidth) {
    AddNumber(a, aWidth);
    if (separator != 0) AddChar(separator);
    AddNumber(b, bWidth);
    if (separator != 0) AddChar(separator);
    AddNumber(c, cWidth);
  }

 private:
  void AddDigits(unsigned long long value, unsigned base, int width) {
    Char digits[24];
    int n = 0;
    do {
      const unsigned d = static_cast<unsigned>(value % base);
      digits[n++] = static_cast<Char>(d < 10 ? '0' + d : 'A' + d - 10);
      value /= base;
    } while (value != 0 && n < 24);
    while (n < width && n < 24) digits[n++] = '0';
    while (n > 0) AddChar(digits[--n]);
  }
};

struct CrashState {
  wchar_t logFile[kPathChars];     // empty: no log line
  wchar_t dumpFolder[kPathChars];  // with its final backslash
  wchar_t prefix[32];
  bool toStandardError;
  HANDLE request;
  HANDLE done;
  EXCEPTION_POINTERS* pointers;
  DWORD threadId;
  volatile LONG entered;
};

// The handler's block (see the header for why it is process-wide): the one mutable global, by
// design, so the analyser's check for such globals is told so here and nowhere else.
CrashState g_crash = {};  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

void CopyWide(wchar_t* to, size_t capacity, const std::wstring& from) {
  size_t i = 0;
  for (; i + 1 < capacity && i < from.size(); ++i) to[i] = from[i];
  to[i] = 0;
}

const wchar_t* BaseName(const wchar_t* path) {
  const wchar_t* name = path;
  for (const wchar_t* p = path; *p != 0; ++p) {
    if (*p == L'\\' || *p == L'/') name = p + 1;
  }
  return name;
}

void AddAnsi(Buffer<char, 2048>& line, const wchar_t* wide) {
  char ansi[kPathChars * 2];
  const int n = WideCharToMultiByte(CP_ACP, 0, wide, -1, ansi, sizeof(ansi), nullptr, nullptr);
  line.Add(n > 0 ? ansi : "?");
}

// Deletes the oldest dumps of this prefix beyond the newest kDumpsKept.
void PruneDumps() {
  Buffer<wchar_t, kPathChars> pattern;
  pattern.Add(g_crash.dumpFolder);
  pattern.Add(g_crash.prefix);
  pattern.Add(L"-*.dmp");
  struct Seen {
    FILETIME written;
    wchar_t name[MAX_PATH];
  };
  Seen seen[kMaxDumpsSeen];  // about 34 KB of the writer thread's own stack
  int count = 0;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(pattern.text, &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || count == kMaxDumpsSeen) continue;
    seen[count].written = found.ftLastWriteTime;
    CopyWide(seen[count].name, MAX_PATH, found.cFileName);
    ++count;
  } while (FindNextFileW(find, &found));
  FindClose(find);
  // Newest first: by the time written, then by name (the time of the crash is in it).
  for (int i = 1; i < count; ++i) {
    for (int j = i; j > 0; --j) {
      const LONG order = CompareFileTime(&seen[j - 1].written, &seen[j].written);
      if (order > 0 || (order == 0 && lstrcmpiW(seen[j - 1].name, seen[j].name) >= 0)) break;
      const Seen swap = seen[j];
      seen[j] = seen[j - 1];
      seen[j - 1] = swap;
    }
  }
  for (int i = kDumpsKept; i < count; ++i) {
    Buffer<wchar_t, kPathChars> path;
    path.Add(g_crash.dumpFolder);
    path.Add(seen[i].name);
    DeleteFileW(path.text);
  }
}

// The same three streams as MiniDumpWriteDump's normal dump (the crashed thread with its context
// and stack, the module list, the exception), written here for when dbghelp cannot: Wine's
// cannot dump a 32-bit process running under its WoW64.
constexpr int kMaxModules = 128;
constexpr ULONG_PTR kMaxStackBytes = 64 * 1024;

struct DumpModule {
  ULONG64 base;
  ULONG32 size;
  wchar_t name[MAX_PATH];
  ULONG32 nameBytes;
};

bool Put(HANDLE file, const void* data, DWORD size) {
  DWORD written = 0;
  return size == 0 || (WriteFile(file, data, size, &written, nullptr) && written == size);
}

ULONG_PTR StackPointerOf(const CONTEXT& context) {
#if defined(_M_X64) || defined(__x86_64__)
  return static_cast<ULONG_PTR>(context.Rsp);
#else
  return static_cast<ULONG_PTR>(context.Esp);
#endif
}

DWORD WriteOwnDump(HANDLE file) {
  const EXCEPTION_POINTERS& pointers = *g_crash.pointers;
  DumpModule modules[kMaxModules];  // about 68 KB of the writer thread's stack
  ULONG32 moduleCount = 0;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, GetCurrentProcessId());
  if (snapshot != INVALID_HANDLE_VALUE) {
    MODULEENTRY32W entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Module32FirstW(snapshot, &entry); more && moduleCount < kMaxModules;
         more = Module32NextW(snapshot, &entry)) {
      DumpModule& m = modules[moduleCount++];
      m.base = reinterpret_cast<ULONG_PTR>(entry.modBaseAddr);
      m.size = entry.modBaseSize;
      CopyWide(m.name, MAX_PATH, entry.szExePath);
      m.nameBytes = static_cast<ULONG32>(lstrlenW(m.name) * sizeof(wchar_t));
    }
    CloseHandle(snapshot);
  }
  // The crashed thread's stack, from its stack pointer to the end of the committed region.
  const ULONG_PTR sp = StackPointerOf(*pointers.ContextRecord);
  ULONG_PTR stackBytes = 0;
  MEMORY_BASIC_INFORMATION region;
  if (sp != 0 && VirtualQuery(reinterpret_cast<void*>(sp), &region, sizeof(region)) == sizeof(region) &&
      region.State == MEM_COMMIT) {
    const ULONG_PTR end = reinterpret_cast<ULONG_PTR>(region.BaseAddress) + region.RegionSize;
    stackBytes = end - sp < kMaxStackBytes ? end - sp : kMaxStackBytes;
  }

  constexpr ULONG32 kStreams = 3;
  const RVA directoryAt = sizeof(MINIDUMP_HEADER);
  const RVA exceptionAt = directoryAt + kStreams * sizeof(MINIDUMP_DIRECTORY);
  const RVA contextAt = exceptionAt + sizeof(MINIDUMP_EXCEPTION_STREAM);
  const RVA threadsAt = contextAt + sizeof(CONTEXT);
  const RVA stackAt = threadsAt + sizeof(ULONG32) + sizeof(MINIDUMP_THREAD);
  const RVA modulesAt = stackAt + static_cast<RVA>(stackBytes);
  RVA namesAt = modulesAt + sizeof(ULONG32) + moduleCount * sizeof(MINIDUMP_MODULE);

  MINIDUMP_HEADER header = {};
  header.Signature = 0x504D444D;  // "MDMP"
  header.Version = MINIDUMP_VERSION;
  header.NumberOfStreams = kStreams;
  header.StreamDirectoryRva = directoryAt;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  header.TimeDateStamp = static_cast<ULONG32>(
      ((static_cast<ULONG64>(now.dwHighDateTime) << 32 | now.dwLowDateTime) - 116444736000000000ULL) / 10000000ULL);
  header.Flags = MiniDumpNormal;

  MINIDUMP_DIRECTORY directory[kStreams] = {};
  directory[0].StreamType = ExceptionStream;
  directory[0].Location = {sizeof(MINIDUMP_EXCEPTION_STREAM), exceptionAt};
  directory[1].StreamType = ThreadListStream;
  directory[1].Location = {static_cast<ULONG32>(sizeof(ULONG32) + sizeof(MINIDUMP_THREAD)), threadsAt};
  directory[2].StreamType = ModuleListStream;
  directory[2].Location = {static_cast<ULONG32>(sizeof(ULONG32) + moduleCount * sizeof(MINIDUMP_MODULE)), modulesAt};

  MINIDUMP_EXCEPTION_STREAM exception = {};
  exception.ThreadId = g_crash.threadId;
  const EXCEPTION_RECORD& record = *pointers.ExceptionRecord;
  exception.ExceptionRecord.ExceptionCode = record.ExceptionCode;
  exception.ExceptionRecord.ExceptionFlags = record.ExceptionFlags;
  exception.ExceptionRecord.ExceptionAddress = reinterpret_cast<ULONG_PTR>(record.ExceptionAddress);
  exception.ExceptionRecord.NumberParameters =
      record.NumberParameters < EXCEPTION_MAXIMUM_PARAMETERS ? record.NumberParameters : EXCEPTION_MAXIMUM_PARAMETERS;
  for (ULONG32 i = 0; i < exception.ExceptionRecord.NumberParameters; ++i) {
    exception.ExceptionRecord.ExceptionInformation[i] = record.ExceptionInformation[i];
  }
  exception.ThreadContext = {sizeof(CONTEXT), contextAt};

  const ULONG32 threadCount = 1;
  MINIDUMP_THREAD thread = {};
  thread.ThreadId = g_crash.threadId;
  thread.Stack.StartOfMemoryRange = sp;
  thread.Stack.Memory = {static_cast<ULONG32>(stackBytes), stackAt};
  thread.ThreadContext = {sizeof(CONTEXT), contextAt};

  bool ok = Put(file, &header, sizeof(header)) && Put(file, directory, sizeof(directory)) &&
            Put(file, &exception, sizeof(exception)) && Put(file, pointers.ContextRecord, sizeof(CONTEXT)) &&
            Put(file, &threadCount, sizeof(threadCount)) && Put(file, &thread, sizeof(thread)) &&
            Put(file, reinterpret_cast<const void*>(sp), static_cast<DWORD>(stackBytes)) &&
            Put(file, &moduleCount, sizeof(moduleCount));
  for (ULONG32 i = 0; ok && i < moduleCount; ++i) {
    MINIDUMP_MODULE module = {};
    module.BaseOfImage = modules[i].base;
    module.SizeOfImage = modules[i].size;
    module.ModuleNameRva = namesAt;
    namesAt += sizeof(ULONG32) + modules[i].nameBytes + sizeof(wchar_t);
    ok = Put(file, &module, sizeof(module));
  }
  for (ULONG32 i = 0; ok && i < moduleCount; ++i) {
    ok = Put(file, &modules[i].nameBytes, sizeof(ULONG32)) &&
         Put(file, modules[i].name, modules[i].nameBytes + sizeof(wchar_t));
  }
  return ok ? 0 : (GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT);
}

using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);

// The dump under a temporary name, then moved to its own: a reader never meets half of one.
// 0 when written, else the system's error code.
DWORD WriteDump(const wchar_t* path) {
  wchar_t system[MAX_PATH];
  const UINT n = GetSystemDirectoryW(system, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return GetLastError();
  Buffer<wchar_t, MAX_PATH + 16> library;
  library.Add(system);
  library.Add(L"\\dbghelp.dll");
  // From the system folder only, never from the program's folder or the current one.
  HMODULE dbghelp = LoadLibraryExW(library.text, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  auto write = dbghelp == nullptr ? nullptr
                                  : reinterpret_cast<MiniDumpWriteDumpFn>(
                                        reinterpret_cast<void*>(GetProcAddress(dbghelp, "MiniDumpWriteDump")));

  Buffer<wchar_t, kPathChars + 8> temporary;
  temporary.Add(path);
  temporary.Add(L".tmp");
  HANDLE file = CreateFileW(temporary.text, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  MINIDUMP_EXCEPTION_INFORMATION exception = {};
  exception.ThreadId = g_crash.threadId;
  exception.ExceptionPointers = g_crash.pointers;
  exception.ClientPointers = FALSE;
  const auto type = static_cast<MINIDUMP_TYPE>(MiniDumpNormal);  // threads, modules, the exception
  DWORD error = 0;
  if (write == nullptr || !write(GetCurrentProcess(), GetCurrentProcessId(), file, type, &exception, nullptr, nullptr)) {
    // What dbghelp left is dropped and the streams are written here instead.
    if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) != 0 || !SetEndOfFile(file)) {
      error = GetLastError();
    } else {
      error = WriteOwnDump(file);
    }
  }
  if (error == 0 && !FlushFileBuffers(file)) {
    error = GetLastError();
  }
  CloseHandle(file);
  if (error == 0 && !MoveFileExW(temporary.text, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = GetLastError();
  }
  if (error != 0) DeleteFileW(temporary.text);
  return error;
}

void AppendLine(const char* text, DWORD size) {
  if (g_crash.toStandardError) {
    DWORD written = 0;
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (err != nullptr && err != INVALID_HANDLE_VALUE) WriteFile(err, text, size, &written, nullptr);
    return;
  }
  if (g_crash.logFile[0] == 0) return;
  HANDLE log = CreateFileW(g_crash.logFile, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(log, text, size, &written, nullptr);
  FlushFileBuffers(log);
  CloseHandle(log);
}

// On the writer thread: the line and the dump of the exception handed over.
void WriteCrashRecord() {
  const EXCEPTION_RECORD& record = *g_crash.pointers->ExceptionRecord;
  const auto address = reinterpret_cast<ULONG_PTR>(record.ExceptionAddress);
  wchar_t modulePath[MAX_PATH] = L"?";
  ULONG_PTR offset = address;
  HMODULE module = nullptr;
  if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(record.ExceptionAddress), &module) &&
      GetModuleFileNameW(module, modulePath, MAX_PATH) != 0) {
    offset = address - reinterpret_cast<ULONG_PTR>(module);
  } else {
    modulePath[0] = L'?';
    modulePath[1] = 0;
  }

  SYSTEMTIME now;
  GetLocalTime(&now);
  if (g_crash.dumpFolder[0] == 0) {
    wchar_t temp[MAX_PATH];
    const DWORD n = GetTempPathW(MAX_PATH, temp);
    if (n != 0 && n < MAX_PATH) CopyWide(g_crash.dumpFolder, kPathChars, temp);
  }
  Buffer<wchar_t, kPathChars> dump;
  dump.Add(g_crash.dumpFolder);
  dump.Add(g_crash.prefix);
  dump.AddChar(L'-');
  dump.AddTriple(0, now.wYear, 4, now.wMonth, 2, now.wDay, 2);
  dump.AddChar(L'-');
  dump.AddTriple(0, now.wHour, 2, now.wMinute, 2, now.wSecond, 2);
  dump.AddChar(L'-');
  dump.AddNumber(GetCurrentProcessId());
  dump.Add(L".dmp");
  const DWORD dumpError = g_crash.dumpFolder[0] != 0 ? WriteDump(dump.text) : ERROR_PATH_NOT_FOUND;
  if (dumpError == 0) PruneDumps();

  // "MM/DD/YYYY HH:NN:SS<tab>ERR : Crash 0xC0000005 in kDHT.exe+0x1A2B3, dump <path>"
  Buffer<char, 2048> line;
  line.AddTriple('/', now.wMonth, 2, now.wDay, 2, now.wYear, 4);
  line.AddChar(' ');
  line.AddTriple(':', now.wHour, 2, now.wMinute, 2, now.wSecond, 2);
  line.Add("\tERR : Crash 0x");
  line.AddHex(record.ExceptionCode, 8);
  line.Add(" in ");
  AddAnsi(line, BaseName(modulePath));
  line.Add("+0x");
  line.AddHex(offset);
  if (dumpError == 0) {
    line.Add(", dump ");
    AddAnsi(line, dump.text);
  } else {
    line.Add(", no dump (error ");
    line.AddNumber(dumpError);
    line.Add(")");
  }
  line.Add("\r\n");
  AppendLine(line.text, static_cast<DWORD>(line.size));
}

DWORD WINAPI WriterThread(void*) {
  if (WaitForSingleObject(g_crash.request, INFINITE) == WAIT_OBJECT_0) {
    WriteCrashRecord();
    SetEvent(g_crash.done);
  }
  return 0;
}

// Every kind of crash ends here, on the thread that crashed.
[[noreturn]] void HandOver(EXCEPTION_POINTERS* pointers) {
  const UINT code = pointers->ExceptionRecord->ExceptionCode != 0 ? pointers->ExceptionRecord->ExceptionCode : 1;
  if (InterlockedExchange(&g_crash.entered, 1) != 0) {
    // A crash while one is being written (in the handler itself, or on another thread).
    TerminateProcess(GetCurrentProcess(), code);
  }
  g_crash.pointers = pointers;
  g_crash.threadId = GetCurrentThreadId();
  if (g_crash.request != nullptr && g_crash.done != nullptr && SetEvent(g_crash.request)) {
    WaitForSingleObject(g_crash.done, kWriterDeadlineMs);
  }
  TerminateProcess(GetCurrentProcess(), code);
  ExitProcess(code);  // not reached: TerminateProcess of the current process does not return
}

LONG WINAPI UnhandledException(EXCEPTION_POINTERS* pointers) {
  HandOver(pointers);
}

// A crash that is not an exception is raised as one, with a code of its own: the system then
// hands it to the unhandled-exception filter with the record and context of this frame.
[[noreturn]] void RaisedBy(DWORD code) {
  RaiseException(code, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  TerminateProcess(GetCurrentProcess(), code);  // not reached
  ExitProcess(code);
}

void OnTerminate() { RaisedBy(kCrashTerminate); }
void __cdecl OnAbortSignal(int) { RaisedBy(kCrashAbort); }
void __cdecl OnPureCall() { RaisedBy(kCrashPureCall); }
void __cdecl OnInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, uintptr_t) {
  RaisedBy(kCrashInvalidParameter);
}

// The C runtime's own handlers, where the runtime the program was linked with has them.
void InstallRuntimeHandlers() {
  using PureCallHandler = void(__cdecl*)();
  using SetPureCall = PureCallHandler(__cdecl*)(PureCallHandler);
  using InvalidParameterHandler = void(__cdecl*)(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int,
                                                 uintptr_t);
  using SetInvalidParameter = InvalidParameterHandler(__cdecl*)(InvalidParameterHandler);
  for (const wchar_t* runtime : {L"msvcrt.dll", L"ucrtbase.dll"}) {
    HMODULE crt = GetModuleHandleW(runtime);
    if (crt == nullptr) continue;
    if (auto set = reinterpret_cast<SetPureCall>(
            reinterpret_cast<void*>(GetProcAddress(crt, "_set_purecall_handler")))) {
      set(&OnPureCall);
    }
    if (auto set = reinterpret_cast<SetInvalidParameter>(
            reinterpret_cast<void*>(GetProcAddress(crt, "_set_invalid_parameter_handler")))) {
      set(&OnInvalidParameter);
    }
  }
}

}  // namespace

void InstallCrashHandler(const CrashHandlerSetup& setup) {
  CopyWide(g_crash.prefix, sizeof(g_crash.prefix) / sizeof(wchar_t), Widen(setup.dumpPrefix));
  g_crash.toStandardError = setup.lineToStandardError;
  g_crash.request = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  g_crash.done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (g_crash.request != nullptr && g_crash.done != nullptr) {
    HANDLE writer = CreateThread(nullptr, 256 * 1024, &WriterThread, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION,
                                 nullptr);
    if (writer != nullptr) {
      CloseHandle(writer);
    } else {
      CloseHandle(g_crash.request);
      g_crash.request = nullptr;
    }
  }
  ULONG guarantee = kStackGuarantee;
  SetThreadStackGuarantee(&guarantee);
  SetUnhandledExceptionFilter(&UnhandledException);
  std::set_terminate(&OnTerminate);
  // Refused only for a signal number the runtime does not know, which SIGABRT is not.
  static_cast<void>(std::signal(SIGABRT, &OnAbortSignal));
  InstallRuntimeHandlers();
}

void SetCrashLog(const std::string& logFile) {
  const std::wstring wide = Widen(logFile);
  CopyWide(g_crash.logFile, kPathChars, wide);
  const size_t slash = wide.find_last_of(L"\\/");
  CopyWide(g_crash.dumpFolder, kPathChars, slash == std::wstring::npos ? std::wstring() : wide.substr(0, slash + 1));
}

}  // namespace kdht::platform
