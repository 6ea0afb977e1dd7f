#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include "drivers/file_io.hpp"
#include "drivers/formats.hpp"

namespace zub::json {

namespace {

constexpr std::string_view error_prefix = "JSON parse error: ";

// RapidJSON's read-only stream concept over a descriptor. The current
// character is always readable (a '\0' stands after the end), so Peek is
// one load and Take one compare; RapidJSON treats '\0' as the end, so
// at_end() tells a real end of file from a NUL byte in the data.
class FdStream {
 public:
  using Ch = char;

  explicit FdStream(int fd) noexcept : fd_(fd) { refill(); }
  FdStream(const FdStream&) = delete;
  FdStream& operator=(const FdStream&) = delete;

  Ch Peek() const noexcept { return *cur_; }
  Ch Take() noexcept {
    Ch c = *cur_;
    if (++cur_ == end_) refill();
    return c;
  }
  std::size_t Tell() const noexcept { return base_ + static_cast<std::size_t>(cur_ - buf_); }

  // Required by the concept's declarations, never called for reading.
  Ch* PutBegin() noexcept { return nullptr; }
  void Put(Ch) noexcept {}
  void Flush() noexcept {}
  std::size_t PutEnd(Ch*) noexcept { return 0; }

  bool at_end() const noexcept { return eof_ && cur_ == buf_; }

  // A UTF-8 byte-order mark before the text is no part of it.
  void skip_byte_order_mark() noexcept {
    if (end_ - cur_ >= 3 && std::memcmp(cur_, "\xEF\xBB\xBF", 3) == 0) {
      cur_ += 3;
      if (cur_ == end_) refill();
    }
  }
  int read_error() const noexcept { return err_; }

 private:
  void refill() noexcept {
    if (eof_) {
      cur_ = buf_;
      return;
    }
    base_ += static_cast<std::size_t>(end_ - buf_);
    ssize_t n;
    do n = ::read(fd_, buf_, buffer_size);
    while (n < 0 && errno == EINTR);
    if (n <= 0) {
      if (n < 0) err_ = errno;
      eof_ = true;
      buf_[0] = '\0';
      end_ = buf_ + 1;
    } else {
      end_ = buf_ + n;
    }
    cur_ = buf_;
  }

  static constexpr std::size_t buffer_size = 8192;
  int fd_;
  char* cur_ = buf_;
  char* end_ = buf_;
  std::size_t base_ = 0;
  bool eof_ = false;
  int err_ = 0;
  char buf_[buffer_size];
};

// Parse events go onto a flat tape first and the tree is built from it top
// down: every container is allocated before its children, in the order a
// writer visits them. Built bottom-up, as the events arrive, a large tree
// ends up scattered through memory and walking it (to save it, above all)
// spends most of its time waiting on cache misses.
class Builder {
 public:
  Builder() { tokens_.reserve(256); }

  bool Null() { return push(Tag::null, 0, 0); }
  bool Bool(bool b) { return push(Tag::boolean, 0, b ? 1 : 0); }
  bool Int(int i) { return push(Tag::sint, 0, static_cast<std::uint64_t>(std::int64_t{i})); }
  bool Uint(unsigned u) { return push(Tag::uint, 0, u); }
  bool Int64(std::int64_t i) { return push(Tag::sint, 0, static_cast<std::uint64_t>(i)); }
  bool Uint64(std::uint64_t u) { return push(Tag::uint, 0, u); }
  bool Double(double d) { return push(Tag::real, 0, std::bit_cast<std::uint64_t>(d)); }
  // Numbers arrive as text: RapidJSON's own full-precision conversion reads
  // outside its table of powers of ten when a fraction has hundreds of
  // leading zeros. The grammar and the "too big" checks stay RapidJSON's.
  bool RawNumber(const char* s, rapidjson::SizeType len, bool) { return push_number(number(std::string_view(s, len))); }
  bool String(const char* s, rapidjson::SizeType len, bool) { return text(Tag::string, s, len); }
  bool Key(const char* s, rapidjson::SizeType len, bool) { return text(Tag::key, s, len); }

  bool StartObject() { return enter(Tag::object); }
  bool StartArray() { return enter(Tag::array); }
  bool EndObject(rapidjson::SizeType count) { return leave(count); }
  bool EndArray(rapidjson::SizeType count) { return leave(count); }

  bool too_deep() const noexcept { return too_deep_; }
  bool lone_surrogate() const noexcept { return lone_surrogate_; }

  Value build() {
    std::size_t at = 0;
    return tokens_.empty() ? Value() : build(at);
  }

 private:
  enum class Tag : std::uint8_t { null, boolean, uint, sint, real, string, key, array, object };

  // A scalar's bits, a string's place in text_, or for a container the
  // position just past its last token (so that it can be skipped).
  struct Token {
    Tag tag;
    std::uint32_t size;  // string length, element or member count
    std::uint64_t payload;
  };

  struct Pending {
    std::string_view key;
    std::size_t value_at;
  };

  bool push(Tag tag, std::uint32_t size, std::uint64_t payload) {
    tokens_.push_back(Token{tag, size, payload});
    return true;
  }

