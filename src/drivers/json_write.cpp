// The JSON writer: the standard layout, two spaces per level.
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "drivers/file_io.hpp"
#include "drivers/formats.hpp"

namespace zub::json {

namespace {

// Lookup of the characters a JSON string cannot hold as is: 0 copies the
// byte, 'u' needs \u00XX, anything else is the letter after the backslash.
constexpr auto escape_table = [] {
  std::array<char, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[static_cast<std::size_t>(c)] = 'u';
  t['\b'] = 'b';
  t['\f'] = 'f';
  t['\n'] = 'n';
  t['\r'] = 'r';
  t['\t'] = 't';
  t['"'] = '"';
  t['\\'] = '\\';
  return t;
}();

// Whether any of eight bytes needs an escape, so plain text is skipped a
// word at a time.
constexpr auto any_to_escape = io::word_has_special<'"', '\\'>;

// The shortest form of a double is at most 24 characters ("-2.2250738585072014e-308"),
// and only forms without '.' or 'e' (20 at most) get ".0".
constexpr std::size_t max_real_chars = 26;

constexpr double exact_powers_of_ten[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                          1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Most floats in settings were typed as short decimals. A decimal of at
// most 15 significant digits that reads back as d is the only one that
// does, so it is the shortest form too: found as the first count of
// fraction digits k for which round(|d| * 10^k) / 10^k gives d back (the
// division of two exact operands rounds correctly, as reading does).
// Writes it when fixed notation is no longer than scientific, which is
// where to_chars would choose it as well; returns the end, or nullptr.
char* short_decimal(double d, char* out) noexcept {
  const double a = std::fabs(d);
  if (!(a >= 1e-5 && a < 1e15)) return nullptr;
  for (int k = 0; k <= 20; ++k) {
    const double m = std::nearbyint(a * exact_powers_of_ten[k]);
    if (m >= 1e15) return nullptr;
    if (m / exact_powers_of_ten[k] != a) continue;
    char digits[16];
    const auto n = static_cast<int>(std::to_chars(digits, digits + sizeof digits, static_cast<std::uint64_t>(m)).ptr - digits);
    // Past the first k, m has no trailing zero: a shorter k would have matched.
    int significant = n;
    if (k == 0)
      while (significant > 1 && digits[significant - 1] == '0') --significant;
    const int exponent = n - 1 - k;
    const int fixed = k == 0 ? n : n > k ? n + 1 : k + 2;
    const int scientific = significant + (significant > 1) + 2 + (exponent >= 100 || exponent <= -100 ? 3 : 2);
    if (fixed > scientific) return nullptr;
    char* p = out;
    if (std::signbit(d)) *p++ = '-';
    const auto whole = static_cast<std::size_t>(n), fraction = static_cast<std::size_t>(k);
    if (k == 0) {
      std::memcpy(p, digits, whole);
      p += whole;
      std::memcpy(p, ".0", 2);  // keeps the float a float when read back
      return p + 2;
    }
    if (whole > fraction) {
      std::memcpy(p, digits, whole - fraction);
      p += whole - fraction;
      *p++ = '.';
      std::memcpy(p, digits + whole - fraction, fraction);
      return p + fraction;
    }
    *p++ = '0';
    *p++ = '.';
    std::memset(p, '0', fraction - whole);
    p += fraction - whole;
    std::memcpy(p, digits, whole);
    return p + whole;
  }
  return nullptr;
}

// Streams into the sink through a small buffer, so there is no page-faulting
// of fresh memory and no walk beforehand to size a whole-document string.
// Every token but a string has a small fixed bound, so one check per line
// covers it; strings check per run of plain bytes.
class Writer {
 public:
  explicit Writer(io::TextSink& sink) : out_(sink) {}

  void finish() { out_.flush(); }

  void value(const Value& v, std::size_t indent) {
    switch (v.kind()) {
      case Value::Kind::null: put("null", 4); break;
      case Value::Kind::boolean: v.as_bool() ? put("true", 4) : put("false", 5); break;
      case Value::Kind::uint: out_.at = std::to_chars(out_.at, out_.at + 20, v.as_uint()).ptr; break;
      case Value::Kind::sint: out_.at = std::to_chars(out_.at, out_.at + 20, v.as_sint()).ptr; break;
      case Value::Kind::real: real(v.as_real()); break;
      case Value::Kind::string: string(v.as_string()); break;
      case Value::Kind::array: array(v.as_array(), indent); break;
      case Value::Kind::object: object(v.as_object(), indent); break;
    }
  }

  // Room for the line break, the indentation, a scalar and the punctuation
  // around it; the tree's depth bound keeps indent far below the buffer's size.
  void line_room(std::size_t indent) { out_.ensure(indent + 64); }

 private:
  void put(const char* s, std::size_t n) noexcept { out_.put(s, n); }

  // Indentation up to 32 columns is one fixed-size copy (line_room leaves
  // space for it) instead of a call to memset per line.
  void newline(std::size_t indent) noexcept {
    static constexpr char spaces[32] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                        ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                        ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
    *out_.at++ = '\n';
    if (indent <= sizeof spaces)
      std::memcpy(out_.at, spaces, sizeof spaces);
    else
      std::memset(out_.at, ' ', indent);
    out_.at += indent;
  }

  void array(const Array& a, std::size_t indent) {
    if (a.empty()) return put("[]", 2);
    *out_.at++ = '[';
    bool first = true;
    for (const auto& e : a) {
      line_room(indent + 2);
      if (!first) *out_.at++ = ',';
      first = false;
      newline(indent + 2);
      value(e, indent + 2);
    }
    line_room(indent);
    newline(indent);
    *out_.at++ = ']';
  }

  void object(const Object& o, std::size_t indent) {
    if (o.empty()) return put("{}", 2);
    *out_.at++ = '{';
    bool first = true;
    for (const auto& m : o) {
      line_room(indent + 2);
      if (!first) *out_.at++ = ',';
      first = false;
      newline(indent + 2);
      string(m.key);
      out_.ensure(64);  // ": " and a scalar
      put(": ", 2);
      value(m.value, indent + 2);
    }
    line_room(indent);
    newline(indent);
    *out_.at++ = '}';
  }

  void real(double d) noexcept {
    if (char* end = short_decimal(d, out_.at)) {
      out_.at = end;
      return;
    }
    char* first = out_.at;
    out_.at = std::to_chars(out_.at, out_.at + max_real_chars, d).ptr;
    // Keeps the float a float when read back.
    if (std::string_view(first, static_cast<std::size_t>(out_.at - first)).find_first_of(".e") == std::string_view::npos)
      put(".0", 2);
  }

  // Opening quote already has room; leaves room for the closing one. The
  // cursor lives in a local: stores through a char pointer may alias the
  // buffer's own fields, which would otherwise be reloaded after each byte.
  void string(std::string_view s) {
    static constexpr char hex[] = "0123456789abcdef";
    const char* in = s.data();
    const char* end = in + s.size();
    char* const limit = out_.limit();
    char* p = out_.at;
    *p++ = '"';
    for (;;) {
      const char* run = in;
      for (std::uint64_t word; end - in >= 8; in += 8) {
        std::memcpy(&word, in, 8);
        if (any_to_escape(word)) break;
      }
      if (end - in < 8) {
        // The tail, and most keys whole: padded with spaces, one word too.
        std::uint64_t word = 0x2020202020202020u;
        std::memcpy(&word, in, static_cast<std::size_t>(end - in));
        if (!any_to_escape(word)) in = end;
      }
      while (in != end && escape_table[static_cast<unsigned char>(*in)] == 0) ++in;
      auto n = static_cast<std::size_t>(in - run);
      if (n + 8 <= static_cast<std::size_t>(limit - p)) {
        std::memcpy(p, run, n);
        p += n;
      } else {
        out_.at = p;
        out_.append(std::string_view(run, n));
        out_.ensure(8);
        p = out_.at;
      }
      if (in == end) break;
      auto c = static_cast<unsigned char>(*in++);
      char e = escape_table[c];
      if (e == 'u') {
        char u[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
        std::memcpy(p, u, sizeof u);
        p += sizeof u;
      } else {
        *p++ = '\\';
        *p++ = e;
      }
    }
    *p++ = '"';
    out_.at = p;
  }

  io::TextOut out_;
};

}  // namespace

void write(const Value& root, io::TextSink& sink) {
  Writer writer(sink);
  writer.line_room(0);
  writer.value(root, 0);
  writer.finish();
}

std::string write(const Value& root) {
  return io::collect_text([&root](io::TextSink& sink) { write(root, sink); });
}

}  // namespace zub::json
