// Server-supplied names become file and folder names under the feature folder: they are
// checked before use so that none can leave it.
#pragma once

#include <string>

namespace kdht {

// A single path component that Windows accepts as a file name: not empty, no \ / : * ? " < > |
// or control characters, no "..", not a reserved device name, not ending in a dot or blank.
bool IsSafeFileName(const std::string& name);
// No \ / : * ? " < > | and no control characters: text that can be part of one name.
bool HasOnlyNameCharacters(const std::string& text);
// True when `path`, once normalised, lies inside `folder` (both absolute).
bool IsInsideFolder(const std::string& path, const std::string& folder);

}  // namespace kdht
