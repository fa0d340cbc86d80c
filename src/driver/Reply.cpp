#include "driver/Reply.h"

#include "platform/Text.h"

namespace kdht {

ReplyKind ClassifyReply(TemplateRequest request, const std::string& reply, const std::string& postError) {
  // A failed post of the test-tool request ends the run too: taken for an empty reply, it would
  // discard the held template.
  if (!postError.empty()) return ReplyKind::PostFailed;
  if (request == TemplateRequest::Ordinary) {
    const std::string upper = platform::Upper(reply);
    if (text::Contains(upper, "<OUTSTR>RESOURCE OR SITE EXCLUDED</OUTSTR>")) return ReplyKind::Excluded;
    if (text::Contains(upper, "TEMPLATE NOT APPLICABLE FOR SERVER")) return ReplyKind::NotForServers;
  }
  if (reply.empty()) return ReplyKind::Empty;
  if (reply == "<dcmgetdeskheraldtemplate><outstr>No New Template</outstr></dcmgetdeskheraldtemplate>") {
    return ReplyKind::NoNewTemplate;
  }
  return ReplyKind::Template;
}

}  // namespace kdht
