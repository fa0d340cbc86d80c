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

}  // namespace
}  // namespace kdht
