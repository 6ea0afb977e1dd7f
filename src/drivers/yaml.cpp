// YAML reading through libfyaml's event parser: the tree is built from the
// events, with YAML 1.2 core-schema resolution of plain scalars.
#include <libfyaml.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "drivers/formats.hpp"
#include "drivers/yaml_scalar.hpp"

namespace zub::yaml {

namespace {

// What aliases may add to a document: at most this many nodes, and at most
// expansion_factor times the file's size in bytes of text (keys and
// strings), or expansion_floor bytes for small files. Far above any real
// configuration; a "billion laughs" document stops after a few megabytes.
constexpr std::size_t max_alias_nodes = 1000000;
constexpr std::uint64_t expansion_factor = 64;
constexpr std::uint64_t expansion_floor = std::uint64_t{64} << 20;

constexpr std::string_view core_prefix = "tag:yaml.org,2002:";

// The stream as it is read: YAML text is UTF-8 of printable characters,
// and the library does not check all of it (it ends the stream quietly at
// bad UTF-8 in a comment, and takes control characters in scalars).
class InputCheck {
 public:
  // False at the first bad character; problem() then says what and where.
  bool scan(const unsigned char* p, std::size_t n) {
    for (const unsigned char* end = p + n; p != end; ++p) {
      const unsigned char b = *p;
      if (need_ > 0) {
        if ((b & 0xC0) != 0x80) return fail("invalid UTF-8");
        cp_ = (cp_ << 6) | (b & 0x3Fu);
        if (--need_ == 0 && !complete()) return false;
        continue;
      }
      ++column_;
      if (b < 0x80) {
        if (b == '\n') {
          ++line_;
          column_ = 0;
        } else if ((b < 0x20 && b != '\t' && b != '\r') || b == 0x7F) {
          cp_ = b;
          return fail_character();
        }
        continue;
      }
      if (b >= 0xC2 && b <= 0xDF) {
        need_ = 1;
        cp_ = b & 0x1Fu;
        least_ = 0x80;
      } else if (b >= 0xE0 && b <= 0xEF) {
        need_ = 2;
        cp_ = b & 0x0Fu;
        least_ = 0x800;
      } else if (b >= 0xF0 && b <= 0xF4) {
        need_ = 3;
        cp_ = b & 0x07u;
        least_ = 0x10000;
      } else {
        return fail("invalid UTF-8");
      }
    }
    return true;
  }

  bool finish() { return need_ == 0 || fail("invalid UTF-8"); }

  const std::string& problem() const { return problem_; }

 private:
  bool complete() {
    if (cp_ < least_ || cp_ > 0x10FFFF || (cp_ >= 0xD800 && cp_ <= 0xDFFF)) return fail("invalid UTF-8");
    if ((cp_ >= 0x80 && cp_ <= 0x9F && cp_ != 0x85) || cp_ == 0xFFFE || cp_ == 0xFFFF) return fail_character();
    return true;
  }

  bool fail_character() {
    char buf[16];
    std::snprintf(buf, sizeof buf, "U+%04X", static_cast<unsigned>(cp_));
    return fail(std::string("character ") + buf + " is not allowed");
  }

  bool fail(std::string what) {
    problem_ = std::move(what) + " at line " + std::to_string(line_ + 1) + " column " + std::to_string(column_);
    return false;
  }

  int need_ = 0;
  std::uint32_t cp_ = 0;
  std::uint32_t least_ = 0;
  std::size_t line_ = 0;
  std::size_t column_ = 0;
  std::string problem_;
};

struct FdInput {
  int fd;
  int error = 0;
  InputCheck check;
  bool bad = false;
};

// Reads through an 8192-byte buffer. On a failure the input ends early and
// the builder reports it: the library would retry a failed read forever.
ssize_t read_input(void* user, void* buffer, std::size_t count) {
  auto* in = static_cast<FdInput*>(user);
  if (in->error || in->bad) return 0;
  const std::size_t want = std::min<std::size_t>(count, 8192);
  for (;;) {
    const ssize_t n = ::read(in->fd, buffer, want);
    if (n > 0) {
      if (!in->check.scan(static_cast<const unsigned char*>(buffer), static_cast<std::size_t>(n))) {
        in->bad = true;
        return 0;
      }
      return n;
    }
    if (n == 0) {
      if (!in->check.finish()) in->bad = true;
      return 0;
    }
    if (errno != EINTR) {
      in->error = errno;
      return 0;
    }
  }
}

std::string at_mark(int line, int column) {
  return " at line " + std::to_string(line + 1) + " column " + std::to_string(column + 1);
}

Failure parse_failure(std::string what, const fy_mark* mark) {
  if (!mark) return type_failure("YAML parse error: " + std::move(what));
  return type_failure("YAML parse error: " + std::move(what) + at_mark(mark->line, mark->column));
}

std::string_view token_text(fy_token* t) {
  std::size_t len = 0;
  const char* s = fy_token_get_text(t, &len);
  if (!s) throw std::bad_alloc();
  return {s, len};
}

// What a finished node adds to the document, for the alias budget.
struct Extent {
  std::uint64_t nodes = 0;
  std::uint64_t bytes = 0;
  std::size_t depth = 0;

