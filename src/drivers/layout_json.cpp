// The layout editor for JSON and JSON5: one scanner for both (the text has
// already been read by the format's reader, so the scanner only needs to
// find members, not to validate), then a list of byte-range edits applied
// to the original text in one pass.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "drivers/file_io.hpp"
#include "drivers/layout.hpp"
#include "drivers/text_out.hpp"

namespace zub::layout {

namespace {

constexpr std::size_t none = std::string_view::npos;

struct Entry;

// A value's text: [begin, end); an object also lists its members.
struct Node {
  std::size_t begin = 0;
  std::size_t end = 0;
  char open = 0;  // '{', '[' or 0 for a scalar
  std::vector<Entry> entries;
};

struct Entry {
  std::string key;  // decoded
  char quote = 0;   // '"', '\'' or 0 for an unquoted JSON5 name
  std::size_t key_begin = 0;
  Node value;
  std::size_t comma = none;  // the comma after the value, if any
};

bool is_ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Whether a byte can matter to the end of a bracketed value: a bracket, a
// quote, a comment's slash, or a byte beyond ASCII (maybe a Unicode space).
constexpr bool is_structural(unsigned char c) {
  return c == '"' || c == '\'' || c == '{' || c == '}' || c == '[' || c == ']' || c == '/' || c >= 0x80;
}

// The first byte from `p` that is_structural, or end: sixteen bytes at a
// time where SSE2 is there (every x86-64), since an unchanged subtree is
// mostly names, numbers and indentation that only need passing over.
const char* next_structural(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"'), apostrophe = _mm_set1_epi8('\''), slash = _mm_set1_epi8('/');
  // With bit 0x20 cleared '{' and '}' are '[' and ']', and nothing else is.
  const __m128i fold = _mm_set1_epi8(static_cast<char>(~0x20));
  const __m128i open = _mm_set1_epi8('['), close = _mm_set1_epi8(']');
  for (; end - p >= 16; p += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hit = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, apostrophe)),
        _mm_or_si128(_mm_cmpeq_epi8(v, slash),
                     _mm_or_si128(_mm_cmpeq_epi8(_mm_and_si128(v, fold), open), _mm_cmpeq_epi8(_mm_and_si128(v, fold), close))));
    // High bytes through the sign bit, which movemask reads directly.
    if (const int bits = _mm_movemask_epi8(_mm_or_si128(hit, v))) return p + __builtin_ctz(static_cast<unsigned>(bits));
  }
#endif
  while (p < end && !is_structural(static_cast<unsigned char>(*p))) ++p;
  return p;
}

// The first quote q or backslash from `p`, or end; sixteen bytes at a time
// where SSE2 is there.
template <char q>
const char* next_quote(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8(q), backslash = _mm_set1_epi8('\\');
  for (; end - p >= 16; p += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    if (const int bits = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash))))
      return p + __builtin_ctz(static_cast<unsigned>(bits));
  }
#endif
  while (p < end && *p != q && *p != '\\') ++p;
  return p;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

class Scanner {
 public:
  explicit Scanner(std::string_view text, std::size_t at = 0) : t_(text), at_(at) {}

  // The whole text is one value; its members are listed, theirs are not.
  bool document(Node& root) {
    skip();
    if (!value(root, 1)) return false;
    skip();
    return at_ == t_.size() && !unicode_space_seen_;
  }

  // The object at the scanner's position, with its members listed.
  bool object_members(Node& n) { return value(n, 1) && !unicode_space_seen_; }

  // The member whose quoted key is at the scanner's position (its value's
  // members not listed).
  bool member(Entry& e) {
    if (!more() || t_[at_] != '"') return false;
    e.key_begin = at_;
    e.quote = t_[at_];
    if (!string(nullptr)) return false;
    skip();
    if (!more() || t_[at_] != ':') return false;
    ++at_;
    skip();
    return value(e.value, 0) && !unicode_space_seen_;
  }

 private:
  bool more() const { return at_ < t_.size(); }

