// The plain reader may leave any document to the DOM, but must never accept one that the DOM
// refuses, nor read other names than the DOM reads. Each case is therefore checked against the
// system's own DOM, loaded from the same bytes the way a run loads the held template.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/PlainXml.h"
#include "platform/Dispatch.h"
#include "platform/FileSystem.h"
#include "platform/Text.h"
#include "platform/Xml.h"
#include "support/TestSupport.h"

namespace kdht {
namespace {

using plainxml::TemplateNames;

std::string Utf16(const std::string& ascii) {
  std::string out = "\xFF\xFE";
  for (char c : ascii) {
    out.push_back(c);
    out.push_back('\0');
  }
  return out;
}

// UTF-8 to UTF-16LE with BOM (the text's non-ASCII characters included), by the system's own
// conversion.
std::string Utf16FromUtf8(const std::string& utf8) {
  std::string out = "\xFF\xFE";
  for (wchar_t c : platform::Widen(utf8)) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>((c >> 8) & 0xFF));
  }
  return out;
}

class PlainXmlTest : public ::testing::Test {
 protected:
  PlainXmlTest() : doc_(platform::XmlDocument::CreateByProgId("msxml2.DOMDocument")) {}

  // What the run's DOM path reads from these bytes, loaded from a file; nothing when the load
  // fails or a name is missing.
  std::optional<TemplateNames> DomNames(const std::string& bytes) {
    const std::string file = dir_.File("held.xml");
    platform::WriteFileBytes(file, bytes);
    doc_.LoadXml("");
    if (!doc_.Load(file)) return std::nullopt;
    TemplateNames names;
    names.root = doc_.DocumentElement().value().Name();
    auto id = doc_.SelectSingle(names.root + "/templateid");
    auto ver = doc_.SelectSingle(names.root + "/templatever");
    if (!id || !ver) return std::nullopt;
    names.templateId = id->Text();
    names.templateVer = ver->Text();
    return names;
  }

  bool DomLoads(const std::string& bytes) {
    const std::string file = dir_.File("held.xml");
    platform::WriteFileBytes(file, bytes);
    doc_.LoadXml("");
    return doc_.Load(file);
  }

  // Checks the one promise: what is read here, the DOM reads alike.
  void ExpectAgreement(const std::string& bytes, const std::string& label) {
    const std::optional<TemplateNames> plain = plainxml::ReadTemplateNames(bytes);
    if (!plain) return;
    const std::optional<TemplateNames> dom = DomNames(bytes);
    ASSERT_TRUE(dom.has_value()) << "read plainly but refused by the DOM: " << label;
    EXPECT_EQ(plain->root, dom->root) << label;
    EXPECT_EQ(plain->templateId, dom->templateId) << label;
    EXPECT_EQ(plain->templateVer, dom->templateVer) << label;
  }

  platform::ComApartment com_;
  testing::TempFolder dir_;
  platform::XmlDocument doc_;
};

const char kTemplate[] =
    "<dcmgetdeskheraldtemplate><templateid>22</templateid><templatever>7</templatever>"
    "<rsssites></rsssites><rssupd>0</rssupd>"
    "<action><actionid>1</actionid><message title=\"Caf\xC3\xA9 &amp; more\" at='x &#x263A; &#9;'>"
    "Line &lt;one&gt; \xE2\x82\xAC \xF0\x9F\x98\x80<![CDATA[ <raw> & ]]]]><!-- note --></message>"
    "<empty/><empty2 a=\"1\" b=\"2\" /></action></dcmgetdeskheraldtemplate>";

