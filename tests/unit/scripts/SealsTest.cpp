// Checksums through the checksum library and the sealed checksum files.
#include <memory>
#include <string>
#include <vector>

#include "core/Log.h"
#include "platform/ChecksumLibrary.h"
#include "platform/Dispatch.h"
#include "platform/FileSystem.h"
#include "scripts/Seals.h"
#include "support/TestSupport.h"

namespace kdht {
namespace {

using testing::SandboxTest;
using testing::TempFolder;

// MD5 of "abc", as the library returns it and as the program keeps it.
constexpr char kAbcMd5[] = "900150983cd24fb0d6963f7d28e17f72";
constexpr char kAbcMd5Upper[] = "900150983CD24FB0D6963F7D28E17F72";

// ---- the seal's text ----

TEST(SealText, WordsRoundTripForEveryPaddingLength) {
  const std::vector<std::string> texts = {"",  "a",   "ab", "abc", "abcd", kAbcMd5Upper,
                                          " D41D8CD98F00B204E9800998ECF8427E ", "\xC3\xA4\xE2\x82\xAC"};
  for (const auto& text : texts) {
    std::string back = "unchanged";
    ASSERT_TRUE(DecodeWord(EncodeWord(text), &back)) << text;
    EXPECT_EQ(back, text);
    std::string fromSeal = "unchanged";
    ASSERT_TRUE(DecodeSeal(EncodeSeal(text), &fromSeal)) << text;
    EXPECT_EQ(fromSeal, text);
  }
}

TEST(SealText, IsOneElementHoldingAnEncodedWord) {
  EXPECT_EQ(EncodeSeal("D41D8CD98F00B204E9800998ECF8427E"),
            "<seal>=?utf-8?B?RDQxRDhDRDk4RjAwQjIwNEU5ODAwOTk4RUNGODQyN0U=?=</seal>");
  EXPECT_EQ(EncodeWord("ab"), "=?utf-8?B?YWI=?=");
  EXPECT_EQ(EncodeWord(""), "=?utf-8?B?" "?=");
}

TEST(SealText, ReaderAcceptsCharsetAndEncodingInAnyCaseAndSurroundingLineEnds) {
  std::string out;
  ASSERT_TRUE(DecodeWord("=?UTF-8?b?YWJj?=", &out));
  EXPECT_EQ(out, "abc");
  ASSERT_TRUE(DecodeSeal("  <seal>=?utf-8?B?YWJj?=</seal>\r\n", &out));
  EXPECT_EQ(out, "abc");
}

TEST(SealText, MalformedWordsAndSealsAreRefused) {
  const std::vector<std::string> words = {
      "YWJj",                 // no word at all
      "=?utf-8?B?YWJj",       // no end
      "=?utf-8?Q?abc?=",      // another encoding
      "=?iso-8859-1?B?YWJj?=",  // another charset
      "=?utf-8?B?YWJ?=",      // not whole quads
      "=?utf-8?B?YW*j?=",     // not a base64 digit
      "=?utf-8?B?Y===?=",     // too much padding
      "=?utf-8?B?YW=j?=",     // data after padding
      "=?utf-8?B?YWI=YWJj?=", // padding before the last quad
      "=?utf-8?B?YW?Jj?=",    // an extra "?"
      "=?=",
  };
  for (const auto& word : words) {
    std::string out = "unchanged";
    EXPECT_FALSE(DecodeWord(word, &out)) << word;
    EXPECT_FALSE(DecodeSeal("<seal>" + word + "</seal>", &out)) << word;
    EXPECT_EQ(out, "unchanged") << word;
  }
  const std::vector<std::string> seals = {
      "", "=?utf-8?B?YWJj?=", "<other>=?utf-8?B?YWJj?=</other>", "<seal>=?utf-8?B?YWJj?=",
      "<seal a=\"1\">=?utf-8?B?YWJj?=</seal>", "<seal><seal>=?utf-8?B?YWJj?=</seal></seal>"};
  for (const auto& seal : seals) {
    std::string out;
    EXPECT_FALSE(DecodeSeal(seal, &out)) << seal;
  }
}

TEST(SealText, SealPathTakesTheNameUpToItsFirstDot) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"C:\\x\\Action_7_XPR\\XPR_Template_12.xml", "C:\\x\\Action_7_XPR\\XPR_Template_12.dat"},
      {"C:\\x\\XPR_Script.xml", "C:\\x\\XPR_Script.dat"},
      {"C:\\x\\a.b.xml", "C:\\x\\a.dat"},
      {"C:\\x.y\\a.xml", "C:\\x.y\\a.dat"},
      {"C:\\x\\noext", "C:\\x\\noext.dat"},
      {"C:\\kDHMenu.xml", "C:\\kDHMenu.dat"},
  };
  for (const auto& [path, seal] : cases) EXPECT_EQ(SealPathFor(path), seal) << path;
}

// ---- sealing files ----

class SealsTest : public SandboxTest {
 protected:
  SealsTest() { rs_.FileSys.CreateFolder(rs_.InstallPath + "k"); }

