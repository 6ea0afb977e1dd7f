// The layout editor for TOML. The text has already been read by our TOML
// reader, so the scanner here only locates: every key/value line and table
// header with its full path (array-of-tables elements counted), the members
// of inline tables, and the comment lines above each. Edits are byte ranges
// applied to the original text in one pass.
#include <algorithm>
#include <cstring>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "drivers/file_io.hpp"
#include "drivers/formats.hpp"
#include "drivers/layout.hpp"
#include "drivers/toml_read.hpp"

namespace zub::layout {

namespace {

constexpr std::size_t none = std::string_view::npos;
constexpr std::string_view datetime_key = "$__toml_private_datetime";

using Path = std::vector<std::string>;

// An array-of-tables element in a path: a byte no decoded key holds.
std::string index_part(std::size_t i) { return "\xFF" + std::to_string(i); }

// A path as one string: each part with its length in front, so that a
// path is a prefix of another exactly when it names an ancestor (a key may
// hold any byte). The scanner keeps every statement's path in one buffer
// instead of a vector of strings per line.
void add_part(std::string& out, std::string_view part) {
  auto n = static_cast<std::uint32_t>(part.size());
  out.append(reinterpret_cast<const char*>(&n), sizeof n);
  out.append(part);
}
std::string encoded(const Path& p) {
  std::string s;
  for (const auto& part : p) add_part(s, part);
  return s;
}
// The first part of an encoded path.
std::string_view first_part(std::string_view path) {
  std::uint32_t n = 0;
  std::memcpy(&n, path.data(), sizeof n);
  return path.substr(sizeof n, n);
}

struct Key {
  std::size_t begin = 0, end = 0;
  std::size_t parts = 0;
};

struct Field;

// A value's text; an inline table also lists its members.
struct Val {
  std::size_t begin = 0, end = 0;
  char open = 0;  // '{', '[' or 0 for a scalar
  std::vector<Field> members;
};

struct Field {
  Key key;
  std::string name;  // encoded, as the key's parts
  Val value;
  std::size_t comma = none;
};

struct Stmt {
  bool header = false, array_header = false;
  std::size_t line_begin = 0, comments_begin = 0, line_end = 0;
  Key key;
  Val value;
  // Full, with array-of-tables elements: encoded, in the scanner's buffer.
  std::size_t path_at = 0, path_size = 0;
  std::size_t depth = 0;  // parts in the path
  std::size_t section = none;  // the header it falls under
  std::size_t section_end = 0;  // headers: the end of their last statement
};

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_bare(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A byte that can tell a header from a line inside a value: a line break,
// a quote, a comment, a bracket or a brace.
constexpr bool is_line_structural(char c) {
  return c == '\n' || c == '"' || c == '\'' || c == '#' || c == '[' || c == ']' || c == '{' || c == '}';
}

// The first such byte from `p`, or end; sixteen bytes at a time where SSE2
// is there (every x86-64).
const char* next_line_structural(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i nl = _mm_set1_epi8('\n'), quote = _mm_set1_epi8('"'), apostrophe = _mm_set1_epi8('\''),
                hash = _mm_set1_epi8('#');
  // With bit 0x20 cleared '{' and '}' are '[' and ']', and nothing else is.
  const __m128i fold = _mm_set1_epi8(static_cast<char>(~0x20));
  const __m128i open = _mm_set1_epi8('['), close = _mm_set1_epi8(']');
  for (; end - p >= 16; p += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i folded = _mm_and_si128(v, fold);
    const __m128i hit = _mm_or_si128(
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, nl), _mm_cmpeq_epi8(v, quote)),
                     _mm_or_si128(_mm_cmpeq_epi8(v, apostrophe), _mm_cmpeq_epi8(v, hash))),
        _mm_or_si128(_mm_cmpeq_epi8(folded, open), _mm_cmpeq_epi8(folded, close)));
    if (const int bits = _mm_movemask_epi8(hit)) return p + __builtin_ctz(static_cast<unsigned>(bits));
  }
#endif
  while (p < end && !is_line_structural(*p)) ++p;
  return p;
}

class Scanner {
 public:
  explicit Scanner(std::string_view t) : t_(t) {}