  bool text(Tag tag, const char* s, rapidjson::SizeType len) {
    if (!well_formed(s, len)) return false;
    std::size_t at = text_.size();
    text_.append(s, len);
    return push(tag, len, at);
  }

  bool enter(Tag tag) {
    if (++depth_ > max_parse_depth) {
      too_deep_ = true;
      return false;
    }
    open_.push_back(tokens_.size());
    return push(tag, 0, 0);
  }

  bool leave(rapidjson::SizeType count) {
    Token& start = tokens_[open_.back()];
    open_.pop_back();
    start.size = count;
    start.payload = tokens_.size();
    --depth_;
    return true;
  }

  std::string_view text_of(const Token& t) const noexcept { return {text_.data() + t.payload, t.size}; }

  std::size_t next(std::size_t at) const noexcept {
    const Token& t = tokens_[at];
    return t.tag == Tag::array || t.tag == Tag::object ? static_cast<std::size_t>(t.payload) : at + 1;
  }

  // Recursion is bounded by the parse depth limit.
  Value build(std::size_t& at) {
    const Token& t = tokens_[at++];
    switch (t.tag) {
      case Tag::null: return Value();
      case Tag::boolean: return Value(t.payload != 0);
      case Tag::uint: return Value::from_uint(t.payload);
      case Tag::sint: return Value::from_int(static_cast<std::int64_t>(t.payload));
      case Tag::real: return Value::from_double(std::bit_cast<double>(t.payload));
      case Tag::string:
      case Tag::key: return Value(std::string(text_of(t)));
      case Tag::array: {
        Array elements;
        elements.reserve(t.size);
        for (std::uint32_t k = 0; k < t.size; ++k) elements.push_back(build(at));
        at = static_cast<std::size_t>(t.payload);
        return Value(std::move(elements));
      }
      case Tag::object: {
        std::size_t end = static_cast<std::size_t>(t.payload);
        Value out(object(at, t.size));
        at = end;
        return out;
      }
    }
    return Value();
  }

  // Orders the members by key (the last of a repeated key wins) before
  // building any of them, so that they are allocated in that order too.
  Object object(std::size_t at, std::size_t count) {
    std::size_t base = pending_.size();
    for (std::size_t k = 0; k < count; ++k) {
      pending_.push_back(Pending{text_of(tokens_[at]), at + 1});
      at = next(at + 1);
    }
    auto first = pending_.begin() + static_cast<std::ptrdiff_t>(base);
    auto by_key = [](const Pending& a, const Pending& b) { return a.key < b.key; };
    if (count <= 16) {
      // Stable and without stable_sort's temporary buffer.
      for (auto i = first; i != pending_.end(); ++i)
        std::rotate(std::upper_bound(first, i, *i, by_key), i, i + 1);
    } else {
      std::stable_sort(first, pending_.end(), by_key);
    }
    std::vector<Member> members;
    members.reserve(count);
    // pending_ may grow while the members are built: indices, not iterators.
    for (std::size_t k = base; k < pending_.size(); ++k) {
      if (k + 1 < pending_.size() && pending_[k + 1].key == pending_[k].key) continue;
      std::size_t value_at = pending_[k].value_at;
      members.push_back(Member{std::string(pending_[k].key), build(value_at)});
    }
    pending_.resize(base);
    return Object::from_unsorted(std::move(members));
  }

  // RapidJSON 1.1 lets an escaped lone low surrogate (\uDC00..\uDFFF)
  // through as the bytes ED B0..BF xx, which are not UTF-8. The input
  // itself is validated, so such bytes can only come from that escape.
  bool well_formed(const char* s, std::size_t len) noexcept {
    const char* end = s + len;
    while (const void* hit = std::memchr(s, '\xED', static_cast<std::size_t>(end - s))) {
      s = static_cast<const char*>(hit) + 1;
      if (s < end && static_cast<unsigned char>(*s) >= 0xA0) {
        lone_surrogate_ = true;
        return false;
      }
    }
    return true;
  }

  static Value number(std::string_view text) {
    const char* first = text.data();
    const char* last = first + text.size();
    const bool minus = text.front() == '-';
    if (text.find_first_of(".eE") == std::string_view::npos) {
      if (minus) {
        std::int64_t i = 0;
        if (std::from_chars(first, last, i).ec == std::errc()) return Value::from_int(i);
      } else {
        std::uint64_t u = 0;
        if (std::from_chars(first, last, u).ec == std::errc()) return Value(u);
      }
    }
    double d = 0;
    if (std::from_chars(first, last, d).ec == std::errc()) return Value::from_double(d);
    // Out of range: beyond the largest double it is infinite (null in the
    // tree), below the smallest it is zero.
    return overflows(text) ? Value() : Value::from_double(minus ? -0.0 : 0.0);
  }