  void add(const Extent& e) {
    nodes += e.nodes;
    bytes += e.bytes;
    depth = std::max(depth, e.depth);
  }
};

// A position in the tree: an item's index or a member's key.
using Step = std::variant<std::size_t, std::string>;

// An anchored node. Its value waits here, not in the tree, so that aliases
// copy it while the tree holds a placeholder naming it; when the document
// ends the value moves to where it was defined. Nothing is copied for an
// anchor no alias uses.
struct Anchor {
  Value value;
  std::optional<std::string> scalar_text;  // as written, for use as a key
  Extent extent;
  std::vector<Step> path;  // where it was defined; empty for a key or the root
  bool placed = false;     // whether the tree holds its placeholder
};

struct Frame {
  bool mapping;
  std::vector<Member> members;
  Array items;
  std::string key;
  bool has_key = false;
  std::optional<std::string> anchor;
  Extent extent;
};

struct ParserDeleter {
  void operator()(fy_parser* p) const { fy_parser_destroy(p); }
};
struct DiagDeleter {
  void operator()(fy_diag* d) const { fy_diag_unref(d); }
};

class TreeBuilder {
 public:
  explicit TreeBuilder(int fd) : input_{fd, 0, {}, false} {
    fy_diag_cfg dcfg;
    fy_diag_cfg_default(&dcfg);
    dcfg.fp = nullptr;
    dcfg.output_fn = [](fy_diag*, void*, const char*, std::size_t) {};
    diag_.reset(fy_diag_create(&dcfg));
    if (!diag_) throw std::bad_alloc();
    fy_diag_set_collect_errors(diag_.get(), true);
    // Nesting is bounded here, at 128 levels, before the library's own limit.
    fy_parse_cfg cfg{};
    cfg.flags = static_cast<fy_parse_cfg_flags>(FYPCF_QUIET | FYPCF_DISABLE_DEPTH_LIMIT | FYPCF_DEFAULT_VERSION_1_2 |
                                                FYPCF_JSON_NONE);
    cfg.diag = diag_.get();
    parser_.reset(fy_parser_create(&cfg));
    if (!parser_ || fy_parser_set_input_callback(parser_.get(), &input_, read_input) != 0) throw std::bad_alloc();
    struct stat st {};
    const std::uint64_t size = ::fstat(fd, &st) == 0 && st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    alias_byte_budget_ = std::max(expansion_floor, size * expansion_factor);
  }

  Result<Value> run();

 private:
  struct EventDeleter {
    fy_parser* parser;
    void operator()(fy_event* e) const { fy_parser_event_free(parser, e); }
  };

  Failure parser_failure();
  std::optional<Failure> add(Value v, std::optional<std::string> scalar_text, const Extent& extent,
                             const fy_mark* mark);
  std::optional<Failure> scalar(fy_event* e);
  std::optional<Failure> alias(fy_event* e);
  std::optional<Failure> start(fy_event* e, bool mapping);
  std::optional<Failure> end(fy_event* e);
  std::optional<Failure> check_tag(fy_token* tag, std::string_view kind, const fy_mark* mark, std::string* out);
  std::optional<Failure> anchored(std::string name, Value& v, std::optional<std::string> text, const Extent& extent);
  Value placeholder(std::size_t id);
  std::optional<std::size_t> placeholder_id(const Value& v) const;
  Value expand(const Value& v) const;
  void place_anchors();

