#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
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

// Builds the tree from parse events the way a document does: values and
// keys wait on two stacks until their container ends, which then takes
// exactly its own elements in one move.
class Builder {
 public:
  Builder() {
    values_.reserve(64);
    keys_.reserve(32);
  }

  bool Null() { return push(Value()); }
  bool Bool(bool b) { return push(Value(b)); }
  bool Int(int i) { return push(Value::from_int(i)); }
  bool Uint(unsigned u) { return push(Value(std::uint64_t{u})); }
  bool Int64(std::int64_t i) { return push(Value::from_int(i)); }
  bool Uint64(std::uint64_t u) { return push(Value(u)); }
  bool Double(double d) { return push(Value::from_double(d)); }
  // Numbers arrive as text: RapidJSON's own full-precision conversion reads
  // outside its table of powers of ten when a fraction has hundreds of
  // leading zeros. The grammar and the "too big" checks stay RapidJSON's.
  bool RawNumber(const char* s, rapidjson::SizeType len, bool) { return push(number(std::string_view(s, len))); }
  bool String(const char* s, rapidjson::SizeType len, bool) {
    return well_formed(s, len) && push(Value(std::string(s, len)));
  }
  bool Key(const char* s, rapidjson::SizeType len, bool) {
    if (!well_formed(s, len)) return false;
    keys_.emplace_back(s, len);
    return true;
  }

  bool StartObject() { return enter(); }
  bool StartArray() { return enter(); }

  bool EndObject(rapidjson::SizeType count) {
    std::vector<Member> members;
    members.reserve(count);
    auto value = values_.end() - static_cast<std::ptrdiff_t>(count);
    auto key = keys_.end() - static_cast<std::ptrdiff_t>(count);
    for (; value != values_.end(); ++value, ++key) members.push_back(Member{std::move(*key), std::move(*value)});
    values_.resize(values_.size() - count);
    keys_.resize(keys_.size() - count);
    --depth_;
    return push(Value(Object::from_unsorted(std::move(members))));
  }

  bool EndArray(rapidjson::SizeType count) {
    auto first = values_.end() - static_cast<std::ptrdiff_t>(count);
    Array elements(std::make_move_iterator(first), std::make_move_iterator(values_.end()));
    values_.erase(first, values_.end());
    --depth_;
    return push(Value(std::move(elements)));
  }

  bool too_deep() const noexcept { return too_deep_; }
  bool lone_surrogate() const noexcept { return lone_surrogate_; }
  Value take_root() { return std::move(values_.back()); }