  // JSON5's white space beyond ASCII: NBSP, BOM, the Unicode spaces and the
  // line and paragraph separators.
  std::size_t unicode_space(std::size_t i) const {
    if (static_cast<unsigned char>(t_[i]) < 0xC2) return 0;  // ASCII, most of every text
    auto s = t_.substr(i, 3);
    if (s.starts_with("\xC2\xA0")) return 2;
    if (s == "\xEF\xBB\xBF" || s == "\xE1\x9A\x80" || s == "\xE3\x80\x80" || s == "\xE2\x81\x9F") return 3;
    if (s.size() == 3 && s[0] == '\xE2' && s[1] == '\x80') {
      auto c = static_cast<unsigned char>(s[2]);
      if (c <= 0x8A || c == 0xA8 || c == 0xA9 || c == 0xAF) return 3;
    }
    return 0;
  }

  void skip() {
    while (more()) {
      // Indentation first, in a local loop: most of a text is white space.
      std::size_t i = at_;
      while (i < t_.size() && is_ascii_space(t_[i])) ++i;
      at_ = i;
      if (!more()) return;
      char c = t_[at_];
      if (c == '/' && at_ + 1 < t_.size() && t_[at_ + 1] == '/') {
        while (more() && t_[at_] != '\n' && t_[at_] != '\r') ++at_;
      } else if (c == '/' && at_ + 1 < t_.size() && t_[at_ + 1] == '*') {
        auto close = t_.find("*/", at_ + 2);
        at_ = close == none ? t_.size() : close + 2;
      } else if (std::size_t n = unicode_space(at_)) {
        // JSON5 white space, but our reader takes some of it for part of
        // a name in some places: where the edit would change the context
        // of such a space, its reading could change. Such files are left
        // to the standard layout.
        unicode_space_seen_ = true;
        at_ += n;
      } else {
        return;
      }
    }
  }

