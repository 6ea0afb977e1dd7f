// YAML through libyaml: the tree is built from parser events, and written
// through libyaml's emitter.
#include <yaml.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>
#include <unordered_map>
#include <utility>
#include <vector>

#include "drivers/formats.hpp"

namespace zub::yaml {

namespace {

// Aliases may copy at most this many nodes in one document in total: far
// above any real configuration, and it stops a "billion laughs" document
// after a few megabytes of work.
constexpr std::size_t max_alias_nodes = 1000000;

constexpr std::string_view tag_prefix = "tag:yaml.org,2002:";

// ---------------------------------------------------------------------------
// Scalar resolution (YAML 1.2 core schema)

bool all_of(std::string_view s, bool (*pred)(char)) {
  return !s.empty() && std::all_of(s.begin(), s.end(), pred);
}
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_octal(char c) { return c >= '0' && c <= '7'; }
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool is_null_text(std::string_view s) {
  return s.empty() || s == "~" || s == "null" || s == "Null" || s == "NULL";
}

std::optional<bool> bool_text(std::string_view s) {
  if (s == "true" || s == "True" || s == "TRUE") return true;
  if (s == "false" || s == "False" || s == "FALSE") return false;
  return std::nullopt;
}

// Digits in a base into a double, for integers past 64 bits.
double digits_to_double(std::string_view digits, int base) {
  double d = 0;
  for (char c : digits) {
    const int v = is_digit(c) ? c - '0' : (c | 0x20) - 'a' + 10;
    d = d * base + v;
  }
  return d;
}

std::optional<Value> int_text(std::string_view s) {
  int base = 10;
  bool negative = false;
  std::string_view digits = s;
  if (s.size() > 2 && s[0] == '0' && s[1] == 'o' && all_of(s.substr(2), is_octal)) {
    base = 8;
    digits = s.substr(2);
  } else if (s.size() > 2 && s[0] == '0' && s[1] == 'x' && all_of(s.substr(2), is_hex)) {
    base = 16;
    digits = s.substr(2);
  } else {
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
      negative = s[0] == '-';
      digits = s.substr(1);
    }
    if (!all_of(digits, is_digit)) return std::nullopt;
  }
  std::uint64_t u = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), u, base);
  if (ec == std::errc() && end == digits.data() + digits.size()) {
    if (!negative) return Value(u);
    if (u <= std::uint64_t{1} << 63) return Value::from_int(static_cast<std::int64_t>(0 - u));
  }
  // Past 64 bits: a float, correctly rounded for decimal text.
  const double d = base == 10 ? std::strtod(std::string(digits).c_str(), nullptr) : digits_to_double(digits, base);
  return Value::from_double(negative ? -d : d);
}

std::optional<Value> float_text(std::string_view s) {
  std::string_view body = s;
  bool negative = false;
  if (!body.empty() && (body[0] == '-' || body[0] == '+')) {
    negative = body[0] == '-';
    body = body.substr(1);
  }
  if (body == ".inf" || body == ".Inf" || body == ".INF") return Value();
  if (s == ".nan" || s == ".NaN" || s == ".NAN") return Value();
  // [-+]?(\.[0-9]+|[0-9]+(\.[0-9]*)?)([eE][-+]?[0-9]+)?
  std::size_t i = 0;
  const auto run = [&] {
    const std::size_t from = i;
    while (i < body.size() && is_digit(body[i])) ++i;
    return i - from;
  };
  if (i < body.size() && body[i] == '.') {
    ++i;
    if (run() == 0) return std::nullopt;
  } else {
    if (run() == 0) return std::nullopt;
    if (i < body.size() && body[i] == '.') {
      ++i;
      run();
    }
  }
  if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
    ++i;
    if (i < body.size() && (body[i] == '-' || body[i] == '+')) ++i;
    if (run() == 0) return std::nullopt;
  }
  if (i != body.size()) return std::nullopt;
  double d = 0;
  auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), d);
  if (ec == std::errc::result_out_of_range) {
    // Overflow is infinite (null), underflow zero.
    d = std::strtod(std::string(body).c_str(), nullptr);
  } else if (ec != std::errc() || end != body.data() + body.size()) {
    return std::nullopt;
  }
  return Value::from_double(negative ? -d : d);
}