  // Every header, and every key/value of the root's section or of a section
  // under one of the root's members in `wanted` (sorted), with the paths in
  // one buffer. The key/values of other sections are only passed over: an
  // edit never looks at them, and recording them was most of an edit's cost.
  // Where the check of this text recorded its headers, passing over is a
  // jump to the next one.
  bool document(std::vector<Stmt>& out, std::string& paths, const std::vector<std::string_view>& wanted,
                const toml::Sections* marks) {
    if (marks && (!marks->complete || marks->size != t_.size())) marks = nullptr;
    std::size_t next_mark = 0;
    bool header_kept = false;
    std::unordered_map<std::string, std::size_t> arrays;  // array-of-tables path -> elements
    std::size_t section = none, section_depth = 0;
    bool section_wanted = true;  // the root's own section always is
    std::string section_path, key_path;
    std::size_t prev_end = 0;
    while (more()) {
      std::size_t line_begin = at_;
      blanks();
      if (!more()) break;
      if (t_[at_] == '\n' || t_[at_] == '\r' || t_[at_] == '#') {
        if (!line_rest()) return false;
        continue;
      }
      Stmt s;
      s.line_begin = line_begin;
      s.comments_begin = comments_above(line_begin, prev_end);
      if (t_[at_] == '[') {
        s.header = true;
        s.array_header = at_ + 1 < t_.size() && t_[at_ + 1] == '[';
        at_ += s.array_header ? 2 : 1;
        blanks();
        // A header under a member no edit looks at is only passed over; the
        // first is kept, as a new root key/value goes above it.
        key_path.clear();
        const std::size_t key_at = at_;
        if (!key(s.key, key_path, 1)) return false;
        if (header_kept && !std::binary_search(wanted.begin(), wanted.end(), first_part(key_path))) {
          const void* nl = std::memchr(t_.data() + at_, '\n', t_.size() - at_);
          at_ = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - t_.data()) + 1 : t_.size();
          prev_end = at_;
          section = none;
          section_wanted = false;
          continue;
        }
        header_kept = true;
        at_ = key_at;
        s.key = Key{};
        key_path.clear();
        if (!key(s.key, key_path)) return false;
        blanks();
        if (!eat(']') || (s.array_header && !eat(']'))) return false;
        section_path.clear();
        std::string_view parts = key_path;
        for (std::size_t i = 0; i < s.key.parts; ++i) {
          std::string_view part = first_part(parts);
          parts.remove_prefix(sizeof(std::uint32_t) + part.size());
          add_part(section_path, part);
          ++s.depth;
          bool last = i + 1 == s.key.parts;
          if (last && s.array_header) {
            add_part(section_path, index_part(arrays[section_path]++));
            ++s.depth;
          } else if (auto found = arrays.empty() ? arrays.end() : arrays.find(section_path); found != arrays.end()) {
            add_part(section_path, index_part(found->second - 1));
            ++s.depth;
          }
        }
        s.path_at = paths.size();
        paths += section_path;
        section = out.size();
        section_depth = s.depth;
        s.section_end = 0;
        section_wanted = std::binary_search(wanted.begin(), wanted.end(), first_part(section_path));
      } else if (!section_wanted) {
        const std::size_t last = marks ? jump(*marks, next_mark) : pass_section();
        if (last == none) return false;
        prev_end = last;
        if (section != none) out[section].section_end = last;
        continue;
      } else {
        key_path.clear();
        if (!key(s.key, key_path)) return false;
        blanks();
        if (!eat('=')) return false;
        blanks();
        if (!value(s.value, 0)) return false;
        s.section = section;
        s.path_at = paths.size();
        paths += section_path;
        paths += key_path;
        s.depth = section_depth + s.key.parts;
      }
      s.path_size = paths.size() - s.path_at;
      blanks();
      if (!line_rest()) return false;
      s.line_end = at_;
      prev_end = at_;
      if (!s.header && section != none) out[section].section_end = at_;
      if (s.header) s.section_end = at_;
      out.push_back(std::move(s));
    }
    return true;
  }

  // From a key/value of a section no edit looks at, past its lines up to the
  // next header (the start of its line) or the end. Brackets, strings and
  // comments are followed only to tell a header from a line inside a value.
  // Gives where the line of the section's last key/value ends.
  std::size_t pass_section() {
    const char* end = t_.data() + t_.size();
    std::size_t depth = 0, last = none;
    bool statement = true;  // the line holds a key/value (or its value goes on)
    for (;;) {
      at_ = static_cast<std::size_t>(next_line_structural(t_.data() + at_, end) - t_.data());
      if (!more()) return depth == 0 ? (statement ? t_.size() : last) : none;
      switch (t_[at_]) {
        case '"':
        case '\'':
          if (!string(nullptr)) return none;
          break;
        case '#':
          while (more() && t_[at_] != '\n') ++at_;
          break;
        case '[':
        case '{':
          ++depth;
          ++at_;
          break;
        case ']':
        case '}':
          if (depth-- == 0) return none;
          ++at_;
          break;
        default: {  // a line break
          ++at_;
          if (depth > 0) break;
          if (statement) last = at_;
          std::size_t i = at_;
          while (i < t_.size() && is_blank(t_[i])) ++i;
          if (i == t_.size() || t_[i] == '[') return last;
          statement = t_[i] != '\n' && t_[i] != '\r' && t_[i] != '#';
        }
      }
    }
  }

  // pass_section by the recorded headers: the next one after at_, or the
  // end of the text. A mark that is no header's line (recorded from another
  // text) leaves it to pass_section.
  std::size_t jump(const toml::Sections& marks, std::size_t& next) {
    const auto& hs = marks.headers;
    while (next < hs.size() && hs[next].line <= at_) ++next;
    if (next == hs.size()) {
      at_ = t_.size();
      return marks.end;
    }
    std::size_t i = hs[next].line;
    while (i < t_.size() && is_blank(t_[i])) ++i;
    if (i == t_.size() || t_[i] != '[' || (hs[next].line > 0 && t_[hs[next].line - 1] != '\n')) return pass_section();
    at_ = hs[next].line;
    return hs[next].before;
  }

  // Where the n-th part of the key at `at` ends.
  std::size_t part_end(std::size_t at, std::size_t n) {
    at_ = at;
    Key k;
    std::string parts;
    key(k, parts, n);
    return k.end;
  }

 private:
  bool more() const { return at_ < t_.size(); }
  bool eat(char c) {
    if (!more() || t_[at_] != c) return false;
    ++at_;
    return true;
  }
  void blanks() {
    while (more() && is_blank(t_[at_])) ++at_;
  }
  // Blank space, new lines and comments, as between array elements.
  void space() {
    while (more()) {
      char c = t_[at_];
      if (is_blank(c) || c == '\n' || c == '\r') {
        ++at_;
      } else if (c == '#') {
        while (more() && t_[at_] != '\n') ++at_;
      } else {
        return;
      }
    }
  }
  // The end of a line: a comment, then the new line (or the end).
  bool line_rest() {
    if (more() && t_[at_] == '#')
      while (more() && t_[at_] != '\n') ++at_;
    if (more() && t_[at_] == '\r') ++at_;
    if (!more()) return true;
    return eat('\n');
  }

  // The start of the comment lines directly above a line, not before the
  // end of the previous statement.
  std::size_t comments_above(std::size_t line_begin, std::size_t floor) const {
    std::size_t begin = line_begin;
    while (begin > floor) {
      std::size_t start = begin - 1;  // the previous line's new line
      while (start > floor && t_[start - 1] != '\n') --start;
      std::size_t i = start;
      while (i < begin && is_blank(t_[i])) ++i;
      if (i >= begin || t_[i] != '#') break;
      begin = start;
    }
    return begin;
  }

  // A key (its first `limit` parts); the decoded parts go to path, encoded.
  bool key(Key& k, std::string& path, std::size_t limit = none) {
    k.begin = at_;
    for (;;) {
      if (!more()) return false;
      std::size_t length_at = path.size();
      add_part(path, "");
      if (t_[at_] == '"' || t_[at_] == '\'') {
        if (!string(&path)) return false;
      } else {
        std::size_t b = at_;
        while (more() && is_bare(t_[at_])) ++at_;
        if (at_ == b) return false;
        path.append(t_.substr(b, at_ - b));
      }
      auto n = static_cast<std::uint32_t>(path.size() - length_at - sizeof(std::uint32_t));
      std::memcpy(path.data() + length_at, &n, sizeof n);
      ++k.parts;
      k.end = at_;
      if (k.parts == limit) return true;
      std::size_t mark = at_;
      blanks();
      if (more() && t_[at_] == '.') {
        ++at_;
        blanks();
        continue;
      }
      at_ = mark;
      return true;
    }
  }

  // A string of any kind; single-line ones decoded into out when given.
  bool string(std::string* out) {
    char q = t_[at_];
    if (t_.substr(at_, 3) == std::string_view(q == '"' ? "\"\"\"" : "'''")) {
      if (out) return false;  // a multi-line string is no key
      at_ += 3;
      for (;;) {
        if (!more()) return false;
        if (q == '"' && t_[at_] == '\\') {
          at_ += 2;
          continue;
        }
        if (t_[at_] == q && t_.substr(at_, 3) == std::string_view(q == '"' ? "\"\"\"" : "'''")) {
          std::size_t run = 0;
          while (at_ + run < t_.size() && t_[at_ + run] == q && run < 5) ++run;
          at_ += run;
          return true;
        }
        ++at_;
      }
    }
    ++at_;
    while (more() && t_[at_] != q) {
      char c = t_[at_];
      if (c == '\n') return false;
      if (q == '"' && c == '\\') {
        if (at_ + 1 >= t_.size()) return false;
        char e = t_[at_ + 1];
        at_ += 2;
        if (!out) continue;
        switch (e) {
          case 'b': *out += '\b'; break;
          case 't': *out += '\t'; break;
          case 'n': *out += '\n'; break;
          case 'f': *out += '\f'; break;
          case 'r': *out += '\r'; break;
          case 'e': *out += '\x1b'; break;
          case '"': *out += '"'; break;
          case '\\': *out += '\\'; break;
          case 'x': case 'u': case 'U': {
            std::size_t n = e == 'x' ? 2 : e == 'u' ? 4 : 8;
            if (at_ + n > t_.size()) return false;
            std::uint32_t cp = 0;
            for (std::size_t i = 0; i < n; ++i) {
              char h = t_[at_ + i];
              int d = is_digit(h) ? h - '0' : (h >= 'a' && h <= 'f') ? h - 'a' + 10 : (h >= 'A' && h <= 'F') ? h - 'A' + 10 : -1;
              if (d < 0) return false;
              cp = cp * 16 + static_cast<std::uint32_t>(d);
            }
            at_ += n;
            io::append_utf8(*out, cp);
            break;
          }
          default:
            return false;
        }
        continue;
      }
      if (out) *out += c;
      ++at_;
    }
    return eat(q);
  }

  bool value(Val& v, int depth) {
    if (depth > 200 || !more()) return false;
    v.begin = at_;
    char c = t_[at_];
    if (c == '"' || c == '\'') {
      if (!string(nullptr)) return false;
    } else if (c == '[') {
      v.open = '[';
      ++at_;
      for (;;) {
        space();
        if (eat(']')) break;
        Val e;
        if (!value(e, depth + 1)) return false;
        space();
        if (eat(']')) break;
        if (!eat(',')) return false;
      }
    } else if (c == '{') {
      v.open = '{';
      ++at_;
      for (;;) {
        space();
        if (eat('}')) break;
        Field m;
        if (!key(m.key, m.name)) return false;
        blanks();
        if (!eat('=')) return false;
        blanks();
        if (!value(m.value, depth + 1)) return false;
        space();
        if (more() && t_[at_] == ',') m.comma = at_++;
        bool comma = m.comma != none;
        v.members.push_back(std::move(m));
        space();
        if (eat('}')) break;
        if (!comma) return false;
      }
    } else {
      std::size_t b = at_;
      auto token = [&] {
        while (more() && !is_blank(t_[at_]) && t_[at_] != '\n' && t_[at_] != '\r' && t_[at_] != ',' &&
               t_[at_] != ']' && t_[at_] != '}' && t_[at_] != '#')
          ++at_;
      };
      token();
      // A date and a time may be parted by a space.
      if (at_ - b == 10 && t_[b + 4] == '-' && at_ + 1 < t_.size() && t_[at_] == ' ' && is_digit(t_[at_ + 1])) {
        ++at_;
        token();
      }
      if (at_ == b) return false;
    }
    v.end = at_;
    return true;
  }

  std::string_view t_;
  std::size_t at_ = 0;
};

