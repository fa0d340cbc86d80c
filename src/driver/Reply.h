// The server's reply to the template request, told apart by its text and the post's error alone:
// what the run does with each kind is the driver's.
#pragma once

#include <string>

namespace kdht {

enum class TemplateRequest {
  Ordinary,  // names the held template
  TestTool,  // asks for one template by identifier
};

enum class ReplyKind {
  PostFailed,     // the post left an error text
  Excluded,       // the machine or its site is excluded from the feature
  NotForServers,  // the template is not meant for this (server) machine
  Empty,          // the machine is to hold no template
  NoNewTemplate,  // the held template is current
  Template,       // a template to install
};

// The tests are made in this order. Excluded and NotForServers are read case-insensitively
// anywhere in the text and only for the ordinary request; "No New Template" only as the whole
// text, to the letter (with a declaration or a blank before it, it is a template).
ReplyKind ClassifyReply(TemplateRequest request, const std::string& reply, const std::string& postError);

}  // namespace kdht
