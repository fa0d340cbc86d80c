// File and folder operations. Throwing functions raise Failure with the system's code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kdht::platform {

bool FileExists(const std::string& path);
bool FolderExists(const std::string& path);
std::uint64_t FileSize(const std::string& path);

// Names (not paths) of the files / subfolders directly inside a folder, in the order the file
// system lists them.
std::vector<std::string> ListFiles(const std::string& folder);
std::vector<std::string> ListFolders(const std::string& folder);

void CopyFileOver(const std::string& from, const std::string& to);   // overwrite, in one step
void DeleteFileForced(const std::string& path);                      // read-only too
void DeleteFileUnforced(const std::string& path);                    // fails on read-only
// Puts `from` in the place of `to` in one step (same volume); `to` is replaced when present.
void ReplaceFileWith(const std::string& from, const std::string& to);
void DeleteFolderTree(const std::string& path, bool force);          // with everything in it
void CreateOneFolder(const std::string& path);                       // one level
// Creates every missing folder of a path (the part up to the last backslash); result of the
// system call, not checked by most callers.
bool MakeSureDirectoryPathExists(const std::string& pathEndingInBackslash);
// Copies a folder with its whole tree into `to` (created when missing), merging and overwriting;
// each file is replaced in one step (platform/OneStepFile.h).
void CopyFolderTree(const std::string& from, const std::string& to);
void SetReadOnly(const std::string& path, bool readOnly);

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);  // create or overwrite, in place
void AppendFileBytes(const std::string& path, const std::string& bytes); // create when missing

// 8.3 form through a buffer of bufferChars (0 when the path does not exist).
std::string ShortPathName(const std::string& path, std::uint32_t bufferChars);
// Long form; returns the length the system reported (0 on failure) and the text in *out.
std::uint32_t LongPathName(const std::string& path, std::uint32_t bufferChars, std::string* out);

// Full path with "." and ".." resolved, for containment checks.
std::string FullPathName(const std::string& path);

}  // namespace kdht::platform