struct Edit {
  std::size_t begin, end;
  std::string text;
  // At one place: new key/values, then new sections (which would take the
  // key/values after them), then what replaces text.
  enum Order { key_value, section, range } order;
};

bool is_datetime(const Value& v) {
  const Object* o = v.if_object();
  if (!o || o->size() != 1) return false;
  const Member& m = *o->begin();
  return m.key == datetime_key && m.value.kind() == Value::Kind::string;
}
bool is_table(const Value& v) { return v.is_object() && !is_datetime(v); }
bool is_table_array(const Value& v) {
  if (!v.is_array() || v.as_array().empty()) return false;
  for (const auto& e : v.as_array())
    if (!is_table(e)) return false;
  return true;
}

class TextEditor {
 public:
  explicit TextEditor(std::string_view text) : t_(text) {
    auto nl = text.find('\n');
    crlf_ = nl != none && nl > 0 && text[nl - 1] == '\r';
  }

  // changed: the keys of the root's members that differ, when known.
  std::optional<std::string> run(const Value& before, const Value& after, const std::vector<std::string>* changed,
                                 const toml::Sections* marks) {
    // Every change is under one of these members of the root.
    const Object& was = before.as_object();
    const Object& now = after.as_object();
    if (changed) {
      changed_roots_.assign(changed->begin(), changed->end());
    } else {
      for (const auto& m : was)
        if (const Value* v = now.find(m.key); !v || !(m.value == *v)) changed_roots_.push_back(m.key.view());
      for (const auto& m : now)
        if (!was.find(m.key)) changed_roots_.push_back(m.key.view());
    }
    std::sort(changed_roots_.begin(), changed_roots_.end());
    if (!Scanner(t_).document(stmts_, paths_, changed_roots_, marks)) return std::nullopt;
    table({}, was, now);
    if (cannot_) return std::nullopt;
    return apply();
  }

