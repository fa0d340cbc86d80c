#include "scripts/Seals.h"

#include <array>
#include <cstdint>
#include <memory>

#include "core/FileSys.h"
#include "core/Log.h"
#include "core/PlainXml.h"
#include "core/RunState.h"
#include "platform/ChecksumLibrary.h"
#include "platform/Failure.h"
#include "platform/Shell.h"
#include "platform/Text.h"
#include "platform/Xml.h"

namespace kdht {
namespace {

constexpr char kSealOpen[] = "<seal>";
constexpr char kSealClose[] = "</seal>";
constexpr char kWordStart[] = "=?utf-8?B?";
constexpr char kWordEnd[] = "?=";
constexpr char kBlockSizeKb[] = "32";
constexpr char kLibraryMissing[] = "File not found: KGnMD5";
constexpr char kBase64Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64Encode(const std::string& bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const std::uint32_t n = (static_cast<unsigned char>(bytes[i]) << 16) |
                            (static_cast<unsigned char>(bytes[i + 1]) << 8) | static_cast<unsigned char>(bytes[i + 2]);
    out += kBase64Digits[(n >> 18) & 63];
    out += kBase64Digits[(n >> 12) & 63];
    out += kBase64Digits[(n >> 6) & 63];
    out += kBase64Digits[n & 63];
  }
  if (i + 1 == bytes.size()) {
    const std::uint32_t n = static_cast<unsigned char>(bytes[i]) << 16;
    out += kBase64Digits[(n >> 18) & 63];
    out += kBase64Digits[(n >> 12) & 63];
    out += "==";
  } else if (i + 2 == bytes.size()) {
    const std::uint32_t n = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
    out += kBase64Digits[(n >> 18) & 63];
    out += kBase64Digits[(n >> 12) & 63];
    out += kBase64Digits[(n >> 6) & 63];
    out += '=';
  }
  return out;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Strict: whole quads, padding only at the end, no other characters.
bool Base64Decode(const std::string& text, std::string* bytes) {
  if (text.size() % 4 != 0) return false;
  std::string out;
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    std::array<int, 4> v{};
    int padding = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text[i + k];
      if (c == '=') {
        if (!last || k < 2) return false;
        ++padding;
        v[k] = 0;
        continue;
      }
      if (padding > 0) return false;  // data after padding
      v[k] = Base64Value(c);
      if (v[k] < 0) return false;
    }
    const std::uint32_t n = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
    out += static_cast<char>((n >> 16) & 0xFF);
    if (padding < 2) out += static_cast<char>((n >> 8) & 0xFF);
    if (padding < 1) out += static_cast<char>(n & 0xFF);
  }
  *bytes = std::move(out);
  return true;
}

// Blanks, tabs and line ends around a text read back from a file.
std::string TrimWhite(const std::string& s) {
  const char* white = " \t\r\n";
  const size_t first = s.find_first_not_of(white);
  if (first == std::string::npos) return {};
  const size_t last = s.find_last_not_of(white);
  return s.substr(first, last - first + 1);
}

// Checksum texts compare trimmed and upper-cased. An empty text means that no checksum could
// be computed: it never vouches for a file, even against a seal of an empty checksum.
bool SameChecksum(const std::string& a, const std::string& b) {
  const std::string left = platform::Upper(text::Trim(a));
  const std::string right = platform::Upper(text::Trim(b));
  return !left.empty() && left == right;
}

platform::XmlDocument CreateXmlComponent(RunState& rs) {
  UseCom(rs);
  try {
    return platform::XmlDocument::CreateByProgId("Msxml2.DOMDocument");
  } catch (const Failure&) {
    return platform::XmlDocument::CreateByClsid("{F6D90F11-9C73-11D3-B32E-00C04F990BB4}");
  }
}

platform::ChecksumLibrary& Library(RunState& rs) {
  if (!rs.ChecksumLib) rs.ChecksumLib = std::make_shared<platform::ChecksumLibrary>(ChecksumLibraryFolder());
  return *rs.ChecksumLib;
}

}  // namespace

std::string EncodeWord(const std::string& text) { return kWordStart + Base64Encode(text) + kWordEnd; }

bool DecodeWord(const std::string& word, std::string* text) {
  // "=?" charset "?" encoding "?" encoded-text "?=", charset and encoding in any letter case.
  if (!text::StartsWith(word, "=?") || !text::EndsWith(word, kWordEnd) || word.size() < 4) return false;
  const std::string inner = word.substr(2, word.size() - 4);
  const size_t q1 = inner.find('?');
  if (q1 == std::string::npos) return false;
  const size_t q2 = inner.find('?', q1 + 1);
  if (q2 == std::string::npos || inner.find('?', q2 + 1) != std::string::npos) return false;
  if (text::AsciiUpper(inner.substr(0, q1)) != "UTF-8") return false;
  if (text::AsciiUpper(inner.substr(q1 + 1, q2 - q1 - 1)) != "B") return false;
  return Base64Decode(inner.substr(q2 + 1), text);
}

std::string EncodeSeal(const std::string& checksum) { return kSealOpen + EncodeWord(checksum) + kSealClose; }

