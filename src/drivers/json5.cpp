#include <yyjson.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "drivers/file_io.hpp"
#include "drivers/formats.hpp"
#include "drivers/unicode_ident.hpp"

namespace zub::json5 {

namespace {

constexpr std::string_view error_prefix = "JSON5 parse error: ";

struct DocFree {
  void operator()(yyjson_doc* doc) const noexcept { yyjson_doc_free(doc); }
};

Value number(yyjson_val* v) noexcept {
  switch (yyjson_get_subtype(v)) {
    case YYJSON_SUBTYPE_UINT: return Value(static_cast<std::uint64_t>(yyjson_get_uint(v)));
    case YYJSON_SUBTYPE_SINT: return Value::from_int(yyjson_get_sint(v));
    default: return Value::from_double(yyjson_get_real(v));  // NaN, Infinity -> null
  }
}

struct Pending {
  std::string_view key;
  yyjson_val* value;
};

// An object's members into pending from base on, ordered by key; of a
// repeated key only the last stays.
void members_in_order(yyjson_val* v, std::vector<Pending>& pending, std::size_t base) {
  yyjson_obj_iter it = yyjson_obj_iter_with(v);
  while (yyjson_val* key = yyjson_obj_iter_next(&it))
    pending.push_back(Pending{{yyjson_get_str(key), yyjson_get_len(key)}, yyjson_obj_iter_get_val(key)});
  // Stable, so the last of a repeated key stays last. Most objects are
  // small: sorted in place there, since stable_sort takes a buffer from the
  // heap on every call.
  const auto first = pending.begin() + static_cast<std::ptrdiff_t>(base);
  const auto by_key = [](const Pending& a, const Pending& b) { return a.key < b.key; };
  if (pending.end() - first <= 32) {
    for (auto i = first; i != pending.end(); ++i) {
      const Pending p = *i;
      auto j = i;
      for (; j != first && by_key(p, *(j - 1)); --j) *j = *(j - 1);
      *j = p;
    }
  } else {
    std::stable_sort(first, pending.end(), by_key);
  }
  std::size_t kept = base;
  for (std::size_t k = base; k < pending.size(); ++k) {
    if (k + 1 < pending.size() && pending[k + 1].key == pending[k].key) continue;
    pending[kept++] = pending[k];
  }
  pending.resize(kept);
}

// yyjson parses without recursion, but the tree it yields may be far deeper
// than ours is allowed to be; the depth check bounds this recursion. An
// object's members are ordered by key before any of them is built, so that
// the tree is allocated in the order it is walked (saving a large document
// is much faster that way).
class Converter {
 public:
  bool convert(yyjson_val* v, std::size_t depth, Value& out) {
    switch (yyjson_get_type(v)) {
      case YYJSON_TYPE_BOOL: out = Value(yyjson_get_bool(v)); return true;
      case YYJSON_TYPE_NUM: out = number(v); return true;
      case YYJSON_TYPE_STR: out = Value(std::string_view(yyjson_get_str(v), yyjson_get_len(v))); return true;
      case YYJSON_TYPE_ARR: {
        if (depth >= max_parse_depth) return false;
        Array elements;
        elements.reserve(yyjson_arr_size(v));
        yyjson_arr_iter it = yyjson_arr_iter_with(v);
        while (yyjson_val* e = yyjson_arr_iter_next(&it)) {
          if (!convert(e, depth + 1, elements.emplace_back())) return false;
        }
        out = Value(std::move(elements));
        return true;
      }
      case YYJSON_TYPE_OBJ: return depth < max_parse_depth && object(v, depth, out);
      default: out = Value(); return true;
    }
  }

 private:
  bool object(yyjson_val* v, std::size_t depth, Value& out) {
    const std::size_t base = pending_.size();
    members_in_order(v, pending_, base);
    const std::size_t end = pending_.size();
    std::vector<Member> members;
    members.reserve(end - base);
    // pending_ grows while the members are built: indices, not iterators.
    for (std::size_t k = base; k < end; ++k) {
      yyjson_val* value = pending_[k].value;
      auto& m = members.emplace_back(Member{Key(pending_[k].key), Value()});
      if (!convert(value, depth + 1, m.value)) return false;
    }
    pending_.resize(base);
    out = Value(Object::from_unsorted(std::move(members)));
    return true;
  }

  std::vector<Pending> pending_;
};

// Whether a parsed document converts to a given tree: Converter's rules,
// compared instead of built, up to the first difference.
class Matcher {
 public:
  bool same(yyjson_val* v, std::size_t depth, const Value& want) {
    switch (yyjson_get_type(v)) {
      case YYJSON_TYPE_BOOL: return want.kind() == Value::Kind::boolean && want.as_bool() == yyjson_get_bool(v);
      case YYJSON_TYPE_NUM: return number(v) == want;
      case YYJSON_TYPE_STR:
        return want.kind() == Value::Kind::string &&
               std::string_view(want.as_string()) == std::string_view(yyjson_get_str(v), yyjson_get_len(v));
      case YYJSON_TYPE_ARR: {
        if (depth >= max_parse_depth || !want.is_array() || want.as_array().size() != yyjson_arr_size(v))
          return false;
        const Array& items = want.as_array();
        yyjson_arr_iter it = yyjson_arr_iter_with(v);
        for (std::size_t i = 0; yyjson_val* e = yyjson_arr_iter_next(&it); ++i)
          if (!same(e, depth + 1, items[i])) return false;
        return true;
      }
      case YYJSON_TYPE_OBJ: return depth < max_parse_depth && want.is_object() && object(v, depth, want.as_object());
      default: return want.is_null();
    }
  }