 private:
  // A key as the writer spells it.
  std::string key_text(std::string_view k) {
    Object o;
    o.insert_or_assign(k, Value(Array{Value(true)}));
    auto text = toml::write(Value(std::move(o)));
    if (!text) return cannot(), std::string();
    return text->substr(0, text->rfind(" = ["));
  }

  // A value on one line, as the writer spells it.
  std::string inline_text(const Value& v) {
    Object o;
    // Beside a plain value, so that a table is not written as a table array.
    o.insert_or_assign("k", Value(Array{v, Value(true)}));
    auto text = toml::write(Value(std::move(o)));
    if (!text) return cannot(), std::string();
    constexpr std::string_view head = "k = [\n    ", tail = ",\n    true,\n]\n";
    return text->substr(head.size(), text->size() - head.size() - tail.size());
  }

  // A key/value's value: arrays of plain values span lines as the writer
  // lays them out.
  std::string entry_text(const Value& v) {
    if (!v.is_array() || is_table_array(v)) return inline_text(v);
    Object o;
    o.insert_or_assign("k", Value(v));
    auto text = toml::write(Value(std::move(o)));
    if (!text) return cannot(), std::string();
    return text->substr(4, text->size() - 5);
  }

  // A changed scalar in the style of the text it replaces, where that
  // style can hold it.
  std::string scalar_text(std::string_view old, const Value& v) {
    if (v.kind() == Value::Kind::string) {
      const std::string_view s = v.as_string();
      bool plain = std::none_of(s.begin(), s.end(), [](char c) {
        auto u = static_cast<unsigned char>(c);
        return (u < 0x20 && c != '\t') || u == 0x7f || c == '\'';
      });
      if (old.starts_with("'''")) {
        bool multi = std::none_of(s.begin(), s.end(), [](char c) {
          auto u = static_cast<unsigned char>(c);
          return (u < 0x20 && c != '\t' && c != '\n') || u == 0x7f || c == '\'';
        });
        // A new line right after the opening quotes is not part of the text.
        std::string_view lead = old.substr(3, 2) == "\r\n" ? "\r\n" : old.substr(3, 1) == "\n" ? "\n" : "";
        if (lead.empty() && s.starts_with('\n')) lead = "\n";
        if (multi) return "'''" + std::string(lead) + std::string(s) + "'''";
      } else if (old.starts_with('\'') && plain) {
        return "'" + std::string(s) + "'";
      }
      if (old.starts_with("\"\"\"")) {
        // The same escapes, but new lines as they are.
        std::string basic = inline_text(v), out = "\"\"\"";
        if (old.substr(3, 1) == "\n" || old.substr(3, 2) == "\r\n") out += '\n';
        for (std::size_t i = 1; i + 1 < basic.size(); ++i) {
          if (basic[i] == '\\' && basic[i + 1] == 'n') {
            out += '\n';
            ++i;
          } else if (basic[i] == '\\') {
            out += basic.substr(i, 2);
            ++i;
          } else {
            out += basic[i];
          }
        }
        return out + "\"\"\"";
      }
      return inline_text(v);
    }
    if (v.kind() == Value::Kind::uint && v.as_uint() <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      std::uint64_t u = v.as_uint();
      std::string_view body = old.starts_with('+') ? old.substr(1) : old;
      if (body.size() > 2 && body[0] == '0' && (body[1] == 'x' || body[1] == 'o' || body[1] == 'b')) {
        unsigned base = body[1] == 'x' ? 16 : body[1] == 'o' ? 8 : 2;
        bool upper = body.find_first_of("ABCDEF") != none;
        std::string digits;
        do {
          unsigned d = static_cast<unsigned>(u % base);
          digits += static_cast<char>(d < 10 ? '0' + d : (upper ? 'A' : 'a') + d - 10);
          u /= base;
        } while (u);
        std::reverse(digits.begin(), digits.end());
        return std::string(body.substr(0, 2)) + digits;
      }
      if (old.find('_') != none && std::all_of(old.begin(), old.end(), [](char c) { return is_digit(c) || c == '_'; })) {
        std::string digits = std::to_string(u), out;
        for (std::size_t i = 0; i < digits.size(); ++i) {
          if (i && (digits.size() - i) % 3 == 0) out += '_';
          out += digits[i];
        }
        return out;
      }
    }
    return inline_text(v);
  }

