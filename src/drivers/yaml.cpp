// YAML reading through libfyaml's event parser: the tree is built from the
// events, with YAML 1.2 core-schema resolution of plain scalars.
#include <libfyaml.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "drivers/file_io.hpp"
#include "drivers/formats.hpp"
#include "drivers/yaml_marks.hpp"
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
  // False at the first bad character; what() and offset() then say what
  // and where (the offset of the character's first byte in the stream).
  bool scan(const unsigned char* p, std::size_t n) {
    const unsigned char* const begin = p;
    const unsigned char* const end = p + n;
    while (p != end) {
      if (need_ == 0) {
        while (p != end && plain[*p]) ++p;
        if (p == end) break;
        const unsigned char b = *p;
        offset_ = base_ + static_cast<std::uint64_t>(p - begin);
        ++p;
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
        } else if (b < 0x80) {
          cp_ = b;
          return fail_character();
        } else {
          return fail("invalid UTF-8");
        }
        continue;
      }
      const unsigned char b = *p++;
      if ((b & 0xC0) != 0x80) return fail("invalid UTF-8");
      cp_ = (cp_ << 6) | (b & 0x3Fu);
      if (--need_ == 0 && !complete()) return false;
    }
    base_ += n;
    return true;
  }

  bool finish() { return need_ == 0 || fail("invalid UTF-8"); }

  const std::string& what() const { return what_; }
  std::uint64_t offset() const { return offset_; }

 private:
  // Printable ASCII and the three allowed controls need no further look.
  static constexpr auto plain = [] {
    std::array<bool, 256> t{};
    for (std::size_t c = 0x20; c < 0x7F; ++c) t[c] = true;
    t['\t'] = t['\n'] = t['\r'] = true;
    return t;
  }();

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
    what_ = std::move(what);
    return false;
  }

  int need_ = 0;
  std::uint32_t cp_ = 0;
  std::uint32_t least_ = 0;
  std::uint64_t base_ = 0;
  std::uint64_t offset_ = 0;
  std::string what_;
};

// " at line L column C" for a byte offset in the text, columns in characters.
std::string position(std::string_view text, std::uint64_t offset) {
  text = text.substr(0, static_cast<std::size_t>(std::min<std::uint64_t>(offset, text.size())));
  const std::size_t line_start = text.rfind('\n') + 1;  // 0 when there is none
  const auto line = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  std::size_t column = 0;
  for (char c : text.substr(line_start)) column += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return " at line " + std::to_string(line + 1) + " column " + std::to_string(column + 1);
}

// The whole file, read through an 8192-byte buffer and checked on the way.
// libfyaml then parses it in place: its own stream input grows its buffer a
// chunk at a time, which made large files slower to read than libyaml did.
Result<std::string> read_text(int fd) {
  std::string text;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && st.st_size > 0) text.reserve(static_cast<std::size_t>(st.st_size));
  InputCheck check;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return type_failure("YAML parse error: " + os_error_text(errno));
    }
    const bool ok = n == 0 ? check.finish()
                           : check.scan(reinterpret_cast<const unsigned char*>(buffer), static_cast<std::size_t>(n));
    text.append(buffer, static_cast<std::size_t>(n));
    if (!ok) return type_failure("YAML parse error: " + check.what() + position(text, check.offset()));
    if (n == 0) return text;
  }
}

std::string at_mark(int line, int column) {
  return " at line " + std::to_string(line + 1) + " column " + std::to_string(column + 1);
}

Failure parse_failure(std::string what, const fy_mark* mark) {
  if (!mark) return type_failure("YAML parse error: " + std::move(what));
  return type_failure("YAML parse error: " + std::move(what) + at_mark(mark->line, mark->column));
}

