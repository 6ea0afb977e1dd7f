// TOML: toml11 reads (TOML 1.1), our own writer produces a fixed layout.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <exception>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wsign-conversion"
#pragma GCC diagnostic ignored "-Wold-style-cast"
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wcast-align"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#include <toml.hpp>
#pragma GCC diagnostic pop

// toml11 4.4 recovers from an error by skipping ahead to report more of
// them, and two of its skips could run forever on malformed text. These
// specialisations, for the one configuration used here, are the same
// functions with the faults taken out.
//
// The comment skip never advanced inside a comment: a loop without end.
template <>
void toml::detail::skip_comment_block<toml::type_config>(location& loc, const context<type_config>& ctx) {
  while (!loc.eof()) {
    skip_whitespace(loc, ctx);
    if (loc.current() == '#') {
      while (!loc.eof()) {
        const bool line_end = loc.current() == '\n';
        loc.advance();
        if (line_end) break;
      }
    } else if (!syntax::newline(ctx.toml_spec()).scan(loc).is_ok()) {
      return;  // neither a comment nor an empty line
    }
  }
}

// The array skip, on a '=' (a key-value pair cannot be inside an array, so
// a ']' is missing), went back to the start of the line; every enclosing
// skip then met the same '[' again and recursed until the stack ran out.
// Stopping at the '=' keeps the same guess and only ever moves forward.
template <>
void toml::detail::skip_array_like<toml::type_config>(location& loc, const context<type_config>& ctx) {
  const auto& spec = ctx.toml_spec();
  loc.advance();  // the '['
  while (!loc.eof()) {
    const auto c = static_cast<char>(loc.current());
    if (c == '"' || c == '\'') {
      skip_string_like(loc, ctx);
    } else if (c == '#') {
      skip_comment_block(loc, ctx);
    } else if (c == '{') {
      skip_inline_table_like(loc, ctx);
    } else if (c == '[') {
      const auto checkpoint = loc;
      if (syntax::std_table(spec).scan(loc).is_ok() || syntax::array_table(spec).scan(loc).is_ok()) {
        loc = checkpoint;
        break;
      }
      skip_array_like(loc, ctx);
    } else if (c == '=' || c == ']') {
      break;
    } else {
      loc.advance();
    }
  }
}

#include "drivers/file_io.hpp"
#include "drivers/formats.hpp"
#include "drivers/toml_common.hpp"