 private:
  bool object(yyjson_val* v, std::size_t depth, const Object& want) {
    const std::size_t base = pending_.size();
    members_in_order(v, pending_, base);
    const std::size_t end = pending_.size();
    bool equal = end - base == want.size();
    auto m = want.begin();
    for (std::size_t k = base; equal && k < end; ++k, ++m)
      equal = std::string_view(m->key) == pending_[k].key && same(pending_[k].value, depth + 1, m->value);
    pending_.resize(base);
    return equal;
  }

  std::vector<Pending> pending_;
};

// Decodes one UTF-8 sequence; 0xFFFFFFFF for a malformed one.
char32_t next_code_point(std::string_view s, std::size_t& i) noexcept {
  constexpr char32_t bad = 0xFFFFFFFF;
  auto c = static_cast<unsigned char>(s[i]);
  std::size_t len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
  if (len == 0 || s.size() - i < len) return bad;
  char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1Fu) : len == 3 ? (c & 0x0Fu) : (c & 0x07u);
  for (std::size_t k = 1; k < len; ++k) {
    auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return bad;
    cp = (cp << 6) | (b & 0x3Fu);
  }
  i += len;
  return cp;
}

template <std::size_t N>
bool in_ranges(const unicode::CodeRange (&table)[N], char32_t cp) noexcept {
  auto it = std::upper_bound(std::begin(table), std::end(table), cp,
                             [](char32_t c, const unicode::CodeRange& r) { return c < r.lo; });
  return it != std::begin(table) && cp <= std::prev(it)->hi;
}

bool is_ascii_start(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '$' || c == '_';
}

// ECMAScript IdentifierName: such a key needs no quotes.
bool is_identifier_name(std::string_view key) noexcept {
  if (key.empty()) return false;
  std::size_t i = 0;
  while (i < key.size()) {
    char c = key[i];
    bool first = i == 0;
    if (static_cast<unsigned char>(c) < 0x80) {
      if (!is_ascii_start(c) && (first || c < '0' || c > '9')) return false;
      ++i;
      continue;
    }
    char32_t cp = next_code_point(key, i);
    if (first ? !in_ranges(unicode::id_start_ranges, cp)
              : !(in_ranges(unicode::id_continue_ranges, cp) || cp == 0x200C || cp == 0x200D))
      return false;
  }
  return true;
}

// Per byte: 0 copies it; otherwise the escape letter, 'x' for \xXX, and
// 0xE2 marks the lead byte of U+2028/U+2029. Raw control characters are
// escaped although JSON5 allows them, because yyjson refuses them.
constexpr auto escape_table = [] {
  std::array<unsigned char, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[static_cast<std::size_t>(c)] = 'x';
  t['\b'] = 'b';
  t['\t'] = 't';
  t['\n'] = 'n';
  t['\v'] = 'v';
  t['\f'] = 'f';
  t['\r'] = 'r';
  t['\\'] = '\\';
  t[0xE2] = 0xE2;
  return t;
}();

class Writer {
 public:
  explicit Writer(io::TextOut& out) : out_(out) {}

  void value(const Value& v, std::size_t indent) {
    switch (v.kind()) {
      case Value::Kind::null: out_ += "null"; break;
      case Value::Kind::boolean: out_ += v.as_bool() ? "true" : "false"; break;
      case Value::Kind::uint: integer(v.as_uint()); break;
      case Value::Kind::sint: integer(v.as_sint()); break;
      case Value::Kind::real: real(v.as_real()); break;
      case Value::Kind::string: string(v.as_string()); break;
      case Value::Kind::array: array(v.as_array(), indent); break;
      case Value::Kind::object: object(v.as_object(), indent); break;
    }
  }

 private:
  void newline(std::size_t indent) {
    out_ += '\n';
    out_.append(indent, ' ');
  }

  void array(const Array& a, std::size_t indent) {
    if (a.empty()) {
      out_ += "[]";
      return;
    }
    out_ += '[';
    for (const auto& e : a) {
      newline(indent + 2);
      value(e, indent + 2);
      out_ += ',';
    }
    newline(indent);
    out_ += ']';
  }

  void object(const Object& o, std::size_t indent) {
    if (o.empty()) {
      out_ += "{}";
      return;
    }
    out_ += '{';
    for (const auto& m : o) {
      newline(indent + 2);
      if (is_identifier_name(m.key))
        out_ += m.key;
      else
        string(m.key);
      out_ += ": ";
      value(m.value, indent + 2);
      out_ += ',';
    }
    newline(indent);
    out_ += '}';
  }

