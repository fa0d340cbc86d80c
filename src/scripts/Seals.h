// MD5 checksums through the agent's checksum library, and the sealed checksum files.
#pragma once

#include <string>

namespace kdht {

struct RunState;

std::string Checksum(RunState& rs, const std::string& path, std::string& libraryError);
std::string CreateEncMD5(RunState& rs, const std::string& path);
bool GetDecryptedMD5(RunState& rs, const std::string& sealPath, const std::string& checksum);

// The seal's text for a checksum, and back (false when the text is not a seal).
// A seal is one element, <seal>, whose content is the checksum as an RFC 2047 B-encoded
// word in UTF-8: "<seal>=?utf-8?B?<base64>?=</seal>", no declaration, no line end.
std::string EncodeSeal(const std::string& checksum);
bool DecodeSeal(const std::string& sealText, std::string* checksum);
// "<folder>\<name up to its first dot>.dat"
std::string SealPathFor(const std::string& path);

// "=?utf-8?B?<base64 of text>?=", and back (false for a malformed word or another charset).
std::string EncodeWord(const std::string& text);
bool DecodeWord(const std::string& word, std::string* text);

// The folder the program loads the checksum library from: its own.
std::string ChecksumLibraryFolder();

}  // namespace kdht
