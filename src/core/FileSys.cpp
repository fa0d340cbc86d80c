#include "core/FileSys.h"

#include "platform/Failure.h"
#include "platform/FileSystem.h"
#include "platform/OneStepFile.h"
#include "platform/Text.h"

namespace kdht {
namespace {

std::string Join(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '\\') return folder + name;
  return folder + "\\" + name;
}

}  // namespace

bool FileSystemService::FileExists(const std::string& path) const { return platform::FileExists(path); }
bool FileSystemService::FolderExists(const std::string& path) const { return platform::FolderExists(path); }
std::uint64_t FileSystemService::FileSize(const std::string& path) const { return platform::FileSize(path); }

std::string FileSystemService::GetFileName(const std::string& path) {
  size_t p = path.find_last_of("\\/");
  return p == std::string::npos ? path : path.substr(p + 1);
}

std::string FileSystemService::GetParentFolderName(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 3 && (trimmed.back() == '\\' || trimmed.back() == '/')) trimmed.pop_back();
  size_t p = trimmed.find_last_of("\\/");
  if (p == std::string::npos) return {};
  if (p == 2 && trimmed.size() > 1 && trimmed[1] == ':') return trimmed.substr(0, 3);
  return trimmed.substr(0, p);
}

std::vector<std::string> FileSystemService::FileNames(const std::string& folder) const {
  return platform::ListFiles(folder);
}

std::vector<std::string> FileSystemService::SubfolderNames(const std::string& folder) const {
  return platform::ListFolders(folder);
}

void FileSystemService::CopyFile(const std::string& from, const std::string& to) const {
  platform::CopyFileOver(from, to);
}

void FileSystemService::CopyFolder(const std::string& from, const std::string& to) const {
  platform::CopyFolderTree(from, to);
}

void FileSystemService::DeleteFile(const std::string& path, bool force) const {
  if (force) {
    platform::DeleteFileForced(path);
  } else {
    platform::DeleteFileUnforced(path);
  }
}

void FileSystemService::DeleteFolder(const std::string& path, bool force) const {
  platform::DeleteFolderTree(path, force);
}

void FileSystemService::CreateFolder(const std::string& path) const { platform::CreateOneFolder(path); }

void FileSystemService::DeleteFiles(const std::string& folder, bool force) const {
  const auto names = platform::FolderExists(folder) ? platform::ListFiles(folder) : std::vector<std::string>{};
  if (names.empty()) throw Failure(kErrFileNotFound, "File not found");
  for (const auto& name : names) DeleteFile(Join(folder, name), force);
}

void FileSystemService::DeleteFolders(const std::string& folder, bool force) const {
  const auto names = platform::FolderExists(folder) ? platform::ListFolders(folder) : std::vector<std::string>{};
  if (names.empty()) throw Failure(kErrPathNotFound, "Path not found");
  for (const auto& name : names) DeleteFolder(Join(folder, name), force);
}

void FileSystemService::WriteAnsiText(const std::string& path, const std::string& text) const {
  platform::WriteFileInOneStep(path, platform::Utf8ToAnsi(text));
}

void FileSystemService::WriteUnicodeText(const std::string& path, const std::string& text) const {
  const std::wstring wide = platform::Widen(text);
  std::string bytes = "\xFF\xFE";
  bytes.reserve(2 + wide.size() * 2);
  for (wchar_t c : wide) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>((c >> 8) & 0xFF));
  }
  platform::WriteFileInOneStep(path, bytes);
}

std::string FileSystemService::ReadText(const std::string& path) const {
  const std::string bytes = platform::ReadFileBytes(path);
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
    std::wstring wide;
    wide.reserve((bytes.size() - 2) / 2);
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                          (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    }
    return platform::Narrow(wide);
  }
  return platform::AnsiToUtf8(bytes);
}

}  // namespace kdht
