// TOML: our own reader (toml_read.cpp) and our own writer, which produces a
// fixed layout.
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "drivers/file_io.hpp"
#include "drivers/formats.hpp"
#include "drivers/number_text.hpp"
#include "drivers/toml_read.hpp"

namespace zub::toml {

namespace {

constexpr std::string_view datetime_key = "$__toml_private_datetime";

constexpr auto bare_key_chars = [] {
  std::array<bool, 256> t{};
  for (int c = 0; c < 256; ++c)
    t[static_cast<std::size_t>(c)] = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                     c == '_' || c == '-';
  return t;
}();

bool is_bare_key_char(char c) noexcept { return bare_key_chars[static_cast<unsigned char>(c)]; }

#if defined(__SSE2__)
// One bit per byte of sixteen that a basic string must escape: a control
// character (below 0x20, or 0x7f), '"' or '\\'.
inline unsigned to_escape16(__m128i x) noexcept {
  const __m128i below = _mm_set1_epi8(0x1f);
  const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(x, below), below);
  const __m128i del = _mm_cmpeq_epi8(x, _mm_set1_epi8(0x7f));
  const __m128i quote = _mm_cmpeq_epi8(x, _mm_set1_epi8('"'));
  const __m128i backslash = _mm_cmpeq_epi8(x, _mm_set1_epi8('\\'));
  return static_cast<unsigned>(
      _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(control, del), _mm_or_si128(quote, backslash))));
}
#endif

// ---------------------------------------------------------------------------
// Writing

// Where the writer is, as a chain up to the enclosing section: the dotted
// text is only built when an error names it.
struct KeyPath {
  const KeyPath* parent;
  std::string_view text;
  bool formatted;  // a section header's dotted path rather than one raw key
};

struct Writer {
  io::TextOut& out;
  std::string error;  // empty while all goes well

  static std::string dotted(const KeyPath* at) {
    if (!at) return {};
    std::string head = dotted(at->parent);
    if (at->formatted) {
      if (head.empty() || at->text.empty()) return head + std::string(at->text);
      return head + "." + std::string(at->text);
    }
    if (!head.empty()) head += '.';
    append_key(head, at->text);
    return head;
  }

  bool fail(std::string what, const KeyPath* at) {
    if (error.empty()) {
      error = "TOML serialize error: " + std::move(what);
      if (std::string path = dotted(at); !path.empty()) error += " (at key " + path + ")";
    }
    return false;
  }

  static bool bare_key(std::string_view key) {
    if (key.empty()) return false;
    for (char c : key)
      if (!is_bare_key_char(c)) return false;
    return true;
  }

  static bool plain_char(unsigned char c) { return c >= 0x20 && c != '"' && c != '\\' && c != 0x7f; }

  template <class Text>
  static void append_string(Text& dst, std::string_view s) {
    static constexpr char hex[] = "0123456789ABCDEF";
    dst += '"';
    for (std::size_t i = 0; i < s.size();) {
      // Runs that need no escape are copied whole.
      const char* plain = io::skip_plain<'"', '\\', 0x7f>(s.data() + i, s.data() + s.size(),
                                                          [](unsigned char c) { return !plain_char(c); });
      auto run = static_cast<std::size_t>(plain - s.data());
      dst.append(s.data() + i, run - i);
      if (run == s.size()) break;
      i = run + 1;
      const char ch = s[run];
      const auto c = static_cast<unsigned char>(ch);
      switch (c) {
        case '"': dst += "\\\""; break;
        case '\\': dst += "\\\\"; break;
        case '\b': dst += "\\b"; break;
        case '\t': dst += "\\t"; break;
        case '\n': dst += "\\n"; break;
        case '\f': dst += "\\f"; break;
        case '\r': dst += "\\r"; break;
        default:
          if (c < 0x20 || c == 0x7f) {
            dst += "\\u00";
            dst += hex[c >> 4];
            dst += hex[c & 15];
          } else {
            dst += ch;
          }
      }
    }
    dst += '"';
  }

  template <class Text>
  static void append_key(Text& dst, std::string_view key) {
    if (bare_key(key))
      dst += key;
    else
      append_string(dst, key);
  }

  static std::string child_path(std::string_view path, std::string_view key) {
    std::string p(path);
    if (!p.empty()) p += '.';
    append_key(p, key);
    return p;
  }

  static KeyPath child(const KeyPath* at, std::string_view key) { return KeyPath{at, key, false}; }

