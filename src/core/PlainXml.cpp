#include "core/PlainXml.h"

#include <bit>
#include <cstring>
#include <algorithm>
#include <vector>

namespace kdht::plainxml {
namespace {

// Bounds under every parser's own limits (nesting, name and text lengths): a document past them
// is left to the DOM.
constexpr size_t kMaxDepth = 64;
constexpr size_t kMaxNameLength = 256;
constexpr size_t kMaxRunLength = 1000000;  // one text, attribute value, comment or CDATA section
constexpr size_t kMaxAttributes = 64;
constexpr size_t kMaxUnits = 128u * 1024u * 1024u;

enum class Declaration { Refused, Utf8, Utf16 };

bool IsSpace(char16_t c) { return c == 0x20 || c == 0x09 || c == 0x0D || c == 0x0A; }
bool IsNameStart(char16_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IsNameChar(char16_t c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '.' || c == '-'; }
bool IsCodePoint(char32_t c) {
  return c == 0x09 || c == 0x0A || c == 0x0D || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}
char16_t Lower(char16_t c) { return (c >= 'A' && c <= 'Z') ? static_cast<char16_t>(c - 'A' + 'a') : c; }

bool SameLetters(std::u16string_view a, const char* b) {
  const size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t k = 0; k < n; ++k) {
    if (Lower(a[k]) != Lower(static_cast<char16_t>(b[k]))) return false;
  }
  return true;
}

// UTF-8 to UTF-16, refusing overlong forms, surrogates and code points past U+10FFFF.
std::optional<std::u16string> FromUtf8(std::string_view s) {
  if (s.size() > kMaxUnits) return std::nullopt;
  std::u16string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      out.push_back(c);
      ++i;
      continue;
    }
    size_t more = 0;
    char32_t cp = 0;
    char32_t least = 0;
    if ((c & 0xE0) == 0xC0) {
      more = 1, cp = c & 0x1F, least = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      more = 2, cp = c & 0x0F, least = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      more = 3, cp = c & 0x07, least = 0x10000;
    } else {
      return std::nullopt;
    }
    if (s.size() - i <= more) return std::nullopt;
    for (size_t k = 1; k <= more; ++k) {
      const unsigned char b = static_cast<unsigned char>(s[i + k]);
      if ((b & 0xC0) != 0x80) return std::nullopt;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += more + 1;
  }
  return out;
}

// Windows runs little-endian only: the file's code units are copied as they are.
static_assert(std::endian::native == std::endian::little);

std::optional<std::u16string> FromUtf16Le(std::string_view s) {
  if (s.size() % 2 != 0 || s.size() / 2 > kMaxUnits) return std::nullopt;
  std::u16string out(s.size() / 2, u'\0');
  std::memcpy(out.data(), s.data(), s.size());
  return out;
}

// One pass over the whole document. Every member function returns false as soon as the text
// leaves the plain form or breaks a rule of well-formedness; the two are not told apart.
class Reader {
 public:
  Reader(std::u16string_view text, Declaration declaration, bool wantNames)
      : t_(text), declaration_(declaration), wantNames_(wantNames) {}

  bool Document() {
    if (Ahead(u"<?xml") && pos_ + 5 < t_.size() && IsSpace(t_[pos_ + 5])) {
      if (!XmlDeclaration()) return false;
    }
    if (!Miscellany()) return false;
    if (!Ahead(u"<") || Ahead(u"<!") || Ahead(u"<?")) return false;
    if (!Element()) return false;
    if (!Miscellany()) return false;
    if (pos_ != t_.size()) return false;
    if (!wantNames_) return true;
    return id_.found && !id_.unclear && ver_.found && !ver_.unclear;
  }

  TemplateNames Names() const { return {Ascii(root_), Ascii(id_.text), Ascii(ver_.text)}; }

 private:
  struct Wanted {
    bool found = false;      // its first occurrence has been seen
    bool unclear = false;    // that occurrence holds more than a plain token
    std::u16string_view text;
  };

  static std::string Ascii(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char16_t c : s) out.push_back(static_cast<char>(c));
    return out;
  }

  bool AtEnd() const { return pos_ >= t_.size(); }
  bool Ahead(std::u16string_view s) const { return t_.substr(pos_, s.size()) == s; }
  bool Skip(std::u16string_view s) {
    if (!Ahead(s)) return false;
    pos_ += s.size();
    return true;
  }
  bool SkipSpace() {
    const size_t from = pos_;
    while (!AtEnd() && IsSpace(t_[pos_])) ++pos_;
    return pos_ != from;
  }

