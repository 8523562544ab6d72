#include "camera/manifest_reader.hpp"

#include <cfenv>
#include <charconv>
#include <limits>
#include <system_error>
#include <utility>

// Every read goes through at()/take() or a loop bounded by end_, so no byte outside the text is touched.
// Every "false" means "outside the subset": the caller falls back to the general parser.
namespace corvane::detail {
namespace {

using Json = nlohmann::json;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Manifest arrays are short (a pose, a shape, a few outputs): room for four from the first element saves
// the reallocations of growing one element at a time.
template <typename T>
void pushBack(std::vector<T>& items, T&& item) {
  if (items.empty()) items.reserve(4);
  items.push_back(std::forward<T>(item));
}

class ManifestReader {
 public:
  explicit ManifestReader(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

  bool read(SimpleManifest& out) {
    skipSpace();
    bool haveStructure = false;
    bool haveArrays = false;
    const bool ok = at('{') && object([&](std::string_view key) {
                      if (key == "structure") return once(haveStructure) && value(out.structure, 2);
                      if (key == "arrays") return once(haveArrays) && descriptors(out.arrays);
                      Json ignored;
                      return value(ignored, 2);
                    });
    skipSpace();
    return ok && haveStructure && haveArrays && p_ == end_;
  }

 private:
  const char* p_;
  const char* end_;

  bool at(char c) const { return p_ != end_ && *p_ == c; }

  bool take(char c) {
    if (!at(c)) return false;
    ++p_;
    return true;
  }

  void skipSpace() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }

  // A member seen twice would need the general parser's last-one-wins rule; not worth it here.
  static bool once(bool& seen) {
    if (seen) return false;
    seen = true;
    return true;
  }

  // `{` ... `}` at p_, calling onMember(key) with p_ at each member's value.
  template <typename OnMember>
  bool object(OnMember&& onMember) {
    ++p_;
    skipSpace();
    if (take('}')) return true;
    for (;;) {
      std::string_view key;
      if (!string(key)) return false;
      skipSpace();
      if (!take(':')) return false;
      skipSpace();
      if (!onMember(key)) return false;
      skipSpace();
      if (take('}')) return true;
      if (!take(',')) return false;
      skipSpace();
    }
  }

  // `[` ... `]` at p_, calling onElement() with p_ at each element.
  template <typename OnElement>
  bool array(OnElement&& onElement) {
    ++p_;
    skipSpace();
    if (take(']')) return true;
    for (;;) {
      if (!onElement()) return false;
      skipSpace();
      if (take(']')) return true;
      if (!take(',')) return false;
      skipSpace();
    }
  }

  // Printable ASCII only: then the text between the quotes is the string's value byte for byte.
  bool string(std::string_view& out) {
    if (!take('"')) return false;
    const char* first = p_;
    for (; p_ != end_; ++p_) {
      const auto c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        out = std::string_view(first, static_cast<std::size_t>(p_ - first));
        ++p_;
        return true;
      }
      if (c < 0x20 || c >= 0x80 || c == '\\') return false;
    }
    return false;
  }

  bool digits() {
    if (p_ == end_ || !isDigit(*p_)) return false;
    while (p_ != end_ && isDigit(*p_)) ++p_;
    return true;
  }

  // A JSON number's text at p_: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
  bool numberText(bool& floating) {
    take('-');
    if (!take('0') && !digits()) return false;
    floating = false;
    if (take('.')) {
      if (!digits()) return false;
      floating = true;
    }
    if (take('e') || take('E')) {
      if (!take('+')) take('-');
      if (!digits()) return false;
      floating = true;
    }
    return true;
  }

  // The decimal digits [first, last) as a 64-bit value; false when it does not fit.
  static bool magnitude(const char* first, const char* last, std::uint64_t& out) {
    std::uint64_t value = 0;
    for (; first != last; ++first) {
      if (__builtin_mul_overflow(value, 10u, &value) ||
          __builtin_add_overflow(value, static_cast<unsigned>(*first - '0'), &value)) {
        return false;
      }
    }
    out = value;
    return true;
  }

