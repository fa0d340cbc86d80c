// The seal's text. Any bytes: decoding never fails badly. Any checksum text sealed decodes to
// itself, and a text that decodes as a seal seals again to a text that decodes the same.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "scripts/Seals.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  std::string decoded;
  FUZZ_CHECK(kdht::DecodeWord(kdht::EncodeWord(bytes), &decoded));
  FUZZ_CHECK(decoded == bytes);

  decoded.clear();
  FUZZ_CHECK(kdht::DecodeSeal(kdht::EncodeSeal(bytes), &decoded));
  FUZZ_CHECK(decoded == bytes);

  std::string sealed;
  if (kdht::DecodeSeal(bytes, &sealed)) {
    std::string again;
    FUZZ_CHECK(kdht::DecodeSeal(kdht::EncodeSeal(sealed), &again));
    FUZZ_CHECK(again == sealed);
  }
  std::string word;
  if (kdht::DecodeWord(bytes, &word)) FUZZ_CHECK(kdht::DecodeWord(kdht::EncodeWord(word), &word));
  return 0;
}