  void cannot() { cannot_ = true; }
  void replace(std::size_t b, std::size_t e, std::string text, Edit::Order order = Edit::key_value) {
    if (b == e && crlf_) {  // new lines in the file's own line ends
      std::string lines;
      for (char c : text) lines += c == '\n' ? "\r\n" : std::string(1, c);
      text = std::move(lines);
    }
    edits_.push_back({b, e, std::move(text), b == e ? order : Edit::range});
  }

  std::string_view path_of(const Stmt& s) const { return std::string_view(paths_).substr(s.path_at, s.path_size); }

  // The last key/value or header at p. A few lookups search the statements;
  // many (a document changed all over) build an index once.
  const Stmt* find(const Path& p, bool header) {
    std::string key = encoded(p);
    if (++lookups_ > 16 && index_.empty()) {
      for (std::size_t i = 0; i < stmts_.size(); ++i) index_[{path_of(stmts_[i]), stmts_[i].header}] = i;
    }
    if (!index_.empty()) {
      auto f = index_.find({key, header});
      return f == index_.end() ? nullptr : &stmts_[f->second];
    }
    for (std::size_t i = stmts_.size(); i-- > 0;)
      if (stmts_[i].header == header && path_of(stmts_[i]) == key) return &stmts_[i];
    return nullptr;
  }
  const Stmt* entry(const Path& p) { return find(p, false); }
  const Stmt* header(const Path& p) { return find(p, true); }
  // Whether the statement is at p or under it.
  bool at_or_under(const Stmt& s, const std::string& p) const { return path_of(s).starts_with(p); }
  bool under(const Stmt& s, const std::string& p) const {
    return s.path_size > p.size() && path_of(s).starts_with(p);
  }