Value resolve_plain(std::string_view s) {
  if (is_null_text(s)) return Value();
  if (auto b = bool_text(s)) return Value(*b);
  if (auto i = int_text(s)) return std::move(*i);
  if (auto f = float_text(s)) return std::move(*f);
  return Value(std::string(s));
}

// ---------------------------------------------------------------------------
// Reading

struct FdInput {
  int fd;
  int error = 0;
};

int read_handler(void* data, unsigned char* buffer, std::size_t size, std::size_t* size_read) {
  auto* in = static_cast<FdInput*>(data);
  const std::size_t want = std::min<std::size_t>(size, 8192);
  for (;;) {
    const ssize_t n = ::read(in->fd, buffer, want);
    if (n >= 0) {
      *size_read = static_cast<std::size_t>(n);
      return 1;
    }
    if (errno != EINTR) {
      in->error = errno;
      return 0;
    }
  }
}

std::string at_mark(const yaml_mark_t& m) {
  return " at line " + std::to_string(m.line + 1) + " column " + std::to_string(m.column + 1);
}

Failure parse_failure(std::string what, const yaml_mark_t& mark) {
  return type_failure("YAML parse error: " + std::move(what) + at_mark(mark));
}

struct Anchored {
  Value value;
  std::optional<std::string> scalar_text;  // as written, for use as a key
  std::size_t nodes;
  std::size_t depth;
};

std::size_t count_nodes(const Value& v) {
  std::size_t n = 1;
  if (v.is_array())
    for (const auto& e : v.as_array()) n += count_nodes(e);
  else if (const auto* o = v.if_object())
    for (const auto& m : *o) n += count_nodes(m.value);
  return n;
}

struct Frame {
  bool mapping;
  std::vector<Member> members;
  Array items;
  std::string key;
  bool has_key = false;
  std::string anchor;
};

class TreeBuilder {
 public:
  explicit TreeBuilder(int fd) : input_{fd} {
    if (!yaml_parser_initialize(&parser_)) throw std::bad_alloc();
    yaml_parser_set_input(&parser_, read_handler, &input_);
  }
  ~TreeBuilder() { yaml_parser_delete(&parser_); }
  TreeBuilder(const TreeBuilder&) = delete;
  TreeBuilder& operator=(const TreeBuilder&) = delete;

  Result<Value> run();

 private:
  struct Event {
    yaml_event_t e;
    ~Event() { yaml_event_delete(&e); }
  };

  Failure parser_failure();
  std::optional<Failure> add(Value v, std::optional<std::string> scalar_text, const yaml_mark_t& mark);
  std::optional<Failure> scalar(const yaml_event_t& e);
  std::optional<Failure> alias(const yaml_event_t& e);
  std::optional<Failure> start(const yaml_event_t& e, bool mapping);
  std::optional<Failure> end(const yaml_event_t& e);
  void remember(const std::string& name, const Value& v, std::optional<std::string> text);

  yaml_parser_t parser_{};
  FdInput input_;
  std::vector<Frame> stack_;
  std::unordered_map<std::string, Anchored> anchors_;
  std::size_t alias_nodes_ = 0;
  Value root_;
};

Failure TreeBuilder::parser_failure() {
  // A failed read of the stream is the parser's failure too, with its prefix.
  if (input_.error) return type_failure("YAML parse error: " + os_error_text(input_.error));
  std::string what = parser_.problem ? parser_.problem : "unknown error";
  yaml_mark_t mark = parser_.problem_mark;
  if (parser_.error == YAML_READER_ERROR) {
    // Reader errors carry a byte offset, not a mark.
    mark = parser_.mark;
  } else if (parser_.error == YAML_MEMORY_ERROR) {
    throw std::bad_alloc();
  }
  std::string text = "YAML parse error: " + what + at_mark(mark);
  if (parser_.context) text += " (" + std::string(parser_.context) + at_mark(parser_.context_mark) + ")";
  return type_failure(std::move(text));
}

void TreeBuilder::remember(const std::string& name, const Value& v, std::optional<std::string> text) {
  anchors_[name] = Anchored{v, std::move(text), count_nodes(v), v.depth()};
}

