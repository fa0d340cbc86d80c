// The proxy credentials' code text. Any text: refused with one of the two failures or read, and
// never both. Any bytes written as codes read back as those bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "server/Download.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  const kdht::ProxyCodes read = kdht::DecodeProxyCodes(bytes);
  FUZZ_CHECK(read.failure == 0 || read.failure == 5 || read.failure == 13);
  if (read.failure != 0) FUZZ_CHECK(read.ansi.empty());
  // At most one byte per piece, one piece more than the separators.
  if (read.failure == 0 && !bytes.empty()) {
    size_t pieces = 1;
    for (char c : bytes) pieces += c == 'H' ? 1 : 0;
    FUZZ_CHECK(read.ansi.size() == pieces);
  }

  std::string codes;
  for (unsigned char c : bytes) {
    if (!codes.empty()) codes += 'H';
    codes += std::to_string(static_cast<unsigned>(c));
  }
  const kdht::ProxyCodes back = kdht::DecodeProxyCodes(codes);
  FUZZ_CHECK(back.failure == 0);
  FUZZ_CHECK(back.ansi == bytes);
  return 0;
}