  // Past a quoted string starting at at_; the content decoded into out when
  // given.
  bool string(std::string* out) {
    char q = t_[at_++];
    if (!out) return skip_string(q);
    while (more()) {
      char c = t_[at_++];
      if (c == q) return true;
      if (c != '\\') {
        if (out) *out += c;
        continue;
      }
      if (!more()) return false;
      char e = t_[at_++];
      if (!out) continue;
      switch (e) {
        case 'b': *out += '\b'; break;
        case 'f': *out += '\f'; break;
        case 'n': *out += '\n'; break;
        case 'r':
          *out += '\r';
          break;
        case 't': *out += '\t'; break;
        case 'v': *out += '\v'; break;
        case '0': *out += '\0'; break;
        case '\n': break;
        case '\r':
          if (more() && t_[at_] == '\n') ++at_;
          break;
        case 'x': {
          if (at_ + 2 > t_.size()) return false;
          int hi = hex_digit(t_[at_]), lo = hex_digit(t_[at_ + 1]);
          if (hi < 0 || lo < 0) return false;
          io::append_utf8(*out, static_cast<std::uint32_t>(hi * 16 + lo));
          at_ += 2;
          break;
        }
        case 'u': {
          auto unit = [&](std::uint32_t& u) {
            if (at_ + 4 > t_.size()) return false;
            u = 0;
            for (int k = 0; k < 4; ++k) {
              int d = hex_digit(t_[at_ + static_cast<std::size_t>(k)]);
              if (d < 0) return false;
              u = u * 16 + static_cast<std::uint32_t>(d);
            }
            at_ += 4;
            return true;
          };
          std::uint32_t cp = 0;
          if (!unit(cp)) return false;
          if (cp >= 0xD800 && cp < 0xDC00) {
            std::uint32_t lo = 0;
            if (!t_.substr(at_).starts_with("\\u")) return false;
            at_ += 2;
            if (!unit(lo) || lo < 0xDC00 || lo > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
          } else if (cp >= 0xDC00 && cp < 0xE000) {
            return false;
          }
          io::append_utf8(*out, cp);
          break;
        }
        default:
          // The line and paragraph separators continue the line too.
          if (e == '\xE2' && (t_.substr(at_, 2) == "\x80\xA8" || t_.substr(at_, 2) == "\x80\xA9")) {
            at_ += 2;
            break;
          }
          *out += e;
      }
    }
    return false;
  }

  // Past a string's content.
  template <char q>
  bool skip_string() {
    const char* end = t_.data() + t_.size();
    for (;;) {
      const char* p = next_quote<q>(t_.data() + at_, end);
      at_ = static_cast<std::size_t>(p - t_.data());
      if (p == end) return false;
      ++at_;
      if (*p == q) return true;
      if (!more()) return false;
      ++at_;  // the escaped byte
    }
  }
  bool skip_string(char q) { return q == '"' ? skip_string<'"'>() : skip_string<'\''>(); }

  // An unquoted JSON5 name, up to the colon or white space.
  bool name(std::string& out) {
    std::size_t start = at_;
    while (more()) {
      char c = t_[at_];
      if (c == ':' || c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '/' || unicode_space(at_)) break;
      if (c == '\\') {
        if (!t_.substr(at_).starts_with("\\u") || at_ + 6 > t_.size()) return false;
        std::uint32_t cp = 0;
        for (int k = 2; k < 6; ++k) {
          int d = hex_digit(t_[at_ + static_cast<std::size_t>(k)]);
          if (d < 0) return false;
          cp = cp * 16 + static_cast<std::uint32_t>(d);
        }
        io::append_utf8(out, cp);
        at_ += 6;
        continue;
      }
      out += c;
      ++at_;
    }
    return at_ > start;
  }

  // Members are listed `levels` objects deep: the editor only looks
  // inside the objects that changed, so the rest is skipped over.
  bool value(Node& n, int levels) {
    if (!more()) return false;
    n.begin = at_;
    char c = t_[at_];
    if (c == '{' && levels > 0) return object(n, levels);
    if (c == '{' || c == '[') {
      n.open = c;
      if (!skip_container()) return false;
      n.end = at_;
      return true;
    }
    if (c == '"' || c == '\'') {
      if (!string(nullptr)) return false;
    } else {
      std::size_t i = at_;
      while (i < t_.size()) {
        char d = t_[i];
        if (d == ',' || d == '}' || d == ']' || d == ' ' || d == '\t' || d == '\n' || d == '\r' || d == '/' ||
            unicode_space(i))
          break;
        ++i;
      }
      at_ = i;
      if (at_ == n.begin) return false;
    }
    n.end = at_;
    return true;
  }

  bool object(Node& n, int levels) {
    n.open = '{';
    ++at_;
    for (;;) {
      skip();
      if (!more()) return false;
      if (t_[at_] == '}') break;
      Entry e;
      e.key_begin = at_;
      char c = t_[at_];
      if (c == '"' || c == '\'') {
        e.quote = c;
        if (!string(levels > 0 ? &e.key : nullptr)) return false;
      } else if (!name(e.key)) {
        return false;
      }
      skip();
      if (!more() || t_[at_] != ':') return false;
      ++at_;
      skip();
      if (!value(e.value, levels - 1)) return false;
      skip();
      bool comma = more() && t_[at_] == ',';
      if (comma) e.comma = at_++;
      if (levels > 0) n.entries.push_back(std::move(e));
      if (!comma) {
        skip();
        if (!more() || t_[at_] != '}') return false;
        break;
      }
    }
    n.end = ++at_;
    return true;
  }

  // Past the object or array at at_ without listing anything: the text has
  // been read already, so only brackets, strings and comments can matter
  // to where it ends. Unicode spaces are noted as skip() notes them.
  bool skip_container() {
    const char* end = t_.data() + t_.size();
    std::size_t depth = 0;
    for (;;) {
      at_ = static_cast<std::size_t>(next_structural(t_.data() + at_, end) - t_.data());
      if (!more()) return false;
      const char c = t_[at_];
      if (c == '{' || c == '[') {
        ++depth;
        ++at_;
      } else if (c == '}' || c == ']') {
        ++at_;
        if (--depth == 0) return true;
      } else if (c == '"' || c == '\'') {
        ++at_;
        if (!skip_string(c)) return false;
      } else if (c == '/') {
        if (at_ + 1 >= t_.size()) return false;
        if (t_[at_ + 1] == '/') {
          while (more() && t_[at_] != '\n' && t_[at_] != '\r') ++at_;
        } else if (t_[at_ + 1] == '*') {
          auto close = t_.find("*/", at_ + 2);
          if (close == none) return false;
          at_ = close + 2;
        } else {
          return false;
        }
      } else if (std::size_t n = unicode_space(at_)) {
        unicode_space_seen_ = true;
        at_ += n;
      } else {
        ++at_;
      }
    }
  }

  std::string_view t_;
  std::size_t at_ = 0;
  bool unicode_space_seen_ = false;
};

struct Edit {
  std::size_t begin;
  std::size_t end;
  std::string text;
};

bool is_blank(char c) { return c == ' ' || c == '\t'; }

class TextEditor {
 public:
  // root_changes: when known, the keys of the root's members that differ
  // (sorted), which are then not looked for by comparing the trees.
  TextEditor(std::string_view text, bool json5, const std::vector<std::string>* root_changes)
      : t_(text), json5_(json5), root_changes_(root_changes) {}