  std::string Path(const std::string& relative) const { return rs_.InstallPath + relative; }
  std::vector<std::string> ErrLines() const {
    std::vector<std::string> out;
    for (const auto& m : LogMessages()) {
      if (m.rfind("ERR", 0) == 0) out.push_back(m);
    }
    return out;
  }

  platform::ComApartment com_;
};

TEST_F(SealsTest, ChecksumIsTheLibrarysDigestTrimmedAndUpperCased) {
  WriteFile("k\\abc.txt", "abc");
  std::string libraryError = "kept";
  EXPECT_EQ(Checksum(rs_, Path("k\\abc.txt"), libraryError), kAbcMd5Upper);
  EXPECT_EQ(libraryError, "kept");
  EXPECT_EQ(LogMessages(), (std::vector<std::string>{"MSG : Getting MD5 checksum of : " + Path("k\\abc.txt"),
                                                    "MSG : Filesize : 3 Bytes",
                                                    std::string("MSG : FileMD5CheckSum : ") + kAbcMd5Upper}));
  // Loaded from the program's own folder, and kept for the run.
  ASSERT_TRUE(rs_.ChecksumLib);
  EXPECT_TRUE(rs_.ChecksumLib->loaded());
  EXPECT_EQ(rs_.ChecksumLib->folder(), ChecksumLibraryFolder());
}

TEST_F(SealsTest, UnreadableFileFallsBackToBlockCallAndLogsItsError) {
  std::string libraryError = "kept";
  const std::string missing = Path("k\\missing.txt");
  EXPECT_EQ(Checksum(rs_, missing, libraryError), "");
  EXPECT_EQ(libraryError, "kept");  // not the library's absence
  const auto errs = ErrLines();
  ASSERT_EQ(errs.size(), 1u);
  const std::string head = "ERR : Failed to Get MD5 check Sum for File " + missing + " Error = ";
  EXPECT_EQ(errs[0].substr(0, head.size()), head);
  EXPECT_GT(errs[0].size(), head.size() + std::string(" with 32 KB Block Size").size());  // the library's reason
  EXPECT_EQ(errs[0].substr(errs[0].size() - 22), " with 32 KB Block Size");
  EXPECT_TRUE(Logged("MSG : FileMD5CheckSum : "));
}

TEST_F(SealsTest, MissingLibraryIsFailure53AndSetsTheCallersErrorText) {
  TempFolder elsewhere;  // the library is beside the test program, not here
  rs_.ChecksumLib = std::make_shared<platform::ChecksumLibrary>(elsewhere.path());
  WriteFile("k\\abc.txt", "abc");
  std::string libraryError;
  EXPECT_EQ(Checksum(rs_, Path("k\\abc.txt"), libraryError), "");
  EXPECT_EQ(libraryError, "File not found: KGnMD5");
  EXPECT_TRUE(Logged("ERR : 53 (File not found: KGnMD5) in procedure Checksum of Module ModAppInstall"));
  EXPECT_FALSE(rs_.ChecksumLib->loaded());

  ClearLog();
  EXPECT_EQ(CreateEncMD5(rs_, Path("k\\abc.txt")), "File not found: KGnMD5");
  EXPECT_FALSE(Exists("k\\abc.dat"));
  EXPECT_FALSE(Logged("MSG : Creating file " + Path("k\\abc.dat")));
}

TEST_F(SealsTest, SealIsOneAnsiLineWithoutLineEnd) {
  WriteFile("k\\XPR_Template_12.xml", "abc");
  EXPECT_EQ(CreateEncMD5(rs_, Path("k\\XPR_Template_12.xml")), "");
  const std::string seal = ReadFile("k\\XPR_Template_12.dat");
  EXPECT_EQ(seal, EncodeSeal(kAbcMd5Upper));
  EXPECT_EQ(seal.find('\r'), std::string::npos);
  EXPECT_EQ(seal.find('\n'), std::string::npos);
  EXPECT_TRUE(Logged("MSG : Creating file " + Path("k\\XPR_Template_12.dat")));
  EXPECT_TRUE(ErrLines().empty());  // KGetMD5 succeeded: no fallback, no error
}

TEST_F(SealsTest, SealingAgainOverwritesAndTheReaderFollowsTheFile) {
  const std::string file = Path("k\\a.b.xml");
  WriteFile("k\\a.b.xml", "first");
  ASSERT_EQ(CreateEncMD5(rs_, file), "");
  std::string ignored;
  EXPECT_TRUE(GetDecryptedMD5(rs_, Path("k\\a.dat"), Checksum(rs_, file, ignored)));

  WriteFile("k\\a.b.xml", "second");
  EXPECT_FALSE(GetDecryptedMD5(rs_, Path("k\\a.dat"), Checksum(rs_, file, ignored)));
  ASSERT_EQ(CreateEncMD5(rs_, file), "");
  ClearLog();
  const std::string checksum = Checksum(rs_, file, ignored);
  ClearLog();
  EXPECT_TRUE(GetDecryptedMD5(rs_, Path("k\\a.dat"), checksum));
  EXPECT_EQ(LogMessages(),
            (std::vector<std::string>{"MSG : Reading checksum from encrypted file " + Path("k\\a.dat"),
                                      "MSG : Encrypted checksum : " + EncodeSeal(checksum), "MSG : Decrypting ...",
                                      "MSG : Checksum after decryption : " + checksum,
                                      "MSG : Comparing Decrypted checksum with " + checksum,
                                      "MSG : Checksum matched"}));
}

