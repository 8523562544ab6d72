#pragma once

#include <map>
#include <string>
#include <string_view>

namespace corvane::detail {

/// Stores one received header line ("Name: value\r\n") in `headers`. Lines without a colon (the status
/// line) and the blank line ending the block store nothing. The name is kept exactly; the value loses
/// its leading spaces (not tabs) and keeps trailing white space. A repeated name replaces the old value.
void storeHeaderLine(std::string_view line, std::map<std::string, std::string>& headers);

/// ASCII case folding for header names, whatever the host's locale (a Turkish one maps 'I' elsewhere).
constexpr char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr bool isAsciiAlnum(char c) { return (c >= '0' && c <= '9') || (asciiLower(c) >= 'a' && asciiLower(c) <= 'z'); }

/// Whether two header names are equal but for ASCII case.
constexpr bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (asciiLower(a[i]) != asciiLower(b[i])) return false;
  }
  return true;
}

}  // namespace corvane::detail
