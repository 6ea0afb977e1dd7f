// The JSON writer: the standard layout, two spaces per level.
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "drivers/file_io.hpp"
#include "drivers/formats.hpp"
#include "drivers/number_text.hpp"

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

#if defined(__SSE2__)
// One bit per byte of sixteen that needs an escape: a control character
// (below 0x20, unsigned), '"' or '\\'.
inline unsigned to_escape16(__m128i x) noexcept {
  const __m128i below = _mm_set1_epi8(0x1f);
  const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(x, below), below);
  const __m128i quote = _mm_cmpeq_epi8(x, _mm_set1_epi8('"'));
  const __m128i backslash = _mm_cmpeq_epi8(x, _mm_set1_epi8('\\'));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(control, _mm_or_si128(quote, backslash))));
}
#else
// Whether any of eight bytes needs an escape, so plain text is skipped a
// word at a time.
constexpr auto any_to_escape = io::word_has_special<'"', '\\'>;

// Keys and strings of up to 15 bytes sit in a 16-byte cell whose unused
// bytes are zero and whose last byte is the length (text_cell): the whole
// cell can be loaded and copied at once, here as two words. These masks
// keep the text's own bytes of each word and turn the rest into spaces,
// which need no escape. Little-endian byte order only; elsewhere the
// general path runs.
struct CellMasks {
  std::uint64_t keep[2], pad[2];
};
constexpr auto cell_masks = [] {
  std::array<CellMasks, 16> t{};
  for (std::size_t n = 0; n < 16; ++n)
    for (std::size_t w = 0; w < 2; ++w) {
      std::uint64_t keep = 0;
      for (std::size_t b = 0; b < 8; ++b)
        if (8 * w + b < n) keep |= std::uint64_t{0xff} << (8 * b);
      t[n].keep[w] = keep;
      t[n].pad[w] = ~keep & 0x2020202020202020u;
    }
  return t;
}();
constexpr bool cells_by_word = std::endian::native == std::endian::little;
#endif

// Separators with the indentation after them: ",\n" then spaces, copied
// as one fixed-size block for the usual depths (the first line of a
// container starts one byte in, without the comma).
constexpr std::size_t short_indent = 32;
constexpr auto separator = [] {
  std::array<char, 2 + short_indent + 8> t{};
  t[0] = ',';
  t[1] = '\n';
  for (std::size_t i = 2; i < t.size(); ++i) t[i] = ' ';
  return t;
}();

// Streams into the sink through a small buffer, so there is no page-faulting
// of fresh memory and no walk beforehand to size a whole-document string.
// The cursor is a local passed along and returned: stores through a char
// pointer may alias the buffer's own fields, which would otherwise be
// reloaded after each byte. A line (separator, indentation, a short key, a
// scalar or a short string) has a small fixed bound, so one check per line
// covers it; long and escaped strings check as they go.
class Writer {
 public:
  explicit Writer(io::TextSink& sink) : out_(sink) {}

  void root(const Value& v) {
    char* p = room(out_.at, line_room(0));
    p = value(p, v, 0);
    out_.at = p;
    out_.flush();
  }

 private:
  static constexpr std::size_t line_room(std::size_t indent) noexcept { return indent + 64; }

  // At least n bytes free from p on.
  char* room(char* p, std::size_t n) {
    if (static_cast<std::size_t>(limit_ - p) >= n) [[likely]]
      return p;
    out_.at = p;
    out_.flush();
    return out_.at;
  }

  // The line break before a container's element (first: no comma), with
  // its indentation.
  static char* line(char* p, std::size_t indent, bool first) noexcept {
    if (indent <= short_indent) [[likely]] {
      std::memcpy(p, separator.data() + first, 2 + short_indent);
      return p + (2 - first) + indent;
    }
    if (!first) *p++ = ',';
    *p++ = '\n';
    std::memset(p, ' ', indent);
    return p + indent;
  }

  char* value(char* p, const Value& v, std::size_t indent) {
    switch (v.kind()) {
      case Value::Kind::null: std::memcpy(p, "null", 4); return p + 4;
      case Value::Kind::boolean:
        if (v.as_bool()) {
          std::memcpy(p, "true", 4);
          return p + 4;
        }
        std::memcpy(p, "false", 5);
        return p + 5;
      case Value::Kind::uint: return io::write_uint(p, v.as_uint());
      case Value::Kind::sint: return io::write_int(p, v.as_sint());
      case Value::Kind::real: return io::write_real(p, v.as_real());
      case Value::Kind::string: return text(p, v.as_string());
      case Value::Kind::array: return array(p, v.as_array(), indent);
      case Value::Kind::object: return object(p, v.as_object(), indent);
    }
    return p;
  }

