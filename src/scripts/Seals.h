// MD5 checksums through the agent's checksum library, and the sealed checksum files.
#pragma once

#include <string>

namespace kdht {

struct RunState;

std::string Checksum(RunState& rs, const std::string& path, std::string& libraryError);
std::string CreateEncMD5(RunState& rs, const std::string& path);
bool GetDecryptedMD5(RunState& rs, const std::string& sealPath, const std::string& checksum);

// The seal's text for a checksum, and back (false when the text is not a seal).
std::string EncodeSeal(const std::string& checksum);
bool DecodeSeal(const std::string& sealText, std::string* checksum);
// "<folder>\<name up to its first dot>.dat"
std::string SealPathFor(const std::string& path);

}  // namespace kdht
