// The template reply's kind, from its text and the post's error.
#include "driver/Reply.h"

#include <gtest/gtest.h>

namespace kdht {
namespace {

constexpr const char* kNoNewReply =
    "<dcmgetdeskheraldtemplate><outstr>No New Template</outstr></dcmgetdeskheraldtemplate>";

TEST(ClassifyReply, EachReplyOfTheTemplateRequest) {
  using K = ReplyKind;
  using R = TemplateRequest;
  struct Case {
    const char* name;
    R request;
    std::string reply;
    std::string postError;
    K expected;
  };
  const std::string noNew = kNoNewReply;
  const Case cases[] = {
      {"failed post, whatever the text", R::Ordinary, noNew, "500-Internal Server Error - http://x/", K::PostFailed},
      {"failed post with no text", R::Ordinary, "", "12029-Cannot connect - http://x/", K::PostFailed},
      {"failed test-tool post", R::TestTool, "", "500-Error - http://x/", K::PostFailed},

      {"excluded", R::Ordinary, "<x><outstr>Resource or Site Excluded</outstr></x>", "", K::Excluded},
      {"excluded in any case", R::Ordinary, "<X><OutStr>rESOURCE or site EXCLUDED</OUTSTR></X>", "", K::Excluded},
      {"excluded anywhere, with a declaration", R::Ordinary,
       "<?xml version=\"1.0\"?>\r\n<a><b><outstr>RESOURCE OR SITE EXCLUDED</outstr></b></a>", "", K::Excluded},
      {"excluded needs the element", R::Ordinary, "<x><out>Resource or site excluded</out></x>", "", K::Template},
      {"excluded needs the exact spacing", R::Ordinary, "<outstr>Resource or site  excluded</outstr>", "",
       K::Template},
      {"excluded before not-for-servers", R::Ordinary,
       "<outstr>Template not applicable for server</outstr><outstr>Resource or site excluded</outstr>", "",
       K::Excluded},

      {"not for servers", R::Ordinary, "<x><outstr>Template Not Applicable for Server</outstr></x>", "",
       K::NotForServers},
      {"not for servers in bare text", R::Ordinary, "template not applicable for servers", "", K::NotForServers},

      {"test tool: excluded text is a template", R::TestTool, "<outstr>Resource or site excluded</outstr>", "",
       K::Template},
      {"test tool: not-for-servers text is a template", R::TestTool, "Template not applicable for server", "",
       K::Template},

      {"empty", R::Ordinary, "", "", K::Empty},
      {"empty test-tool reply", R::TestTool, "", "", K::Empty},
      {"a blank is not empty", R::Ordinary, " ", "", K::Template},

      {"no new template", R::Ordinary, noNew, "", K::NoNewTemplate},
      {"no new template to the test tool", R::TestTool, noNew, "", K::NoNewTemplate},
      {"no new template in other case", R::Ordinary,
       "<dcmgetdeskheraldtemplate><outstr>No new template</outstr></dcmgetdeskheraldtemplate>", "", K::Template},
      {"no new template after a declaration", R::Ordinary, "<?xml version=\"1.0\"?>" + noNew, "", K::Template},
      {"no new template after a blank", R::Ordinary, " " + noNew, "", K::Template},
      {"no new template before a line end", R::Ordinary, noNew + "\r\n", "", K::Template},

      {"a template", R::Ordinary,
       "<dcmgetdeskheraldtemplate><templateid>7</templateid></dcmgetdeskheraldtemplate>", "", K::Template},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ClassifyReply(c.request, c.reply, c.postError), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace kdht
