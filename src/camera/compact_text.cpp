#include "camera/compact_text.hpp"

#include <vector>

namespace corvane::detail {
namespace {

using Json = nlohmann::json;

struct OpenContainer {
  const Json* container;
  Json::const_iterator next;
};

// Writes `value` if it is a scalar or an empty container; otherwise writes its opening bracket and pushes
// it so that the caller's loop writes its members.
void begin(const Json& value, std::string& out, std::vector<OpenContainer>& open) {
  const bool array = value.is_array();
  if (!array && !value.is_object()) {
    out += value.dump();
  } else if (value.empty()) {
    out += array ? "[]" : "{}";
  } else {
    out += array ? '[' : '{';
    open.push_back({&value, value.begin()});
  }
}

}  // namespace

std::string compactText(const Json& value) {
  std::string out;
  std::vector<OpenContainer> open;
  begin(value, out, open);
  while (!open.empty()) {
    OpenContainer& top = open.back();
    const bool array = top.container->is_array();
    if (top.next == top.container->end()) {
      out += array ? ']' : '}';
      open.pop_back();
      continue;
    }
    if (top.next != top.container->begin()) out += ',';
    if (!array) out.append(Json(top.next.key()).dump()).append(1, ':');
    const Json& member = *top.next;
    ++top.next;  // before begin(), whose push may move `top`
    begin(member, out, open);
  }
  return out;
}

}  // namespace corvane::detail
