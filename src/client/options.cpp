// Checks of ClientOptions at construction: what a header line may hold, and values libcurl cannot take.
#include "client/options_check.hpp"

#include <algorithm>
#include <array>
#include <stdexcept>

#include "client/header_line.hpp"
#include "client/retry_rules.hpp"

namespace corvane::detail {
namespace {

// RFC 9110 token characters: a header name is one token.
bool isTokenChar(char c) {
  constexpr std::string_view kSymbols = "!#$%&'*+-.^_`|~";
  return isAsciiAlnum(c) || kSymbols.find(c) != std::string_view::npos;
}

std::string lower(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = asciiLower(c);
  return result;
}

// Headers that frame the request or the upgrade: set by the library or libcurl, never by a caller.
bool isReserved(std::string_view name) {
  constexpr std::array<std::string_view, 7> kReserved = {
      "host", "content-length", "content-type", "transfer-encoding", "connection", "upgrade", "expect"};
  const std::string lowered = lower(name);
  return std::find(kReserved.begin(), kReserved.end(), lowered) != kReserved.end() ||
         lowered.rfind("sec-websocket-", 0) == 0;
}

// CR and LF would end the line early (and start another); HTTP allows no other control byte but HTAB.
bool isControl(char c) { return (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f; }

// The messages name the line by its index: its text may be a secret (a token) or hold control bytes.
void checkHeaderLine(std::string_view line, std::size_t index) {
  const std::string which = "headers[" + std::to_string(index) + "]";
  if (std::any_of(line.begin(), line.end(), isControl)) {
    throw std::invalid_argument(which + " must not contain CR, LF or another control character");
  }
  const auto colon = line.find(':');
  const std::string_view name = line.substr(0, colon == std::string_view::npos ? 0 : colon);
  if (name.empty() || !std::all_of(name.begin(), name.end(), isTokenChar)) {
    throw std::invalid_argument(which + " must be 'Name: value' with a token as name");
  }
  if (line.find_first_not_of(" \t", colon + 1) == std::string_view::npos) {
    throw std::invalid_argument(which + " has no value");
  }
  if (isReserved(name)) throw std::invalid_argument(which + " names a header the library sets: " + std::string(name));
}

void checkNoNul(const std::string& value, const char* what) {
  if (value.find('\0') != std::string::npos) throw std::invalid_argument(std::string(what) + " must not contain NUL");
}

}  // namespace

void checkOptions(const ClientOptions& options) {
  for (std::size_t i = 0; i < options.headers.size(); ++i) checkHeaderLine(options.headers[i], i);
  checkNoNul(options.caFile, "caFile");
  checkNoNul(options.proxy, "proxy");
  if (options.deadline && options.deadline->count() <= 0) throw std::invalid_argument("deadline must be positive");
  if (options.maxConnections <= 0) throw std::invalid_argument("maxConnections must be positive");
  if (options.maxReplyBytes == 0) throw std::invalid_argument("maxReplyBytes must be positive");
  if (options.retryPolicy) checkRetryPolicy(*options.retryPolicy);
}

}  // namespace corvane::detail