TEST_F(PlainXmlTest, PlainTemplatesAreReadAsTheDomReadsThem) {
  const std::string t = kTemplate;
  struct Case {
    const char* label;
    std::string bytes;
    const char* id;
    const char* ver;
  } cases[] = {
      {"UTF-16 as the DOM saves it", Utf16FromUtf8(t), "22", "7"},
      {"UTF-8 without declaration", t, "22", "7"},
      {"UTF-8 with byte-order mark", "\xEF\xBB\xBF" + t, "22", "7"},
      {"UTF-8 declared", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n" + t, "22", "7"},
      {"UTF-16 declared", Utf16FromUtf8("<?xml version='1.0' encoding='utf-16' standalone='yes' ?>" + t), "22",
       "7"},
      {"comments and blanks around the root", "<!-- a -->\n " + t + "\n<!-- b -->\n", "22", "7"},
      {"root with attributes", "<dcmgetdeskheraldtemplate v=\"2\"><templatever>3</templatever>"
                               "<templateid>A-9.x_</templateid></dcmgetdeskheraldtemplate>",
       "A-9.x_", "3"},
      {"only the first of each child counts",
       "<r><templateid>1</templateid><templateid>2</templateid><templatever/><templatever>9</templatever></r>", "1",
       ""},
      {"a nested namesake is not a child", "<r><x><templateid>5</templateid></x><templateid>6</templateid>"
                                           "<templatever></templatever></r>",
       "6", ""},
  };
  for (const auto& c : cases) {
    const auto plain = plainxml::ReadTemplateNames(c.bytes);
    ASSERT_TRUE(plain.has_value()) << c.label;
    EXPECT_EQ(plain->templateId, c.id) << c.label;
    EXPECT_EQ(plain->templateVer, c.ver) << c.label;
    ExpectAgreement(c.bytes, c.label);
  }
}

TEST_F(PlainXmlTest, MalformedFilesAreLeftToTheDomWhichRefusesThem) {
  const char* malformed[] = {
      "<r><templateid>1</templateid><templatever>1</templatever>",      // not closed
      "<r><templateid>1</templateid><templatever>1</templatever></R>",  // wrong end tag
      "<r><templateid>1</templateid><templatever>1</templatever></r><r/>",
      "<r><templateid>1</templateid><templatever>1</templatever></r>tail",
      "<r a='1' a='2'><templateid>1</templateid><templatever>1</templatever></r>",
      "<r a='1'b='2'><templateid>1</templateid><templatever>1</templatever></r>",
      "<r a=1><templateid>1</templateid><templatever>1</templatever></r>",
      "<r a='<'><templateid>1</templateid><templatever>1</templatever></r>",
      "<r><templateid>1&nbsp;</templateid><templatever>1</templatever></r>",
      "<r><templateid>1</templateid><templatever>1</templatever>&#0;</r>",
      "<r><templateid>1</templateid><templatever>1</templatever>&#xD800;</r>",
      "<r><templateid>1</templateid><templatever>1</templatever>a & b</r>",
      "<r><templateid>1</templateid><templatever>1</templatever>]]></r>",
      "<r><templateid>1</templateid><templatever>1</templatever>\x01</r>",
      "<r><templateid>1</templateid><templatever>1</templatever><!-- a -- b --></r>",
      "<r><templateid>1</templateid><templatever>1</templatever><![CDATA[x</r>",
      "<r><templateid>1</templateid><templatever>1</templatever><1a/></r>",
      "<r><templateid>1</templateid><templatever>1</templatever>\xC3</r>",            // cut UTF-8
      "<r><templateid>1</templateid><templatever>1</templatever>\xC0\xAF</r>",        // overlong
      "<r><templateid>1</templateid><templatever>1</templatever>\xED\xA0\x80</r>",    // surrogate
      "<?xml version=\"1.0\"?><?xml version=\"1.0\"?><r><templateid>1</templateid><templatever>1</templatever></r>",
      " <?xml version=\"1.0\"?><r><templateid>1</templateid><templatever>1</templatever></r>",
      "<!DOCTYPE r><r><templateid>1</templateid><templatever>1</templatever></r>",
      "",
  };
  for (const char* text : malformed) {
    EXPECT_FALSE(plainxml::ReadTemplateNames(text).has_value()) << text;
    EXPECT_FALSE(DomLoads(text)) << "the DOM loads it, so the case is not malformed: " << text;
  }
  // UTF-16: a lone surrogate, an odd length, a byte-order mark the text contradicts.
  std::string lone = Utf16("<r><templateid>1</templateid><templatever>1</templatever>x</r>");
  lone[lone.size() - 10] = '\x00';
  lone[lone.size() - 9] = '\xDC';
  const std::string odd = Utf16("<r><templateid>1</templateid><templatever>1</templatever></r>") + "x";
  const std::string contradicted =
      Utf16("<?xml version=\"1.0\" encoding=\"UTF-8\"?><r><templateid>1</templateid><templatever>1</templatever></r>");
  for (const std::string& bytes : {lone, odd, contradicted}) {
    EXPECT_FALSE(plainxml::ReadTemplateNames(bytes).has_value());
  }
  EXPECT_FALSE(DomLoads(lone));
  // Refused by Windows' parser, loaded by Wine's (which ignores a trailing odd byte and binds no
  // prefixes): here only the plain side can be held to it.
  const std::string unbound = "<r><templateid>1</templateid><templatever>1</templatever><p:a/></r>";
  EXPECT_FALSE(plainxml::ReadTemplateNames(unbound).has_value());
  EXPECT_FALSE(plainxml::ReadTemplateNames(Utf16(unbound)).has_value());
}

// Well-formed, but outside the plain form or with names the DOM would shape (entities,
// blanks, markup inside the names): left to the DOM, which reads them as before.
TEST_F(PlainXmlTest, DocumentsOutsideThePlainFormAreLeftToTheDom) {
  const char* unplain[] = {
      "<r xmlns='urn:x'><templateid>1</templateid><templatever>1</templatever></r>",
      "<r><?pi x?><templateid>1</templateid><templatever>1</templatever></r>",
      "<r><templateid> 1</templateid><templatever>1</templatever></r>",
      "<r><templateid>1 2</templateid><templatever>1</templatever></r>",
      "<r><templateid>&#49;</templateid><templatever>1</templatever></r>",
      "<r><templateid>1<!--c-->2</templateid><templatever>1</templatever></r>",
      "<r><templateid><![CDATA[1]]></templateid><templatever>1</templatever></r>",
      "<r><templateid><b>1</b></templateid><templatever>1</templatever></r>",
      "<r><templateid>\xC3\xA9</templateid><templatever>1</templatever></r>",
      "<r><templateid>1</templateid></r>",
      "<\xC3\xA9l\xC3\xA8ve><templateid>1</templateid><templatever>1</templatever></\xC3\xA9l\xC3\xA8ve>",
      "<?xml version=\"1.0\" encoding=\"windows-1252\"?><r><templateid>1</templateid><templatever>1</templatever></r>",
  };
  for (const char* text : unplain) {
    EXPECT_FALSE(plainxml::ReadTemplateNames(text).has_value()) << text;
    EXPECT_TRUE(DomLoads(text)) << "meant to be well-formed: " << text;
  }
}

// Random edits of a template, in both encodings: whatever is read plainly, the DOM reads
// alike. Both outcomes must occur often enough for the comparison to mean something.
TEST_F(PlainXmlTest, EditedTemplatesNeverReadOtherwiseThanByTheDom) {
  const std::string base = kTemplate;
  const std::string alphabet = "<>/&;#x=\"' !-[]?:aZ019\t\r\n\xC3\xA9\x01";
  std::mt19937 random(20261209);
  int readPlainly = 0;
  int leftToDom = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string text = base;
    const int edits = 1 + static_cast<int>(random() % 2);
    for (int e = 0; e < edits; ++e) {
      const size_t at = random() % text.size();
      const char c = alphabet[random() % alphabet.size()];
      switch (random() % 3) {
        case 0: text[at] = c; break;
        case 1: text.insert(text.begin() + static_cast<std::ptrdiff_t>(at), c); break;
        default: text.erase(at, 1); break;
      }
    }
    const bool wide = round % 2 == 1;
    const std::string bytes = wide ? Utf16FromUtf8(text) : text;
    if (plainxml::ReadTemplateNames(bytes)) {
      ++readPlainly;
    } else {
      ++leftToDom;
    }
    ExpectAgreement(bytes, text);
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(readPlainly, 300);
  EXPECT_GT(leftToDom, 300);
}

TEST_F(PlainXmlTest, ALargeHeldTemplateIsReadWhole) {
  std::string text = "<dcmgetdeskheraldtemplate><templateid>31</templateid><templatever>4</templatever>";
  for (int i = 0; i < 10000; ++i) {
    text += "<action><actionid>" + std::to_string(i) +
            "</actionid><actiondesc>Message &amp; reminder</actiondesc><filters/></action>";
  }
  std::string broken = text + "<action>";
  text += "</dcmgetdeskheraldtemplate>";
  broken += "</dcmgetdeskheraldtemplate>";
  const std::string bytes = Utf16(text);
  const auto plain = plainxml::ReadTemplateNames(bytes);
  ASSERT_TRUE(plain.has_value());
  EXPECT_EQ(plain->templateId, "31");
  ExpectAgreement(bytes, "10,000 actions");
  // A fault at the very end is found too.
  EXPECT_FALSE(plainxml::ReadTemplateNames(Utf16(broken)).has_value());
}

// Texts given to the DOM as strings (the checksum seal).
TEST_F(PlainXmlTest, PlainStringsAreWellFormedForTheDomToo) {
  const char* plain[] = {
      "<seal>=?utf-8?B?QUJD?=</seal>",
      "  <a b='1'><c/>text &amp; more</a>\r\n",
  };
  for (const char* text : plain) {
    EXPECT_TRUE(plainxml::IsPlainDocument(text)) << text;
    EXPECT_TRUE(doc_.LoadXml(text)) << text;
  }
  const char* undecided[] = {"<a>", "<a></b>", "text", "", "<?xml version=\"1.0\"?><a/>", "<a>&bogus;</a>",
                             "<a/><b/>"};
  for (const char* text : undecided) EXPECT_FALSE(plainxml::IsPlainDocument(text)) << text;
  std::mt19937 random(7);
  const std::string base = "<seal a='x'>=?utf-8?B?QUJD?=<!-- c --></seal>";
  const std::string alphabet = "<>/&;#=\"' !-?:aZ0\x01";
  int accepted = 0;
  for (int round = 0; round < 600; ++round) {
    std::string text = base;
    const size_t at = random() % text.size();
    text[at] = alphabet[random() % alphabet.size()];
    if (plainxml::IsPlainDocument(text)) {
      ++accepted;
      EXPECT_TRUE(doc_.LoadXml(text)) << "plain but refused by the DOM: " << text;
    }
  }
  EXPECT_GT(accepted, 100);
}

}  // namespace
}  // namespace kdht