  // A value held in the text as a key/value's value (or an inline member's).
  void value_at(const Val& at, const Value& before, const Value& after, bool in_inline = false) {
    if (before == after) return;
    if (at.open == '{' && is_table(before) && is_table(after)) return inline_table(at, before.as_object(), after.as_object());
    if (at.open == 0 && !before.is_array() && !is_table(before) && !after.is_array() && !is_table(after))
      return replace(at.begin, at.end, scalar_text(t_.substr(at.begin, at.end - at.begin), after));
    replace(at.begin, at.end, in_inline || is_table(after) ? inline_text(after) : entry_text(after));
  }

  // The last member before i that stays.
  static const Field* last_kept(const std::vector<Field>& ms, std::size_t i, const Object& after) {
    while (i-- > 0)
      if (after.find(first_part(ms[i].name))) return &ms[i];
    return nullptr;
  }

  void inline_table(const Val& at, const Object& before, const Object& after) {
    const auto& ms = at.members;
    auto find = [&](std::string_view k) -> const Field* {
      for (auto it = ms.rbegin(); it != ms.rend(); ++it)
        if (it->key.parts == 1 && first_part(it->name) == k) return &*it;
      return nullptr;
    };
    for (const auto& m : ms)
      if (m.key.parts != 1) return cannot();  // dotted keys inside: left to the writer
    std::vector<const zub::Member*> added;
    for (const auto& m : before) {
      const Field* mine = find(m.key);
      if (!mine) return cannot();
      const Value* now = after.find(m.key);
      if (!now) {
        std::size_t i = static_cast<std::size_t>(mine - ms.data());
        if (mine->comma != none) {
          std::size_t e = mine->comma + 1;
          while (e < t_.size() && is_blank(t_[e])) ++e;
          replace(mine->key.begin, e, "");
        } else if (const Field* kept = last_kept(ms, i, after)) {
          replace(kept->comma, mine->value.end, "");
        } else {
          replace(mine->key.begin, mine->value.end, "");
        }
      } else {
        value_at(mine->value, m.value, *now, true);
      }
    }
    for (const auto& m : after)
      if (!before.find(m.key)) added.push_back(&m);
    if (added.empty()) return;
    std::string text;
    for (const auto* m : added) {
      if (!text.empty()) text += ", ";
      text += key_text(m->key) + " = " + inline_text(m->value);
    }
    if (ms.empty()) return replace(at.begin, at.end, "{ " + text + " }");
    // After the last member still there, or the last one when all go.
    const Field* last = nullptr;
    for (const auto& m : ms)
      if (after.find(first_part(m.name))) last = &m;
    if (!last) return replace(at.begin, at.end, "{ " + text + " }");
    if (last->comma != none && last == &ms.back())
      replace(last->comma + 1, last->comma + 1, " " + text + ",");
    else
      replace(last->value.end, last->value.end, ", " + text);
  }

