// Documents with a document type declaration are refused by every load, whatever the parser
// makes of the declaration: Windows' parser refuses them itself once "ProhibitDTD" is set, and a
// parser that takes the property without acting on it (Wine's may) is covered by the program's
// own test of the loaded document. Either way the load reports failure and leaves nothing of the
// document to read.
#include <gtest/gtest.h>

#include "platform/Dispatch.h"
#include "platform/FileSystem.h"
#include "platform/Xml.h"
#include "support/TestSupport.h"

namespace kdht {
namespace {

TEST(XmlDocumentType, DocumentsWithADtdDoNotLoad) {
  platform::ComApartment com;
  auto doc = platform::XmlDocument::CreateByProgId("msxml2.DOMDocument");
  const std::string plain = "<dcmgetdeskheraldtemplate><templateid>5</templateid></dcmgetdeskheraldtemplate>";
  ASSERT_TRUE(doc.LoadXml(plain));
  const char* typed[] = {
      "<!DOCTYPE dcmgetdeskheraldtemplate><dcmgetdeskheraldtemplate><templateid>5</templateid>"
      "</dcmgetdeskheraldtemplate>",
      "<?xml version=\"1.0\"?><!DOCTYPE t [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;\">]>"
      "<dcmgetdeskheraldtemplate><templateid>&b;</templateid></dcmgetdeskheraldtemplate>",
      "<!DOCTYPE t SYSTEM \"http://127.0.0.1:9/x.dtd\"><dcmgetdeskheraldtemplate/>",
  };
  testing::TempFolder dir;
  for (const char* text : typed) {
    ASSERT_TRUE(doc.LoadXml(plain));
    EXPECT_FALSE(doc.LoadXml(text)) << text;
    EXPECT_FALSE(doc.SelectSingle("//templateid").has_value()) << text;
    const std::string file = dir.File("t.xml");
    platform::WriteFileBytes(file, text);
    EXPECT_FALSE(doc.Load(file)) << text;
    EXPECT_FALSE(doc.DocumentElement().has_value()) << text;
  }
}

}  // namespace
}  // namespace kdht
