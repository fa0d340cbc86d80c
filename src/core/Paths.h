// Short and long paths, special folders, file versions and folder-content copies.
#pragma once

#include <string>

namespace kdht {

struct RunState;

std::string GetShortPath(RunState& rs, const std::string& path);
std::string GetLongPath(RunState& rs, const std::string& path);
std::string GetSpecialfolder(RunState& rs, int csidl);
std::string FileVerInfo(RunState& rs, const std::string& path);
// Copy every file (CopyFiles) or every subfolder with its tree (CopyFolders) of `source`
// into `destination`, overwriting; the first failure stops and gives false.
bool CopyFiles(RunState& rs, const std::string& source, const std::string& destination);
bool CopyFolders(RunState& rs, const std::string& source, const std::string& destination);

inline constexpr int kCsidlSystem = 0x25;

}  // namespace kdht