// The position of an alias event is its name's: the '*' stands just before.
Failure event_failure(std::string what, fy_event* e) {
  const fy_mark* at = fy_event_start_mark(e);
  if (!at || e->type != FYET_ALIAS) return parse_failure(std::move(what), at);
  fy_mark star = *at;
  star.column = std::max(0, star.column - 1);
  return parse_failure(std::move(what), &star);
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

// An open collection. Its members or items wait on the builder's stacks,
// shared by every level, from `from` on: each container is then made once,
// at its size.
struct Frame {
  bool mapping;
  std::size_t from = 0;
  std::size_t count = 0;  // items so far (a sequence's)
  std::string key;
  bool has_key = false;
  std::optional<std::string> anchor;
  Extent extent;
};

// libfyaml's first error, taken from its diagnostic output, which reads
// "<input>:LINE:COLUMN: error: MESSAGE" (lines and columns from 1). Its way
// of collecting errors instead leaks the input on some errors.
void on_diagnostic(fy_diag*, void* user, const char* buf, std::size_t len) noexcept {
  auto* error = static_cast<std::string*>(user);
  if (!error->empty()) return;
  const std::string_view text(buf, len);
  const std::size_t mark = text.find(": error: ");
  if (mark == std::string_view::npos) return;
  std::string_view message = text.substr(mark + 9);
  message = message.substr(0, message.find('\n'));
  const std::string_view where = text.substr(0, mark);
  const std::size_t colon = where.rfind(':');
  const std::size_t colon2 = colon == std::string_view::npos || colon == 0 ? std::string_view::npos
                                                                             : where.rfind(':', colon - 1);
  try {
    *error = std::string(message);
    if (colon2 != std::string_view::npos)
      *error += " at line " + std::string(where.substr(colon2 + 1, colon - colon2 - 1)) + " column " +
                std::string(where.substr(colon + 1));
  } catch (...) {
    error->clear();  // out of memory: "unknown error" will do
  }
}

struct ParserDeleter {
  void operator()(fy_parser* p) const { fy_parser_destroy(p); }
};
struct DiagDeleter {
  void operator()(fy_diag* d) const { fy_diag_unref(d); }
};

// libfyaml's parser over a text, its diagnostics handed to `report` (with
// `user`) instead of the process's standard error. Nesting is bounded by
// the reader, at 128 levels, before the library's own limit.
class Parser {
 public:
  Parser(std::string_view text, fy_diag_output_fn report, void* user = nullptr) {
    fy_diag_cfg dcfg;
    fy_diag_cfg_default(&dcfg);
    dcfg.fp = nullptr;
    dcfg.output_fn = report;
    dcfg.user = user;
    dcfg.level = FYET_ERROR;
    dcfg.colorize = false;
    dcfg.show_source = false;
    dcfg.show_position = true;
    dcfg.show_type = true;
    dcfg.show_module = false;
    diag_.reset(fy_diag_create(&dcfg));
    if (!diag_) throw std::bad_alloc();
    fy_parse_cfg cfg{};
    cfg.flags = static_cast<fy_parse_cfg_flags>(FYPCF_QUIET | FYPCF_DISABLE_DEPTH_LIMIT | FYPCF_DEFAULT_VERSION_1_2 |
                                                FYPCF_JSON_NONE);
    cfg.diag = diag_.get();
    parser_.reset(fy_parser_create(&cfg));
    if (!parser_ || fy_parser_set_string(parser_.get(), text.data(), text.size()) != 0) throw std::bad_alloc();
  }
  fy_parser* get() const noexcept { return parser_.get(); }

 private:
  std::unique_ptr<fy_diag, DiagDeleter> diag_;  // outlives the parser
  std::unique_ptr<fy_parser, ParserDeleter> parser_;
};

// Diagnostics nobody reads: what a comparing read or the locator meets is
// answered by the full read, which words its errors.
void ignore_diagnostic(fy_diag*, void*, const char*, std::size_t) noexcept {}

bool record(Marks& out, fy_event* e, std::string_view text, const std::string_view* key);

class TreeBuilder {
 public:
  // marks: where to record the events' marks, if anywhere.
  explicit TreeBuilder(std::string_view text, Marks* marks = nullptr)
      : text_(text), marks_(marks), parser_(text, on_diagnostic, &error_) {
    alias_byte_budget_ = std::max(expansion_floor, text.size() * expansion_factor);
  }

  Result<Value> run();

 private:
  struct EventDeleter {
    fy_parser* parser;
    void operator()(fy_event* e) const { fy_parser_event_free(parser, e); }
  };

  Failure parser_failure();
  std::optional<Failure> add(Value v, std::optional<std::string> scalar_text, const Extent& extent, fy_event* e);
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
  void note(fy_event* e, std::string_view text, bool key) {
    if (marks_ && marks_sound_) marks_sound_ = record(*marks_, e, text, key ? &text : nullptr);
  }

  std::string_view text_;  // the whole input
  Marks* marks_;
  bool marks_sound_ = true;  // every event so far had its marks
  std::string error_;      // libfyaml's first error, with its position
  Parser parser_;
  std::vector<Frame> stack_;
  std::vector<Member> members_;  // of every open mapping, innermost last
  std::vector<Value> items_;     // of every open sequence, innermost last
  std::vector<Anchor> anchors_;
  std::unordered_map<std::string, std::size_t> anchor_ids_;
  std::string token_;  // the placeholders' common prefix, random per load
  std::uint64_t alias_nodes_ = 0;
  std::uint64_t alias_bytes_ = 0;
  std::uint64_t alias_byte_budget_ = 0;
  Value root_;
};

Failure TreeBuilder::parser_failure() {
  return type_failure("YAML parse error: " + (error_.empty() ? std::string("unknown error") : error_));
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
                                        fy_event* e) {
  if (stack_.empty()) {
    root_ = std::move(v);
    return std::nullopt;
  }
  Frame& top = stack_.back();
  if (!top.mapping) {
    items_.push_back(std::move(v));
    ++top.count;
    top.extent.add(extent);
  } else if (!top.has_key) {
    if (!scalar_text) return event_failure("mapping keys must be scalars", e);
    top.extent.bytes += scalar_text->size();
    top.key = std::move(*scalar_text);
    top.has_key = true;
  } else {
    members_.push_back(Member{std::move(top.key), std::move(v)});
    top.key.clear();
    top.has_key = false;
    top.extent.add(extent);
  }
  return std::nullopt;
}

bool in_key_position(const std::vector<Frame>& stack) {
  return !stack.empty() && stack.back().mapping && !stack.back().has_key;
}

bool strips_final_break(std::string_view text, fy_token* token);

// libfyaml 0.9.4 formats some folded scalars (a more-indented line after an
// empty one) short of the length it reports, and the rest of the text is
// whatever the buffer held. Such text has bytes no folded scalar can hold,
// or lacks the final line break its chomping asks for: refused, not loaded.

// It does the same to some literal scalars with more-indented lines, and
// there the stale bytes may be the document's own. A literal's text is its
// source lines less one indentation, so each line read is checked against
// the line it came from: the same text after spaces, as many spaces before
// every line with text, only spaces on a line read as empty.
bool literal_text_sound(std::string_view text, std::string_view literal, fy_token* token) {
  const fy_mark* at = fy_token_start_mark(token);
  if (!at || at->input_pos > text.size()) return false;
  std::size_t pos = at->input_pos;  // the start of the first content line
  std::size_t indent = std::string_view::npos;
  while (!literal.empty()) {
    const std::size_t brk = literal.find('\n');
    const std::string_view line = literal.substr(0, brk);
    literal.remove_prefix(brk == std::string_view::npos ? literal.size() : brk + 1);
    if (pos > text.size()) return false;
    std::size_t stop = text.find('\n', pos);
    const std::size_t next = stop == std::string_view::npos ? text.size() + 1 : stop + 1;
    if (stop == std::string_view::npos) stop = text.size();
    std::string_view source = text.substr(pos, stop - pos);
    if (source.ends_with('\r')) source.remove_suffix(1);
    pos = next;
    if (!source.ends_with(line)) return false;
    const std::string_view lead = source.substr(0, source.size() - line.size());
    if (lead.find_first_not_of(' ') != std::string_view::npos) return false;
    if (line.empty()) continue;
    if (indent == std::string_view::npos) indent = lead.size();
    if (lead.size() != indent) return false;
  }
  return true;
}

bool folded_text_sound(std::string_view text, std::string_view folded, fy_token* token) {
  for (const char c : folded) {
    const auto b = static_cast<unsigned char>(c);
    if ((b < 0x20 && b != '\n' && b != '\t') || b == 0x7F) return false;
  }
  InputCheck utf8;
  if (!utf8.scan(reinterpret_cast<const unsigned char*>(folded.data()), folded.size()) || !utf8.finish()) return false;
  return strips_final_break(text, token) || folded.empty() || folded.back() == '\n';
}

// Whether a folded scalar's header (the line before its content, ending in
// '>' and up to two indicators) asks to strip the final line break. When
// the header cannot be found, it is taken to strip: the check is then only
// the weaker one.
bool strips_final_break(std::string_view text, fy_token* token) {
  const fy_mark* at = fy_token_start_mark(token);
  if (!at || at->input_pos == 0 || at->input_pos > text.size()) return true;
  std::string_view line = text.substr(0, at->input_pos - 1);
  line = line.substr(line.rfind('\n') + 1);
  for (std::size_t i = line.find('>'); i != std::string_view::npos; i = line.find('>', i + 1)) {
    std::size_t end = i + 1;
    while (end < line.size() && end - i <= 2 && std::string_view("123456789+-").find(line[end]) != std::string_view::npos)
      ++end;
    if (end == line.size() || line[end] == ' ' || line[end] == '\t' || line[end] == '\r')
      return line.substr(i, end - i).find('-') != std::string_view::npos;
  }
  return true;
}

// A double-quoted scalar's text, decoded here from the source: libfyaml
// 0.9.4 misreads many that span lines. An escaped space that ends a line
// comes back without it and without the space the break folds to; some
// runs of escaped and empty lines lose a line feed or an escaped space;
// and the text keeps its full length, the last bytes whatever libfyaml's
// buffer held. Lines fold as YAML says: white space before a line break
// goes (not an escaped one), a break becomes a space, each empty line after
// it a line feed, and an escaped break joins the lines, keeping the white
// space before it and a line feed per empty line after it. False for an
// escape that is not YAML's or a code point no text may hold.
bool double_quoted(std::string_view text, fy_token* token, std::string& out) {
  const fy_mark* from = fy_token_start_mark(token);
  const fy_mark* to = fy_token_end_mark(token);
  // The marks enclose the text between the quotes.
  if (!from || !to || from->input_pos == 0 || to->input_pos >= text.size() || to->input_pos < from->input_pos ||
      text[from->input_pos - 1] != '"' || text[to->input_pos] != '"')
    return false;
  const std::string_view raw = text.substr(from->input_pos, to->input_pos - from->input_pos);
  std::size_t i = 0;
  const auto is_blank = [&] { return i < raw.size() && (raw[i] == ' ' || raw[i] == '\t'); };
  const auto line_break = [&]() -> std::size_t {  // the length of a break at i, or 0
    if (i >= raw.size()) return 0;
    if (raw[i] == '\n') return 1;
    if (raw[i] == '\r') return i + 1 < raw.size() && raw[i + 1] == '\n' ? 2 : 1;
    return 0;
  };
  // After a break: the empty lines that follow it, and the next line's
  // leading white space.
  const auto empty_lines = [&] {
    std::size_t count = 0;
    for (;;) {
      while (is_blank()) ++i;
      const std::size_t brk = line_break();
      if (brk == 0) return count;
      i += brk;
      ++count;
    }
  };
  std::size_t blanks = 0;  // white space read and not yet known to be content
  while (i < raw.size()) {
    if (is_blank()) {
      ++blanks;
      ++i;
      continue;
    }
    if (const std::size_t brk = line_break()) {  // trailing white space goes
      blanks = 0;
      i += brk;
      const std::size_t empty = empty_lines();
      out.append(empty ? empty : 1, empty ? '\n' : ' ');
      continue;
    }
    out.append(raw.substr(i - blanks, blanks));
    blanks = 0;
    if (raw[i] != '\\') {
      const std::size_t run = raw.find_first_of(" \t\r\n\\", i);
      const std::size_t stop = run == std::string_view::npos ? raw.size() : run;
      out.append(raw.substr(i, stop - i));
      i = stop;
      continue;
    }
    if (++i == raw.size()) return false;
    const char c = raw[i++];
    if (c == '\n' || c == '\r') {  // an escaped break: the lines join
      if (c == '\r' && i < raw.size() && raw[i] == '\n') ++i;
      out.append(empty_lines(), '\n');
      continue;
    }
    int digits = 0;
    switch (c) {
      case '0': out += '\0'; break;
      case 'a': out += '\a'; break;
      case 'b': out += '\b'; break;
      case 't': case '\t': out += '\t'; break;
      case 'n': out += '\n'; break;
      case 'v': out += '\v'; break;
      case 'f': out += '\f'; break;
      case 'r': out += '\r'; break;
      case 'e': out += '\x1b'; break;
      case ' ': case '"': case '/': case '\\': out += c; break;
      case 'N': io::append_utf8(out, 0x85); break;
      case '_': io::append_utf8(out, 0xA0); break;
      case 'L': io::append_utf8(out, 0x2028); break;
      case 'P': io::append_utf8(out, 0x2029); break;
      case 'x': digits = 2; break;
      case 'u': digits = 4; break;
      case 'U': digits = 8; break;
      default: return false;
    }
    if (digits == 0) continue;
    const auto hex = [&](int count) -> std::optional<std::uint32_t> {
      if (raw.size() - i < static_cast<std::size_t>(count)) return std::nullopt;
      std::uint32_t cp = 0;
      for (int d = 0; d < count; ++d) {
        const char h = raw[i++];
        const int v = h >= '0' && h <= '9' ? h - '0' : (h | 0x20) >= 'a' && (h | 0x20) <= 'f' ? (h | 0x20) - 'a' + 10 : -1;
        if (v < 0) return std::nullopt;
        cp = cp * 16 + static_cast<std::uint32_t>(v);
      }
      return cp;
    };
    auto cp = hex(digits);
    if (!cp) return false;
    // A pair of surrogates, as JSON writes a character past U+FFFF, is that character.
    if (digits == 4 && *cp >= 0xD800 && *cp <= 0xDBFF && raw.substr(i, 2) == "\\u") {
      i += 2;
      const auto low = hex(4);
      if (!low || *low < 0xDC00 || *low > 0xDFFF) return false;
      *cp = 0x10000 + ((*cp - 0xD800) << 10) + (*low - 0xDC00);
    }
    if (*cp > 0x10FFFF || (*cp >= 0xD800 && *cp <= 0xDFFF)) return false;
    io::append_utf8(out, *cp);
  }
  out.append(raw.substr(i - blanks, blanks));  // white space before the closing quote is content
  return true;
}

// A single-quoted scalar's text, decoded here from the source: libfyaml
// 0.9.4 garbles two escaped quotes in a row ('a'''' b' reads as "a''' ").
// Lines are folded as YAML says: white space around a line break goes, a
// single break becomes a space, each empty line a line feed.
bool single_quoted(std::string_view text, fy_token* token, std::string& out) {
  const fy_mark* from = fy_token_start_mark(token);
  const fy_mark* to = fy_token_end_mark(token);
  // The marks enclose the text between the quotes.
  if (!from || !to || from->input_pos == 0 || to->input_pos >= text.size() || to->input_pos < from->input_pos ||
      text[from->input_pos - 1] != '\'' || text[to->input_pos] != '\'')
    return false;
  std::string_view raw = text.substr(from->input_pos, to->input_pos - from->input_pos);
  constexpr std::string_view blanks = " \t";
  const auto append_unescaped = [&out](std::string_view line) {
    for (std::size_t q; (q = line.find('\'')) != std::string_view::npos; line.remove_prefix(q + 2))
      out.append(line.substr(0, q + 1));  // "''" stands for one quote
    out.append(line);
  };
  std::size_t empty_lines = 0;
  for (bool first = true;; first = false) {
    const std::size_t brk = raw.find_first_of("\r\n");
    std::string_view line = raw.substr(0, brk);
    const bool last = brk == std::string_view::npos;
    if (!first) line.remove_prefix(std::min(line.find_first_not_of(blanks), line.size()));
    if (!last) line = line.substr(0, line.find_last_not_of(blanks) + 1);
    if (!first && !last && line.empty()) {
      ++empty_lines;
    } else {
      if (!first) out.append(empty_lines ? empty_lines : 1, empty_lines ? '\n' : ' ');
      empty_lines = 0;
      append_unescaped(line);
    }
    if (last) return true;
    raw.remove_prefix(brk + (raw.compare(brk, 2, "\r\n") == 0 ? 2 : 1));
  }
}

std::optional<Failure> TreeBuilder::scalar(fy_event* e) {
  const auto& s = e->scalar;
  const fy_scalar_style style = fy_token_scalar_style(s.value);
  std::string own;
  if (style == FYSS_SINGLE_QUOTED && !single_quoted(text_, s.value, own))
    return event_failure("single-quoted scalar out of place", e);
  if (style == FYSS_DOUBLE_QUOTED && !double_quoted(text_, s.value, own))
    return event_failure("double-quoted scalar out of place", e);
  const bool quoted = style == FYSS_SINGLE_QUOTED || style == FYSS_DOUBLE_QUOTED;
  const std::string_view text = quoted ? std::string_view(own) : token_text(s.value);
  const bool plain = style == FYSS_PLAIN;
  if (style == FYSS_LITERAL && !literal_text_sound(text_, text, s.value))
    return event_failure("literal scalar that libfyaml 0.9 misreads (its text comes back malformed)", e);
  if (style == FYSS_FOLDED && !folded_text_sound(text_, text, s.value))
    return event_failure("folded scalar that libfyaml 0.9 misreads (its text comes back malformed)", e);
  Value v;
  std::string type;
  if (s.tag) {
    if (auto failed = check_tag(s.tag, "scalar", fy_event_start_mark(e), &type)) return failed;
  }
  const bool key = in_key_position(stack_);
  if (type.empty()) {
    // A key is its text; only an anchored one needs its value, for aliases.
    if (!key || s.anchor) v = plain ? resolve_plain(text) : Value(text);
  } else if (type == "!" || type == "str") {
    v = Value(text);
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
    if (!typed) return event_failure("invalid value '" + std::string(text) + "' for tag !!" + type, e);
    v = std::move(*typed);
  }
  note(e, text, key);
  const Extent extent{1, text.size(), 0};
  // The text as written serves as a key, and an anchored scalar's for key aliases.
  std::optional<std::string> key_text;
  if (s.anchor || key) key_text.emplace(text);
  if (s.anchor) {
    if (auto failed = anchored(std::string(token_text(s.anchor)), v, key_text, extent)) return failed;
  }
  return add(std::move(v), std::move(key_text), extent, e);
}

std::optional<Failure> TreeBuilder::alias(fy_event* e) {
  const std::string_view name = token_text(e->alias.anchor);
  auto it = anchor_ids_.find(std::string(name));
  if (it == anchor_ids_.end()) return event_failure("undefined alias '" + std::string(name) + "'", e);
  const Anchor& a = anchors_[it->second];
  if (in_key_position(stack_)) {
    if (!a.scalar_text) return event_failure("mapping keys must be scalars", e);
    alias_nodes_ += 1;
    alias_bytes_ += a.scalar_text->size();
  } else {
    alias_nodes_ += a.extent.nodes;
    alias_bytes_ += a.extent.bytes;
  }
  if (alias_nodes_ > max_alias_nodes)
    return event_failure("aliases expand to more than " + std::to_string(max_alias_nodes) + " nodes", e);
  if (alias_bytes_ > alias_byte_budget_)
    return event_failure("aliases expand to more than " + std::to_string(alias_byte_budget_) +
                             " bytes (64 times the file's size, at least 64 MiB)",
                         e);
  if (stack_.size() + a.extent.depth > max_parse_depth) return event_failure("recursion limit exceeded", e);
  note(e, {}, false);
  return add(expand(a.value), a.scalar_text, a.extent, e);
}

std::optional<Failure> TreeBuilder::start(fy_event* e, bool mapping) {
  if (in_key_position(stack_)) return event_failure("mapping keys must be scalars", e);
  if (stack_.size() + 1 > max_parse_depth) return event_failure("recursion limit exceeded", e);
  fy_token* tag = mapping ? e->mapping_start.tag : e->sequence_start.tag;
  fy_token* anchor = mapping ? e->mapping_start.anchor : e->sequence_start.anchor;
  if (tag) {
    std::string type;
    if (auto failed = check_tag(tag, mapping ? "mapping" : "sequence", fy_event_start_mark(e), &type))
      return failed;
  }
  note(e, {}, false);
  Frame f{mapping, mapping ? members_.size() : items_.size(), 0, {}, false, {}, {}};
  if (anchor) f.anchor = std::string(token_text(anchor));
  stack_.push_back(std::move(f));
  return std::nullopt;
}

std::optional<Failure> TreeBuilder::end(fy_event* e) {
  note(e, {}, false);
  Frame f = std::move(stack_.back());
  stack_.pop_back();
  Value v;
  if (f.mapping) {
    v = Value(Object::from_unsorted(std::span<Member>(members_).subspan(f.from)));
    members_.erase(members_.begin() + static_cast<std::ptrdiff_t>(f.from), members_.end());
  } else {
    v = Value(Array::from_span(std::span<Value>(items_).subspan(f.from)));
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(f.from), items_.end());
  }
  Extent extent = f.extent;
  extent.nodes += 1;
  extent.depth += 1;
  if (f.anchor) {
    if (auto failed = anchored(std::move(*f.anchor), v, std::nullopt, extent)) return failed;
  }
  return add(std::move(v), std::nullopt, extent, e);
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
        a.path.emplace_back(f.count);
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
  const std::string_view s = v.as_string();
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
        place_anchors();
        if (marks_) marks_->complete = marks_sound_;
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


Mark::Style style_of(fy_scalar_style style) {
  switch (style) {
    case FYSS_SINGLE_QUOTED:
      return Mark::single_quoted;
    case FYSS_DOUBLE_QUOTED:
      return Mark::double_quoted;
    case FYSS_LITERAL:
      return Mark::literal;
    case FYSS_FOLDED:
      return Mark::folded;
    default:
      return Mark::plain;
  }
}

// Appends the event's record; `key` is a mapping key's text, read as the
// reader reads it. False when the event has no position.
bool record(Marks& out, fy_event* e, std::string_view text, const std::string_view* key) {
  const fy_mark* b = fy_event_start_mark(e);
  const fy_mark* en = fy_event_end_mark(e);
  if (!b || !en || en->input_pos > UINT32_MAX || out.keys.size() + (key ? key->size() : 0) > UINT32_MAX) return false;
  Mark m;
  m.begin = static_cast<std::uint32_t>(b->input_pos);
  m.end = static_cast<std::uint32_t>(en->input_pos);
  switch (e->type) {
    case FYET_SCALAR:
      m.style = style_of(fy_token_scalar_style(e->scalar.value));
      m.shared = e->scalar.anchor || e->scalar.tag;
      m.empty = text.empty();
      break;
    case FYET_ALIAS:
      m.kind = Mark::alias;
      break;
    case FYET_MAPPING_START:
      m.kind = Mark::mapping;
      m.shared = e->mapping_start.anchor || e->mapping_start.tag;
      break;
    case FYET_SEQUENCE_START:
      m.kind = Mark::sequence;
      m.shared = e->sequence_start.anchor || e->sequence_start.tag;
      break;
    default:
      m.kind = Mark::close;
      break;
  }
  if (key) {
    m.key = static_cast<std::uint32_t>(out.keys.size());
    m.key_size = static_cast<std::uint32_t>(key->size());
    out.keys.append(*key);
  }
  out.events.push_back(m);
  return true;
}

// Reads a text against the tree it should load as, building none: each
// scalar resolved as the load resolves it and compared where it is read,
// each mapping walked alongside its expected object. It answers "the same"
// or "not sure": anything it does not follow (anchors, aliases, tags, a key
// read twice, where the later member replaces the earlier one), any
// difference and any error is left to a full read and compare, so the
// answer is always the load's. On the way it records the marks (if asked).
class Matcher {
 public:
  Matcher(std::string_view text, Marks* marks) : text_(text), marks_(marks), parser_(text, ignore_diagnostic) {}

  bool same(const Value& root);

 private:
  struct EventDeleter {
    fy_parser* parser;
    void operator()(fy_event* e) const { fy_parser_event_free(parser, e); }
  };
  struct Level {
    const Value* expected;        // an object or an array
    const Value* pending = nullptr;  // the value of the key just read
    bool mapping = false;
    bool has_key = false;
    std::size_t count = 0;       // keys or items read
    std::size_t found_from = 0;  // this mapping's start in found_
  };

  bool key_position() const { return !stack_.empty() && stack_.back().mapping && !stack_.back().has_key; }
  const Value* next_expected(const Value& root);
  bool scalar(fy_event* e, const Value& root);
  bool start(fy_event* e, const Value& root, bool mapping);
  bool end();
  bool keep(fy_event* e, std::string_view text, const std::string_view* key) {
    return !marks_ || record(*marks_, e, text, key);
  }

  std::string_view text_;
  Marks* marks_;
  Parser parser_;
  std::vector<Level> stack_;
  std::vector<const Value*> found_;  // the members each open mapping has read
  std::string own_;                  // a quoted scalar's decoded text
  bool rooted_ = false;
};

bool Matcher::same(const Value& root) {
  if (marks_) {
    marks_->clear();
    marks_->reserve_for(text_.size());
  }
  bool seen_document = false;
  for (;;) {
    std::unique_ptr<fy_event, EventDeleter> ev(fy_parser_parse(parser_.get()), EventDeleter{parser_.get()});
    if (!ev) return false;
    fy_event* e = ev.get();
    bool ok = true;
    switch (e->type) {
      case FYET_STREAM_END:
        if (!rooted_ && !(root == Value())) return false;
        if (marks_) marks_->complete = true;
        return true;
      case FYET_DOCUMENT_START:
        if (seen_document) return false;
        seen_document = true;
        break;
      case FYET_SCALAR:
        ok = scalar(e, root);
        break;
      case FYET_SEQUENCE_START:
      case FYET_MAPPING_START:
        ok = start(e, root, e->type == FYET_MAPPING_START);
        break;
      case FYET_SEQUENCE_END:
      case FYET_MAPPING_END:
        ok = end() && keep(e, {}, nullptr);
        break;
      case FYET_ALIAS:
        return false;
      default:
        break;
    }
    if (!ok) return false;
  }
}

// What the node about to be read must equal (not for a key).
const Value* Matcher::next_expected(const Value& root) {
  if (stack_.empty()) {
    if (rooted_) return nullptr;
    rooted_ = true;
    return &root;
  }
  Level& top = stack_.back();
  if (top.mapping) {
    top.has_key = false;
    return top.pending;
  }
  const Array& items = top.expected->as_array();
  const std::size_t i = top.count++;
  return i < items.size() ? &items[i] : nullptr;
}

bool Matcher::scalar(fy_event* e, const Value& root) {
  const auto& s = e->scalar;
  if (s.anchor || s.tag) return false;
  const fy_scalar_style style = fy_token_scalar_style(s.value);
  const bool quoted = style == FYSS_SINGLE_QUOTED || style == FYSS_DOUBLE_QUOTED;
  if (quoted) {
    own_.clear();
    if (!(style == FYSS_SINGLE_QUOTED ? single_quoted(text_, s.value, own_) : double_quoted(text_, s.value, own_)))
      return false;
  }
  const std::string_view text = quoted ? std::string_view(own_) : token_text(s.value);
  if (style == FYSS_FOLDED && !folded_text_sound(text_, text, s.value)) return false;
  if (style == FYSS_LITERAL && !literal_text_sound(text_, text, s.value)) return false;
  if (key_position()) {
    // A key is its text, whatever it would resolve to as a value.
    Level& top = stack_.back();
    const Value* v = top.expected->as_object().find(text);
    if (!v) return false;
    found_.push_back(v);
    top.pending = v;
    top.has_key = true;
    ++top.count;
    return keep(e, text, &text);
  }
  const Value* want = next_expected(root);
  if (!want || !keep(e, text, nullptr)) return false;
  const bool string = want->kind() == Value::Kind::string;
  if (style != FYSS_PLAIN) return string && want->as_string() == text;
  // Text that starts as no null, boolean or number does is a string.
  static constexpr std::string_view starts = "0123456789+-.~nNtTfF";
  if (!text.empty() && starts.find(text[0]) == std::string_view::npos) return string && want->as_string() == text;
  return resolve_plain(text) == *want;
}

bool Matcher::start(fy_event* e, const Value& root, bool mapping) {
  if (key_position()) return false;
  if (mapping ? e->mapping_start.anchor || e->mapping_start.tag : e->sequence_start.anchor || e->sequence_start.tag)
    return false;
  if (stack_.size() + 1 > max_parse_depth) return false;
  const Value* want = next_expected(root);
  if (!want || (mapping ? !want->if_object() : !want->is_array())) return false;
  stack_.push_back(Level{want, nullptr, mapping, false, 0, found_.size()});
  return keep(e, {}, nullptr);
}

// A mapping must have read each expected key once: as many keys, none twice.
bool Matcher::end() {
  const Level top = stack_.back();
  stack_.pop_back();
  if (!top.mapping) return top.count == top.expected->as_array().size();
  if (top.has_key || top.count != top.expected->as_object().size()) return false;
  const auto from = found_.begin() + static_cast<std::ptrdiff_t>(top.found_from);
  if (!std::is_sorted(from, found_.end())) std::sort(from, found_.end());
  const bool twice = std::adjacent_find(from, found_.end()) != found_.end();
  found_.erase(from, found_.end());
  return !twice;
}

}  // namespace

