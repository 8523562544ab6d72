#pragma once

// The UTF-8 check of outgoing text messages: a peer must close a connection that carries invalid text.
#include <string_view>

namespace corvane::detail {

/// Whether `text` is well-formed UTF-8: no stray continuation byte, no truncated or overlong sequence, no
/// surrogate, nothing above U+10FFFF. Allocates nothing.
bool isValidUtf8(std::string_view text) noexcept;

/// Throws std::invalid_argument unless `text` may go out as a text message (valid UTF-8).
void requireTextMessage(std::string_view text);

}  // namespace corvane::detail
