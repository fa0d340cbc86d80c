#include "scripts/Seals.h"

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

constexpr char kBlockSizeKb[] = "32";
constexpr char kLibraryMissing[] = "File not found: KGnMD5";

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

std::string SealPathFor(const std::string& path) {
  const std::string name = FileSystemService::GetFileName(path);
  const std::string folder = FileSystemService::GetParentFolderName(path);
  std::string sealName = name.substr(0, name.find('.')) + ".dat";
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
    std::string failure = std::to_string(f.number()) + " (" + f.description() + ") line  " + std::to_string(step);
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