std::optional<Failure> TreeBuilder::add(Value v, std::optional<std::string> scalar_text,
                                        const yaml_mark_t& mark) {
  if (stack_.empty()) {
    root_ = std::move(v);
    return std::nullopt;
  }
  Frame& top = stack_.back();
  if (!top.mapping) {
    top.items.push_back(std::move(v));
  } else if (!top.has_key) {
    if (!scalar_text) return parse_failure("mapping keys must be scalars", mark);
    top.key = std::move(*scalar_text);
    top.has_key = true;
  } else {
    top.members.push_back(Member{std::move(top.key), std::move(v)});
    top.key.clear();
    top.has_key = false;
  }
  return std::nullopt;
}

bool in_key_position(const std::vector<Frame>& stack) {
  return !stack.empty() && stack.back().mapping && !stack.back().has_key;
}

std::optional<Failure> TreeBuilder::scalar(const yaml_event_t& e) {
  const auto& s = e.data.scalar;
  std::string text(reinterpret_cast<const char*>(s.value), s.length);
  std::string_view tag = s.tag ? reinterpret_cast<const char*>(s.tag) : "";
  Value v;
  if (tag.starts_with(tag_prefix)) {
    const std::string_view type = tag.substr(tag_prefix.size());
    std::optional<Value> typed;
    if (type == "str") {
      typed = Value(text);
    } else if (type == "int") {
      typed = int_text(text);
    } else if (type == "float") {
      typed = float_text(text);
      if (!typed) typed = int_text(text);
      if (typed && typed->kind() != Value::Kind::real && !typed->is_null()) {
        double d = typed->kind() == Value::Kind::uint ? static_cast<double>(typed->as_uint())
                                                      : static_cast<double>(typed->as_sint());
        typed = Value::from_double(d);
      }
    } else if (type == "bool") {
      if (auto b = bool_text(text)) typed = Value(*b);
    } else if (type == "null") {
      if (is_null_text(text)) typed = Value();
    } else {
      typed = s.style == YAML_PLAIN_SCALAR_STYLE ? resolve_plain(text) : Value(text);
    }
    if (!typed)
      return parse_failure("invalid value '" + text + "' for tag !!" + std::string(type), e.start_mark);
    v = std::move(*typed);
  } else if (s.style == YAML_PLAIN_SCALAR_STYLE && tag != "!") {
    // Untagged, or a tag of no meaning here: "!" alone asks for a string.
    v = resolve_plain(text);
  } else {
    v = Value(text);
  }
  if (s.anchor) remember(reinterpret_cast<const char*>(s.anchor), v, text);
  return add(std::move(v), std::move(text), e.start_mark);
}

std::optional<Failure> TreeBuilder::alias(const yaml_event_t& e) {
  const char* name = reinterpret_cast<const char*>(e.data.alias.anchor);
  auto it = anchors_.find(name);
  if (it == anchors_.end()) return parse_failure("found undefined alias '" + std::string(name) + "'", e.start_mark);
  const Anchored& a = it->second;
  if (in_key_position(stack_)) {
    if (!a.scalar_text) return parse_failure("mapping keys must be scalars", e.start_mark);
    return add(a.value, a.scalar_text, e.start_mark);
  }
  alias_nodes_ += a.nodes;
  if (alias_nodes_ > max_alias_nodes)
    return parse_failure("aliases expand to more than " + std::to_string(max_alias_nodes) + " nodes", e.start_mark);
  if (stack_.size() + a.depth > max_parse_depth)
    return parse_failure("recursion limit exceeded", e.start_mark);
  return add(a.value, std::nullopt, e.start_mark);
}

std::optional<Failure> TreeBuilder::start(const yaml_event_t& e, bool mapping) {
  if (in_key_position(stack_)) return parse_failure("mapping keys must be scalars", e.start_mark);
  if (stack_.size() + 1 > max_parse_depth) return parse_failure("recursion limit exceeded", e.start_mark);
  const yaml_char_t* anchor = mapping ? e.data.mapping_start.anchor : e.data.sequence_start.anchor;
  Frame f{mapping, {}, {}, {}, false, {}};
  if (anchor) f.anchor = reinterpret_cast<const char*>(anchor);
  stack_.push_back(std::move(f));
  return std::nullopt;
}