  FdInput input_;
  std::unique_ptr<fy_diag, DiagDeleter> diag_;
  std::unique_ptr<fy_parser, ParserDeleter> parser_;
  std::vector<Frame> stack_;
  std::vector<Anchor> anchors_;
  std::unordered_map<std::string, std::size_t> anchor_ids_;
  std::string token_;  // the placeholders' common prefix, random per load
  std::uint64_t alias_nodes_ = 0;
  std::uint64_t alias_bytes_ = 0;
  std::uint64_t alias_byte_budget_ = 0;
  Value root_;
};

Failure TreeBuilder::parser_failure() {
  // A failed read of the stream is the parser's failure too, with its prefix.
  if (input_.error) return type_failure("YAML parse error: " + os_error_text(input_.error));
  if (input_.bad) return type_failure("YAML parse error: " + input_.check.problem());
  void* iter = nullptr;
  while (fy_diag_error* err = fy_diag_errors_iterate(diag_.get(), &iter)) {
    if (err->type != FYET_ERROR) continue;
    // Collected errors count lines and columns from 1.
    std::string msg = err->msg ? err->msg : "unknown error";
    return type_failure("YAML parse error: " + msg + at_mark(err->line - 1, err->column - 1));
  }
  return type_failure("YAML parse error: unknown error");
}

// Only the core schema's tags, and the non-specific "!", mean something to
// the tree: any other tag would be lost on the way in, so it is refused.
std::optional<Failure> TreeBuilder::check_tag(fy_token* tag, std::string_view kind, const fy_mark* mark,
                                              std::string* out) {
  if (const fy_mark* at = fy_token_start_mark(tag)) mark = at;
  const std::string_view full = token_text(tag);
  if (full == "!") {
    *out = "!";
    return std::nullopt;
  }
  if (full.starts_with(core_prefix)) {
    const std::string_view type = full.substr(core_prefix.size());
    const bool scalar_type = type == "str" || type == "int" || type == "float" || type == "bool" || type == "null";
    if ((kind == "scalar" && scalar_type) || (kind == "mapping" && type == "map") ||
        (kind == "sequence" && type == "seq")) {
      *out = type;
      return std::nullopt;
    }
    if (scalar_type || type == "map" || type == "seq")
      return parse_failure("tag !!" + std::string(type) + " does not fit a " + std::string(kind), mark);
  }
  std::size_t len = 0;
  const char* shown = fy_tag_token_short(tag, &len);
  std::string name = shown && len ? std::string(shown, len) : std::string(full);
  // Under a %TAG directive the short form hides what the tag is.
  if (name != full && !full.starts_with(core_prefix)) name += " (" + std::string(full) + ")";
  return parse_failure("tag " + name + " is not supported (only the YAML core schema's tags are)", mark);
}

std::optional<Failure> TreeBuilder::add(Value v, std::optional<std::string> scalar_text, const Extent& extent,
                                        const fy_mark* mark) {
  if (stack_.empty()) {
    root_ = std::move(v);
    return std::nullopt;
  }
  Frame& top = stack_.back();
  if (!top.mapping) {
    top.items.push_back(std::move(v));
    top.extent.add(extent);
  } else if (!top.has_key) {
    if (!scalar_text) return parse_failure("mapping keys must be scalars", mark);
    top.extent.bytes += scalar_text->size();
    top.key = std::move(*scalar_text);
    top.has_key = true;
  } else {
    top.members.push_back(Member{std::move(top.key), std::move(v)});
    top.key.clear();
    top.has_key = false;
    top.extent.add(extent);
  }
  return std::nullopt;
}

bool in_key_position(const std::vector<Frame>& stack) {
  return !stack.empty() && stack.back().mapping && !stack.back().has_key;
}

std::optional<Failure> TreeBuilder::scalar(fy_event* e) {
  const auto& s = e->scalar;
  const fy_mark* mark = fy_event_start_mark(e);
  const std::string_view text = token_text(s.value);
  const bool plain = fy_token_scalar_style(s.value) == FYSS_PLAIN;
  Value v;
  std::string type;
  if (s.tag) {
    if (auto failed = check_tag(s.tag, "scalar", mark, &type)) return failed;
  }
  if (type.empty()) {
    v = plain ? resolve_plain(text) : Value(std::string(text));
  } else if (type == "!" || type == "str") {
    v = Value(std::string(text));
  } else {
    std::optional<Value> typed;
    if (type == "int") {
      typed = int_text(text);
    } else if (type == "float") {
      typed = float_text(text);
      if (!typed) typed = int_text(text);
      if (typed && typed->kind() == Value::Kind::uint) typed = Value::from_double(static_cast<double>(typed->as_uint()));
      if (typed && typed->kind() == Value::Kind::sint) typed = Value::from_double(static_cast<double>(typed->as_sint()));
    } else if (type == "bool") {
      if (auto b = bool_text(text)) typed = Value(*b);
    } else if (is_null_text(text)) {
      typed = Value();
    }
    if (!typed) return parse_failure("invalid value '" + std::string(text) + "' for tag !!" + type, mark);
    v = std::move(*typed);
  }
  const Extent extent{1, text.size(), 0};
  std::optional<std::string> key_text(std::in_place, text);
  if (s.anchor) {
    if (auto failed = anchored(std::string(token_text(s.anchor)), v, key_text, extent)) return failed;
  }
  return add(std::move(v), std::move(key_text), extent, mark);
}

std::optional<Failure> TreeBuilder::alias(fy_event* e) {
  // The alias token holds the name: the '*' stands just before it.
  fy_mark star{};
  const fy_mark* mark = nullptr;
  if (const fy_mark* at = fy_event_start_mark(e)) {
    star = *at;
    star.column = std::max(0, star.column - 1);
    mark = &star;
  }
  const std::string_view name = token_text(e->alias.anchor);
  auto it = anchor_ids_.find(std::string(name));
  if (it == anchor_ids_.end()) return parse_failure("undefined alias '" + std::string(name) + "'", mark);
  const Anchor& a = anchors_[it->second];
  if (in_key_position(stack_)) {
    if (!a.scalar_text) return parse_failure("mapping keys must be scalars", mark);
    alias_nodes_ += 1;
    alias_bytes_ += a.scalar_text->size();
  } else {
    alias_nodes_ += a.extent.nodes;
    alias_bytes_ += a.extent.bytes;
  }
  if (alias_nodes_ > max_alias_nodes)
    return parse_failure("aliases expand to more than " + std::to_string(max_alias_nodes) + " nodes", mark);
  if (alias_bytes_ > alias_byte_budget_)
    return parse_failure("aliases expand to more than " + std::to_string(alias_byte_budget_) +
                             " bytes (64 times the file's size, at least 64 MiB)",
                         mark);
  if (stack_.size() + a.extent.depth > max_parse_depth) return parse_failure("recursion limit exceeded", mark);
  return add(expand(a.value), a.scalar_text, a.extent, mark);
}

std::optional<Failure> TreeBuilder::start(fy_event* e, bool mapping) {
  const fy_mark* mark = fy_event_start_mark(e);
  if (in_key_position(stack_)) return parse_failure("mapping keys must be scalars", mark);
  if (stack_.size() + 1 > max_parse_depth) return parse_failure("recursion limit exceeded", mark);
  fy_token* tag = mapping ? e->mapping_start.tag : e->sequence_start.tag;
  fy_token* anchor = mapping ? e->mapping_start.anchor : e->sequence_start.anchor;
  if (tag) {
    std::string type;
    if (auto failed = check_tag(tag, mapping ? "mapping" : "sequence", mark, &type)) return failed;
  }
  Frame f{mapping, {}, {}, {}, false, {}, {}};
  if (anchor) f.anchor = std::string(token_text(anchor));
  stack_.push_back(std::move(f));
  return std::nullopt;
}

std::optional<Failure> TreeBuilder::end(fy_event* e) {
  Frame f = std::move(stack_.back());
  stack_.pop_back();
  Value v = f.mapping ? Value(Object::from_unsorted(std::move(f.members))) : Value(std::move(f.items));
  Extent extent = f.extent;
  extent.nodes += 1;
  extent.depth += 1;
  if (f.anchor) {
    if (auto failed = anchored(std::move(*f.anchor), v, std::nullopt, extent)) return failed;
  }
  return add(std::move(v), std::nullopt, extent, fy_event_start_mark(e));
}

// Keeps an anchored node aside and leaves a placeholder in `v`, unless the
// node is a mapping key (the key keeps its text) or the root.
std::optional<Failure> TreeBuilder::anchored(std::string name, Value& v, std::optional<std::string> text,
                                             const Extent& extent) {
  const std::size_t id = anchors_.size();
  Anchor a{{}, std::move(text), extent, {}, false};
  if (!stack_.empty() && !in_key_position(stack_)) {
    a.path.reserve(stack_.size());
    for (const Frame& f : stack_) {
      if (f.mapping)
        a.path.emplace_back(f.key);
      else
        a.path.emplace_back(f.items.size());
    }
    a.value = std::exchange(v, placeholder(id));
    a.placed = true;
  } else if (!stack_.empty()) {
    a.value = v;  // a scalar key keeps its value for aliases in value position
  }
  anchors_.push_back(std::move(a));
  anchor_ids_.insert_or_assign(std::move(name), id);
  return std::nullopt;
}

Value TreeBuilder::placeholder(std::size_t id) {
  if (token_.empty()) {
    // Random per load, so that no text in a file can pass for one.
    std::random_device rd;
    token_.assign("\0zub-anchor-", 12);
    for (int i = 0; i < 4; ++i) {
      const std::uint32_t r = rd();
      token_.append(reinterpret_cast<const char*>(&r), sizeof r);
    }
  }
  std::string s = token_;
  s.append(reinterpret_cast<const char*>(&id), sizeof id);
  return Value(std::move(s));
}

std::optional<std::size_t> TreeBuilder::placeholder_id(const Value& v) const {
  if (token_.empty() || v.kind() != Value::Kind::string) return std::nullopt;
  const std::string& s = v.as_string();
  if (s.size() != token_.size() + sizeof(std::size_t) || !s.starts_with(token_)) return std::nullopt;
  std::size_t id = 0;
  std::memcpy(&id, s.data() + token_.size(), sizeof id);
  return id;
}

// A copy of an anchored value, with the anchors nested in it filled in.
Value TreeBuilder::expand(const Value& v) const {
  if (auto id = placeholder_id(v)) return expand(anchors_[*id].value);
  if (v.is_array()) {
    Array out;
    out.reserve(v.as_array().size());
    for (const auto& item : v.as_array()) out.push_back(expand(item));
    return Value(std::move(out));
  }
  if (const auto* o = v.if_object()) {
    std::vector<Member> members;
    members.reserve(o->size());
    for (const auto& m : *o) members.push_back(Member{m.key, expand(m.value)});
    return Value(Object::from_unsorted(std::move(members)));
  }
  return v;
}

// Moves every anchored value to where it was defined: outer anchors first
// (they were finished last), so that an inner one's path leads through its
// outer one's value.
void TreeBuilder::place_anchors() {
  for (std::size_t i = anchors_.size(); i-- > 0;) {
    Anchor& a = anchors_[i];
    if (!a.placed) continue;
    Value* at = &root_;
    for (const Step& step : a.path) {
      if (!at) break;
      if (const auto* index = std::get_if<std::size_t>(&step)) {
        at = at->is_array() && *index < at->as_array().size() ? &at->as_array()[*index] : nullptr;
      } else {
        Object* o = at->if_object();
        at = o ? o->find(std::get<std::string>(step)) : nullptr;
      }
    }
    // A later duplicate key may have replaced the node or one holding it.
    if (at && placeholder_id(*at) == i) *at = std::move(a.value);
  }
}

Result<Value> TreeBuilder::run() {
  bool seen_document = false;
  for (;;) {
    std::unique_ptr<fy_event, EventDeleter> ev(fy_parser_parse(parser_.get()), EventDeleter{parser_.get()});
    if (!ev) return parser_failure();
    fy_event* e = ev.get();
    std::optional<Failure> failed;
    switch (e->type) {
      case FYET_STREAM_END:
        if (input_.error || input_.bad) return parser_failure();
        place_anchors();
        return std::move(root_);
      case FYET_DOCUMENT_START:
        if (seen_document)
          return parse_failure("expected a single document in the stream, but found another document",
                               fy_event_start_mark(e));
        seen_document = true;
        break;
      case FYET_SCALAR:
        failed = scalar(e);
        break;
      case FYET_ALIAS:
        failed = alias(e);
        break;
      case FYET_SEQUENCE_START:
        failed = start(e, false);
        break;
      case FYET_MAPPING_START:
        failed = start(e, true);
        break;
      case FYET_SEQUENCE_END:
      case FYET_MAPPING_END:
        failed = end(e);
        break;
      default:
        break;
    }
    if (failed) return std::move(*failed);
  }
}

}  // namespace

Result<Value> read(int fd) {
  TreeBuilder builder(fd);
  return builder.run();
}

}  // namespace zub::yaml