  char* array(char* p, const Array& a, std::size_t indent) {
    if (a.empty()) {
      std::memcpy(p, "[]", 2);
      return p + 2;
    }
    *p++ = '[';
    const std::size_t inner = indent + 2;
    bool first = true;
    for (const Value& e : a) {
      p = room(p, line_room(inner));
      p = line(p, inner, first);
      first = false;
      p = value(p, e, inner);
    }
    p = room(p, line_room(indent));
    p = line(p, indent, true);
    *p++ = ']';
    return p;
  }

  char* object(char* p, const Object& o, std::size_t indent) {
    if (o.empty()) {
      std::memcpy(p, "{}", 2);
      return p + 2;
    }
    *p++ = '{';
    const std::size_t inner = indent + 2;
    bool first = true;
    for (const Member& m : o) {
      p = room(p, line_room(inner));
      p = line(p, inner, first);
      first = false;
      p = text(p, m.key);
      std::memcpy(p, ": ", 2);
      p += 2;
      p = value(p, m.value, inner);
    }
    p = room(p, line_room(indent));
    p = line(p, indent, true);
    *p++ = '}';
    return p;
  }

  // A key or string value (s views its cell), quoted. Text of up to 15
  // bytes is checked and copied as its whole cell when it needs no escape.
  // Leaves the room of a line after it.
  char* text(char* p, std::string_view s) {
    const std::size_t n = s.size();
#if defined(__SSE2__)
    if (n <= text_cell::inline_max) {
      const __m128i cell = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data()));
      if ((to_escape16(cell) & ((1u << n) - 1)) == 0) [[likely]] {
        *p = '"';
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 1), cell);
        p[n + 1] = '"';
        return p + n + 2;
      }
    }
#else
    if (cells_by_word && n <= text_cell::inline_max) {
      std::uint64_t w0, w1;
      std::memcpy(&w0, s.data(), 8);
      std::memcpy(&w1, s.data() + 8, 8);
      const CellMasks& m = cell_masks[n];
      if (!any_to_escape((w0 & m.keep[0]) | m.pad[0]) && !any_to_escape((w1 & m.keep[1]) | m.pad[1])) [[likely]] {
        *p = '"';
        std::memcpy(p + 1, &w0, 8);
        std::memcpy(p + 9, &w1, 8);
        p[n + 1] = '"';
        return p + n + 2;
      }
    }
#endif
    return escaped(p, s);
  }

  // The first byte from `in` on that needs an escape, or the end of s.
  static const char* next_to_escape(const char* in, std::string_view s) noexcept {
    const char* const end = s.data() + s.size();
#if defined(__SSE2__)
    for (; end - in >= 16; in += 16)
      if (const unsigned found = to_escape16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in))))
        return in + std::countr_zero(found);
    if (in != end && s.size() >= 16) {
      // The tail: the last sixteen bytes, less those checked already.
      const char* last = end - 16;
      const unsigned found = to_escape16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(last))) >> (in - last);
      return found ? in + std::countr_zero(found) : end;
    }
#else
    for (std::uint64_t word; end - in >= 8; in += 8) {
      std::memcpy(&word, in, 8);
      if (any_to_escape(word)) break;
    }
    if (end - in < 8 && s.size() >= 8) {
      // The tail: the last eight bytes, some of them checked already.
      std::uint64_t word;
      std::memcpy(&word, end - 8, 8);
      if (!any_to_escape(word)) return end;
    }
#endif
    while (in != end && escape_table[static_cast<unsigned char>(*in)] == 0) ++in;
    return in;
  }

  // The general case: plain runs copied whole, escapes between them.
  char* escaped(char* p, std::string_view s) {
    static constexpr char hex[] = "0123456789abcdef";
    const char* in = s.data();
    const char* const end = in + s.size();
    *p++ = '"';
    for (;;) {
      const char* run = in;
      in = next_to_escape(in, s);
      const auto n = static_cast<std::size_t>(in - run);
      if (n + 8 <= static_cast<std::size_t>(limit_ - p)) {
        std::memcpy(p, run, n);
        p += n;
      } else {
        out_.at = p;
        out_.append(std::string_view(run, n));
        p = room(out_.at, 8);
      }
      if (in == end) break;
      const auto c = static_cast<unsigned char>(*in++);
      const char e = escape_table[c];
      if (e == 'u') {
        const char u[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
        std::memcpy(p, u, sizeof u);
        p += sizeof u;
      } else {
        *p++ = '\\';
        *p++ = e;
      }
    }
    p = room(p, line_room(0));
    *p++ = '"';
    return p;
  }

  io::TextOut out_;
  char* const limit_ = out_.limit();
};

}  // namespace

void write(const Value& root, io::TextSink& sink) { Writer(sink).root(root); }

std::string write(const Value& root) {
  return io::collect_text([&root](io::TextSink& sink) { write(root, sink); });
}

}  // namespace zub::json
