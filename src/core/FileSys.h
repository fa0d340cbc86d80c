// The run-wide file-system service: the file and folder operations the procedures share.
// Every operation that fails throws Failure; existence tests never fail.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kdht {

class FileSystemService {
 public:
  bool FileExists(const std::string& path) const;
  bool FolderExists(const std::string& path) const;
  std::uint64_t FileSize(const std::string& path) const;
  // Text after the last backslash; the folder part before it (no trailing backslash).
  static std::string GetFileName(const std::string& path);
  static std::string GetParentFolderName(const std::string& path);

  std::vector<std::string> FileNames(const std::string& folder) const;
  std::vector<std::string> SubfolderNames(const std::string& folder) const;

  void CopyFile(const std::string& from, const std::string& to) const;      // overwrites, in one step
  void CopyFolder(const std::string& from, const std::string& to) const;    // whole tree, merges
  void DeleteFile(const std::string& path, bool force = true) const;
  void DeleteFolder(const std::string& path, bool force = true) const;
  void CreateFolder(const std::string& path) const;                         // one level
  // Deletes every file (or every subfolder) matching "<folder>\*.*"; no match is a failure
  // (53 "File not found" for files, 76 "Path not found" for folders).
  void DeleteFiles(const std::string& folder, bool force = true) const;
  void DeleteFolders(const std::string& folder, bool force = true) const;

  // Text files. ANSI: UTF-8 text converted to the system code page. Unicode: UTF-16 LE with BOM.
  // Both replace the file in one step: it holds the old text or the whole new one.
  void WriteAnsiText(const std::string& path, const std::string& text) const;
  void WriteUnicodeText(const std::string& path, const std::string& text) const;
  // Reads an ANSI text file whole (UTF-8 result); a file with a UTF-16 BOM is read as such.
  std::string ReadText(const std::string& path) const;
};

}  // namespace kdht
