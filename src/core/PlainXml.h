// A reader for documents in the plain form this program writes and the server sends: ASCII
// names without prefixes, no document type, no processing instructions, the predefined entities
// and character references only. It reads the names a run needs without building a DOM of the
// whole file.
//
// It decides only what it can be sure of. When it says a document is well-formed and names its
// parts, the DOM loads the same document and reads the same names; anything outside the plain
// form, or not well-formed, is left undecided (nothing comes back) and the caller loads the
// document through the DOM as before, which then accepts or refuses it. So a file is never
// accepted here that a load through the DOM would refuse.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kdht::plainxml {

// The names by which the held template is known.
struct TemplateNames {
  std::string root;         // the document element's name
  std::string templateId;   // text of the first <templateid> child of the document element
  std::string templateVer;  // text of the first <templatever> child of the document element
};

// Reads the names from a template file's bytes: UTF-16 with its byte-order mark (as the DOM
// saves it) or UTF-8 with or without one, an XML declaration naming the same encoding allowed.
// Nothing when the file is outside the plain form, not well-formed, or either child is missing
// or holds anything but a plain token of printable ASCII.
std::optional<TemplateNames> ReadTemplateNames(std::string_view fileBytes);

// True when a text given to the DOM as a string (not a file: no declaration, no byte-order mark)
// is a well-formed document in the plain form. False means undecided, not malformed.
bool IsPlainDocument(std::string_view utf8Text);

}  // namespace kdht::plainxml