std::optional<Failure> TreeBuilder::end(const yaml_event_t& e) {
  Frame f = std::move(stack_.back());
  stack_.pop_back();
  Value v = f.mapping ? Value(Object::from_unsorted(std::move(f.members))) : Value(std::move(f.items));
  if (!f.anchor.empty()) remember(f.anchor, v, std::nullopt);
  return add(std::move(v), std::nullopt, e.start_mark);
}

Result<Value> TreeBuilder::run() {
  bool seen_document = false;
  for (;;) {
    Event ev;
    if (!yaml_parser_parse(&parser_, &ev.e)) return parser_failure();
    const yaml_event_t& e = ev.e;
    std::optional<Failure> failed;
    switch (e.type) {
      case YAML_STREAM_END_EVENT:
        return std::move(root_);
      case YAML_DOCUMENT_START_EVENT:
        if (seen_document)
          return parse_failure("expected a single document in the stream, but found another document",
                               e.start_mark);
        seen_document = true;
        break;
      case YAML_SCALAR_EVENT:
        failed = scalar(e);
        break;
      case YAML_ALIAS_EVENT:
        failed = alias(e);
        break;
      case YAML_SEQUENCE_START_EVENT:
        failed = start(e, false);
        break;
      case YAML_MAPPING_START_EVENT:
        failed = start(e, true);
        break;
      case YAML_SEQUENCE_END_EVENT:
      case YAML_MAPPING_END_EVENT:
        failed = end(e);
        break;
      default:
        break;
    }
    if (failed) return std::move(*failed);
  }
}

// ---------------------------------------------------------------------------
// Writing

bool is_sign(char c) { return c == '-' || c == '+'; }

// Strings that YAML 1.1 readers (PyYAML and the like) would take for a
// number or a timestamp. Loose on purpose: quoting a real string costs
// nothing, leaving a number-like one plain changes its type.
bool number_like(std::string_view s) {
  std::string_view body = s;
  if (!body.empty() && is_sign(body[0])) body = body.substr(1);
  if (body.empty()) return false;
  if (body == ".inf" || body == ".Inf" || body == ".INF") return true;
  if (!is_digit(body[0]) && body[0] != '.') return false;
  bool digit = false;
  const bool timestamp = s.size() >= 5 && all_of(s.substr(0, 4), is_digit) && s[4] == '-';
  for (char c : body) {
    if (is_digit(c)) {
      digit = true;
    } else if (!(is_hex(c) || c == '_' || c == '.' || c == ':' || is_sign(c) || c == 'x' || c == 'X' ||
                 c == 'o' || c == 'O' || c == 'b' || c == 'B' || c == 't' || c == 'T' || c == 'z' ||
                 c == 'Z' || (timestamp && (c == ' ' || c == '\t')))) {
      return false;
    }
  }
  return digit;
}

bool needs_quotes(std::string_view s) {
  static constexpr std::string_view yaml11_words[] = {
      "y",   "Y",   "yes", "Yes", "YES", "n",     "N",     "no",    "No",  "NO",  "on",  "On",
      "ON",  "off", "Off", "OFF", "true", "True", "TRUE", "false", "False", "FALSE", "=", "<<",
      ".nan", ".NaN", ".NAN"};
  for (auto w : yaml11_words)
    if (s == w) return true;
  if (resolve_plain(s).kind() != Value::Kind::string) return true;
  return number_like(s);
}

struct Emitter {
  yaml_emitter_t em{};
  std::string out;
  std::string error;

  Emitter() {
    if (!yaml_emitter_initialize(&em)) throw std::bad_alloc();
    yaml_emitter_set_output(&em, write_handler, this);
    yaml_emitter_set_unicode(&em, 1);
    yaml_emitter_set_width(&em, -1);
    yaml_emitter_set_indent(&em, 2);
    yaml_emitter_set_break(&em, YAML_LN_BREAK);
  }
  ~Emitter() { yaml_emitter_delete(&em); }
  Emitter(const Emitter&) = delete;
  Emitter& operator=(const Emitter&) = delete;

  static int write_handler(void* data, unsigned char* buffer, std::size_t size) {
    static_cast<Emitter*>(data)->out.append(reinterpret_cast<const char*>(buffer), size);
    return 1;
  }