  template <class Int>
  void integer(Int i) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, i);
    out_.append(buf, static_cast<std::size_t>(r.ptr - buf));
  }

  // Plain decimals only, never an exponent; the longest (5e-324) takes 326
  // characters.
  void real(double d) {
    char buf[400];
    auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed);
    std::string_view text(buf, static_cast<std::size_t>(r.ptr - buf));
    out_ += text;
    if (text.find('.') == std::string_view::npos) out_ += ".0";
  }

  void string(std::string_view s) {
    static constexpr char hex[] = "0123456789abcdef";
    bool single = s.find('"') != std::string_view::npos && s.find('\'') == std::string_view::npos;
    char quote = single ? '\'' : '"';
    out_ += quote;
    std::size_t run = 0;
    auto special = [quote](unsigned char c) { return c == static_cast<unsigned char>(quote) || escape_table[c] != 0; };
    for (std::size_t i = 0; i < s.size(); ++i) {
      const char* from = s.data() + i;
      const char* plain = single ? io::skip_plain<'\\', '\'', 0xE2>(from, s.data() + s.size(), special)
                                 : io::skip_plain<'\\', '"', 0xE2>(from, s.data() + s.size(), special);
      i += static_cast<std::size_t>(plain - from);
      if (i == s.size()) break;
      auto c = static_cast<unsigned char>(s[i]);
      unsigned char e = c == static_cast<unsigned char>(quote) ? c : escape_table[c];
      if (e == 0xE2) {
        // U+2028 and U+2029 end a line in ECMAScript.
        if (i + 2 >= s.size() || s[i + 1] != '\x80' || (s[i + 2] != '\xA8' && s[i + 2] != '\xA9')) continue;
        out_.append(s.data() + run, i - run);
        out_ += s[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
        i += 2;
        run = i + 1;
        continue;
      }
      out_.append(s.data() + run, i - run);
      run = i + 1;
      if (e == 'x') {
        char x[4] = {'\\', 'x', hex[c >> 4], hex[c & 0xF]};
        out_.append(x, sizeof x);
      } else {
        char pair[2] = {'\\', static_cast<char>(e)};
        out_.append(pair, 2);
      }
    }
    out_.append(s.data() + run, s.size() - run);
    out_ += quote;
  }

  io::TextOut& out_;
};

}  // namespace

Result<Value> parse(std::string_view text) {
  yyjson_read_err err{};
  // Without YYJSON_READ_INSITU the input is only read.
  std::unique_ptr<yyjson_doc, DocFree> doc(
      yyjson_read_opts(const_cast<char*>(text.data()), text.size(), YYJSON_READ_JSON5, nullptr, &err));
  if (!doc) {
    if (err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION) throw std::bad_alloc();
    auto pos = io::position_of(text, err.pos);
    return type_failure(std::string(error_prefix) + (err.msg ? err.msg : "unknown error") + " at line " +
                        std::to_string(pos.line) + " column " + std::to_string(pos.column));
  }
  Value root;
  if (!Converter().convert(yyjson_doc_get_root(doc.get()), 0, root))
    return type_failure(std::string(error_prefix) + "recursion limit exceeded");
  return root;
}

struct ReadMemory::Pool {
  yyjson_alc alc{};
  std::unique_ptr<std::byte[]> block;  // left uninitialised: untouched pages stay unmapped
  std::size_t size = 0;
};

void ReadMemory::Free::operator()(Pool* pool) const noexcept { std::default_delete<Pool>()(pool); }

yyjson_alc* ReadMemory::for_text(std::size_t size) {
  const std::size_t need = yyjson_read_max_memory_usage(size, YYJSON_READ_JSON5);
  if (need == 0) throw std::bad_alloc();
  if (!pool_) pool_.reset(std::make_unique<Pool>().release());
  if (pool_->size < need) {
    pool_->block.reset();
    pool_->size = 0;
    pool_->block = std::make_unique_for_overwrite<std::byte[]>(need);
    pool_->size = need;
  }
  if (!yyjson_alc_pool_init(&pool_->alc, pool_->block.get(), pool_->size)) throw std::bad_alloc();
  return &pool_->alc;
}

bool reads_as(std::string_view text, const Value& tree, ReadMemory& memory) {
  yyjson_read_err err{};
  std::unique_ptr<yyjson_doc, DocFree> doc(
      yyjson_read_opts(const_cast<char*>(text.data()), text.size(), YYJSON_READ_JSON5, memory.for_text(text.size()), &err));
  if (!doc) {
    if (err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION) throw std::bad_alloc();
    return false;
  }
  return Matcher().same(yyjson_doc_get_root(doc.get()), 0, tree);
}

void write(const Value& root, io::TextSink& sink) {
  io::TextOut out(sink);
  Writer(out).value(root, 0);
  out.flush();
}

std::string write(const Value& root) {
  return io::collect_text([&root](io::TextSink& sink) { write(root, sink); });
}

}  // namespace zub::json5
