#include "drivers/formats.hpp"

namespace zub {

namespace {
std::size_t hint(const Value& v, std::size_t depth) {
  // Indentation of two spaces per level, quotes, separators and line breaks.
  const std::size_t line = 2 * depth + 8;
  switch (v.kind()) {
    case Value::Kind::string:
      return v.as_string().size() + 8;
    case Value::Kind::array: {
      std::size_t n = line;
      for (const auto& e : v.as_array()) n += line + hint(e, depth + 1);
      return n;
    }
    case Value::Kind::object: {
      std::size_t n = line;
      for (const auto& m : v.as_object()) n += line + 2 * m.key.size() + hint(m.value, depth + 1);
      return n;
    }
    default:
      return 26;
  }
}
}  // namespace

std::size_t text_size_hint(const Value& root) { return hint(root, 0) + 4096; }

}  // namespace zub
