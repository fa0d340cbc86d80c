// The proxy credentials' code text (declared in Download.h): pure, so it builds anywhere (the
// fuzz targets build it natively).
#include "platform/Text.h"
#include "server/Download.h"

namespace kdht {

ProxyCodes DecodeProxyCodes(const std::string& encoded) {
  ProxyCodes codes;
  if (encoded.empty()) return codes;
  for (const std::string& piece : text::Split(encoded, "H")) {
    const std::string digits = text::Trim(piece);
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) {
      return ProxyCodes{{}, 13};
    }
    const long code = std::stol(digits);
    if (code > 255) return ProxyCodes{{}, 5};
    codes.ansi += static_cast<char>(static_cast<unsigned char>(code));
  }
  return codes;
}

}  // namespace kdht