  // A member's key or a string value (s views its cell, see value.hpp):
  // up to 15 bytes it is copied as the whole 16-byte cell, then the cursor
  // steps back to the text's end.
  void write_key(std::string_view key) {
    if (key.size() <= text_cell::inline_max && bare_key(key)) {
      out.ensure(16);
      std::memcpy(out.at, key.data(), 16);
      out.at += key.size();
      return;
    }
    append_key(out, key);
  }

  void write_string(std::string_view s) {
#if defined(__SSE2__)
    const std::size_t n = s.size();
    if (n <= text_cell::inline_max) {
      const __m128i cell = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data()));
      if ((to_escape16(cell) & ((1u << n) - 1)) == 0) {
        out.ensure(18);
        *out.at = '"';
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out.at + 1), cell);
        out.at[n + 1] = '"';
        out.at += n + 2;
        return;
      }
    }
#endif
    append_string(out, s);
  }

  // An inline value: arrays stay on one line here.
  bool append_inline(const Value& v, const KeyPath* path) {
    switch (v.kind()) {
      case Value::Kind::null:
        return fail("null values cannot be represented in TOML", path);
      case Value::Kind::boolean:
        out.ensure(5);
        if (v.as_bool())
          out.put("true", 4);
        else
          out.put("false", 5);
        return true;
      case Value::Kind::uint: {
        if (v.as_uint() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
          return fail("integer " + std::to_string(v.as_uint()) +
                          " is beyond the 64-bit signed range of TOML integers",
                      path);
        out.ensure(20);
        out.at = std::to_chars(out.at, out.at + 20, v.as_uint()).ptr;
        return true;
      }
      case Value::Kind::sint:
        out.ensure(20);
        out.at = std::to_chars(out.at, out.at + 20, v.as_sint()).ptr;
        return true;
      case Value::Kind::real:
        out.ensure(io::max_real_chars);
        out.at = io::write_real(out.at, v.as_real());
        return true;
      case Value::Kind::string:
        write_string(v.as_string());
        return true;
      case Value::Kind::array: {
        const auto& a = v.as_array();
        out += '[';
        for (std::size_t i = 0; i < a.size(); ++i) {
          if (i) out += ", ";
          if (!append_inline(a[i], path)) return false;
        }
        out += ']';
        return true;
      }
      case Value::Kind::object: {
        if (auto dt = datetime_text(v)) {
          out += *dt;
          return true;
        }
        const auto& o = v.as_object();
        if (o.empty()) {
          out += "{}";
          return true;
        }
        out += "{ ";
        bool first = true;
        for (const auto& m : o) {
          if (!first) out += ", ";
          first = false;
          write_key(m.key);
          out += " = ";
          KeyPath at = child(path, m.key);
          if (!append_inline(m.value, &at)) return false;
        }
        out += " }";
        return true;
      }
    }
    return true;
  }

  // A plain entry's value: arrays of two or more elements span lines.
  bool append_entry_value(const Value& v, const KeyPath* path) {
    if (!v.is_array() || v.as_array().size() < 2) return append_inline(v, path);
    out += "[\n";
    for (const auto& e : v.as_array()) {
      out += "    ";
      if (!append_inline(e, path)) return false;
      out += ",\n";
    }
    out += ']';
    return true;
  }

  static bool is_table(const Value& v) { return v.is_object() && !datetime_text(v); }

  static bool is_table_array(const Value& v) {
    if (!v.is_array() || v.as_array().empty()) return false;
    for (const auto& e : v.as_array())
      if (!is_table(e)) return false;
    return true;
  }

  // The plain entries of a table, one per line.
  bool write_entries(const Object& o, std::string_view path) {
    const KeyPath section{nullptr, path, true};
    for (const auto& m : o) {
      if (is_table(m.value) || is_table_array(m.value)) continue;
      write_key(m.key);
      out += " = ";
      KeyPath at = child(&section, m.key);
      if (!append_entry_value(m.value, &at)) return false;
      out += '\n';
    }
    return true;
  }

  bool write_sections(const Object& o, const std::string& path) {
    for (const auto& m : o) {
      if (is_table(m.value)) {
        const std::string sub = child_path(path, m.key);
        if (!write_section(m.value.as_object(), sub, false)) return false;
      } else if (is_table_array(m.value)) {
        const std::string sub = child_path(path, m.key);
        for (const auto& e : m.value.as_array())
          if (!write_section(e.as_object(), sub, true)) return false;
      }
    }
    return true;
  }

  bool write_section(const Object& o, const std::string& path, bool array_element) {
    if (!out.empty()) out += '\n';
    out += array_element ? "[[" : "[";
    out += path;
    out += array_element ? "]]\n" : "]\n";
    return write_entries(o, path) && write_sections(o, path);
  }

  // The private object standing for a TOML date-time, when its text is one.
  static std::optional<std::string_view> datetime_text(const Value& v);
};

