#include "client/utf8.hpp"

#include <cstddef>
#include <stdexcept>

namespace corvane::detail {
namespace {

// The length of the sequence led by `lead` (0: no lead byte), and the range its second byte must lie in:
// narrower than 0x80..0xBF where that excludes overlong forms, surrogates and code points past U+10FFFF.
struct Lead {
  std::size_t length;
  unsigned char secondLow;
  unsigned char secondHigh;
};

Lead leadOf(unsigned char lead) noexcept {
  if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
  if (lead == 0xE0) return {3, 0xA0, 0xBF};
  if (lead == 0xED) return {3, 0x80, 0x9F};
  if (lead >= 0xE1 && lead <= 0xEF) return {3, 0x80, 0xBF};
  if (lead == 0xF0) return {4, 0x90, 0xBF};
  if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
  if (lead == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

bool isContinuation(unsigned char byte) noexcept { return byte >= 0x80 && byte <= 0xBF; }

}  // namespace

bool isValidUtf8(std::string_view text) noexcept {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  for (std::size_t i = 0; i < size;) {
    if (bytes[i] < 0x80) {
      ++i;
      continue;
    }
    const Lead lead = leadOf(bytes[i]);
    if (lead.length == 0 || size - i < lead.length) return false;
    if (bytes[i + 1] < lead.secondLow || bytes[i + 1] > lead.secondHigh) return false;
    for (std::size_t k = 2; k < lead.length; ++k) {
      if (!isContinuation(bytes[i + k])) return false;
    }
    i += lead.length;
  }
  return true;
}

void requireTextMessage(std::string_view text) {
  if (!isValidUtf8(text)) throw std::invalid_argument("send(): the text is not valid UTF-8; nothing was sent");
}

}  // namespace corvane::detail
