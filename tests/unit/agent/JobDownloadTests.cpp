// The job download stand-in against local HTTP servers: what ends up on disk, what the caller
// is told through the by-reference error texts, and what the record shows.
#include <gtest/gtest.h>

#include "AgentTestSupport.h"
#include "platform/Dispatch.h"
#include "platform/FileSystem.h"
#include "platform/Text.h"
#include "support/ChildProcesses.h"
#include "support/LoopbackServer.h"
#include "support/TestSupport.h"

namespace {

using agent_test::BstrRef;
using agent_test::Var;
using kdht::platform::Narrow;
using kdht::platform::Widen;
using kdht::testing::Answer;
using kdht::testing::LoopbackServer;

// Replies carry the content type a file server gives a download.
constexpr char kOctets[] = "Content-Type: application/octet-stream\r\n";

struct JobResult {
  HRESULT hr = E_FAIL;
  VARTYPE resultType = VT_EMPTY;
  VARIANT_BOOL downloaded = 0;
  std::wstring code;
  std::wstring text;
  std::wstring detail;
};

bool AllDigits(const std::wstring& text) {
  return !text.empty() && text.find_first_not_of(L"0123456789") == std::wstring::npos;
}

class JobDownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(kdht::testing::Regsvr32(kdht::testing::InBin("kDwnJob.dll")), std::optional<std::uint32_t>(0));
    ASSERT_EQ(agent_test::CreateByProgId(L"kDwnJob.JobDownload", job_), S_OK);
  }

  // Called the way the program calls it: URL and destination by reference, two empty strings,
  // three error texts by reference that start out holding something.
  JobResult Download(const std::wstring& url, const std::wstring& destination) {
    BstrRef urlArg(url), destinationArg(destination);
    BstrRef code(L"stale"), text(L"stale"), detail(L"stale");
    Var unused1 = Var::Text(L""), unused2 = Var::Text(L"");
    Var returned;
    JobResult result;
    result.hr = agent_test::CallMethod(
        job_.get(), L"JobDownload",
        {urlArg.arg(), *unused1, *unused2, destinationArg.arg(), code.arg(), text.arg(), detail.arg()}, &returned);
    result.resultType = (*returned).vt;
    result.downloaded = (*returned).boolVal;
    result.code = code.text();
    result.text = text.text();
    result.detail = detail.text();
    return result;
  }

  std::string Record() const { return kdht::testing::ReadBytes(record_.path()).value_or("<no record file>"); }
  static std::string RecordLine(const std::wstring& url, const std::wstring& destination, bool downloaded) {
    return "download\t" + Narrow(url) + "\t" + Narrow(destination) + (downloaded ? "\t1" : "\t0") + "\r\n";
  }
  // Names inside the destination folder, sorted.
  std::vector<std::wstring> Entries() const {
    std::vector<std::wstring> names;
    for (const std::string& name : kdht::testing::FolderEntries(folder_.path())) names.push_back(Widen(name));
    return names;
  }
  std::wstring File(const std::string& name) const { return Widen(folder_.File(name)); }

  kdht::platform::ComApartment apartment_;
  agent_test::ScopedFile record_{kdht::testing::InBin("kDwnJob-calls.log")};
  kdht::testing::TempFolder folder_;
  agent_test::ComPtr<IDispatch> job_;
};