bool digits(std::string_view s, std::size_t at, std::size_t n) {
  if (at + n > s.size()) return false;
  for (std::size_t i = at; i < at + n; ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

int number(std::string_view s, std::size_t at, std::size_t n) {
  int v = 0;
  for (std::size_t i = at; i < at + n; ++i) v = v * 10 + (s[i] - '0');
  return v;
}

// YYYY-MM-DD with a real day of that month.
bool valid_date(std::string_view s) {
  if (s.size() != 10 || !digits(s, 0, 4) || s[4] != '-' || !digits(s, 5, 2) || s[7] != '-' ||
      !digits(s, 8, 2))
    return false;
  const int y = number(s, 0, 4), m = number(s, 5, 2), d = number(s, 8, 2);
  if (m < 1 || m > 12 || d < 1) return false;
  static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return d <= days[m - 1] + (m == 2 && leap ? 1 : 0);
}

// HH:MM:SS with an optional fraction; seconds are required so that TOML 1.0
// readers take it too.
bool valid_time(std::string_view s) {
  if (s.size() < 8 || !digits(s, 0, 2) || s[2] != ':' || !digits(s, 3, 2) || s[5] != ':' ||
      !digits(s, 6, 2))
    return false;
  if (number(s, 0, 2) > 23 || number(s, 3, 2) > 59 || number(s, 6, 2) > 60) return false;
  if (s.size() == 8) return true;
  return s[8] == '.' && s.size() > 9 && digits(s, 9, s.size() - 9);
}

bool valid_offset(std::string_view s) {
  if (s == "Z" || s == "z") return true;
  return s.size() == 6 && (s[0] == '+' || s[0] == '-') && digits(s, 1, 2) && s[3] == ':' &&
         digits(s, 4, 2) && number(s, 1, 2) <= 23 && number(s, 4, 2) <= 59;
}

bool valid_datetime_text(std::string_view s) {
  if (s.size() >= 3 && s[2] == ':') return valid_time(s);
  if (s.size() == 10) return valid_date(s);
  if (s.size() < 19 || !valid_date(s.substr(0, 10))) return false;
  if (s[10] != 'T' && s[10] != 't' && s[10] != ' ') return false;
  std::string_view rest = s.substr(11);
  std::size_t t = 8;
  if (rest.size() > 8 && rest[8] == '.') {
    t = 9;
    while (t < rest.size() && rest[t] >= '0' && rest[t] <= '9') ++t;
  }
  if (!valid_time(rest.substr(0, t))) return false;
  return t == rest.size() || valid_offset(rest.substr(t));
}

std::optional<std::string_view> Writer::datetime_text(const Value& v) {
  const auto* o = v.if_object();
  if (!o || o->size() != 1) return std::nullopt;
  const auto& m = *o->begin();
  if (m.key != datetime_key || m.value.kind() != Value::Kind::string) return std::nullopt;
  if (!valid_datetime_text(m.value.as_string())) return std::nullopt;
  return std::string_view(m.value.as_string());
}

const char* kind_name(Value::Kind k) {
  switch (k) {
    case Value::Kind::null: return "null";
    case Value::Kind::boolean: return "a boolean";
    case Value::Kind::uint:
    case Value::Kind::sint: return "an integer";
    case Value::Kind::real: return "a float";
    case Value::Kind::string: return "a string";
    case Value::Kind::array: return "an array";
    case Value::Kind::object: return "an object";
  }
  return "a value";
}

}  // namespace

Result<Value> parse(std::string_view text) {
  if (text.empty()) return Value(Object{});
  return read(text);
}

Result<void> write(const Value& root, io::TextSink& sink) {
  if (!root.is_object())
    return type_failure(std::string("TOML serialize error: the root must be an object (a TOML table), not ") +
                        kind_name(root.kind()));
  io::TextOut out(sink);
  Writer w{out, {}};
  const auto& o = root.as_object();
  if (!w.write_entries(o, {}) || !w.write_sections(o, {})) return type_failure(std::move(w.error));
  out.flush();
  return {};
}

Result<std::string> write(const Value& root) {
  std::string text;
  io::StringSink sink(text);
  if (auto written = write(root, sink); !written) return std::move(written).failure();
  return text;
}

}  // namespace zub::toml