 private:
  bool push(Value&& v) {
    values_.push_back(std::move(v));
    return true;
  }
  bool enter() noexcept {
    if (++depth_ > max_parse_depth) {
      too_deep_ = true;
      return false;
    }
    return true;
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

  std::vector<Value> values_;
  std::vector<std::string> keys_;
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

Failure parse_failure(std::string_view what, int fd, std::size_t offset) {
  std::string text(error_prefix);
  text += what;
  text += where(fd, offset);
  return type_failure(std::move(text));
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

// Whether any of eight bytes is below 0x20, '"' or '\\' (exact as a whole,
// not per byte), so plain text is skipped a word at a time.
inline bool any_to_escape(std::uint64_t x) noexcept {
  constexpr std::uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u;
  auto has_zero = [](std::uint64_t v) { return (v - ones) & ~v & highs; };
  return (((x - ones * 0x20) & ~x) | has_zero(x ^ (ones * '"')) | has_zero(x ^ (ones * '\\'))) & highs;
}

// Extra bytes each character takes when escaped: \n is one more, \u00XX five.
constexpr auto escape_extra = [] {
  std::array<unsigned char, 256> t{};
  for (std::size_t c = 0; c < 256; ++c) t[c] = escape_table[c] == 0 ? 0 : escape_table[c] == 'u' ? 5 : 1;
  return t;
}();

std::size_t decimal_digits(std::uint64_t u) noexcept {
  std::size_t n = 1;
  for (std::uint64_t limit = 10; u >= limit; limit *= 10) {
    ++n;
    if (limit > UINT64_MAX / 10) break;
  }
  return n;
}

// The shortest form of a double is at most 24 characters ("-2.2250738585072014e-308"),
// and only forms without '.' or 'e' (20 at most) get ".0".
constexpr std::size_t max_real_chars = 26;

// Writes into a buffer sized beforehand by measure(), so the hot loop
// checks no capacity: a growing buffer costs more in page faults and copies
// than the walk that sizes it. measure() counts strings unescaped, to leave
// their bytes untouched; the rare escape draws on a spare budget instead.
class Writer {
 public:
  static std::size_t measure(const Value& v, std::size_t indent) {
    switch (v.kind()) {
      case Value::Kind::null: return 4;
      case Value::Kind::boolean: return v.as_bool() ? 4 : 5;
      case Value::Kind::uint: return decimal_digits(v.as_uint());
      case Value::Kind::sint: return 1 + decimal_digits(0 - static_cast<std::uint64_t>(v.as_sint()));
      case Value::Kind::real: return max_real_chars;
      case Value::Kind::string: return v.as_string().size() + 2;
      case Value::Kind::array: {
        const auto& a = v.as_array();
        if (a.empty()) return 2;
        // "[", then per element a newline, indentation and ",", then the close
        std::size_t n = 2 + indent + a.size() * (indent + 4);
        for (const auto& e : a) n += measure(e, indent + 2);
        return n;
      }
      case Value::Kind::object: {
        const auto& o = v.as_object();
        if (o.empty()) return 2;
        std::size_t n = 2 + indent + o.size() * (indent + 8);  // and quotes and ": "
        for (const auto& m : o) n += m.key.size() + measure(m.value, indent + 2);
        return n;
      }
    }
    return 0;
  }

  Writer(std::string& out, std::size_t bound) : out_(out) {
    std::size_t spare = 64 + bound / 64;
    out_.resize(bound + spare + margin);
    p_ = out_.data();
    spare_ = spare;
  }

  std::string& finish() {
    out_.resize(static_cast<std::size_t>(p_ - out_.data()));
    return out_;
  }

  void value(const Value& v, std::size_t indent) {
    switch (v.kind()) {
      case Value::Kind::null: put("null", 4); break;
      case Value::Kind::boolean: v.as_bool() ? put("true", 4) : put("false", 5); break;
      case Value::Kind::uint: p_ = std::to_chars(p_, p_ + 20, v.as_uint()).ptr; break;
      case Value::Kind::sint: p_ = std::to_chars(p_, p_ + 20, v.as_sint()).ptr; break;
      case Value::Kind::real: real(v.as_real()); break;
      case Value::Kind::string: string(v.as_string()); break;
      case Value::Kind::array: array(v.as_array(), indent); break;
      case Value::Kind::object: object(v.as_object(), indent); break;
    }
  }

 private:
  // An escape writes more than measure() counted.
  void spend(std::size_t extra) {
    if (spare_ < extra) {
      auto used = static_cast<std::size_t>(p_ - out_.data());
      std::size_t more = extra + out_.size() / 2;  // the margin stays past the end
      out_.resize(out_.size() + more);
      p_ = out_.data() + used;
      spare_ += more;
    }
    spare_ -= extra;
  }

  void put(const char* s, std::size_t n) noexcept {
    std::memcpy(p_, s, n);
    p_ += n;
  }

  // Indentation up to 32 columns is one fixed-size copy (the buffer keeps
  // a margin past its end for it) instead of a call to memset per line.
  void newline(std::size_t indent) noexcept {
    static constexpr char spaces[32] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                        ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                        ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
    *p_++ = '\n';
    if (indent <= sizeof spaces)
      std::memcpy(p_, spaces, sizeof spaces);
    else
      std::memset(p_, ' ', indent);
    p_ += indent;
  }

  void array(const Array& a, std::size_t indent) {
    if (a.empty()) return put("[]", 2);
    *p_++ = '[';
    bool first = true;
    for (const auto& e : a) {
      if (!first) *p_++ = ',';
      first = false;
      newline(indent + 2);
      value(e, indent + 2);
    }
    newline(indent);
    *p_++ = ']';
  }

  void object(const Object& o, std::size_t indent) {
    if (o.empty()) return put("{}", 2);
    *p_++ = '{';
    bool first = true;
    for (const auto& m : o) {
      if (!first) *p_++ = ',';
      first = false;
      newline(indent + 2);
      string(m.key);
      put(": ", 2);
      value(m.value, indent + 2);
    }
    newline(indent);
    *p_++ = '}';
  }

  void real(double d) noexcept {
    char* first = p_;
    p_ = std::to_chars(p_, p_ + max_real_chars, d).ptr;
    // Keeps the float a float when read back.
    if (std::string_view(first, static_cast<std::size_t>(p_ - first)).find_first_of(".e") == std::string_view::npos)
      put(".0", 2);
  }

  void string(std::string_view s) noexcept {
    static constexpr char hex[] = "0123456789abcdef";
    const char* in = s.data();
    const char* end = in + s.size();
    *p_++ = '"';
    for (;;) {
      const char* run = in;
      for (std::uint64_t word; end - in >= 8; in += 8) {
        std::memcpy(&word, in, 8);
        if (any_to_escape(word)) break;
      }
      while (in != end && escape_table[static_cast<unsigned char>(*in)] == 0) ++in;
      put(run, static_cast<std::size_t>(in - run));
      if (in == end) break;
      auto c = static_cast<unsigned char>(*in++);
      char e = escape_table[c];
      spend(escape_extra[c]);
      if (e == 'u') {
        char u[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
        put(u, sizeof u);
      } else {
        *p_++ = '\\';
        *p_++ = e;
      }
    }
    *p_++ = '"';
  }

  static constexpr std::size_t margin = 32;
  std::string& out_;
  char* p_ = nullptr;
  std::size_t spare_ = 0;
};

}  // namespace

Result<Value> read(int fd) {
  constexpr unsigned flags = rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag |
                             rapidjson::kParseNumbersAsStringsFlag;
  FdStream stream(fd);
  Builder builder;
  rapidjson::Reader reader;
  rapidjson::ParseResult ok = reader.Parse<flags>(stream, builder);
  if (stream.read_error() != 0) return type_failure(std::string(error_prefix) + os_error_text(stream.read_error()));
  if (!ok) {
    if (builder.too_deep()) return parse_failure("recursion limit exceeded", fd, ok.Offset());
    if (builder.lone_surrogate())
      return parse_failure(rapidjson::GetParseError_En(rapidjson::kParseErrorStringUnicodeSurrogateInvalid), fd,
                           ok.Offset());
    return parse_failure(rapidjson::GetParseError_En(ok.Code()), fd, ok.Offset());
  }
  // RapidJSON stops at a NUL byte as if the file ended there.
  if (!stream.at_end())
    return parse_failure(rapidjson::GetParseError_En(rapidjson::kParseErrorDocumentRootNotSingular), fd,
                         stream.Tell());
  return builder.take_root();
}

std::string write(const Value& root) {
  std::string out;
  Writer writer(out, Writer::measure(root, 0));
  writer.value(root, 0);
  writer.finish();
  return out;
}

}  // namespace zub::json