  // A table held in the text by headers and key/value lines.
  void table(const Path& p, const Object& before, const Object& after) {
    for (const auto& m : before) {
      if (cannot_) return;
      Path child = p;
      child.emplace_back(m.key);
      const Value* now = after.find(m.key);
      if (!now) {
        remove_under(child);
      } else if (p.empty() ? std::binary_search(changed_roots_.begin(), changed_roots_.end(), m.key.view())
                           : !(m.value == *now)) {
        changed(child, m.value, *now);
      }
    }
    // Key/values first: a new section at the same place would take them.
    for (bool sections : {false, true})
      for (const auto& m : after)
        if (!cannot_ && !before.find(m.key) && sections_form(m.value) == sections) add(p, std::string(m.key), m.value);
  }

  static bool sections_form(const Value& v) { return (is_table(v) && !v.as_object().empty()) || is_table_array(v); }

  void changed(const Path& p, const Value& before, const Value& after) {
    if (const Stmt* s = entry(p)) return value_at(s->value, before, after);
    // A table of dotted keys that loses them all would be gone: written anew.
    if (is_table(before) && is_table(after) && (header(p) || !after.as_object().empty()))
      return table(p, before.as_object(), after.as_object());
    if (is_table_array(before) && is_table_array(after) && before.as_array().size() == after.as_array().size()) {
      for (std::size_t i = 0; i < before.as_array().size(); ++i) {
        Path e = p;
        e.push_back(index_part(i));
        if (!header(e)) return cannot();
        table(e, before.as_array()[i].as_object(), after.as_array()[i].as_object());
      }
      return;
    }
    // Another kind: the old one goes, the new one is added as a new member.
    // Sections of a table array that changed size are written again where
    // its first one was.
    std::size_t place = none;
    const std::string at = encoded(p);
    for (const auto& s : stmts_)
      if (s.header && at_or_under(s, at)) {
        place = s.comments_begin;
        break;
      }
    remove_under(p);
    Path parent(p.begin(), p.end() - 1);
    if (!cannot_) add(parent, p.back(), after, place);
  }

  bool blank_line_ends_at(std::size_t line_begin) const {
    std::size_t i = line_begin - 1;  // the new line ending it
    if (i > 0 && t_[i - 1] == '\r') --i;
    while (i > 0 && is_blank(t_[i - 1])) --i;
    return i == 0 || t_[i - 1] == '\n';
  }

  // Every line of a member: its key/value lines, or its headers with their
  // sections, each with the comment lines above.
  void remove_under(const Path& p) {
    bool found = false;
    const std::string at = encoded(p);
    for (const auto& s : stmts_) {
      if (!at_or_under(s, at)) continue;
      found = true;
      // Between two blank lines, one of them goes too.
      std::size_t end = s.header ? s.section_end : s.line_end;
      std::size_t begin = s.comments_begin;
      if (begin > 0 && blank_line_ends_at(begin)) {
        if (end == t_.size()) {  // at the end, the blank line above goes
          --begin;
          while (begin > 0 && t_[begin - 1] != '\n') --begin;
        } else {
          end += t_.substr(end, 1) == "\n" ? 1u : t_.substr(end, 2) == "\r\n" ? 2u : 0u;
        }
      }
      replace(begin, end, "");
    }
    if (!found) cannot();
  }

  std::size_t line_after(std::size_t end, std::string& prefix) const {
    if (end == t_.size() && (end == 0 || t_[end - 1] != '\n')) prefix = "\n";
    return end;
  }

