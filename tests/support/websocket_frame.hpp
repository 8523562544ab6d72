#pragma once

// WebSocket frames as a server writes them (final, unmasked), built byte by byte: for tests that send what
// a WebSocket library would not (cut, trickled, announcing more than follows), and for benchmarks that
// write pre-encoded frames straight to the socket.
#include <cstdint>
#include <string>
#include <string_view>

namespace corvane::testing {

enum class Opcode : std::uint8_t { text = 0x1, close = 0x8 };

/// The header of a final frame announcing `length` payload bytes, in the shortest length form.
std::string frameHeader(Opcode opcode, std::uint64_t length);
std::string textFrame(std::string_view payload);
std::string closeFrame(std::string_view payload);

}  // namespace corvane::testing
