#include "client/header_line.hpp"

namespace corvane::detail {

void storeHeaderLine(std::string_view line, std::map<std::string, std::string>& headers) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  const auto colon = line.find(':');
  if (line.empty() || colon == std::string_view::npos) return;
  std::string_view value = line.substr(colon + 1);
  while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  headers.insert_or_assign(std::string(line.substr(0, colon)), std::string(value));
}

}  // namespace corvane::detail
