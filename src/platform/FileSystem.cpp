#include "platform/FileSystem.h"

#include <windows.h>

#include <algorithm>
#include <memory>

#include "platform/Failure.h"
#include "platform/OneStepFile.h"
#include "platform/Text.h"

namespace kdht::platform {
namespace {

// Owns a handle whose invalid value is INVALID_HANDLE_VALUE.
class ScopedFile {
 public:
  explicit ScopedFile(HANDLE h) : h_(h) {}
  ~ScopedFile() {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }
  ScopedFile(const ScopedFile&) = delete;
  ScopedFile& operator=(const ScopedFile&) = delete;
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE h_;
};

class ScopedFind {
 public:
  explicit ScopedFind(HANDLE h) : h_(h) {}
  ~ScopedFind() {
    if (h_ != INVALID_HANDLE_VALUE) FindClose(h_);
  }
  ScopedFind(const ScopedFind&) = delete;
  ScopedFind& operator=(const ScopedFind&) = delete;
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE h_;
};

std::wstring JoinW(const std::wstring& folder, const std::wstring& name) {
  if (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) return folder + name;
  return folder + L"\\" + name;
}

// Lists entries of a folder: folders or files, skipping "." and "..".
std::vector<std::wstring> ListW(const std::wstring& folder, bool wantFolders) {
  WIN32_FIND_DATAW data;
  ScopedFind find(FindFirstFileW(JoinW(folder, L"*").c_str(), &data));
  if (!find.valid()) {
    DWORD err = GetLastError();
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_NO_MORE_FILES) return {};
    ThrowSystemError(err);
  }
  std::vector<std::wstring> names;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    const bool isFolder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (isFolder == wantFolders) names.push_back(name);
  } while (FindNextFileW(find.get(), &data));
  return names;
}

void ClearReadOnly(const std::wstring& path) {
  DWORD attrs = GetFileAttributesW(path.c_str());
  if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_READONLY)) {
    SetFileAttributesW(path.c_str(), attrs & ~FILE_ATTRIBUTE_READONLY);
  }
}

void DeleteTreeW(const std::wstring& path, bool force) {
  for (const auto& name : ListW(path, false)) {
    const std::wstring file = JoinW(path, name);
    if (force) ClearReadOnly(file);
    if (!DeleteFileW(file.c_str())) ThrowLastError();
  }
  for (const auto& name : ListW(path, true)) {
    DeleteTreeW(JoinW(path, name), force);
  }
  if (force) ClearReadOnly(path);
  if (!RemoveDirectoryW(path.c_str())) ThrowLastError();
}

void CopyTreeW(const std::wstring& from, const std::wstring& to) {
  if (GetFileAttributesW(from.c_str()) == INVALID_FILE_ATTRIBUTES) ThrowLastError();
  if (!CreateDirectoryW(to.c_str(), nullptr)) {
    DWORD err = GetLastError();
    if (err != ERROR_ALREADY_EXISTS) ThrowSystemError(err);
  }
  for (const auto& name : ListW(from, false)) {
    // Each file in one step: a copy that fails part-way leaves the old file, never half of one.
    CopyFileInOneStep(Narrow(JoinW(from, name)), Narrow(JoinW(to, name)));
  }
  for (const auto& name : ListW(from, true)) {
    CopyTreeW(JoinW(from, name), JoinW(to, name));
  }
}


}  // namespace

bool FileExists(const std::string& path) {
  DWORD attrs = GetFileAttributesW(Widen(path).c_str());
  return attrs != INVALID_FILE_ATTRIBUTES && !(attrs & FILE_ATTRIBUTE_DIRECTORY);
}

bool FolderExists(const std::string& path) {
  DWORD attrs = GetFileAttributesW(Widen(path).c_str());
  return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY);
}

std::uint64_t FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(Widen(path).c_str(), GetFileExInfoStandard, &data)) ThrowLastError();
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::vector<std::string> ListFiles(const std::string& folder) {
  if (!FolderExists(folder)) ThrowSystemError(ERROR_PATH_NOT_FOUND);
  std::vector<std::string> out;
  for (const auto& n : ListW(Widen(folder), false)) out.push_back(Narrow(n));
  return out;
}

std::vector<std::string> ListFolders(const std::string& folder) {
  if (!FolderExists(folder)) ThrowSystemError(ERROR_PATH_NOT_FOUND);
  std::vector<std::string> out;
  for (const auto& n : ListW(Widen(folder), true)) out.push_back(Narrow(n));
  return out;
}

void CopyFileOver(const std::string& from, const std::string& to) {
  // A read-only destination is not replaced (Wine would replace it; Windows refuses).
  CopyFileInOneStep(from, to);
}

void DeleteFileForced(const std::string& path) {
  const std::wstring w = Widen(path);
  ClearReadOnly(w);
  if (!DeleteFileW(w.c_str())) ThrowLastError();
}