  std::optional<std::string> run(const Value& before, const Value& after,
                                 const std::vector<json::KeyAt>* root_keys = nullptr, std::size_t shift = 0) {
    if (root_keys && root_changes_ && jump(before, after, *root_keys, shift)) {
      if (cannot_) return std::nullopt;
      return apply();
    }
    edits_.clear();
    cannot_ = false;
    Node root;
    if (!Scanner(t_).document(root)) return std::nullopt;
    root_ = &root;
    // The caller compares the trees before editing: not again here.
    value(root, before, after, "", false, true);
    if (cannot_) return std::nullopt;
    return apply();
  }

 private:
  // The root's changed members found from where the check saw their keys
  // (shift: bytes before the text the keys' places count): what the scan
  // of the root gives when every change is to a member present before and
  // after, which adds, removes and moves no member. False: not such a
  // change, or a key not placed, which the scan of the whole text serves.
  bool jump(const Value& before, const Value& after, const std::vector<json::KeyAt>& keys, std::size_t shift) {
    // Each changed key is looked for among all the root's: with many of
    // them the scan, linear in the text, costs less.
    if (json5_ || keys.empty() || root_changes_->size() > 16 || !before.is_object() || !after.is_object())
      return false;
    const Object& was = before.as_object();
    const Object& now = after.as_object();
    for (const json::KeyAt& k : keys)
      if (k.at == json::unknown_place || k.at < shift + 1 || k.at - shift + k.size >= t_.size()) return false;
    for (const std::string& key : *root_changes_)
      if (!was.find(key) || !now.find(key)) return false;
    // The root on one line or not, as object() would judge its text.
    std::size_t first = 0, last = t_.size();
    while (first < last && is_ascii_space(t_[first])) ++first;
    while (last > first && is_ascii_space(t_[last - 1])) --last;
    const bool one_line = t_.substr(first, last - first).find('\n') == none;
    for (const std::string& key : *root_changes_) {
      // For a repeated name the last member is the one that counts.
      auto place = std::find_if(keys.rbegin(), keys.rend(), [&](const json::KeyAt& k) {
        return t_.substr(k.at - shift, k.size) == key;
      });
      if (place == keys.rend()) return false;
      Entry e;
      if (!Scanner(t_, place->at - shift - 1).member(e)) return false;
      value(e.value, *was.find(key), *now.find(key), indent_of(e.key_begin), one_line, true);
      if (cannot_) return true;
    }
    return true;
  }

  // --- text around a position ---

  // A lone CR ends a line too, as it ends a JSON5 line comment.
  std::size_t line_start(std::size_t pos) const {
    auto nl = pos == 0 ? none : t_.find_last_of("\r\n", pos - 1);
    return nl == none ? 0 : nl + 1;
  }

  std::string_view indent_of(std::size_t pos) const {
    std::size_t s = line_start(pos), e = s;
    while (e < t_.size() && is_blank(t_[e])) ++e;
    return t_.substr(s, e - s);
  }

  // Past the blanks and one comment that close the line after pos: the
  // position of the line break (or the end), or none when anything else
  // follows on the line.
  std::size_t rest_of_line(std::size_t pos) const {
    while (pos < t_.size() && is_blank(t_[pos])) ++pos;
    if (t_.substr(pos).starts_with("//")) {
      while (pos < t_.size() && t_[pos] != '\n' && t_[pos] != '\r') ++pos;
    } else if (t_.substr(pos).starts_with("/*")) {
      auto close = t_.find("*/", pos + 2);
      if (close == none || t_.substr(pos, close - pos).find_first_of("\r\n") != none) return none;
      pos = close + 2;
      while (pos < t_.size() && is_blank(t_[pos])) ++pos;
    }
    if (pos == t_.size() || t_[pos] == '\n' || t_[pos] == '\r') return pos;
    return none;
  }

