// The job download stand-in against local HTTP servers: what ends up on disk, what the caller
// is told through the by-reference error texts, and what the record shows.
#include <gtest/gtest.h>

#include "AgentTestSupport.h"
#include "LoopbackHttpServer.h"

namespace {

using agent_test::BstrRef;
using agent_test::LoopbackHttpServer;
using agent_test::Var;

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
    ASSERT_EQ(agent_test::Regsvr32(agent_test::InBin(L"kDwnJob.dll")), std::optional<DWORD>(0));
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

  std::string Record() const { return agent_test::ReadBytes(record_.path()).value_or("<no record file>"); }
  static std::string RecordLine(const std::wstring& url, const std::wstring& destination, bool downloaded) {
    return "download\t" + agent_test::Utf8(url) + "\t" + agent_test::Utf8(destination) + (downloaded ? "\t1" : "\t0") +
           "\r\n";
  }

  agent_test::ComApartment apartment_;
  agent_test::ScopedFile record_{agent_test::InBin(L"kDwnJob-calls.log")};
  agent_test::TempFolder folder_;
  agent_test::ComPtr<IDispatch> job_;
};

TEST_F(JobDownloadTest, StoresExactlyTheBodyOfA200Response) {
  std::string body(300 * 1024 + 17, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>((i * 7 + i / 256) & 0xff);
  LoopbackHttpServer server({"200 OK", body, std::nullopt});
  ASSERT_TRUE(server.listening());
  const std::wstring url = server.Url(L"/files/template.bin?rev=3");
  const std::wstring destination = folder_.File(L"template.bin");
  ASSERT_TRUE(agent_test::WriteBytes(destination, "previous version"));

  const JobResult r = Download(url, destination);
  ASSERT_EQ(r.hr, S_OK);
  EXPECT_EQ(r.resultType, VT_BOOL);
  EXPECT_EQ(r.downloaded, VARIANT_TRUE);
  EXPECT_EQ(r.code, L"");
  EXPECT_EQ(r.text, L"");
  EXPECT_EQ(r.detail, L"");
  EXPECT_TRUE(agent_test::ReadBytes(destination) == body) << "destination differs from the body sent";
  EXPECT_EQ(agent_test::FolderEntries(folder_.path()), std::vector<std::wstring>{L"template.bin"});
  EXPECT_EQ(server.Requests(), std::vector<std::string>{"GET /files/template.bin?rev=3 HTTP/1.1"});
  EXPECT_EQ(Record(), RecordLine(url, destination, true));
}

TEST_F(JobDownloadTest, FailFileNextToTheDllForcesFailureWithoutARequest) {
  agent_test::ScopedFile flag(agent_test::InBin(L"kDwnJob.fail"));
  ASSERT_TRUE(agent_test::WriteBytes(flag.path(), ""));
  LoopbackHttpServer server({"200 OK", "content", std::nullopt});
  ASSERT_TRUE(server.listening());
  const std::wstring url = server.Url(L"/a.xml");
  const std::wstring destination = folder_.File(L"a.xml");

  const JobResult r = Download(url, destination);
  ASSERT_EQ(r.hr, S_OK);
  EXPECT_EQ(r.resultType, VT_BOOL);
  EXPECT_EQ(r.downloaded, VARIANT_FALSE);
  EXPECT_EQ(r.code, L"1");
  EXPECT_EQ(r.text, L"forced failure");
  EXPECT_EQ(r.detail, L"kDwnJob.fail");
  EXPECT_FALSE(agent_test::FileExists(destination));
  EXPECT_TRUE(server.Requests().empty());
  EXPECT_EQ(Record(), RecordLine(url, destination, false));
}

TEST_F(JobDownloadTest, FailedTransfersLeaveNoFileAndSayWhy) {
  LoopbackHttpServer missing({"404 Not Found", "no such file", std::nullopt});
  LoopbackHttpServer truncated({"200 OK", "0123456789", 1000});
  LoopbackHttpServer gone({"200 OK", "never served", std::nullopt});
  ASSERT_TRUE(missing.listening() && truncated.listening() && gone.listening());
  gone.Stop();

  const std::wstring destination = folder_.File(L"b.bin");
  std::string expectedRecord;

  const std::wstring missingUrl = missing.Url(L"/b.bin");
  const JobResult notFound = Download(missingUrl, destination);
  EXPECT_EQ(notFound.downloaded, VARIANT_FALSE);
  EXPECT_EQ(notFound.code, L"404");
  EXPECT_NE(notFound.text.find(L"404"), std::wstring::npos) << agent_test::Utf8(notFound.text);
  EXPECT_EQ(notFound.detail, missingUrl);
  expectedRecord += RecordLine(missingUrl, destination, false);

  const std::wstring truncatedUrl = truncated.Url(L"/b.bin");
  const JobResult cut = Download(truncatedUrl, destination);
  EXPECT_EQ(cut.downloaded, VARIANT_FALSE);
  EXPECT_NE(cut.code, L"");
  EXPECT_NE(cut.text, L"");
  expectedRecord += RecordLine(truncatedUrl, destination, false);

  const std::wstring goneUrl = gone.Url(L"/b.bin");
  const JobResult refused = Download(goneUrl, destination);
  EXPECT_EQ(refused.downloaded, VARIANT_FALSE);
  EXPECT_TRUE(AllDigits(refused.code)) << agent_test::Utf8(refused.code);
  EXPECT_NE(refused.text, L"");
  EXPECT_EQ(refused.detail, goneUrl);
  expectedRecord += RecordLine(goneUrl, destination, false);

  EXPECT_TRUE(agent_test::FolderEntries(folder_.path()).empty()) << "no destination, no partial file";
  EXPECT_EQ(Record(), expectedRecord);
}

TEST_F(JobDownloadTest, TakesArgumentsByValueAndRefusesWrongCounts) {
  LoopbackHttpServer server({"200 OK", "by value", std::nullopt});
  ASSERT_TRUE(server.listening());
  const std::wstring url = server.Url(L"/c.txt");
  const std::wstring destination = folder_.File(L"c.txt");
  Var urlArg = Var::Text(url), destinationArg = Var::Text(destination), empty = Var::Text(L"");

  Var returned;
  EXPECT_EQ(agent_test::CallMethod(job_.get(), L"JobDownload",
                                   {*urlArg, *empty, *empty, *destinationArg, *empty, *empty, *empty}, &returned),
            S_OK);
  EXPECT_EQ((*returned).vt, VT_BOOL);
  EXPECT_EQ((*returned).boolVal, VARIANT_TRUE);
  EXPECT_EQ(agent_test::ReadBytes(destination), std::optional<std::string>("by value"));

  EXPECT_EQ(agent_test::CallMethod(job_.get(), L"JobDownload",
                                   {*urlArg, *empty, *empty, *destinationArg, *empty, *empty}),
            DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(Record(), RecordLine(url, destination, true));
}

}  // namespace