void DeleteFileUnforced(const std::string& path) {
  if (!DeleteFileW(Widen(path).c_str())) ThrowLastError();
}

void ReplaceFileWith(const std::string& from, const std::string& to) {
  if (!MoveFileExW(Widen(from).c_str(), Widen(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ThrowLastError();
  }
}

void DeleteFolderTree(const std::string& path, bool force) {
  std::wstring w = Widen(path);
  while (w.size() > 3 && (w.back() == L'\\' || w.back() == L'/')) w.pop_back();
  if (GetFileAttributesW(w.c_str()) == INVALID_FILE_ATTRIBUTES) ThrowLastError();
  DeleteTreeW(w, force);
}

void CreateOneFolder(const std::string& path) {
  if (!CreateDirectoryW(Widen(path).c_str(), nullptr)) ThrowLastError();
}

bool MakeSureDirectoryPathExists(const std::string& pathEndingInBackslash) {
  // The system call takes an ANSI path; folders are created level by level here with the wide
  // calls so that any name the file system accepts works.
  const std::wstring w = Widen(pathEndingInBackslash);
  size_t end = w.find_last_of(L"\\/");
  if (end == std::wstring::npos) return false;
  std::wstring prefix;
  size_t pos = 0;
  if (w.size() >= 2 && w[1] == L':') pos = 3;
  else if (w.rfind(L"\\\\", 0) == 0) {
    size_t server = w.find(L'\\', 2);
    size_t share = server == std::wstring::npos ? server : w.find(L'\\', server + 1);
    pos = share == std::wstring::npos ? w.size() : share + 1;
  }
  bool ok = true;
  while (pos <= end) {
    size_t next = w.find_first_of(L"\\/", pos);
    if (next == std::wstring::npos || next > end) break;
    const std::wstring part = w.substr(0, next);
    if (!part.empty() && GetFileAttributesW(part.c_str()) == INVALID_FILE_ATTRIBUTES) {
      if (!CreateDirectoryW(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) ok = false;
    }
    pos = next + 1;
  }
  return ok;
}

void CopyFolderTree(const std::string& from, const std::string& to) {
  std::wstring f = Widen(from), t = Widen(to);
  while (f.size() > 3 && f.back() == L'\\') f.pop_back();
  while (t.size() > 3 && t.back() == L'\\') t.pop_back();
  CopyTreeW(f, t);
}

void SetReadOnly(const std::string& path, bool readOnly) {
  const std::wstring w = Widen(path);
  DWORD attrs = GetFileAttributesW(w.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) ThrowLastError();
  attrs = readOnly ? (attrs | FILE_ATTRIBUTE_READONLY) : (attrs & ~FILE_ATTRIBUTE_READONLY);
  if (attrs == 0) attrs = FILE_ATTRIBUTE_NORMAL;
  if (!SetFileAttributesW(w.c_str(), attrs)) ThrowLastError();
}

std::string ReadFileBytes(const std::string& path) {
  ScopedFile file(CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) ThrowLastError();
  std::string out;
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file.get(), &size) && size.QuadPart > 0 && size.QuadPart < (1LL << 30)) {
    out.reserve(static_cast<size_t>(size.QuadPart));
  }
  char buffer[65536];
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr)) ThrowLastError();
    if (read == 0) break;
    out.append(buffer, read);
  }
  return out;
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  ScopedFile file(CreateFileW(Widen(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) ThrowLastError();
  WriteAllBytes(file.get(), bytes);
}

void AppendFileBytes(const std::string& path, const std::string& bytes) {
  ScopedFile file(CreateFileW(Widen(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) ThrowLastError();
  WriteAllBytes(file.get(), bytes);
}

std::string ShortPathName(const std::string& path, std::uint32_t bufferChars) {
  std::wstring buffer(bufferChars + 1, L'\0');
  DWORD n = GetShortPathNameW(Widen(path).c_str(), buffer.data(), bufferChars);
  if (n == 0 || n > bufferChars) return {};
  buffer.resize(n);
  return Narrow(buffer);
}

std::uint32_t LongPathName(const std::string& path, std::uint32_t bufferChars, std::string* out) {
  std::wstring buffer(bufferChars + 1, L'\0');
  DWORD n = GetLongPathNameW(Widen(path).c_str(), buffer.data(), bufferChars);
  if (n == 0 || n > bufferChars) return n > bufferChars ? n : 0;
  buffer.resize(n);
  *out = Narrow(buffer);
  return n;
}

std::string FullPathName(const std::string& path) {
  const std::wstring w = Widen(path);
  DWORD n = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
  if (n == 0) ThrowLastError();
  std::wstring buffer(n, L'\0');
  n = GetFullPathNameW(w.c_str(), n, buffer.data(), nullptr);
  if (n == 0) ThrowLastError();
  buffer.resize(n);
  return Narrow(buffer);
}

}  // namespace kdht::platform