  bool emit(yaml_event_t& e, int initialized) {
    if (!initialized) {
      // libyaml refuses to make an event only for text that isn't UTF-8.
      if (error.empty()) error = "string is not valid UTF-8";
      return false;
    }
    if (!yaml_emitter_emit(&em, &e)) {
      if (em.error == YAML_MEMORY_ERROR) throw std::bad_alloc();
      if (error.empty()) error = em.problem ? em.problem : "emitter error";
      return false;
    }
    return true;
  }

  bool scalar(std::string_view text, yaml_scalar_style_t style) {
    if (text.size() > INT_MAX) {
      error = "string too long";
      return false;
    }
    yaml_event_t e;
    const int ok = yaml_scalar_event_initialize(&e, nullptr, nullptr,
                                                reinterpret_cast<yaml_char_t*>(const_cast<char*>(text.data())),
                                                static_cast<int>(text.size()), 1, 1, style);
    return emit(e, ok);
  }

  bool string(std::string_view s) {
    if (s.find('\n') != std::string_view::npos) return scalar(s, YAML_LITERAL_SCALAR_STYLE);
    return scalar(s, needs_quotes(s) ? YAML_SINGLE_QUOTED_SCALAR_STYLE : YAML_ANY_SCALAR_STYLE);
  }

  bool number_text(std::string_view text) { return scalar(text, YAML_PLAIN_SCALAR_STYLE); }

  bool real(double d) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, d);
    std::string text(buf, r.ptr);
    // A '.' before any exponent, so that YAML 1.1 readers see a float too.
    const std::size_t e = text.find('e');
    if (text.find('.') == std::string::npos) text.insert(e == std::string::npos ? text.size() : e, ".0");
    return number_text(text);
  }

  bool value(const Value& v) {
    switch (v.kind()) {
      case Value::Kind::null:
        return number_text("null");
      case Value::Kind::boolean:
        return number_text(v.as_bool() ? "true" : "false");
      case Value::Kind::uint: {
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, v.as_uint());
        return number_text(std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)));
      }
      case Value::Kind::sint: {
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, v.as_sint());
        return number_text(std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)));
      }
      case Value::Kind::real:
        return real(v.as_real());
      case Value::Kind::string:
        return string(v.as_string());
      case Value::Kind::array: {
        const auto& a = v.as_array();
        yaml_event_t e;
        int ok = yaml_sequence_start_event_initialize(&e, nullptr, nullptr, 1,
                                                      a.empty() ? YAML_FLOW_SEQUENCE_STYLE
                                                                : YAML_BLOCK_SEQUENCE_STYLE);
        if (!emit(e, ok)) return false;
        for (const auto& item : a)
          if (!value(item)) return false;
        ok = yaml_sequence_end_event_initialize(&e);
        return emit(e, ok);
      }
      case Value::Kind::object: {
        const auto& o = v.as_object();
        yaml_event_t e;
        int ok = yaml_mapping_start_event_initialize(&e, nullptr, nullptr, 1,
                                                     o.empty() ? YAML_FLOW_MAPPING_STYLE
                                                               : YAML_BLOCK_MAPPING_STYLE);
        if (!emit(e, ok)) return false;
        for (const auto& m : o)
          if (!string(m.key) || !value(m.value)) return false;
        ok = yaml_mapping_end_event_initialize(&e);
        return emit(e, ok);
      }
    }
    return false;
  }

  bool document(const Value& root) {
    yaml_event_t e;
    if (!emit(e, yaml_stream_start_event_initialize(&e, YAML_UTF8_ENCODING))) return false;
    if (!emit(e, yaml_document_start_event_initialize(&e, nullptr, nullptr, nullptr, 1))) return false;
    if (!value(root)) return false;
    if (!emit(e, yaml_document_end_event_initialize(&e, 1))) return false;
    if (!emit(e, yaml_stream_end_event_initialize(&e))) return false;
    return yaml_emitter_flush(&em) != 0;
  }
};

}  // namespace

Result<Value> read(int fd) {
  TreeBuilder builder(fd);
  return builder.run();
}

Result<std::string> write(const Value& root) {
  Emitter em;
  em.out.reserve(text_size_hint(root));
  if (!em.document(root)) return type_failure("YAML serialize error: " + em.error);
  if (em.out.empty() || em.out.back() != '\n') em.out += '\n';
  return std::move(em.out);
}

}  // namespace zub::yaml