TEST_F(SealsTest, ComparisonIgnoresBlanksAndLetterCase) {
  rs_.FileSys.WriteAnsiText(Path("k\\s.dat"), EncodeSeal("abc"));
  EXPECT_TRUE(GetDecryptedMD5(rs_, Path("k\\s.dat"), "ABC "));
  EXPECT_FALSE(GetDecryptedMD5(rs_, Path("k\\s.dat"), "ABD"));
  EXPECT_TRUE(Logged("MSG : Checksum not matched"));
}

TEST_F(SealsTest, AnEmptyChecksumNeverVouchesForAFile) {
  rs_.FileSys.WriteAnsiText(Path("k\\s.dat"), EncodeSeal(""));
  EXPECT_FALSE(GetDecryptedMD5(rs_, Path("k\\s.dat"), ""));
  EXPECT_FALSE(GetDecryptedMD5(rs_, Path("k\\s.dat"), "  "));
  EXPECT_TRUE(Logged("MSG : Checksum not matched"));
  EXPECT_FALSE(Logged("MSG : Checksum matched"));
}

TEST_F(SealsTest, SealThatIsNotXmlGivesFalseAfterTheThreeReadingLines) {
  rs_.FileSys.WriteAnsiText(Path("k\\s.dat"), "=?utf-8?B?YWJj?= <seal");
  EXPECT_FALSE(GetDecryptedMD5(rs_, Path("k\\s.dat"), "ABC"));
  EXPECT_EQ(LogMessages(), (std::vector<std::string>{"MSG : Reading checksum from encrypted file " + Path("k\\s.dat"),
                                                    "MSG : Encrypted checksum : =?utf-8?B?YWJj?= <seal",
                                                    "MSG : Decrypting ..."}));
}

// Well-formed XML that decodes to nothing: the comparison is logged like any other, and fails
// even against an empty checksum.
TEST_F(SealsTest, XmlThatIsNotASealDecodesToNothingAndMatchesNothing) {
  rs_.FileSys.WriteAnsiText(Path("k\\s.dat"), "<seal>=?utf-8?B?YW*j?=</seal>");
  EXPECT_FALSE(GetDecryptedMD5(rs_, Path("k\\s.dat"), "ABC"));
  EXPECT_FALSE(GetDecryptedMD5(rs_, Path("k\\s.dat"), ""));
  const std::vector<std::string> once = {"MSG : Reading checksum from encrypted file " + Path("k\\s.dat"),
                                         "MSG : Encrypted checksum : <seal>=?utf-8?B?YW*j?=</seal>",
                                         "MSG : Decrypting ...",
                                         "MSG : Checksum after decryption : ",
                                         "MSG : Comparing Decrypted checksum with ABC",
                                         "MSG : Checksum not matched"};
  const auto lines = LogMessages();
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 6), once);
  EXPECT_EQ(lines[10], "MSG : Comparing Decrypted checksum with ");
  EXPECT_EQ(lines[11], "MSG : Checksum not matched");
}

TEST_F(SealsTest, MissingOrEmptySealIsAMismatchWithATrapLine) {
  EXPECT_FALSE(GetDecryptedMD5(rs_, Path("k\\none.dat"), "ABC"));
  WriteFile("k\\empty.dat", "");
  EXPECT_FALSE(GetDecryptedMD5(rs_, Path("k\\empty.dat"), "ABC"));
  const auto errs = ErrLines();
  ASSERT_EQ(errs.size(), 2u);
  const std::string tail = ") in procedure GetDecryptedMD5 of Module modMain";
  for (const auto& line : errs) EXPECT_EQ(line.substr(line.size() - tail.size()), tail) << line;
  EXPECT_EQ(errs[1], "ERR : 62 (Input past end of file" + tail);
  EXPECT_FALSE(Logged("MSG : Reading checksum from encrypted file " + Path("k\\none.dat")));
}

TEST_F(SealsTest, SealThatCannotBeWrittenIsAFailureNamingTheStep) {
  const std::string file = Path("nofolder\\x.xml");
  const std::string failure = CreateEncMD5(rs_, file);
  ASSERT_FALSE(failure.empty());
  EXPECT_NE(failure.find(" (") , std::string::npos);
  EXPECT_EQ(failure.substr(failure.size() - 9), ") line  5");
  EXPECT_TRUE(Logged("ERR : " + failure + " in procedure CreateEncMD5 of Module CreateEncMD5"));
  EXPECT_FALSE(Exists("nofolder\\x.dat"));
}

}  // namespace
}  // namespace kdht
