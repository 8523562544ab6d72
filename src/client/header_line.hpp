#pragma once

#include <map>
#include <string>
#include <string_view>

namespace corvane::detail {

/// Stores one received header line ("Name: value\r\n") in `headers`. Lines without a colon (the status
/// line) and the blank line ending the block store nothing. The name is kept exactly; the value loses
/// its leading spaces (not tabs) and keeps trailing white space. A repeated name replaces the old value.
void storeHeaderLine(std::string_view line, std::map<std::string, std::string>& headers);

}  // namespace corvane::detail