bool DecodeSeal(const std::string& sealText, std::string* checksum) {
  const std::string seal = TrimWhite(sealText);
  if (!text::StartsWith(seal, kSealOpen) || !text::EndsWith(seal, kSealClose)) return false;
  const size_t open = sizeof(kSealOpen) - 1;
  const size_t close = sizeof(kSealClose) - 1;
  if (seal.size() < open + close) return false;
  return DecodeWord(TrimWhite(seal.substr(open, seal.size() - open - close)), checksum);
}

std::string SealPathFor(const std::string& path) {
  const std::string name = FileSystemService::GetFileName(path);
  const std::string folder = FileSystemService::GetParentFolderName(path);
  const std::string sealName = name.substr(0, name.find('.')) + ".dat";
  if (folder.empty()) return sealName;
  // A drive root comes back with its backslash ("C:\").
  return folder.back() == '\\' ? folder + sealName : folder + "\\" + sealName;
}

std::string ChecksumLibraryFolder() {
  return FileSystemService::GetParentFolderName(platform::ExecutablePath());
}

std::string Checksum(RunState& rs, const std::string& path, std::string& libraryError) {
  try {
    WriteLog(rs, "MSG : Getting MD5 checksum of : " + path);
    platform::ChecksumLibrary& library = Library(rs);
    platform::ChecksumCall call = library.GetMD5(path);
    std::string checksum = call.checksum;
    std::string fileSize = call.fileSize;
    if (!call.succeeded) {
      const platform::ChecksumCall retry = library.GetMD5WBlock(path, kBlockSizeKb);
      // The out-values are shared by both calls: what the second one set replaces the first.
      if (!retry.checksum.empty()) checksum = retry.checksum;
      if (!retry.fileSize.empty()) fileSize = retry.fileSize;
      const std::string errorText = retry.errorText.empty() ? call.errorText : retry.errorText;
      if (!retry.succeeded) {
        WriteLog(rs, "ERR : Failed to Get MD5 check Sum for File " + path + " Error = " + text::Trim(errorText) +
                         " with " + kBlockSizeKb + " KB Block Size");
      }
    }
    checksum = platform::Upper(text::Trim(checksum));
    WriteLog(rs, "MSG : Filesize : " + fileSize + " Bytes");
    WriteLog(rs, "MSG : FileMD5CheckSum : " + checksum);
    return checksum;
  } catch (...) {
    const Failure f = CurrentFailure();
    WriteLog(rs, TrapLine(f, "Checksum", "ModAppInstall"));
    if (f.number() == kErrFileNotFound && text::AsciiUpper(f.description()) == text::AsciiUpper(kLibraryMissing)) {
      libraryError = kLibraryMissing;
    }
    return {};
  }
}

std::string CreateEncMD5(RunState& rs, const std::string& path) {
  int step = 0;  // the failing step, for the failure text
  try {
    step = 1;
    std::string libraryError;
    const std::string checksum = Checksum(rs, path, libraryError);
    step = 2;
    if (!libraryError.empty()) return libraryError;
    step = 3;
    const std::string seal = text::ReplaceAll(text::Trim(EncodeSeal(checksum)), "\r\n", "");
    step = 4;
    const std::string sealPath = SealPathFor(path);
    WriteLog(rs, "MSG : Creating file " + sealPath);
    step = 5;
    rs.FileSys.WriteAnsiText(sealPath, seal);
    return {};
  } catch (...) {
    const Failure f = CurrentFailure();
    const std::string failure =
        std::to_string(f.number()) + " (" + f.description() + ") line  " + std::to_string(step);
    WriteLog(rs, "ERR : " + failure + " in procedure CreateEncMD5 of Module CreateEncMD5");
    return failure;
  }
}

bool GetDecryptedMD5(RunState& rs, const std::string& sealPath, const std::string& checksum) {
  try {
    const std::string sealText = rs.FileSys.ReadText(sealPath);
    if (sealText.empty()) throw Failure(62, "Input past end of file");
    WriteLog(rs, "MSG : Reading checksum from encrypted file " + sealPath);
    WriteLog(rs, "MSG : Encrypted checksum : " + sealText);
    WriteLog(rs, "MSG : Decrypting ...");
    // A seal must be a well-formed document. One in the plain form this program writes is known
    // to be without loading the XML component; any other is loaded to find out.
    if (!plainxml::IsPlainDocument(sealText) && !CreateXmlComponent(rs).LoadXml(sealText)) return false;
    // Well-formed XML that is not a seal this program wrote decodes to nothing, and nothing
    // vouches for no file, not even for one whose checksum could not be computed.
    std::string sealed;
    if (!DecodeSeal(sealText, &sealed)) sealed.clear();
    WriteLog(rs, "MSG : Checksum after decryption : " + sealed);
    WriteLog(rs, "MSG : Comparing Decrypted checksum with " + checksum);
    if (!sealed.empty() && SameChecksum(sealed, checksum)) {
      WriteLog(rs, "MSG : Checksum matched");
      return true;
    }
    WriteLog(rs, "MSG : Checksum not matched");
    return false;
  } catch (...) {
    LogTrap(rs, "GetDecryptedMD5", "modMain");
    return false;
  }
}

}  // namespace kdht