namespace zub::toml {

namespace {

constexpr std::string_view datetime_key = "$__toml_private_datetime";

// ---------------------------------------------------------------------------
// Reading

// toml11 recurses once per nested array or inline table (and its error
// recovery does too), and builds one table per dotted-key segment, with no
// limit. This linear scan follows the TOML lexical grammar closely enough to
// bound that nesting before toml11 sees the text. Its estimate never falls
// below the real depth (header segments count twice, since each may name an
// array of tables), so rejecting above 2 * max_parse_depth + 1 only rejects
// documents that are really deeper than max_parse_depth; the exact limit is
// applied while converting.
constexpr std::size_t scan_limit = 2 * max_parse_depth + 1;

struct ScanFrame {
  char kind;  // '[' or '{'
  std::size_t depth;
};

bool is_bare_key_char(char c) noexcept {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

// Skips a string starting at text[i] (a quote); returns the offset just past
// it. Single-line strings also end at a line break, as toml11's recovery does.
std::size_t skip_string(std::string_view text, std::size_t i, bool multi_line_allowed) {
  const char q = text[i];
  const bool basic = q == '"';
  if (multi_line_allowed && text.substr(i, 3) == std::string_view(basic ? "\"\"\"" : "'''")) {
    i += 3;
    while (i < text.size()) {
      if (basic && text[i] == '\\') {
        i += 2;
        continue;
      }
      if (text[i] == q && text.substr(i, 3) == std::string_view(basic ? "\"\"\"" : "'''")) {
        i += 3;
        // Up to two more quotes belong to the content.
        while (i < text.size() && text[i] == q) ++i;
        return i;
      }
      ++i;
    }
    return text.size();
  }
  ++i;
  while (i < text.size() && text[i] != '\n') {
    if (basic && text[i] == '\\' && i + 1 < text.size() && text[i + 1] != '\n') {
      i += 2;
      continue;
    }
    if (text[i] == q) return i + 1;
    ++i;
  }
  return i;
}

struct ScanStop {
  std::size_t offset;
  bool control_in_comment;  // otherwise the nesting went too deep
};

// Where the nesting estimate passes scan_limit (or a comment holds a control
// character), if anywhere.
std::optional<ScanStop> scan(std::string_view text) {
  enum class Pos { key, value, after };
  std::vector<ScanFrame> frames;
  std::size_t owner = 1;  // depth of the table the top-level keys go into
  std::size_t segments = 0;
  Pos pos = Pos::key;
  const auto parent = [&] { return frames.empty() ? owner : frames.back().depth; };
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    switch (c) {
      case ' ':
      case '\t':
      case '\r':
        ++i;
        continue;
      case '\n':
        if (frames.empty()) {
          pos = Pos::key;
          segments = 0;
        }
        ++i;
        continue;
      case '#':
        // toml11 lets control characters through in comments; TOML doesn't.
        for (++i; i < text.size() && text[i] != '\n'; ++i) {
          const auto b = static_cast<unsigned char>(text[i]);
          if ((b < 0x20 && b != '\t' && !(b == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) ||
              b == 0x7f)
            return ScanStop{i, true};
        }
        continue;
      case '"':
      case '\'': {
        i = skip_string(text, i, pos == Pos::value);
        if (pos == Pos::key) {
          if (segments == 0) segments = 1;
        } else {
          pos = Pos::after;
        }
        continue;
      }
      case '[':
        if (frames.empty() && pos == Pos::key && segments == 0) {
          // A table header: count its segments up to the closing bracket.
          std::size_t n = 1;
          while (i < text.size() && text[i] == '[') ++i;
          while (i < text.size() && text[i] != ']' && text[i] != '\n') {
            if (text[i] == '"' || text[i] == '\'') {
              i = skip_string(text, i, false);
              continue;
            }
            if (text[i] == '.') {
              ++n;
              if (1 + 2 * n > scan_limit) return ScanStop{i, false};
            }
            ++i;
          }
          owner = 1 + 2 * n;
          pos = Pos::after;
          continue;
        }
        [[fallthrough]];
      case '{': {
        const std::size_t depth = parent() + (segments > 1 ? segments : 1);
        if (depth > scan_limit) return ScanStop{i, false};
        frames.push_back(ScanFrame{c, depth});
        pos = c == '[' ? Pos::value : Pos::key;
        segments = 0;
        ++i;
        continue;
      }
      case ']':
      case '}':
        if (!frames.empty() && frames.back().kind == (c == ']' ? '[' : '{')) frames.pop_back();
        pos = Pos::after;
        segments = 0;
        ++i;
        continue;
      case ',':
        if (!frames.empty()) pos = frames.back().kind == '[' ? Pos::value : Pos::key;
        segments = 0;
        ++i;
        continue;
      case '=':
        pos = Pos::value;
        ++i;
        continue;
      case '.':
        if (pos == Pos::key) {
          ++segments;
          if (parent() + segments > scan_limit) return ScanStop{i, false};
        }
        ++i;
        continue;
      default:
        if (pos == Pos::key) {
          if (segments == 0) segments = 1;
          ++i;
          while (i < text.size() && is_bare_key_char(text[i])) ++i;
          continue;
        }
        if (pos == Pos::value) pos = Pos::after;
        ++i;
        continue;
    }
  }
  return std::nullopt;
}

Failure parse_failure(std::string_view message) {
  return type_failure("TOML parse error: " + std::string(message));
}

Failure scan_failure(std::string_view text, const ScanStop& stop) {
  const auto at = io::position_of(text, stop.offset);
  std::string what = stop.control_in_comment
                         ? "control characters are not allowed in comments"
                         : "nesting beyond " + std::to_string(max_parse_depth) + " levels";
  return parse_failure(what + " at line " + std::to_string(at.line) + " column " +
                       std::to_string(at.column));
}

// toml11 colours its messages only when asked to, but the switch is global.
std::string strip_ansi(std::string s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\x1b' && i + 1 < s.size() && s[i + 1] == '[') {
      i += 2;
      while (i < s.size() && !(s[i] >= '@' && s[i] <= '~')) ++i;
      continue;
    }
    out += s[i];
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

template <class T>
Value datetime_value(const T& dt) {
  std::vector<Member> members;
  members.push_back(Member{std::string(datetime_key), Value(::toml::to_string(dt))});
  return Value(Object::from_unsorted(std::move(members)));
}

// Why a parsed document is refused after all; thrown out of the recursion
// and caught in parse(), never further.
struct Refused {
  std::string what;
};

// RFC 3339 offsets run to 23:59; toml11 takes up to 24:60 and folds the
// excess into the hour, so +12:60 would load as +13:00.
void check_offset(const ::toml::value& v) {
  const auto& o = v.as_offset_datetime().offset;
  if (o.hour >= -23 && o.hour <= 23 && o.minute >= -59 && o.minute <= 59) return;
  const auto& at = v.location();
  throw Refused{"time offset out of range (at most 23:59) at line " + std::to_string(at.first_line_number()) +
                " column " + std::to_string(at.first_column_number())};
}

// depth counts containers from the root, the root being 1.
Value convert(const ::toml::value& v, std::size_t depth) {
  switch (v.type()) {
    case ::toml::value_t::boolean:
      return Value(v.as_boolean());
    case ::toml::value_t::integer:
      return Value::from_int(v.as_integer());
    case ::toml::value_t::floating:
      return Value::from_double(v.as_floating());
    case ::toml::value_t::string:
      return Value(v.as_string());
    case ::toml::value_t::offset_datetime:
      check_offset(v);
      return datetime_value(v.as_offset_datetime());
    case ::toml::value_t::local_datetime:
      return datetime_value(v.as_local_datetime());
    case ::toml::value_t::local_date:
      return datetime_value(v.as_local_date());
    case ::toml::value_t::local_time:
      return datetime_value(v.as_local_time());
    case ::toml::value_t::array: {
      if (depth > max_parse_depth) throw Refused{"nesting beyond " + std::to_string(max_parse_depth) + " levels"};
      const auto& src = v.as_array();
      Array out;
      out.reserve(src.size());
      for (const auto& e : src) out.push_back(convert(e, depth + 1));
      return Value(std::move(out));
    }
    case ::toml::value_t::table: {
      if (depth > max_parse_depth) throw Refused{"nesting beyond " + std::to_string(max_parse_depth) + " levels"};
      const auto& src = v.as_table();
      std::vector<Member> members;
      members.reserve(src.size());
      for (const auto& [k, e] : src) members.push_back(Member{k, convert(e, depth + 1)});
      return Value(Object::from_unsorted(std::move(members)));
    }
    case ::toml::value_t::empty:
      break;
  }
  return Value();
}

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

  bool append_double(double d) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
    std::string_view text(buf, static_cast<std::size_t>(end - buf));
    out += text;
    if (text.find_first_of(".e") == std::string_view::npos) out += ".0";
    return ec == std::errc();
  }

  // An inline value: arrays stay on one line here.
  bool append_inline(const Value& v, const KeyPath* path) {
    switch (v.kind()) {
      case Value::Kind::null:
        return fail("null values cannot be represented in TOML", path);
      case Value::Kind::boolean:
        out += v.as_bool() ? "true" : "false";
        return true;
      case Value::Kind::uint: {
        if (v.as_uint() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
          return fail("integer " + std::to_string(v.as_uint()) +
                          " is beyond the 64-bit signed range of TOML integers",
                      path);
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, v.as_uint());
        out.append(buf, static_cast<std::size_t>(r.ptr - buf));
        return true;
      }
      case Value::Kind::sint: {
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, v.as_sint());
        out.append(buf, static_cast<std::size_t>(r.ptr - buf));
        return true;
      }
      case Value::Kind::real:
        return append_double(v.as_real());
      case Value::Kind::string:
        append_string(out, v.as_string());
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
          append_key(out, m.key);
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
      append_key(out, m.key);
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
  // toml11 reads about a megabyte a second; most settings files need none
  // of what only it handles.
  if (auto quick = parse_common(text)) return std::move(*quick);
  return parse_with_toml11(text);
}

Result<Value> parse_with_toml11(std::string_view text) {
  if (text.empty()) return Value(Object{});
  if (auto stop = scan(text)) return scan_failure(text, *stop);
  try {
    std::vector<unsigned char> bytes(text.begin(), text.end());
    // TOML 1.1 as released: the drafts that toml11 follows also allowed
    // non-ASCII bare keys and control characters in comments (the latter
    // scan() refuses already).
    auto version = ::toml::spec::v(1, 1, 0);
    version.v1_1_0_allow_non_english_in_bare_keys = false;
    version.v1_1_0_allow_control_characters_in_comments = false;
    auto res = ::toml::try_parse<::toml::type_config>(std::move(bytes), "TOML document", version);
    if (res.is_err()) {
      std::string message;
      for (const auto& err : res.unwrap_err()) {
        // toml11 shows the line in a margin only; state it in words too.
        std::string one = ::toml::format_error("", err);
        if (!err.locations().empty()) {
          const auto& where = err.locations().front().first;
          one.insert(std::min(one.find('\n'), one.size()),
                     " at line " + std::to_string(where.first_line_number()) + " column " +
                         std::to_string(where.first_column_number()));
        }
        if (!message.empty()) message += '\n';
        message += one;
      }
      // toml11 appends this to every bad key, which the 1.1 we read refutes.
      constexpr std::string_view stale_hint = "\nHint: non-ASCII scripts are allowed in toml v1.1.0, but not in v1.0.0.";
      std::string shown = strip_ansi(std::move(message));
      for (auto at = shown.find(stale_hint); at != std::string::npos; at = shown.find(stale_hint, at))
        shown.erase(at, stale_hint.size());
      return parse_failure(std::move(shown));
    }
    try {
      return convert(res.unwrap(), 1);
    } catch (const Refused& r) {
      return parse_failure(r.what);
    }
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    return parse_failure(strip_ansi(e.what()));
  }
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
