#include "platform/OneStepFile.h"

#include <windows.h>

#include <algorithm>

#include "platform/Failure.h"
#include "platform/Text.h"

namespace kdht::platform {
namespace {

class FileHandle {
 public:
  explicit FileHandle(HANDLE h) : h_(h) {}
  ~FileHandle() { Close(); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE; }
  // Closing can report a failure of its own (a write the file system had accepted late).
  void CloseOrThrow() {
    HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    if (h != INVALID_HANDLE_VALUE && !CloseHandle(h)) ThrowLastError();
  }

 private:
  void Close() {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
  }
  HANDLE h_;
};

void ThrowIfReadOnly(const std::wstring& path) {
  const DWORD attrs = GetFileAttributesW(path.c_str());
  if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_READONLY)) ThrowSystemError(ERROR_ACCESS_DENIED);
}

// Removes the temporary file of a write that did not complete, unless the write is done.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::wstring path) : path_(std::move(path)) {}
  ~TemporaryFile() {
    if (!kept_) {
      SetFileAttributesW(path_.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileW(path_.c_str());
    }
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  const std::wstring& path() const { return path_; }
  void Keep() { kept_ = true; }

 private:
  std::wstring path_;
  bool kept_ = false;
};


void FlushExisting(const std::wstring& path) {
  FileHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) ThrowLastError();
  if (!FlushFileBuffers(file.get())) ThrowLastError();
  file.CloseOrThrow();
}

void MoveOnto(const std::wstring& from, const std::wstring& to) {
  if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) ThrowLastError();
}

}  // namespace

void WriteAllBytes(void* file, const std::string& bytes) {
  HANDLE h = static_cast<HANDLE>(file);
  size_t done = 0;
  while (done < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
    DWORD written = 0;
    if (!WriteFile(h, bytes.data() + done, chunk, &written, nullptr)) ThrowLastError();
    // A write that took nothing would never end; the disk is full.
    if (written == 0) ThrowSystemError(ERROR_DISK_FULL);
    done += written;
  }
}

std::string TemporaryNameFor(const std::string& path) { return path + ".new"; }

void RemoveLeftoverOf(const std::string& path) {
  const std::wstring temporary = Widen(TemporaryNameFor(path));
  if (GetFileAttributesW(temporary.c_str()) == INVALID_FILE_ATTRIBUTES) return;
  SetFileAttributesW(temporary.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!DeleteFileW(temporary.c_str())) ThrowLastError();
}

void WriteFileInOneStep(const std::string& path, const std::string& bytes) {
  const std::wstring target = Widen(path);
  ThrowIfReadOnly(target);
  TemporaryFile temporary(Widen(TemporaryNameFor(path)));
  SetFileAttributesW(temporary.path().c_str(), FILE_ATTRIBUTE_NORMAL);  // a read-only leftover
  {
    FileHandle file(CreateFileW(temporary.path().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) ThrowLastError();
    WriteAllBytes(file.get(), bytes);
    if (!FlushFileBuffers(file.get())) ThrowLastError();
    file.CloseOrThrow();
  }
  MoveOnto(temporary.path(), target);
  temporary.Keep();
}

void CopyFileInOneStep(const std::string& from, const std::string& to) {
  const std::wstring target = Widen(to);
  ThrowIfReadOnly(target);
  TemporaryFile temporary(Widen(TemporaryNameFor(to)));
  SetFileAttributesW(temporary.path().c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!CopyFileW(Widen(from).c_str(), temporary.path().c_str(), FALSE)) ThrowLastError();
  // The copy takes the source's attributes; the installed file must stay replaceable.
  SetFileAttributesW(temporary.path().c_str(), FILE_ATTRIBUTE_NORMAL);
  FlushExisting(temporary.path());
  MoveOnto(temporary.path(), target);
  temporary.Keep();
}

bool EditFileInOneStep(const std::string& path, const std::function<bool(const std::string& copy)>& edit) {
  const std::wstring target = Widen(path);
  const std::string copyName = TemporaryNameFor(path);
  TemporaryFile temporary(Widen(copyName));
  SetFileAttributesW(temporary.path().c_str(), FILE_ATTRIBUTE_NORMAL);
  if (GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES) {
    ThrowIfReadOnly(target);
    if (!CopyFileW(target.c_str(), temporary.path().c_str(), FALSE)) ThrowLastError();
  } else if (!DeleteFileW(temporary.path().c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
    ThrowLastError();
  }
  if (!edit(copyName)) return false;
  FlushExisting(temporary.path());
  MoveOnto(temporary.path(), target);
  temporary.Keep();
  return true;
}

}  // namespace kdht::platform