  // Integers as the general parser stores them: non-negative ones unsigned, negative ones (and "-0")
  // signed. Integers beyond 64 bits would become floating values there; they are left to it.
  bool number(Json& out) {
    const char* first = p_;
    bool floating = false;
    if (!numberText(floating)) return false;
    if (floating) {
      // from_chars rounds to nearest whatever the host set; strtod (the general parser) follows the
      // current rounding mode. Under another mode the general parser decides.
      if (std::fegetround() != FE_TONEAREST) return false;
      double value = 0;
      const auto [end, error] = std::from_chars(first, p_, value);
      if (error != std::errc() || end != p_) return false;
      out = value;
      return true;
    }
    const bool negative = *first == '-';
    std::uint64_t size = 0;
    if (!magnitude(negative ? first + 1 : first, p_, size)) return false;
    if (!negative) {
      out = size;
      return true;
    }
    constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
    if (size > kMinMagnitude) return false;
    out = size == kMinMagnitude ? std::numeric_limits<std::int64_t>::min() : -static_cast<std::int64_t>(size);
    return true;
  }

  // The member `key` of `object`, added if new. Writers emit sorted keys, so the end is tried first; a
  // repeated key gives the existing member, which its new value then replaces.
  static Json& member(Json& object, std::string_view key) {
    Json::object_t& members = object.get_ref<Json::object_t&>();
    return members.emplace_hint(members.end(), std::string(key), nullptr)->second;
  }

  bool literal(std::string_view word, Json&& result, Json& out) {
    if (static_cast<std::size_t>(end_ - p_) < word.size() || std::string_view(p_, word.size()) != word) return false;
    p_ += word.size();
    out = std::move(result);
    return true;
  }

  // Any value at p_, at nesting level `depth`. Containers replace whatever `out` held, as the general
  // parser's do.
  bool value(Json& out, int depth) {
    if (p_ == end_) return false;
    switch (*p_) {
      case '{':
        if (depth > kManifestDepthLimit) return false;
        out = Json::object();
        return object([&](std::string_view key) { return value(member(out, key), depth + 1); });
      case '[':
        if (depth > kManifestDepthLimit) return false;
        out = Json::array();
        return array([&] {
          Json element;
          if (!value(element, depth + 1)) return false;
          pushBack(out.get_ref<Json::array_t&>(), std::move(element));
          return true;
        });
      case '"': {
        std::string_view text;
        if (!string(text)) return false;
        out = std::string(text);
        return true;
      }
      case 't':
        return literal("true", Json(true), out);
      case 'f':
        return literal("false", Json(false), out);
      case 'n':
        return literal("null", Json(nullptr), out);
      default:
        return number(out);
    }
  }

  // A non-negative integer, as the decoder reads counts.
  bool count(std::uint64_t& out) {
    const char* first = p_;
    if (!take('0') && !digits()) return false;
    if (at('.') || at('e') || at('E')) return false;
    return magnitude(first, p_, out);
  }

  bool shape(std::vector<std::size_t>& out) {
    if (!at('[')) return false;
    return array([&] {
      std::uint64_t dimension = 0;
      if (!count(dimension)) return false;
      pushBack(out, static_cast<std::size_t>(dimension));
      return true;
    });
  }

  bool descriptor(ManifestArray& out) {
    bool haveShape = false;
    bool haveDtype = false;
    bool haveOffset = false;
    bool haveNbytes = false;
    const bool ok = at('{') && object([&](std::string_view key) {
                      if (key == "shape") return once(haveShape) && shape(out.shape);
                      if (key == "offset") return once(haveOffset) && count(out.offset);
                      if (key == "nbytes") return once(haveNbytes) && count(out.nbytes);
                      if (key == "dtype") {
                        std::string_view dtype;
                        if (!once(haveDtype) || !string(dtype)) return false;
                        out.dtype.assign(dtype);
                        return true;
                      }
                      Json ignored;
                      return value(ignored, 4);
                    });
    return ok && haveShape && haveDtype && haveOffset && haveNbytes;
  }

  bool descriptors(std::vector<ManifestArray>& out) {
    if (!at('[')) return false;
    return array([&] {
      ManifestArray entry;
      if (!descriptor(entry)) return false;
      pushBack(out, std::move(entry));
      return true;
    });
  }
};

}  // namespace

std::optional<SimpleManifest> readSimpleManifest(std::string_view text) {
  SimpleManifest manifest;
  if (!ManifestReader(text).read(manifest)) return std::nullopt;
  return manifest;
}

}  // namespace corvane::detail