  std::size_t after_entry(const Entry& e) const { return e.comma != none ? e.comma + 1 : e.value.end; }

  bool owns_line(const Entry& e) const {
    std::size_t s = line_start(e.key_begin);
    for (std::size_t i = s; i < e.key_begin; ++i)
      if (!is_blank(t_[i])) return false;
    return rest_of_line(after_entry(e)) != none;
  }

  std::size_t past_line_break(std::size_t pos) const {
    if (pos < t_.size() && t_[pos] == '\r') ++pos;
    if (pos < t_.size() && t_[pos] == '\n') ++pos;
    return pos;
  }

  // The comment lines directly above a line (no blank line between).
  std::size_t comments_above(std::size_t start) const {
    while (start > 0) {
      std::size_t end = start;
      if (t_[end - 1] == '\n') --end;
      if (end > 0 && t_[end - 1] == '\r') --end;
      std::size_t prev = line_start(end);
      std::string_view line = t_.substr(prev, end - prev);
      while (!line.empty() && (is_blank(line.front()))) line.remove_prefix(1);
      while (!line.empty() && (is_blank(line.back()) || line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
      bool comment = line.starts_with("//") ||
                     (line.starts_with("/*") && line.ends_with("*/") && line.find("*/") == line.size() - 2);
      if (!comment) break;
      start = prev;
    }
    return start;
  }

  // --- rendering ---

  std::string render(const Value& v) const {
    std::string s = json5_ ? json5::write(v) : json::write(v);
    while (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
  }

  // The standard layout of a value placed at an indentation, or on one line.
  std::string placed(const Value& v, std::string_view indent, bool one_line) const {
    std::string s = render(v), out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
      if (s[i] != '\n') {
        out += s[i];
        continue;
      }
      if (one_line) {
        while (i + 1 < s.size() && s[i + 1] == ' ') ++i;
        bool closing = i + 1 < s.size() && (s[i + 1] == '}' || s[i + 1] == ']');
        if (!out.empty() && out.back() == ',') {
          if (closing)
            out.pop_back();  // JSON5's trailing comma has no place on one line
          else
            out += ' ';
        }
      } else {
        out += '\n';
        out += indent;
      }
    }
    return out;
  }

  static std::string single_quoted(std::string_view double_quoted) {
    std::string out = "'";
    for (std::size_t i = 1; i + 1 < double_quoted.size(); ++i) {
      char c = double_quoted[i];
      if (c == '\\' && double_quoted[i + 1] == '"') {
        out += '"';
        ++i;
      } else if (c == '\\') {
        out += c;
        out += double_quoted[++i];
      } else if (c == '\'') {
        out += "\\'";
      } else {
        out += c;
      }
    }
    return out + "'";
  }

  static bool plain_name(std::string_view key) {
    if (key.empty()) return false;
    for (std::size_t i = 0; i < key.size(); ++i) {
      char c = key[i];
      bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$';
      if (!letter && !(i > 0 && c >= '0' && c <= '9')) return false;
    }
    return true;
  }

  // A new member's name, quoted as its sibling's is.
  std::string key_text(std::string_view key, char sibling_quote) const {
    std::string quoted = render(Value(std::string(key)));
    if (!json5_) return quoted;
    if (sibling_quote == 0 && plain_name(key)) return std::string(key);
    if (sibling_quote == '\'') return single_quoted(quoted);
    return quoted;
  }

  // A scalar's new text in the old one's form where that form holds it: the
  // quote style of a string, the hexadecimal form of an integer.
  std::string scalar_text(std::string_view old, const Value& v) const {
    if (json5_ && v.kind() == Value::Kind::string && old.starts_with('\'')) return single_quoted(render(v));
    bool negative = old.starts_with('-');
    std::string_view digits = old.substr(negative || old.starts_with('+') ? 1 : 0);
    if (json5_ && (digits.starts_with("0x") || digits.starts_with("0X"))) {
      bool upper = digits.find_first_of("ABCDEF", 2) != none;
      std::uint64_t magnitude = 0;
      const char* sign = "";
      if (v.kind() == Value::Kind::uint) {
        magnitude = v.as_uint();
      } else if (v.kind() == Value::Kind::sint) {
        magnitude = 0 - static_cast<std::uint64_t>(v.as_sint());
        sign = "-";
      } else {
        return render(v);
      }
      std::string hex;
      do {
        hex.insert(hex.begin(), (upper ? "0123456789ABCDEF" : "0123456789abcdef")[magnitude % 16]);
        magnitude /= 16;
      } while (magnitude);
      return sign + std::string(digits.substr(0, 2)) + hex;
    }
    return render(v);
  }

  // --- the diff ---

  void replace(std::size_t begin, std::size_t end, std::string text) {
    edits_.push_back(Edit{begin, end, std::move(text)});
  }

  void value(const Node& n, const Value& before, const Value& after, std::string_view indent, bool one_line,
             bool known_changed = false) {
    if (!known_changed && before == after) return;
    if (n.open == '{' && before.is_object() && after.is_object() && !before.as_object().empty()) {
      Node listed;
      if (n.entries.empty() && !Scanner(t_, n.begin).object_members(listed)) {
        cannot_ = true;
        return;
      }
      object(n.entries.empty() ? listed : n, before.as_object(), after.as_object());
      return;
    }
    bool scalar = !after.is_object() && !after.is_array();
    if (n.open == 0 && scalar) {
      replace(n.begin, n.end, scalar_text(t_.substr(n.begin, n.end - n.begin), after));
      return;
    }
    // A whole array, an empty object given members, or a change of kind:
    // the standard layout for this value, on one line where it was.
    bool was_one_line = t_.substr(n.begin, n.end - n.begin).find('\n') == none;
    replace(n.begin, n.end, placed(after, indent, one_line || (n.open != 0 && was_one_line)));
  }

  void object(const Node& n, const Object& before, const Object& after) {
    const auto& es = n.entries;
    bool one_line = t_.substr(n.begin, n.end - n.begin).find('\n') == none;
    // For a repeated name the last member is the one that counts.
    std::unordered_map<std::string_view, std::size_t> last;
    for (std::size_t i = 0; i < es.size(); ++i) last[es[i].key] = i;

    // The names as read here must be the reader's, or a member would be
    // taken for another (an escape the reader decodes its own way).
    if (last.size() != before.size()) {
      cannot_ = true;
      return;
    }
    for (const auto& [key, at] : last) {
      if (!before.find(key)) {
        cannot_ = true;
        return;
      }
    }

    std::vector<bool> gone(es.size());
    std::size_t kept_last = none;
    for (std::size_t i = 0; i < es.size(); ++i) {
      const Value* a = after.find(es[i].key);
      gone[i] = a == nullptr;
      if (!gone[i]) kept_last = i;
      if (gone[i] || last[es[i].key] != i) continue;
      const bool known = &n == root_ && root_changes_;
      if (known && !std::binary_search(root_changes_->begin(), root_changes_->end(), es[i].key)) continue;
      value(es[i].value, *before.find(es[i].key), *a, indent_of(es[i].key_begin), one_line, known);
    }

    std::vector<const Member*> added;
    for (const Member& m : after)
      if (!before.find(m.key)) added.push_back(&m);

    if (kept_last == none) {
      // Nothing of the old members stays: the object as a whole.
      replace(n.begin, n.end, placed(Value(Object(after)), indent_of(n.begin), one_line));
      return;
    }

    for (std::size_t i = 0; i < es.size(); ++i)
      if (gone[i]) remove(es, i);

    // The last old member keeps or loses its comma as the last one did.
    const Entry& tail = es.back();
    const Entry& keep = es[kept_last];
    bool trailing = kept_last + 1 == es.size() ? keep.comma != none : tail.comma != none;
    bool keep_has_comma = keep.comma != none;
    if (kept_last + 1 < es.size() && !trailing && keep_has_comma && added.empty()) {
      replace(keep.comma, keep.comma + 1, "");
      keep_has_comma = false;
    }
    if (added.empty()) return;
    add(keep, keep_has_comma, trailing && keep_has_comma, added);
  }

  void remove(const std::vector<Entry>& es, std::size_t i) {
    const Entry& e = es[i];
    if (owns_line(e)) {
      std::size_t end = past_line_break(rest_of_line(after_entry(e)));
      replace(comments_above(line_start(e.key_begin)), end, "");
      return;
    }
    std::size_t begin = e.key_begin;
    if (i > 0) {
      while (begin > 0 && is_blank(t_[begin - 1])) --begin;
    }
    std::size_t end = after_entry(e);
    if (i == 0 && e.comma != none)
      while (end < t_.size() && is_blank(t_[end])) ++end;
    replace(begin, end, "");
  }

  void add(const Entry& anchor, bool has_comma, bool trailing, const std::vector<const Member*>& added) {
    std::string text;
    if (owns_line(anchor)) {
      std::string_view indent = indent_of(anchor.key_begin);
      if (!has_comma) replace(anchor.value.end, anchor.value.end, ",");
      for (std::size_t k = 0; k < added.size(); ++k) {
        text += '\n';
        text += indent;
        text += key_text(added[k]->key, anchor.quote);
        text += ": ";
        text += placed(added[k]->value, indent, false);
        if (trailing || k + 1 < added.size()) text += ',';
      }
      replace(rest_of_line(after_entry(anchor)), rest_of_line(after_entry(anchor)), std::move(text));
      return;
    }
    for (std::size_t k = 0; k < added.size(); ++k) {
      text += trailing ? " " : ", ";
      text += key_text(added[k]->key, anchor.quote);
      text += ": ";
      text += placed(added[k]->value, "", true);
      if (trailing) text += ',';
    }
    std::size_t at = trailing ? anchor.comma + 1 : anchor.value.end;
    if (!trailing && has_comma) {
      // A comma followed by removed members: the new ones take its place.
      replace(anchor.comma, anchor.comma + 1, "");
    }
    replace(at, at, std::move(text));
  }

  std::optional<std::string> apply() {
    // An insertion goes before a removal that starts at the same place.
    std::stable_sort(edits_.begin(), edits_.end(), [](const Edit& a, const Edit& b) {
      return a.begin != b.begin ? a.begin < b.begin : a.end < b.end;
    });
    std::string out;
    out.reserve(t_.size() + 64);
    std::size_t cursor = 0;
    for (Edit& e : edits_) {
      if (e.begin < cursor) {
        // Removals may overlap (a member's blanks and its neighbour's).
        if (!e.text.empty()) return std::nullopt;
        if (e.end <= cursor) continue;
        e.begin = cursor;
      }
      out.append(t_.substr(cursor, e.begin - cursor));
      out += e.text;
      cursor = e.end;
    }
    out.append(t_.substr(cursor));
    return out;
  }

  std::string_view t_;
  bool json5_;
  const std::vector<std::string>* root_changes_;
  const Node* root_ = nullptr;
  bool cannot_ = false;
  std::vector<Edit> edits_;
};

}  // namespace

namespace {
// A byte-order mark before the text stays where it is; the editor sees the text after it.
std::optional<std::string> edit_after_bom(std::string_view text, const Value& before, const Value& after, bool json5,
                                          const std::vector<std::string>* root_changes = nullptr,
                                          const std::vector<json::KeyAt>* root_keys = nullptr) {
  constexpr std::string_view bom = "\xEF\xBB\xBF";
  const bool has_bom = text.starts_with(bom);
  if (has_bom) text.remove_prefix(bom.size());
  auto edited = TextEditor(text, json5, root_changes).run(before, after, root_keys, has_bom ? bom.size() : 0);
  if (edited && has_bom) edited->insert(0, bom);
  return edited;
}
}  // namespace

std::optional<std::string> edit_json(std::string_view text, const Value& before, const Value& after) {
  return edit_after_bom(text, before, after, false);
}

std::optional<std::string> edit_json5(std::string_view text, const Value& before, const Value& after) {
  return edit_after_bom(text, before, after, true);
}

std::optional<std::string> edit_json_members(std::string_view text, const Value& before, const Value& after,
                                             const std::vector<std::string>& changed) {
  return edit_after_bom(text, before, after, false, &changed);
}

std::optional<std::string> edit_json_members(std::string_view text, const Value& before, const Value& after,
                                             const std::vector<std::string>& changed,
                                             const std::vector<json::KeyAt>& root_keys) {
  return edit_after_bom(text, before, after, false, &changed, &root_keys);
}

std::optional<std::string> edit_json5_members(std::string_view text, const Value& before, const Value& after,
                                              const std::vector<std::string>& changed) {
  return edit_after_bom(text, before, after, true, &changed);
}

}  // namespace zub::layout
