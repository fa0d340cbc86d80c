// The seal's text (declared in Seals.h): pure, so it builds anywhere (the fuzz targets build it
// natively).
#include <array>
#include <cstdint>

#include "platform/Text.h"
#include "scripts/Seals.h"

namespace kdht {
namespace {

constexpr char kSealOpen[] = "<seal>";
constexpr char kSealClose[] = "</seal>";
constexpr char kWordStart[] = "=?utf-8?B?";
constexpr char kWordEnd[] = "?=";
constexpr char kBase64Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64Encode(const std::string& bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const std::uint32_t n = (static_cast<unsigned char>(bytes[i]) << 16) |
                            (static_cast<unsigned char>(bytes[i + 1]) << 8) | static_cast<unsigned char>(bytes[i + 2]);
    out += kBase64Digits[(n >> 18) & 63];
    out += kBase64Digits[(n >> 12) & 63];
    out += kBase64Digits[(n >> 6) & 63];
    out += kBase64Digits[n & 63];
  }
  if (i + 1 == bytes.size()) {
    const std::uint32_t n = static_cast<unsigned char>(bytes[i]) << 16;
    out += kBase64Digits[(n >> 18) & 63];
    out += kBase64Digits[(n >> 12) & 63];
    out += "==";
  } else if (i + 2 == bytes.size()) {
    const std::uint32_t n = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
    out += kBase64Digits[(n >> 18) & 63];
    out += kBase64Digits[(n >> 12) & 63];
    out += kBase64Digits[(n >> 6) & 63];
    out += '=';
  }
  return out;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Strict: whole quads, padding only at the end, no other characters.
bool Base64Decode(const std::string& text, std::string* bytes) {
  if (text.size() % 4 != 0) return false;
  std::string out;
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    std::array<int, 4> v{};
    int padding = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text[i + k];
      if (c == '=') {
        if (!last || k < 2) return false;
        ++padding;
        v[k] = 0;
        continue;
      }
      if (padding > 0) return false;  // data after padding
      v[k] = Base64Value(c);
      if (v[k] < 0) return false;
    }
    const std::uint32_t n = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
    out += static_cast<char>((n >> 16) & 0xFF);
    if (padding < 2) out += static_cast<char>((n >> 8) & 0xFF);
    if (padding < 1) out += static_cast<char>(n & 0xFF);
  }
  *bytes = std::move(out);
  return true;
}

// Blanks, tabs and line ends around a text read back from a file.
std::string TrimWhite(const std::string& s) {
  const char* white = " \t\r\n";
  const size_t first = s.find_first_not_of(white);
  if (first == std::string::npos) return {};
  const size_t last = s.find_last_not_of(white);
  return s.substr(first, last - first + 1);
}

}  // namespace

std::string EncodeWord(const std::string& text) { return kWordStart + Base64Encode(text) + kWordEnd; }

bool DecodeWord(const std::string& word, std::string* text) {
  // "=?" charset "?" encoding "?" encoded-text "?=", charset and encoding in any letter case.
  if (!text::StartsWith(word, "=?") || !text::EndsWith(word, kWordEnd) || word.size() < 4) return false;
  const std::string inner = word.substr(2, word.size() - 4);
  const size_t q1 = inner.find('?');
  if (q1 == std::string::npos) return false;
  const size_t q2 = inner.find('?', q1 + 1);
  if (q2 == std::string::npos || inner.find('?', q2 + 1) != std::string::npos) return false;
  if (text::AsciiUpper(inner.substr(0, q1)) != "UTF-8") return false;
  if (text::AsciiUpper(inner.substr(q1 + 1, q2 - q1 - 1)) != "B") return false;
  return Base64Decode(inner.substr(q2 + 1), text);
}

std::string EncodeSeal(const std::string& checksum) { return kSealOpen + EncodeWord(checksum) + kSealClose; }

bool DecodeSeal(const std::string& sealText, std::string* checksum) {
  const std::string seal = TrimWhite(sealText);
  if (!text::StartsWith(seal, kSealOpen) || !text::EndsWith(seal, kSealClose)) return false;
  const size_t open = sizeof(kSealOpen) - 1;
  const size_t close = sizeof(kSealClose) - 1;
  if (seal.size() < open + close) return false;
  return DecodeWord(TrimWhite(seal.substr(open, seal.size() - open - close)), checksum);
}

}  // namespace kdht