  void add(const Path& p, const std::string& k, const Value& v, std::size_t place = none) {
    bool header_form = sections_form(v);
    bool by_headers = p.empty() || header(p);
    if (header_form && by_headers) {
      // After the parent's last sub-table, or at the end of its section.
      std::size_t at = p.empty() ? t_.size() : header(p)->section_end;
      const std::string parent = encoded(p);
      for (const auto& s : stmts_)
        if (s.header && under(s, parent)) at = std::max(at, s.section_end);
      Path named;
      for (const auto& part : p)
        if (!part.starts_with('\xFF')) named.push_back(part);
      std::string dotted;
      for (const auto& part : named) dotted += key_text(part) + ".";
      Object o;
      o.insert_or_assign(k, Value(v));
      auto text = toml::write(Value(std::move(o)));
      if (!text || cannot_) return cannot();
      std::string body;
      for (std::size_t i = 0; i < text->size();) {
        std::size_t e = text->find('\n', i);
        e = e == none ? text->size() : e + 1;
        std::string_view line = std::string_view(*text).substr(i, e - i);
        if (line.starts_with("[[")) {
          body += "[[" + dotted + std::string(line.substr(2));
        } else if (line.starts_with('[')) {
          body += "[" + dotted + std::string(line.substr(1));
        } else {
          body += line;
        }
        i = e;
      }
      std::string prefix;
      at = line_after(at, prefix);
      if (place != none) return replace(place, place, body + "\n", Edit::section);
      return replace(at, at, prefix + (at ? "\n" : "") + body, Edit::section);
    }
    // A key/value after the last one of this table, with its indentation
    // and dotted prefix.
    const Stmt* last = nullptr;
    const std::string parent = encoded(p);
    for (const auto& s : stmts_) {
      if (s.header || !under(s, parent)) continue;
      std::size_t depth = s.section == none ? 0 : stmts_[s.section].depth;
      if (depth > p.size()) continue;
      last = &s;
    }
    std::string line;
    std::size_t at;
    if (last) {
      std::size_t depth = last->section == none ? 0 : stmts_[last->section].depth;
      std::size_t own = p.size() - depth;
      line = std::string(t_.substr(last->line_begin, last->key.begin - last->line_begin));
      if (own) line += std::string(t_.substr(last->key.begin, Scanner(t_).part_end(last->key.begin, own) - last->key.begin)) + ".";
      at = last->line_end;
    } else if (!p.empty() && header(p)) {
      at = header(p)->line_end;
    } else if (p.empty()) {
      at = 0;
      for (const auto& s : stmts_)
        if (s.header) {
          at = s.comments_begin;
          break;
        }
    } else {
      // A table known only by its sub-tables' headers gets its own, above
      // the first of them.
      const Stmt* first = nullptr;
      for (const auto& s : stmts_)
        if (s.header && under(s, parent)) {
          first = &s;
          break;
        }
      if (!first || std::any_of(p.begin(), p.end(), [](const std::string& part) { return part.starts_with('\xFF'); }))
        return cannot();
      std::string name;
      for (const auto& part : p) name += (name.empty() ? "" : ".") + key_text(part);
      return replace(first->comments_begin, first->comments_begin,
                     "[" + name + "]\n" + key_text(k) + " = " + entry_text(v) + "\n\n", Edit::section);
    }
    std::string prefix;
    at = line_after(at, prefix);
    line += key_text(k) + " = " + entry_text(v) + "\n";
    if (p.empty() && !last && at < t_.size()) line += "\n";
    replace(at, at, prefix + line, Edit::key_value);
  }

  std::string apply() {
    std::stable_sort(edits_.begin(), edits_.end(), [](const Edit& a, const Edit& b) {
      return a.begin != b.begin ? a.begin < b.begin : a.order < b.order;
    });
    std::string out;
    out.reserve(t_.size() + 256);
    std::size_t at = 0;
    for (const auto& e : edits_) {
      if (e.begin < at) {  // within a range already removed
        if (e.begin == e.end)
          out += e.text;  // an insertion there goes where the removed text was
        else if (e.text.empty())
          at = std::max(at, e.end);
        continue;
      }
      out.append(t_.substr(at, e.begin - at));
      out += e.text;
      at = e.end;
    }
    out.append(t_.substr(at));
    return out;
  }

  std::string_view t_;
  std::vector<std::string_view> changed_roots_;  // sorted
  std::vector<Stmt> stmts_;
  std::string paths_;  // the statements' paths
  struct PathHash {
    std::size_t operator()(const std::pair<std::string_view, bool>& k) const noexcept {
      return std::hash<std::string_view>()(k.first) ^ k.second;
    }
  };
  std::unordered_map<std::pair<std::string_view, bool>, std::size_t, PathHash> index_;
  std::size_t lookups_ = 0;
  std::vector<Edit> edits_;
  bool cannot_ = false;
  bool crlf_ = false;
};

}  // namespace

namespace {
std::optional<std::string> edit_toml_text(std::string_view text, const Value& before, const Value& after,
                                          const std::vector<std::string>* changed, const toml::Sections* marks) {
  if (!before.is_object() || !after.is_object()) return std::nullopt;
  if (text.starts_with("\xEF\xBB\xBF")) {
    auto edited = TextEditor(text.substr(3)).run(before, after, changed, marks);
    if (edited) edited->insert(0, "\xEF\xBB\xBF");
    return edited;
  }
  return TextEditor(text).run(before, after, changed, marks);
}
}  // namespace

std::optional<std::string> edit_toml(std::string_view text, const Value& before, const Value& after) {
  return edit_toml_text(text, before, after, nullptr, nullptr);
}

std::optional<std::string> edit_toml_members(std::string_view text, const Value& before, const Value& after,
                                             const std::vector<std::string>& changed, const toml::Sections* marks) {
  return edit_toml_text(text, before, after, &changed, marks);
}

}  // namespace zub::layout
