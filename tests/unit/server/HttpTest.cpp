#include "platform/Http.h"

#include <gtest/gtest.h>

#include <chrono>

#include "platform/Failure.h"
#include "support/LoopbackServer.h"

namespace kdht {
namespace {

using testing::Answer;
using testing::LoopbackServer;
using testing::SeenRequest;

// Runs `call` and returns the failure it throws (number 0 when it did not throw).
template <class F>
Failure FailureOf(F call) {
  try {
    call();
  } catch (const Failure& f) {
    return f;
  }
  return Failure(0, "no failure");
}

platform::HttpLimits Short() {
  platform::HttpLimits limits;
  limits.resolveTimeoutMs = limits.connectTimeoutMs = limits.sendTimeoutMs = limits.receiveTimeoutMs = 400;
  return limits;
}

TEST(Http, ReplyIsReturnedWhateverTheStatus) {
  LoopbackServer server([](const SeenRequest& r, int) {
    return r.target == "/missing" ? Answer::Status(404, "Not Found", "gone") : Answer::Status(200, "OK", "here");
  });
  const platform::HttpReply found = platform::HttpGet(server.Url("/present"));
  EXPECT_EQ(found.status, 200u);
  EXPECT_EQ(found.body, "here");
  const platform::HttpReply missing = platform::HttpGet(server.Url("/missing"));
  EXPECT_EQ(missing.status, 404u);
  EXPECT_EQ(missing.statusText, "Not Found");
  EXPECT_EQ(missing.body, "gone");
}

TEST(Http, StalledServerTimesOutInsteadOfHanging) {
  LoopbackServer server(Answer::Stall());
  const auto start = std::chrono::steady_clock::now();
  const Failure f = FailureOf([&] { platform::HttpPost(server.Url("/tfr_a.asp"), "<x/>", "text/xml", Short()); });
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(f.number(), 12002) << f.description();
  EXPECT_FALSE(f.description().empty());
  EXPECT_LT(elapsed, std::chrono::seconds(5));
}

// A server that sends a byte now and then never trips a per-read limit; the exchange as a whole
// still ends at its total limit, whether the bytes trickle in the body or in the headers.
TEST(Http, TricklingServerEndsAtTheTotalLimit) {
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 400\r\nConnection: close\r\n\r\n";
  const std::string body(400, 'x');
  for (const bool headersToo : {false, true}) {
    const Answer answer = headersToo ? Answer::Trickle("", head + body, 40) : Answer::Trickle(head, body, 40);
    LoopbackServer server(answer);
    platform::HttpLimits limits = Short();
    limits.totalTimeoutMs = 1200;
    const auto start = std::chrono::steady_clock::now();
    const Failure f = FailureOf([&] { platform::HttpPost(server.Url("/tfr_a.asp"), "<x/>", "text/xml", limits); });
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(f.number(), platform::kErrExchangeTimedOut) << headersToo << ": " << f.description();
    EXPECT_GE(elapsed, std::chrono::milliseconds(1000)) << headersToo;
    EXPECT_LT(elapsed, std::chrono::milliseconds(3500)) << headersToo;
  }
}

// Tries that share a deadline share its time: once it has passed, the next try is not made.
TEST(Http, ASharedDeadlineBoundsEveryTry) {
  LoopbackServer slow(Answer::Trickle("HTTP/1.1 200 OK\r\nContent-Length: 300\r\n\r\n", std::string(300, 'x'), 30));
  LoopbackServer healthy(Answer::Status(200, "OK", "1"));
  platform::HttpLimits limits = Short();
  limits.totalTimeoutMs = 800;
  const platform::HttpDeadline deadline(limits);
  EXPECT_EQ(FailureOf([&] { platform::HttpPost(slow.Url("/a"), "<x/>", "text/xml", limits, &deadline); }).number(),
            platform::kErrExchangeTimedOut);
  EXPECT_EQ(deadline.RemainingMs(), 0u);
  EXPECT_EQ(FailureOf([&] { platform::HttpPost(healthy.Url("/b"), "<x/>", "text/xml", limits, &deadline); }).number(),
            platform::kErrExchangeTimedOut);
  EXPECT_EQ(healthy.ConnectionCount(), 0);
  // With a deadline of its own the same post goes through.
  EXPECT_EQ(platform::HttpPost(healthy.Url("/b"), "<x/>", "text/xml", limits).body, "1");
}

TEST(Http, OversizedRepliesFailWithAClearError) {
  const std::string big(5000, 'x');
  struct Case {
    const char* name;
    Answer answer;
  };
  const Case cases[] = {
      {"announced length", Answer::Status(200, "OK", big)},
      // No length: the cap must hold while reading.
      {"read to close", Answer::Raw("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + big)},
  };
  for (const Case& c : cases) {
    LoopbackServer server(c.answer);
    platform::HttpLimits limits = Short();
    limits.maxReplyBytes = 1000;
    const Failure f = FailureOf([&] { platform::HttpGet(server.Url("/big"), std::nullopt, limits); });
    EXPECT_EQ(f.number(), platform::kErrReplyTooLarge) << c.name;
    EXPECT_NE(f.description().find("1000"), std::string::npos) << c.name << ": " << f.description();
  }
}

TEST(Http, ReplyCutShortIsAFailure) {
  LoopbackServer server(Answer::CutShort(200, "OK", "only ten b", 100));
  const Failure f = FailureOf([&] { platform::HttpGet(server.Url("/cut"), std::nullopt, Short()); });
  EXPECT_NE(f.number(), 0) << "a partial body passed for a whole one";
}

TEST(Http, ReplyBodyBytesArePassedThroughUnchanged) {
  const std::string bytes("\x00\x01\xFF\xFE\r\n\x80 end", 10);
  LoopbackServer server(Answer::Status(200, "OK", bytes));
  EXPECT_EQ(platform::HttpGet(server.Url("/bin")).body, bytes);
}

// A refused certificate is named from WinHTTP's secure-failure flags, or from a code that names
// the reason itself (WinHTTP's and the internet library's share these numbers). Values as the
// system headers define them.
TEST(Http, RefusedCertificatesAreNamed) {
  struct Case {
    std::uint32_t flags;
    const char* text;
  };
  const Case flags[] = {
      {0x00000008, "certificate: untrusted root"},                // ..._FLAG_INVALID_CA
      {0x00000010, "certificate: issued for another host name"},  // ..._FLAG_CERT_CN_INVALID
      {0x00000020, "certificate: expired or not yet valid"},      // ..._FLAG_CERT_DATE_INVALID
      {0x00000004, "certificate: revoked"},                       // ..._FLAG_CERT_REVOKED
      {0x00000001, "certificate: revocation check failed"},       // ..._FLAG_CERT_REV_FAILED
      {0x00000040, "certificate: not for server use"},            // ..._FLAG_CERT_WRONG_USAGE
      {0x00000002, "certificate: invalid"},                       // ..._FLAG_INVALID_CERT
      {0x80000000, "certificate: secure channel error"},          // ..._FLAG_SECURITY_CHANNEL_ERROR
      {0x00000018, "certificate: untrusted root, issued for another host name"},
      {0x00000021, "certificate: expired or not yet valid, revocation check failed"},
      {0, ""},
      {0x00000100, ""},  // no flag of a reason
  };
  for (const Case& c : flags) EXPECT_EQ(platform::CertificateRefusalText(c.flags), c.text) << std::hex << c.flags;

  const Case codes[] = {
      {12045, "certificate: untrusted root"},
      {12038, "certificate: issued for another host name"},
      {12037, "certificate: expired or not yet valid"},
      {12170, "certificate: revoked"},
      {12057, "certificate: revocation check failed"},
      {12179, "certificate: not for server use"},
      {12169, "certificate: invalid"},
      {12055, "certificate: invalid"},  // the internet library's "certificate errors"
      // The codes that say a secure exchange failed without saying why name nothing.
      {12157, ""},
      {12175, ""},
      {12029, ""},
      {0, ""},
  };
  for (const Case& c : codes) EXPECT_EQ(platform::CertificateErrorText(c.flags), c.text) << c.flags;
}

}  // namespace
}  // namespace kdht
