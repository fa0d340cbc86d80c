// The reply classifier on any reply text and post error, for both requests. The answer is one of
// the six outcomes, and the rules that need no reading of the text hold: a post error wins; the
// test tool's request is never told it is excluded or not for servers; an empty reply with no
// post error is Empty only when nothing matched before it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "driver/Reply.h"
#include "platform/Text.h"

// The system's upper-casing (the program's is the user's language's, through Windows) stands
// here as ASCII upper-casing: the markers the classifier looks for are ASCII.
namespace kdht::platform {
std::string Upper(std::string_view text) { return kdht::text::AsciiUpper(text); }
}  // namespace kdht::platform

namespace {

bool IsOutcome(kdht::ReplyKind kind) {
  switch (kind) {
    case kdht::ReplyKind::PostFailed:
    case kdht::ReplyKind::Excluded:
    case kdht::ReplyKind::NotForServers:
    case kdht::ReplyKind::Empty:
    case kdht::ReplyKind::NoNewTemplate:
    case kdht::ReplyKind::Template:
      return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The first byte says how much of the rest is the post error.
  const std::string all(reinterpret_cast<const char*>(data), size);
  const size_t errorLength = all.empty() ? 0 : static_cast<unsigned char>(all[0]) % 8;
  const std::string rest = all.empty() ? std::string() : all.substr(1);
  const std::string postError = rest.substr(0, errorLength);
  const std::string reply = rest.substr(postError.size());

  for (const auto request : {kdht::TemplateRequest::Ordinary, kdht::TemplateRequest::TestTool}) {
    const kdht::ReplyKind kind = kdht::ClassifyReply(request, reply, postError);
    FUZZ_CHECK(IsOutcome(kind));
    FUZZ_CHECK((kind == kdht::ReplyKind::PostFailed) == !postError.empty());
    if (request == kdht::TemplateRequest::TestTool) {
      FUZZ_CHECK(kind != kdht::ReplyKind::Excluded && kind != kdht::ReplyKind::NotForServers);
      if (postError.empty()) FUZZ_CHECK((kind == kdht::ReplyKind::Empty) == reply.empty());
    }
    if (kind == kdht::ReplyKind::Empty) FUZZ_CHECK(reply.empty());
    if (kind == kdht::ReplyKind::Template) FUZZ_CHECK(!reply.empty());
  }
  return 0;
}