  // One character of text, a surrogate pair counting as one.
  bool Character() {
    const char16_t c = t_[pos_];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (pos_ + 1 >= t_.size() || t_[pos_ + 1] < 0xDC00 || t_[pos_ + 1] > 0xDFFF) return false;
      pos_ += 2;
      return true;
    }
    if (c >= 0xDC00 && c <= 0xDFFF) return false;
    if (!IsCodePoint(c)) return false;
    ++pos_;
    return true;
  }

  bool Name(std::u16string_view* name) {
    const size_t from = pos_;
    if (AtEnd() || !IsNameStart(t_[pos_])) return false;
    while (!AtEnd() && IsNameChar(t_[pos_])) ++pos_;
    *name = t_.substr(from, pos_ - from);
    // Names beginning with "xml" are reserved; prefixed names would need namespaces.
    if (name->size() > kMaxNameLength) return false;
    if (name->size() >= 3 && Lower((*name)[0]) == 'x' && Lower((*name)[1]) == 'm' && Lower((*name)[2]) == 'l') {
      return false;
    }
    return AtEnd() || t_[pos_] != ':';
  }

  // After "&": a predefined entity or a character reference to a character XML allows.
  bool Reference() {
    if (Skip(u"#x")) {
      char32_t value = 0;
      size_t digits = 0;
      for (; !AtEnd() && digits <= 6; ++pos_, ++digits) {
        const char16_t c = t_[pos_];
        if (c >= '0' && c <= '9') {
          value = value * 16 + (c - '0');
        } else if (Lower(c) >= 'a' && Lower(c) <= 'f') {
          value = value * 16 + (Lower(c) - 'a' + 10);
        } else {
          break;
        }
      }
      return digits > 0 && digits <= 6 && IsCodePoint(value) && Skip(u";");
    }
    if (Skip(u"#")) {
      char32_t value = 0;
      size_t digits = 0;
      for (; !AtEnd() && digits <= 7 && t_[pos_] >= '0' && t_[pos_] <= '9'; ++pos_, ++digits) {
        value = value * 10 + (t_[pos_] - '0');
      }
      return digits > 0 && digits <= 7 && IsCodePoint(value) && Skip(u";");
    }
    return Skip(u"lt;") || Skip(u"gt;") || Skip(u"amp;") || Skip(u"apos;") || Skip(u"quot;");
  }

  // After "<!--".
  bool Comment() {
    const size_t from = pos_;
    while (!AtEnd()) {
      if (t_[pos_] == '-' && pos_ + 1 < t_.size() && t_[pos_ + 1] == '-') return Skip(u"-->");
      if (!Character() || pos_ - from > kMaxRunLength) return false;
    }
    return false;
  }

  // After "<![CDATA[".
  bool CharacterData() {
    const size_t from = pos_;
    while (!AtEnd()) {
      if (Skip(u"]]>")) return true;
      if (!Character() || pos_ - from > kMaxRunLength) return false;
    }
    return false;
  }

  // Blanks and comments before and after the document element.
  bool Miscellany() {
    for (;;) {
      SkipSpace();
      if (!Skip(u"<!--")) return true;
      if (!Comment()) return false;
    }
  }

  bool XmlDeclaration() {
    pos_ += 5;
    auto pseudoAttribute = [&](const char16_t* name, std::u16string_view* value) {
      const size_t from = pos_;
      if (!SkipSpace() || !Skip(name)) {
        pos_ = from;
        return false;
      }
      SkipSpace();
      if (!Skip(u"=")) return false;
      SkipSpace();
      if (AtEnd() || (t_[pos_] != '"' && t_[pos_] != '\'')) return false;
      const char16_t quote = t_[pos_++];
      const size_t start = pos_;
      while (!AtEnd() && t_[pos_] != quote && pos_ - start < 64) ++pos_;
      if (AtEnd() || t_[pos_] != quote) return false;
      *value = t_.substr(start, pos_ - start);
      ++pos_;
      return true;
    };
    std::u16string_view version, encoding, standalone;
    if (!pseudoAttribute(u"version", &version) || version != u"1.0") return false;
    if (pseudoAttribute(u"encoding", &encoding)) {
      if (declaration_ == Declaration::Utf8 && !SameLetters(encoding, "utf-8")) return false;
      if (declaration_ == Declaration::Utf16 && !SameLetters(encoding, "utf-16")) return false;
    }
    if (declaration_ == Declaration::Refused) return false;
    if (pseudoAttribute(u"standalone", &standalone) && standalone != u"yes" && standalone != u"no") return false;
    SkipSpace();
    return Skip(u"?>");
  }

  // An attribute value, after its opening quote.
  bool AttributeValue(char16_t quote) {
    const size_t from = pos_;
    while (!AtEnd() && t_[pos_] != quote) {
      if (pos_ - from > kMaxRunLength) return false;
      const char16_t c = t_[pos_];
      if (c == '<') return false;
      if (c == '&') {
        ++pos_;
        if (!Reference()) return false;
      } else if (!Character()) {
        return false;
      }
    }
    if (AtEnd()) return false;
    ++pos_;
    return true;
  }

  // A start tag after its "<": its name and attributes. `empty` tells whether it closed itself.
  bool StartTag(std::u16string_view* name, bool* empty) {
    if (!Name(name)) return false;
    std::vector<std::u16string_view> attributes;
    for (;;) {
      const bool blank = SkipSpace();
      if (Skip(u"/>")) {
        *empty = true;
        return true;
      }
      if (Skip(u">")) {
        *empty = false;
        return true;
      }
      std::u16string_view attribute;
      if (!blank || !Name(&attribute)) return false;
      for (const auto& seen : attributes) {
        if (seen == attribute) return false;
      }
      if (attributes.size() == kMaxAttributes) return false;
      attributes.push_back(attribute);
      SkipSpace();
      if (!Skip(u"=")) return false;
      SkipSpace();
      if (AtEnd() || (t_[pos_] != '"' && t_[pos_] != '\'')) return false;
      if (!AttributeValue(t_[pos_++])) return false;
    }
  }

  // Text up to the next "<" (or the end, which the caller refuses).
  bool Text(Wanted* capture) {
    const size_t from = pos_;
    if (capture == nullptr) {
      // Most of a template is printable text outside the two names: passed over at once, the
      // rest checked below.
      const size_t end = std::min(t_.size(), from + kMaxRunLength);
      while (pos_ < end) {
        const char16_t c = t_[pos_];
        if (c < 0x20 || c >= 0xD800 || c == '<' || c == '&' || c == ']') break;
        ++pos_;
      }
    }
    while (!AtEnd() && t_[pos_] != '<') {
      if (pos_ - from > kMaxRunLength) return false;
      const char16_t c = t_[pos_];
      if (c == '&') {
        ++pos_;
        if (!Reference()) return false;
        if (capture != nullptr) capture->unclear = true;
        continue;
      }
      if (c == ']' && t_.substr(pos_, 3) == u"]]>") return false;
      if (!Character()) return false;
      if (capture != nullptr && (c <= 0x20 || c >= 0x7F)) capture->unclear = true;
    }
    if (capture != nullptr && !capture->unclear) {
      if (capture->text.empty()) {
        capture->text = t_.substr(from, pos_ - from);
      } else {
        capture->unclear = true;  // text split by markup
      }
    }
    return true;
  }

  Wanted* WantedFor(size_t depth, std::u16string_view name) {
    if (!wantNames_ || depth != 1) return nullptr;
    if (name == u"templateid") return id_.found ? nullptr : &id_;
    if (name == u"templatever") return ver_.found ? nullptr : &ver_;
    return nullptr;
  }

  // The document element and everything in it, without recursion.
  bool Element() {
    std::vector<std::u16string_view> open;
    Wanted* capture = nullptr;
    ++pos_;  // "<"
    for (;;) {
      std::u16string_view name;
      bool empty = false;
      if (!StartTag(&name, &empty)) return false;
      if (open.empty()) root_ = name;
      if (capture != nullptr) capture->unclear = true;  // an element inside a wanted one
      if (Wanted* wanted = WantedFor(open.size(), name)) {
        wanted->found = true;
        if (!empty) capture = wanted;
      }
      if (empty) {
        if (open.empty()) return true;
      } else {
        if (open.size() == kMaxDepth) return false;
        open.push_back(name);
      }
      // Content up to the next start tag, or the end of the document element.
      for (;;) {
        if (!Text(capture)) return false;
        if (AtEnd()) return false;
        if (Skip(u"</")) {
          std::u16string_view closing;
          if (!Name(&closing) || closing != open.back()) return false;
          SkipSpace();
          if (!Skip(u">")) return false;
          open.pop_back();
          if (open.size() == 1) capture = nullptr;
          if (open.empty()) return true;
          continue;
        }
        if (Skip(u"<!--")) {
          if (capture != nullptr) capture->unclear = true;
          if (!Comment()) return false;
          continue;
        }
        if (Skip(u"<![CDATA[")) {
          if (capture != nullptr) capture->unclear = true;
          if (!CharacterData()) return false;
          continue;
        }
        if (Ahead(u"<!") || Ahead(u"<?")) return false;
        ++pos_;  // "<" of the next start tag
        break;
      }
    }
  }

  std::u16string_view t_;
  size_t pos_ = 0;
  Declaration declaration_;
  bool wantNames_;
  std::u16string_view root_;
  Wanted id_;
  Wanted ver_;
};

}  // namespace

std::optional<TemplateNames> ReadTemplateNames(std::string_view fileBytes) {
  std::optional<std::u16string> text;
  Declaration declaration = Declaration::Refused;
  if (fileBytes.size() >= 2 && fileBytes.substr(0, 2) == "\xFF\xFE") {
    text = FromUtf16Le(fileBytes.substr(2));
    declaration = Declaration::Utf16;
  } else {
    if (fileBytes.size() >= 3 && fileBytes.substr(0, 3) == "\xEF\xBB\xBF") fileBytes.remove_prefix(3);
    text = FromUtf8(fileBytes);
    declaration = Declaration::Utf8;
  }
  if (!text) return std::nullopt;
  Reader reader(*text, declaration, true);
  if (!reader.Document()) return std::nullopt;
  return reader.Names();
}

bool IsPlainDocument(std::string_view utf8Text) {
  const std::optional<std::u16string> text = FromUtf8(utf8Text);
  if (!text) return false;
  Reader reader(*text, Declaration::Refused, false);
  return reader.Document();
}

}  // namespace kdht::plainxml
