#include "websocket_frame.hpp"

namespace corvane::testing {

std::string frameHeader(Opcode opcode, std::uint64_t length) {
  std::string header(1, static_cast<char>(0x80 | static_cast<std::uint8_t>(opcode)));
  int lengthBytes = 0;
  if (length < 126) {
    header.push_back(static_cast<char>(length));
  } else if (length <= 0xffff) {
    header.push_back(static_cast<char>(126));
    lengthBytes = 2;
  } else {
    header.push_back(static_cast<char>(127));
    lengthBytes = 8;
  }
  for (int shift = 8 * (lengthBytes - 1); shift >= 0; shift -= 8) {
    header.push_back(static_cast<char>((length >> shift) & 0xff));
  }
  return header;
}

std::string textFrame(std::string_view payload) { return frameHeader(Opcode::text, payload.size()).append(payload); }

std::string closeFrame(std::string_view payload) { return frameHeader(Opcode::close, payload.size()).append(payload); }

}  // namespace corvane::testing