  // Whether a number's magnitude is at least 1 (its leading digit's power of
  // ten, plus the exponent, is not negative).
  static bool overflows(std::string_view text) {
    std::size_t e = text.find_first_of("eE");
    std::string_view mantissa = text.substr(0, e);
    long long exponent = 0;
    if (e != std::string_view::npos) {
      std::string_view digits = text.substr(e + 1);
      const bool negative = !digits.empty() && digits.front() == '-';
      if (!digits.empty() && (digits.front() == '-' || digits.front() == '+')) digits.remove_prefix(1);
      for (char c : digits) exponent = std::min(exponent * 10 + (c - '0'), 1LL << 40);
      if (negative) exponent = -exponent;
    }
    std::size_t point = std::min(mantissa.find('.'), mantissa.size());
    std::size_t lead = mantissa.find_first_of("123456789");
    if (lead == std::string_view::npos) return false;
    long long magnitude = lead < point ? static_cast<long long>(point - lead) - 1
                                       : -static_cast<long long>(lead - point);
    return magnitude + exponent >= 0;
  }

  bool push_number(const Value& v) {
    switch (v.kind()) {
      case Value::Kind::uint: return push(Tag::uint, 0, v.as_uint());
      case Value::Kind::sint: return push(Tag::sint, 0, static_cast<std::uint64_t>(v.as_sint()));
      case Value::Kind::real: return push(Tag::real, 0, std::bit_cast<std::uint64_t>(v.as_real()));
      default: return push(Tag::null, 0, 0);
    }
  }

  std::vector<Token> tokens_;
  std::string text_;
  std::vector<std::size_t> open_;
  std::vector<Pending> pending_;
  std::size_t depth_ = 0;
  bool too_deep_ = false;
  bool lone_surrogate_ = false;
};

// Only paid on failure: rereads the start of the file to turn RapidJSON's
// byte offset into a line and column.
std::string where(int fd, std::size_t offset) {
  std::string prefix;
  prefix.resize(offset);
  std::size_t got = 0;
  while (got < offset) {
    ssize_t n = ::pread(fd, prefix.data() + got, offset - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got < offset) return " at byte " + std::to_string(offset);  // pipes and the like
  auto pos = io::position_of(prefix, offset);
  return " at line " + std::to_string(pos.line) + " column " + std::to_string(pos.column);
}

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

// One parse over any RapidJSON stream with at_end() and Tell(); locate
// turns a failure's byte offset into the message's position text.
template <class Stream, class Locate>
Result<Value> read_stream(Stream& stream, Locate&& locate) {
  constexpr unsigned flags = rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag |
                             rapidjson::kParseNumbersAsStringsFlag;
  auto fail = [&](std::string_view what, std::size_t offset) {
    return type_failure(std::string(error_prefix) + std::string(what) + locate(offset));
  };
  Builder builder;
  rapidjson::Reader reader;
  rapidjson::ParseResult ok = reader.Parse<flags>(stream, builder);
  if (stream.read_error() != 0) return type_failure(std::string(error_prefix) + os_error_text(stream.read_error()));
  if (!ok) {
    if (builder.too_deep()) return fail("recursion limit exceeded", ok.Offset());
    if (builder.lone_surrogate())
      return fail(rapidjson::GetParseError_En(rapidjson::kParseErrorStringUnicodeSurrogateInvalid), ok.Offset());
    return fail(rapidjson::GetParseError_En(ok.Code()), ok.Offset());
  }
  // RapidJSON stops at a NUL byte as if the file ended there.
  if (!stream.at_end()) return fail(rapidjson::GetParseError_En(rapidjson::kParseErrorDocumentRootNotSingular), stream.Tell());
  return builder.build();
}

// The same stream over a whole text; c_str() supplies the '\0' after the end.
class TextStream {
 public:
  using Ch = char;
  explicit TextStream(const std::string& text) noexcept : begin_(text.c_str()), cur_(begin_), end_(begin_ + text.size()) {}
  Ch Peek() const noexcept { return *cur_; }
  Ch Take() noexcept { return cur_ == end_ ? '\0' : *cur_++; }
  std::size_t Tell() const noexcept { return static_cast<std::size_t>(cur_ - begin_); }
  Ch* PutBegin() noexcept { return nullptr; }
  void Put(Ch) noexcept {}
  void Flush() noexcept {}
  std::size_t PutEnd(Ch*) noexcept { return 0; }
  bool at_end() const noexcept { return cur_ == end_; }
  int read_error() const noexcept { return 0; }
  void skip_byte_order_mark() noexcept {
    if (end_ - cur_ >= 3 && std::memcmp(cur_, "\xEF\xBB\xBF", 3) == 0) cur_ += 3;
  }

 private:
  const char* begin_;
  const char* cur_;
  const char* end_;
};

}  // namespace

Result<Value> read(int fd) {
  FdStream stream(fd);
  stream.skip_byte_order_mark();
  return read_stream(stream, [fd](std::size_t offset) { return where(fd, offset); });
}

Result<Value> parse(const std::string& text) {
  TextStream stream(text);
  stream.skip_byte_order_mark();
  return read_stream(stream, [&text](std::size_t offset) {
    auto pos = io::position_of(text, offset);
    return " at line " + std::to_string(pos.line) + " column " + std::to_string(pos.column);
  });
}

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