Result<Value> parse(std::string_view text, Marks* marks) {
  if (marks) marks->clear();
  InputCheck check;
  if (!check.scan(reinterpret_cast<const unsigned char*>(text.data()), text.size()) || !check.finish())
    return type_failure("YAML parse error: " + check.what() + position(text, check.offset()));
  if (marks) marks->reserve_for(text.size());
  auto tree = TreeBuilder(text, marks).run();
  if (!tree && marks) marks->clear();
  return tree;
}

Result<Value> read(int fd) {
  // A failed read is the parser's failure too, with its prefix.
  auto text = read_text(fd);
  if (!text) return std::move(text).failure();
  TreeBuilder builder(*text);
  return builder.run();
}

bool reads_as(std::string_view text, const Value& tree, Marks* marks) {
  InputCheck check;
  if (!check.scan(reinterpret_cast<const unsigned char*>(text.data()), text.size()) || !check.finish()) return false;
  if (Matcher(text, marks).same(tree)) return true;
  if (marks) marks->clear();
  auto back = TreeBuilder(text).run();
  return back && *back == tree;
}

bool locate(std::string_view text, Marks& out) {
  out.clear();
  out.reserve_for(text.size());
  Parser parser(text, ignore_diagnostic);
  struct EventDeleter {
    fy_parser* parser;
    void operator()(fy_event* e) const { fy_parser_event_free(parser, e); }
  };
  // Per open collection: 0 a sequence, 1 a mapping whose next node is a key, 2 one whose next is a value.
  std::vector<char> slots;
  std::string own;
  bool seen_document = false;
  for (;;) {
    std::unique_ptr<fy_event, EventDeleter> ev(fy_parser_parse(parser.get()), EventDeleter{parser.get()});
    if (!ev) break;
    fy_event* e = ev.get();
    const fy_event_type type = e->type;
    if (type == FYET_STREAM_END) {
      out.complete = true;
      return true;
    }
    if (type == FYET_DOCUMENT_START) {
      if (seen_document) break;
      seen_document = true;
      continue;
    }
    if (type == FYET_MAPPING_END || type == FYET_SEQUENCE_END) {
      if (slots.empty() || !record(out, e, {}, nullptr)) break;
      slots.pop_back();
      continue;
    }
    if (type != FYET_SCALAR && type != FYET_ALIAS && type != FYET_MAPPING_START && type != FYET_SEQUENCE_START)
      continue;
    const bool key = !slots.empty() && slots.back() == 1;
    if (!slots.empty() && slots.back() != 0) slots.back() = key ? 2 : 1;
    std::string_view scalar_text;
    if (type == FYET_SCALAR) {
      const fy_scalar_style style = fy_token_scalar_style(e->scalar.value);
      if (style == FYSS_SINGLE_QUOTED || style == FYSS_DOUBLE_QUOTED) {
        own.clear();
        if (!(style == FYSS_SINGLE_QUOTED ? single_quoted(text, e->scalar.value, own)
                                          : double_quoted(text, e->scalar.value, own)))
          break;
        scalar_text = own;
      } else {
        scalar_text = token_text(e->scalar.value);
      }
    }
    if (!record(out, e, scalar_text, key ? &scalar_text : nullptr)) break;
    if (type == FYET_MAPPING_START) slots.push_back(1);
    if (type == FYET_SEQUENCE_START) slots.push_back(0);
  }
  out.clear();
  return false;
}

}  // namespace zub::yaml
