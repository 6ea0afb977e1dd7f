// YAML writing: block style, two spaces of indentation, no line folding,
// non-ASCII text as it is. The choices of scalar style, indentation and
// block scalar hints are those of libyaml's emitter, which wrote zub's YAML
// files before: a file saved again comes out byte for byte the same.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "drivers/formats.hpp"
#include "drivers/yaml_scalar.hpp"

namespace zub::yaml {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
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
  const bool timestamp = s.size() >= 5 && is_digit(s[0]) && is_digit(s[1]) && is_digit(s[2]) && is_digit(s[3]) &&
                         s[4] == '-';
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

// Whether a string written plain would read back as something else, to a
// YAML 1.2 reader or to a YAML 1.1 one.
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

// ---------------------------------------------------------------------------
// Characters, as the emitter classes them (the text is valid UTF-8)

using Bytes = const unsigned char*;

int width(unsigned char lead) { return lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : 4; }

bool is_break(Bytes p) {
  return p[0] == '\r' || p[0] == '\n' || (p[0] == 0xC2 && p[1] == 0x85) ||
         (p[0] == 0xE2 && p[1] == 0x80 && (p[2] == 0xA8 || p[2] == 0xA9));
}

// Blank, break or NUL; the end of the text counts too.
bool is_blankz(Bytes p, Bytes end) {
  return p >= end || p[0] == ' ' || p[0] == '\t' || p[0] == '\0' || is_break(p);
}

// Printable in the emitter's sense: astral characters are not, so they are
// written as \U escapes in double quotes.
bool is_printable(Bytes p) {
  const unsigned char c = p[0];
  return c == 0x0A || (c >= 0x20 && c <= 0x7E) || (c == 0xC2 && p[1] >= 0xA0) || (c > 0xC2 && c < 0xED) ||
         (c == 0xED && p[1] < 0xA0) || c == 0xEE ||
         (c == 0xEF && !(p[1] == 0xBB && p[2] == 0xBF) && !(p[1] == 0xBF && (p[2] == 0xBE || p[2] == 0xBF)));
}

bool valid_utf8(std::string_view s) {
  auto p = reinterpret_cast<Bytes>(s.data());
  const Bytes end = p + s.size();
  while (p != end) {
    if (*p < 0x80) {
      ++p;
      continue;
    }
    const int w = width(*p);
    if ((*p & 0xC0) == 0x80 || *p > 0xF4 || end - p < w) return false;
    std::uint32_t cp = *p & (w == 2 ? 0x1Fu : w == 3 ? 0x0Fu : 0x07u);
    for (int k = 1; k < w; ++k) {
      if ((p[k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[k] & 0x3Fu);
    }
    const std::uint32_t least = w == 2 ? 0x80 : w == 3 ? 0x800 : 0x10000;
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    p += w;
  }
  return true;
}

// What a string allows, as the emitter's scalar analysis finds it. Our
// output never uses flow context except for empty collections.
struct Analysis {
  bool multiline = false;
  bool plain = true;
  bool single_quoted = true;
  bool block = true;
};

Analysis analyze(std::string_view s) {
  Analysis a;
  if (s.empty()) {
    a.block = false;
    return a;
  }
  auto p = reinterpret_cast<Bytes>(s.data());
  const Bytes end = p + s.size();
  bool indicators = s.starts_with("---") || s.starts_with("...");
  bool special = false, leading = false, trailing_space = false, trailing_break = false;
  bool break_space = false, space_break = false, previous_space = false, previous_break = false;
  bool preceded_by_whitespace = true;
  bool followed_by_whitespace = is_blankz(p + width(*p), end);
  for (Bytes q = p; q != end;) {
    const unsigned char c = *q;
    const int w = width(c);
    if (q == p) {
      static constexpr std::string_view always = "#,[]{}&*!|>'\"%@`";
      if ((c != 0 && always.find(static_cast<char>(c)) != std::string_view::npos) ||
          ((c == '?' || c == ':' || c == '-') && followed_by_whitespace))
        indicators = true;
    } else if ((c == ':' && followed_by_whitespace) || (c == '#' && preceded_by_whitespace)) {
      indicators = true;
    }
    // U+2028 and U+2029 were line breaks to YAML 1.1 and libyaml, and are
    // plain characters to YAML 1.2: written in a block or in single quotes
    // they would read back changed. Only the \L and \P escapes keep them.
    if (!is_printable(q) || (c == 0xE2 && q[1] == 0x80 && (q[2] == 0xA8 || q[2] == 0xA9))) special = true;
    if (c == ' ') {
      leading |= q == p;
      trailing_space |= q + w == end;
      break_space |= previous_break;
      previous_space = true;
      previous_break = false;
    } else if (is_break(q)) {
      a.multiline = true;
      leading |= q == p;
      trailing_break |= q + w == end;
      space_break |= previous_space;
      previous_space = false;
      previous_break = true;
    } else {
      previous_space = previous_break = false;
    }
    preceded_by_whitespace = is_blankz(q, end);
    q += w;
    if (q != end) followed_by_whitespace = is_blankz(q + width(*q), end);
  }
  if (leading || trailing_space || trailing_break || a.multiline || indicators) a.plain = false;
  if (trailing_space) a.block = false;
  if (break_space) a.plain = a.single_quoted = false;
  if (space_break || special) a.plain = a.single_quoted = a.block = false;
  return a;
}

enum class Style { plain, single_quoted, double_quoted, literal };

// ---------------------------------------------------------------------------
// The writer: the emitter's column, indentation and whitespace bookkeeping

class Writer {
 public:
  explicit Writer(std::string& out) : out_(out) {}

  bool document(const Value& root) {
    if (!node(root, -1, Context::root)) return false;
    write_indent(0);
    // A block scalar kept with its trailing empty lines must not be the
    // stream's last word: the document end marker closes it. Except for a
    // root made of line feeds only, where libfyaml refuses the marker after
    // the empty lines; the end of the stream closes it as well.
    const bool only_breaks =
        root.kind() == Value::Kind::string && root.as_string().find_first_not_of('\n') == std::string::npos;
    if (open_ended_ && !only_breaks) {
      indicator("...", true, false, false);
      write_indent(0);
    }
    return true;
  }

 private:
  enum class Context { root, sequence, mapping };

  void put_break() {
    out_ += '\n';
    column_ = 0;
  }

  void write_indent(int indent) {
    if (indent < 0) indent = 0;
    if (!indention_ || column_ > indent || (column_ == indent && !whitespace_)) put_break();
    if (column_ < indent) {
      out_.append(static_cast<std::size_t>(indent - column_), ' ');
      column_ = indent;
    }
    whitespace_ = indention_ = true;
  }

  void indicator(std::string_view text, bool need_whitespace, bool is_whitespace, bool is_indention) {
    if (need_whitespace && !whitespace_) {
      out_ += ' ';
      ++column_;
    }
    out_ += text;
    column_ += static_cast<int>(text.size());
    whitespace_ = is_whitespace;
    indention_ = indention_ && is_indention;
  }

  // Column counts bytes, not characters: it is only ever compared with an
  // indentation, which content never ends short of.
  void text(std::string_view s) {
    out_ += s;
    column_ += static_cast<int>(s.size());
  }

  bool node(const Value& v, int indent, Context context) {
    switch (v.kind()) {
      case Value::Kind::array:
        return v.as_array().empty() ? empty("[", "]") : sequence(v.as_array(), indent, context);
      case Value::Kind::object:
        return v.as_object().empty() ? empty("{", "}") : mapping(v.as_object(), indent);
      case Value::Kind::string:
        return string(v.as_string(), indent, false);
      default:
        return scalar_text(v);
    }
  }

  bool empty(std::string_view open, std::string_view close) {
    indicator(open, true, true, false);
    indicator(close, false, false, false);
    return true;
  }

  bool sequence(const Array& a, int indent, Context context) {
    // Under a mapping key the items stand at the key's own indentation.
    const bool indentless = context == Context::mapping && !indention_;
    const int inner = indent < 0 ? 0 : indentless ? indent : indent + 2;
    for (const auto& item : a) {
      write_indent(inner);
      indicator("-", true, false, true);
      if (!node(item, inner, Context::sequence)) return false;
    }
    return true;
  }

  bool mapping(const Object& o, int indent) {
    const int inner = indent < 0 ? 0 : indent + 2;
    for (const auto& m : o) {
      write_indent(inner);
      const std::string_view key = m.key;
      if (!valid_utf8(key)) return invalid_text();
      // A key longer than 128 bytes or spanning lines is a complex key.
      if (key.size() <= 128 && !analyze(key).multiline) {
        string(key, inner, true);
        indicator(":", false, false, false);
      } else {
        indicator("?", true, false, true);
        string(key, inner, false);
        write_indent(inner);
        indicator(":", true, false, true);
      }
      if (!node(m.value, inner, Context::mapping)) return false;
    }
    return true;
  }

  bool scalar_text(const Value& v) {
    char buf[64];
    std::to_chars_result r{buf, {}};
    switch (v.kind()) {
      case Value::Kind::null:
        return plain("null");
      case Value::Kind::boolean:
        return plain(v.as_bool() ? "true" : "false");
      case Value::Kind::uint:
        r = std::to_chars(buf, buf + sizeof buf, v.as_uint());
        break;
      case Value::Kind::sint:
        r = std::to_chars(buf, buf + sizeof buf, v.as_sint());
        break;
      default: {
        r = std::to_chars(buf, buf + sizeof buf - 2, v.as_real());
        std::string_view t(buf, static_cast<std::size_t>(r.ptr - buf));
        // A '.' before any exponent, so that YAML 1.1 readers see a float too.
        if (t.find('.') == std::string_view::npos) {
          const std::size_t e = std::min(t.find('e'), t.size());
          std::string with(t.substr(0, e));
          with += ".0";
          with += t.substr(e);
          return plain(with);
        }
      }
    }
    return plain(std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)));
  }

  bool plain(std::string_view s) {
    if (!whitespace_) {
      out_ += ' ';
      ++column_;
    }
    text(s);
    whitespace_ = indention_ = false;
    return true;
  }

  // libyaml refused such text too; the tree's strings come from UTF-8 readers
  // and interpreter strings, so this is a guard, not a path.
  static bool invalid_text() { return false; }

  // A string: a literal block when it holds a line feed, single quotes when
  // plain text would read back as something else, otherwise plain where the
  // emitter's rules allow it. The key "<<" stays plain, so that readers that
  // apply merge keys keep merging after a save.
  bool string(std::string_view s, int parent_indent, bool simple_key) {
    if (!valid_utf8(s)) return invalid_text();
    Style style = Style::plain;
    if (s.find('\n') != std::string_view::npos)
      style = Style::literal;
    else if (needs_quotes(s) && !(simple_key && s == "<<"))
      style = Style::single_quoted;
    const Analysis a = analyze(s);
    if (simple_key && a.multiline) style = Style::double_quoted;
    if (style == Style::plain && (!a.plain || (s.empty() && simple_key))) style = Style::single_quoted;
    if (style == Style::single_quoted && !a.single_quoted) style = Style::double_quoted;
    if (style == Style::literal && (!a.block || simple_key)) style = Style::double_quoted;
    const int indent = parent_indent < 0 ? 2 : parent_indent + 2;
    switch (style) {
      case Style::plain:
        return plain(s);
      case Style::single_quoted:
        single_quoted(s, indent);
        break;
      case Style::double_quoted:
        double_quoted(s);
        break;
      case Style::literal:
        literal(s, indent);
        break;
    }
    return true;
  }

  // Line breaks other than '\n' (U+2028, U+2029) may reach a single-quoted
  // scalar; they are copied and the next line indented.
  void copy_break(Bytes q, int w) {
    if (*q == '\n') {
      put_break();
    } else {
      out_.append(reinterpret_cast<const char*>(q), static_cast<std::size_t>(w));
      column_ = 0;
    }
  }

  void single_quoted(std::string_view s, int indent) {
    indicator("'", true, false, false);
    auto q = reinterpret_cast<Bytes>(s.data());
    const Bytes end = q + s.size();
    bool breaks = false;
    while (q != end) {
      const int w = width(*q);
      if (*q == ' ') {
        text(" ");
      } else if (is_break(q)) {
        if (!breaks && *q == '\n') put_break();
        copy_break(q, w);
        indention_ = breaks = true;
      } else {
        if (breaks) write_indent(indent);
        if (*q == '\'') text("'");
        text(std::string_view(reinterpret_cast<const char*>(q), static_cast<std::size_t>(w)));
        indention_ = breaks = false;
      }
      q += w;
    }
    if (breaks) write_indent(indent);
    indicator("'", false, false, false);
    whitespace_ = indention_ = false;
  }

  void double_quoted(std::string_view s) {
    indicator("\"", true, false, false);
    auto q = reinterpret_cast<Bytes>(s.data());
    const Bytes end = q + s.size();
    while (q != end) {
      const int w = width(*q);
      const bool bom = w == 3 && q[0] == 0xEF && q[1] == 0xBB && q[2] == 0xBF;
      if (is_printable(q) && !bom && !is_break(q) && *q != '"' && *q != '\\') {
        text(std::string_view(reinterpret_cast<const char*>(q), static_cast<std::size_t>(w)));
        q += w;
        continue;
      }
      std::uint32_t cp = w == 1 ? *q : *q & (w == 2 ? 0x1Fu : w == 3 ? 0x0Fu : 0x07u);
      for (int k = 1; k < w; ++k) cp = (cp << 6) | (q[k] & 0x3Fu);
      q += w;
      escape(cp);
    }
    indicator("\"", false, false, false);
    whitespace_ = indention_ = false;
  }

  void escape(std::uint32_t cp) {
    char short_form = 0;
    switch (cp) {
      case 0x00: short_form = '0'; break;
      case 0x07: short_form = 'a'; break;
      case 0x08: short_form = 'b'; break;
      case 0x09: short_form = 't'; break;
      case 0x0A: short_form = 'n'; break;
      case 0x0B: short_form = 'v'; break;
      case 0x0C: short_form = 'f'; break;
      case 0x0D: short_form = 'r'; break;
      case 0x1B: short_form = 'e'; break;
      case 0x22: short_form = '"'; break;
      case 0x5C: short_form = '\\'; break;
      case 0x85: short_form = 'N'; break;
      case 0xA0: short_form = '_'; break;
      case 0x2028: short_form = 'L'; break;
      case 0x2029: short_form = 'P'; break;
      default: break;
    }
    char buf[10] = {'\\'};
    int n = 2;
    if (short_form) {
      buf[1] = short_form;
    } else {
      const int digits = cp <= 0xFF ? 2 : cp <= 0xFFFF ? 4 : 8;
      buf[1] = digits == 2 ? 'x' : digits == 4 ? 'u' : 'U';
      for (int k = digits - 1; k >= 0; --k) {
        const unsigned d = (cp >> (4 * k)) & 0xF;
        buf[n++] = static_cast<char>(d < 10 ? '0' + d : 'A' + d - 10);
      }
    }
    text(std::string_view(buf, static_cast<std::size_t>(n)));
  }

  void literal(std::string_view s, int indent) {
    indicator("|", true, false, false);
    auto p = reinterpret_cast<Bytes>(s.data());
    const Bytes end = p + s.size();
    // An indentation hint when the text starts with a blank or a break.
    if (*p == ' ' || is_break(p)) indicator("2", false, false, false);
    // Chomping: strip without a final break, keep with more than one.
    open_ended_ = false;
    Bytes last = end;
    do --last;
    while ((*last & 0xC0) == 0x80);
    if (!is_break(last)) {
      indicator("-", false, false, false);
    } else {
      bool keep = last == p;
      if (!keep) {
        Bytes before = last;
        do --before;
        while ((*before & 0xC0) == 0x80);
        keep = is_break(before);
      }
      if (keep) {
        indicator("+", false, false, false);
        open_ended_ = true;
      }
    }
    put_break();
    indention_ = whitespace_ = true;
    bool breaks = true;
    for (Bytes q = p; q != end;) {
      const int w = width(*q);
      if (is_break(q)) {
        copy_break(q, w);
        indention_ = breaks = true;
      } else {
        if (breaks) write_indent(indent);
        Bytes run = q + w;
        while (run != end && !is_break(run)) run += width(*run);
        text(std::string_view(reinterpret_cast<const char*>(q), static_cast<std::size_t>(run - q)));
        indention_ = breaks = false;
        q = run;
        continue;
      }
      q += w;
    }
  }

  std::string& out_;
  int column_ = 0;
  bool whitespace_ = true;
  bool indention_ = true;
  bool open_ended_ = false;
};

}  // namespace

Result<std::string> write(const Value& root) {
  std::string out;
  out.reserve(text_size_hint(root));
  Writer w(out);
  if (!w.document(root)) return type_failure("YAML serialize error: string is not valid UTF-8");
  if (out.empty() || out.back() != '\n') out += '\n';
  return out;
}

}  // namespace zub::yaml