TEST_F(JobDownloadTest, StoresExactlyTheBodyOfA200Response) {
  std::string body(300 * 1024 + 17, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>((i * 7 + i / 256) & 0xff);
  LoopbackServer server(Answer::Status(200, "OK", body, kOctets));
  ASSERT_TRUE(server.listening());
  const std::wstring url = Widen(server.Url("/files/template.bin?rev=3"));
  const std::wstring destination = File("template.bin");
  ASSERT_TRUE(kdht::testing::WriteBytes(Narrow(destination), "previous version"));

  const JobResult r = Download(url, destination);
  ASSERT_EQ(r.hr, S_OK);
  EXPECT_EQ(r.resultType, VT_BOOL);
  EXPECT_EQ(r.downloaded, VARIANT_TRUE);
  EXPECT_EQ(r.code, L"");
  EXPECT_EQ(r.text, L"");
  EXPECT_EQ(r.detail, L"");
  EXPECT_TRUE(kdht::testing::ReadBytes(Narrow(destination)) == body) << "destination differs from the body sent";
  EXPECT_EQ(Entries(), std::vector<std::wstring>{L"template.bin"});
  EXPECT_EQ(server.RequestLines(), std::vector<std::string>{"GET /files/template.bin?rev=3 HTTP/1.1"});
  EXPECT_EQ(Record(), RecordLine(url, destination, true));
}

TEST_F(JobDownloadTest, FailFileNextToTheDllForcesFailureWithoutARequest) {
  agent_test::ScopedFile flag(kdht::testing::InBin("kDwnJob.fail"));
  ASSERT_TRUE(kdht::testing::WriteBytes(flag.path(), ""));
  LoopbackServer server(Answer::Status(200, "OK", "content", kOctets));
  ASSERT_TRUE(server.listening());
  const std::wstring url = Widen(server.Url("/a.xml"));
  const std::wstring destination = File("a.xml");

  const JobResult r = Download(url, destination);
  ASSERT_EQ(r.hr, S_OK);
  EXPECT_EQ(r.resultType, VT_BOOL);
  EXPECT_EQ(r.downloaded, VARIANT_FALSE);
  EXPECT_EQ(r.code, L"1");
  EXPECT_EQ(r.text, L"forced failure");
  EXPECT_EQ(r.detail, L"kDwnJob.fail");
  EXPECT_FALSE(kdht::platform::FileExists(Narrow(destination)));
  EXPECT_TRUE(server.Requests().empty());
  EXPECT_EQ(server.ConnectionCount(), 0) << "not even a connection";
  EXPECT_EQ(Record(), RecordLine(url, destination, false));
}

TEST_F(JobDownloadTest, FailedTransfersLeaveNoFileAndSayWhy) {
  LoopbackServer missing(Answer::Status(404, "Not Found", "no such file", kOctets));
  LoopbackServer truncated(Answer::CutShort(200, "OK", "0123456789", 1000, kOctets));
  LoopbackServer gone(Answer::Status(200, "OK", "never served", kOctets));
  ASSERT_TRUE(missing.listening() && truncated.listening() && gone.listening());
  gone.Stop();

  const std::wstring destination = File("b.bin");
  std::string expectedRecord;

  const std::wstring missingUrl = Widen(missing.Url("/b.bin"));
  const JobResult notFound = Download(missingUrl, destination);
  EXPECT_EQ(notFound.downloaded, VARIANT_FALSE);
  EXPECT_EQ(notFound.code, L"404");
  EXPECT_NE(notFound.text.find(L"404"), std::wstring::npos) << Narrow(notFound.text);
  EXPECT_EQ(notFound.detail, missingUrl);
  expectedRecord += RecordLine(missingUrl, destination, false);

  const std::wstring truncatedUrl = Widen(truncated.Url("/b.bin"));
  const JobResult cut = Download(truncatedUrl, destination);
  EXPECT_EQ(cut.downloaded, VARIANT_FALSE);
  EXPECT_NE(cut.code, L"");
  EXPECT_NE(cut.text, L"");
  expectedRecord += RecordLine(truncatedUrl, destination, false);

  const std::wstring goneUrl = Widen(gone.Url("/b.bin"));
  const JobResult refused = Download(goneUrl, destination);
  EXPECT_EQ(refused.downloaded, VARIANT_FALSE);
  EXPECT_TRUE(AllDigits(refused.code)) << Narrow(refused.code);
  EXPECT_NE(refused.text, L"");
  EXPECT_EQ(refused.detail, goneUrl);
  expectedRecord += RecordLine(goneUrl, destination, false);

  EXPECT_TRUE(Entries().empty()) << "no destination, no partial file";
  EXPECT_EQ(Record(), expectedRecord);
}

TEST_F(JobDownloadTest, TakesArgumentsByValueAndRefusesWrongCounts) {
  LoopbackServer server(Answer::Status(200, "OK", "by value", kOctets));
  ASSERT_TRUE(server.listening());
  const std::wstring url = Widen(server.Url("/c.txt"));
  const std::wstring destination = File("c.txt");
  Var urlArg = Var::Text(url), destinationArg = Var::Text(destination), empty = Var::Text(L"");

  Var returned;
  EXPECT_EQ(agent_test::CallMethod(job_.get(), L"JobDownload",
                                   {*urlArg, *empty, *empty, *destinationArg, *empty, *empty, *empty}, &returned),
            S_OK);
  EXPECT_EQ((*returned).vt, VT_BOOL);
  EXPECT_EQ((*returned).boolVal, VARIANT_TRUE);
  EXPECT_EQ(kdht::testing::ReadBytes(Narrow(destination)), std::optional<std::string>("by value"));

  EXPECT_EQ(agent_test::CallMethod(job_.get(), L"JobDownload",
                                   {*urlArg, *empty, *empty, *destinationArg, *empty, *empty}),
            DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(Record(), RecordLine(url, destination, true));
}

}  // namespace
