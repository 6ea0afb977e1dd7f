// The layout editor for YAML: the marks of libfyaml's events locate every
// node (recorded by the check that accepted the text, or by a pass of their
// own), then the changed members are edited as byte ranges of the text. Values the editor writes come
// from the YAML writer, so they are quoted as a saved file would be.
#include <algorithm>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "drivers/layout.hpp"
#include "drivers/yaml_marks.hpp"

namespace zub::layout {

namespace {

constexpr std::size_t none = std::string_view::npos;

struct Entry;

struct Node {
  enum Kind { scalar, mapping, sequence } kind = scalar;
  bool flow = false;
  bool empty = false;      // a plain scalar with no text (null)
  bool shared = false;     // carries an anchor or a tag
  bool keeps_breaks = false;  // ends in a block scalar with '+': the blank lines after it are its own
  bool block_end = false;     // ends in a block scalar, which the lines after it could join
  bool loose_end = false;     // ends in a value continued at its key's column
  bool bare_block = false;    // ends in a block scalar with no text: libfyaml gives it a line at its key's column
  bool any_shared = false; // itself or something inside it
  yaml::Mark::Style style = yaml::Mark::plain;
  std::size_t begin = 0;
  std::size_t end = 0;     // after the last byte of its own text
  std::size_t event = 0;   // its first event, where the locator expands it
  std::vector<Entry> members;  // a mapping's, once expanded
};

struct Entry {
  std::string_view key;  // in the marks' keys
  std::size_t key_begin = 0;
  std::size_t colon = 0;  // the ':' after the key
  Node value;
};

class Locator {
 public:
  Locator(std::string_view text, const yaml::Marks& marks) : text_(text), marks_(marks) {}

  // The document's root with its members, or nothing when the text is one
  // this editor does not follow (no node, non-scalar keys). Members' values
  // are located (their extent, whether they hold an anchor or a tag) but
  // not expanded: the editor expands only the mappings it descends into.
  std::optional<Node> run() {
    if (!marks_.complete || marks_.events.empty()) return std::nullopt;
    // libfyaml passes over a line that starts with '%' inside a flow
    // collection, as it would a directive: text put next to one could join
    // it, or it could join a value put before it.
    if (text_.find("\n%", marks_.events.front().begin) != none) return std::nullopt;
    at_ = 0;
    auto root = node(true);
    if (root && at_ != marks_.events.size()) return std::nullopt;
    return root;
  }

  // A mapping's members, with their values located (as the root's are).
  std::optional<Node> expand(const Node& n) {
    at_ = n.event;
    return node(true);
  }

  static bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

 private:
  const yaml::Mark* next() { return at_ < marks_.events.size() ? &marks_.events[at_++] : nullptr; }

  // The node starting with the next event, with its members if `expand`.
  std::optional<Node> node(bool expand) {
    const std::size_t event = at_;
    const yaml::Mark* e = next();
    if (!e || e->end < e->begin || e->end > text_.size()) return std::nullopt;
    Node n;
    n.event = event;
    n.begin = e->begin;
    n.end = e->end;
    switch (e->kind) {
      case yaml::Mark::alias:  // replaced as any value: what it names stays
        break;
      case yaml::Mark::scalar: {
        n.shared = e->shared;
        n.style = e->style;
        n.empty = n.style == yaml::Mark::plain && e->empty;
        // An empty node's marks do not cover its anchor or tag, so where it
        // ends is not known.
        if (n.empty && n.shared) return std::nullopt;
        if (n.style == yaml::Mark::literal || n.style == yaml::Mark::folded) {
          // Its marks span the content with the lines after it; it starts at
          // the last '|' or '>' before the content, the header's indicators after.
          const std::size_t header = text_.find_last_of("|>", n.begin);
          if (header == std::string_view::npos) return std::nullopt;
          const std::size_t stop = std::min(text_.find_first_of(" \t\r\n", header), text_.size());
          n.keeps_breaks = text_.substr(header, stop - header).find('+') != std::string_view::npos;
          n.block_end = true;
          n.begin = header;
          while (n.end > stop && is_space(text_[n.end - 1])) --n.end;
          n.end = std::max(n.end, stop);  // no content: the header alone
          n.bare_block = text_.find('\n', stop) >= n.end;  // (a comment may follow the header)
          // A line of spaces after the text may be part of it (spaces past
          // the indentation, or a kept break only once a line follows):
          // where this scalar ends is then not known here.
          for (std::size_t line = text_.find('\n', n.end); line < text_.size();) {
            const std::size_t first = std::min(text_.find_first_not_of(" \t", ++line), text_.size());
            if (first != text_.size() && text_[first] != '\n' && text_[first] != '\r') break;
            if (first > line) return std::nullopt;
            line = text_.find('\n', first);
          }
        }
        if (n.empty) n.end = n.begin;
        if (n.style == yaml::Mark::single_quoted || n.style == yaml::Mark::double_quoted) {
          // The marks hold the content; the quotes are around them.
          const char q = n.style == yaml::Mark::single_quoted ? '\'' : '"';
          if (n.begin == 0 || text_[n.begin - 1] != q || n.end >= text_.size() || text_[n.end] != q)
            return std::nullopt;
          --n.begin;
          ++n.end;
        }
        break;
      }
      case yaml::Mark::mapping:
      case yaml::Mark::sequence: {
        const bool mapping = e->kind == yaml::Mark::mapping;
        n.kind = mapping ? Node::mapping : Node::sequence;
        n.shared = e->shared;
        n.flow = n.begin < text_.size() && text_[n.begin] == (mapping ? '{' : '[');
        if (!children(n, expand && mapping)) return std::nullopt;
        break;
      }
      default:
        return std::nullopt;
    }
    n.any_shared = n.any_shared || n.shared;
    return n;
  }

  bool children(Node& n, bool expand) {
    std::size_t last = n.begin;
    for (;;) {
      if (at_ >= marks_.events.size()) return false;
      const yaml::Mark& peek = marks_.events[at_];
      if (peek.kind == yaml::Mark::close) {
        ++at_;
        // A block collection's end mark is the next token.
        n.end = n.flow && peek.end <= text_.size() ? peek.end : last;
        if (n.flow) n.block_end = n.keeps_breaks = false;
        return true;
      }
      if (n.kind == Node::sequence) {
        auto item = node(false);
        if (!item) return false;
        // An empty item's marks lie anywhere from the text before it (lines
        // above its dash, even an earlier item's dash) on: it lies right
        // after the first dash past the item before it.
        if (item->empty && !n.flow) {
          const auto dash = dash_after(std::max(item->begin, last));
          if (!dash) return false;
          item->begin = item->end = *dash + 1;
        }
        if (!n.flow && (item->kind == Node::scalar || item->flow)) {  // continued at its dash's column
          const std::size_t dash = item->begin == 0 ? none : text_.rfind('-', item->begin - 1);
          if (dash != none) item->loose_end = continued_at(dash, item->end, dash - line_start(dash));
        }
        n.any_shared = n.any_shared || item->any_shared;
        last = std::max(last, item->end);
        n.block_end = item->block_end;
        n.keeps_breaks = item->keeps_breaks;
        n.loose_end = item->loose_end;
        n.bare_block = item->bare_block;
        continue;
      }
      const yaml::Mark* k = next();
      if (k->kind != yaml::Mark::scalar) return false;  // a collection or alias as a key
      Entry m;
      m.key = marks_.key_of(*k);
      m.key_begin = k->begin;
      std::size_t at = k->end;
      if (k->style == yaml::Mark::single_quoted || k->style == yaml::Mark::double_quoted) {
        // The marks hold the content; the quotes are around them.
        if (m.key_begin == 0 || at >= text_.size()) return false;
        --m.key_begin;
        ++at;
      }
      while (at < text_.size() && (text_[at] == ' ' || text_[at] == '\t')) ++at;
      if (k->shared || at >= text_.size() || text_[at] != ':') return false;
      // An explicit key ('?'), a block scalar (one too) or an empty key has no
      // line of its own to edit.
      std::size_t before = m.key_begin;
      while (before > 0 && is_space(text_[before - 1])) --before;
      if ((before > 0 && text_[before - 1] == '?') || (k->empty && k->style == yaml::Mark::plain) ||
          k->style == yaml::Mark::literal || k->style == yaml::Mark::folded)
        return false;
      // A tab before a block key is read as separation only where the key
      // is not the mapping's first: an edit could make it so.
      if (!n.flow) {
        const std::size_t start = line_start(m.key_begin);
        const std::string_view indent = text_.substr(start, m.key_begin - start);
        if (indent.find('\t') != none && indent.find_first_not_of(" \t") == none) return false;
      }
      m.colon = at;
      auto value = node(false);
      if (!value) return false;
      if (value->empty) value->begin = value->end = m.colon + 1;
      // libfyaml takes a value continued at its key's column only at the
      // end of the text; a block collection's own members say for it.
      if (value->kind == Node::scalar || value->flow)
        value->loose_end = continued_at(m.colon, value->end, m.key_begin - line_start(m.key_begin));
      m.value = std::move(*value);
      n.any_shared = n.any_shared || m.value.any_shared;
      last = std::max(last, std::max(m.colon + 1, m.value.end));
      n.block_end = m.value.block_end;
      n.keeps_breaks = m.value.keeps_breaks;
      n.loose_end = m.value.loose_end;
      n.bare_block = m.value.bare_block;
      if (expand) n.members.push_back(std::move(m));
    }
  }

  std::size_t line_start(std::size_t at) const {
    const std::size_t nl = at == 0 ? none : text_.rfind('\n', at - 1);
    return nl == none ? 0 : nl + 1;
  }
  // The next '-' from `at` past spaces, line breaks and comments.
  std::optional<std::size_t> dash_after(std::size_t at) const {
    while (at < text_.size()) {
      const char c = text_[at];
      if (c == '-') return at;
      if (c == '#') {
        at = text_.find('\n', at);
        if (at == none) return std::nullopt;
      } else if (!is_space(c)) {
        return std::nullopt;
      }
      ++at;
    }
    return std::nullopt;
  }
  // Whether a line in [from, to) starts at or left of `column` (but for
  // closing brackets).
  bool continued_at(std::size_t from, std::size_t to, std::size_t column) const {
    for (std::size_t at = text_.find('\n', from); at < to; at = text_.find('\n', at + 1)) {
      std::size_t first = at + 1;
      while (first < to && (text_[first] == ' ' || text_[first] == '\t')) ++first;
      if (first >= to || std::string_view("\r\n]}").find(text_[first]) != std::string_view::npos) continue;
      if (first - (at + 1) <= column) return true;
    }
    return false;
  }

  std::string_view text_;
  const yaml::Marks& marks_;
  std::size_t at_ = 0;
};

struct Edit {
  std::size_t begin, end;
  std::string text;
};

// The writer's text for {"k": v} after "k:", without the final line break:
// " value" for a scalar, "\n  ..." for a block collection.
std::optional<std::string> standard_after_key(const Value& v) {
  Object o;
  o.insert_or_assign("k", Value(v));
  auto text = yaml::write(Value(std::move(o)));
  if (!text || text->rfind("k:", 0) != 0) return std::nullopt;
  std::string s = text->substr(2);
  while (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

std::string indented(std::string_view s, std::size_t column) {
  std::string out;
  for (char c : s) {
    out += c;
    if (c == '\n') out.append(column, ' ');
  }
  return out;
}

std::string double_quoted(std::string_view s) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string out = "\"";
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) <= 0x9F) {
      // C1 controls may not stand in the text.
      const auto next = static_cast<unsigned char>(s[++i]);
      out += next == 0x85 ? std::string("\\N") : std::string("\\x") + hex[next >> 4] + hex[next & 15];
    } else if (c == 0xE2 && i + 2 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x80 &&
               (static_cast<unsigned char>(s[i + 2]) == 0xA8 || static_cast<unsigned char>(s[i + 2]) == 0xA9)) {
      out += static_cast<unsigned char>(s[i + 2]) == 0xA8 ? "\\L" : "\\P";
      i += 2;
    } else if (c == 0xEF && i + 2 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0xBB &&
               static_cast<unsigned char>(s[i + 2]) == 0xBF) {
      out += "\\uFEFF";
      i += 2;
    } else if (c == 0xEF && i + 2 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0xBF &&
               static_cast<unsigned char>(s[i + 2]) >= 0xBE) {
      out += static_cast<unsigned char>(s[i + 2]) == 0xBE ? "\\uFFFE" : "\\uFFFF";
      i += 2;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

bool single_quotable(std::string_view s) {
  for (char ch : s)
    if (const auto c = static_cast<unsigned char>(ch); c < 0x20 || c == 0x7F) return false;
  return !s.empty() && s.front() != ' ' && s.back() != ' ' && s.find("\xC2\x85") == none &&
         s.find("\xE2\x80\xA8") == none && s.find("\xE2\x80\xA9") == none && s.find("\xEF\xBB\xBF") == none;
}

// A value on one line inside a flow collection.
std::optional<std::string> flow_text(const Value& v) {
  if (const Object* o = v.if_object()) {
    std::string out = "{";
    for (const auto& [k, item] : *o) {
      auto t = flow_text(item);
      if (!t) return std::nullopt;
      out += (out.size() > 1 ? ", " : "") + double_quoted(k) + ": " + *t;
    }
    return out + "}";
  }
  if (v.is_array()) {
    const Array* a = &v.as_array();
    std::string out = "[";
    for (const Value& item : *a) {
      auto t = flow_text(item);
      if (!t) return std::nullopt;
      out += (out.size() > 1 ? ", " : "") + *t;
    }
    return out + "]";
  }
  auto t = standard_after_key(v);
  const bool string = v.kind() == Value::Kind::string;
  if (!t || t->size() < 2 || (*t)[0] != ' ' || t->find('\n') != none ||
      (string && t->find_first_of(",[]{}#|>") != none))
    return string ? std::optional<std::string>(double_quoted(v.as_string())) : std::nullopt;
  return t->substr(1);
}

// How the writer writes a mapping key (quoted where it must be), from its
// text of {key: null}.
std::optional<std::string> written_key(std::string_view key) {
  Object probe;
  probe.insert_or_assign(key, Value(Null{}));
  auto w = yaml::write(Value(std::move(probe)));
  if (!w || w->size() <= 7 || !w->ends_with(": null\n")) return std::nullopt;
  return w->substr(0, w->size() - 7);
}

// Whether the writer's text of `v` may hold a block scalar (it writes one
// for a string with a line feed).
bool may_hold_block(const Value& v) {
  if (v.kind() == Value::Kind::string) return v.as_string().find('\n') != none;
  if (const Object* o = v.if_object()) {
    for (const auto& m : *o)
      if (may_hold_block(m.value)) return true;
  } else if (v.is_array()) {
    for (const Value& item : v.as_array())
      if (may_hold_block(item)) return true;
  }
  return false;
}

class TextEditor {
 public:
  explicit TextEditor(std::string_view text) : text_(text) {}

  // changed: the root's members that differ, when known (in key order).
  std::optional<std::string> run(const Value& before, const Value& after, const yaml::Marks& marks,
                                 const std::vector<std::string>* changed) {
    // Lines are found by their line feeds: a carriage return alone, a line
    // break to YAML, would hide one.
    for (std::size_t cr = text_.find('\r'); cr != none; cr = text_.find('\r', cr + 1))
      if (cr + 1 == text_.size() || text_[cr + 1] != '\n') return std::nullopt;
    locator_.emplace(text_, marks);
    auto root = locator_->run();
    if (!root) return std::nullopt;
    const Object* a = after.if_object();
    if (a && a->empty() && root->kind == Node::mapping && !root->any_shared) {
      // Every member goes; the comments left stand above an empty mapping.
      if (root->flow) {
        edits_.push_back({root->begin, root->end, "{}"});
      } else {
        for (std::size_t i = 0; i < root->members.size(); ++i)
          if (!remove(*root, i, false, false)) return std::nullopt;
        edits_.push_back({text_.size(), text_.size(), text_.empty() || text_.back() == '\n' ? "{}\n" : "\n{}\n"});
      }
    } else if (!follows(*root, before, after) || !mapping(*root, before, after, changed)) {
      return std::nullopt;
    }
    // Stable: members added at one place go in the order they were made,
    // a nested mapping's before those of the mappings around it.
    std::stable_sort(edits_.begin(), edits_.end(), [](const Edit& x, const Edit& y) {
      return x.begin != y.begin ? x.begin < y.begin : x.end < y.end;  // an insertion before a removal there
    });
    // New lines end as the file's first line does.
    const std::size_t first_break = text_.find('\n');
    const bool crlf = first_break != none && first_break > 0 && text_[first_break - 1] == '\r';
    std::string out;
    out.reserve(text_.size() + 256);
    std::size_t at = 0;
    for (const Edit& e : edits_) {
      if (e.begin < at) return std::nullopt;
      out.append(text_.substr(at, e.begin - at));
      for (char c : e.text) {
        if (crlf && c == '\n') out += '\r';
        out += c;
      }
      at = e.end;
    }
    out.append(text_.substr(at));
    return out;
  }

 private:
  std::size_t line_start(std::size_t at) const {
    const std::size_t nl = text_.rfind('\n', at == 0 ? 0 : at - 1);
    return at == 0 || nl == none ? 0 : nl + 1;
  }
  std::size_t line_end(std::size_t at) const {  // after the line break
    const std::size_t nl = text_.find('\n', at);
    return nl == none ? text_.size() : nl + 1;
  }
  // After the last line of a member, with the blank lines its value keeps
  // (or any blank lines after it, if asked).
  std::size_t member_end(const Entry& m, bool with_blank_lines = false) const {
    std::size_t end = line_end(std::max(m.value.end, m.colon + 1));
    if (!m.value.keeps_breaks && !with_blank_lines) return end;
    while (end < text_.size()) {
      const std::size_t next = line_end(end);
      std::size_t stop = next;
      while (stop > end && (text_[stop - 1] == '\n' || text_[stop - 1] == '\r')) --stop;
      if (!only_spaces(end, stop)) break;
      end = next;
    }
    return end;
  }
  // Whether the lines from `from` (a line's start) up to the next line of
  // content stay outside a block scalar that comes to end just before them:
  // a comment or a line of spaces indented past `column` could be read as
  // its text. A comment at or left of `column` ends any such scalar.
  bool stays_outside(std::size_t from, std::size_t column) const {
    while (from < text_.size()) {
      const std::size_t next = line_end(from);
      std::size_t first = from;
      while (first < next && (text_[first] == ' ' || text_[first] == '\t')) ++first;
      const bool blank = first == next || text_[first] == '\n' || text_[first] == '\r';
      if (first - from > column && (blank || text_[first] == '#')) return false;
      if (!blank) return true;
      from = next;
    }
    return true;
  }
  // Whether text that may end in a block scalar can go in at `at`, right
  // before the line break: nothing else on the line, nothing after that it
  // could take in, and a break to end its last line.
  bool block_fits(std::size_t at, std::size_t column) const {
    std::size_t brk = at;
    if (brk < text_.size() && text_[brk] == '\r') ++brk;
    return brk < text_.size() && text_[brk] == '\n' && stays_outside(brk + 1, column);
  }
  bool only_spaces(std::size_t from, std::size_t to) const {
    for (std::size_t i = from; i < to; ++i)
      if (text_[i] != ' ' && text_[i] != '\t') return false;
    return true;
  }

  // Whether every line a block member's value (from its colon to its end)
  // continues on is indented past its key (but for comments, closing
  // brackets and a block sequence's dashes): libfyaml also takes a last value
  // continued at the key's column, which a member added after it would end.
  bool indented_past(const Entry& m) const {
    const std::size_t from = m.colon, to = m.value.end, key_begin = m.key_begin;
    const bool dashes = m.value.kind == Node::sequence && !m.value.flow;
    const std::size_t nl = text_.rfind('\n', key_begin);
    const std::size_t column = key_begin - (nl == std::string_view::npos ? 0 : nl + 1);
    for (std::size_t at = text_.find('\n', from); at < to; at = text_.find('\n', at + 1)) {
      std::size_t first = at + 1;
      while (first < to && (text_[first] == ' ' || text_[first] == '\t')) ++first;
      if (first >= to || std::string_view("\r\n]}#").find(text_[first]) != std::string_view::npos) continue;
      const std::size_t indent = first - (at + 1);
      if (indent < column || (indent == column && !(dashes && text_[first] == '-'))) return false;
    }
    return true;
  }

  // A changed member value of a mapping.
  bool value(const Entry& m, const Node& parent, const Value& before, const Value& after) {
    const Node& n = m.value;
    // A flow collection with lines at its key's column is one libfyaml takes
    // only as it stands.
    if (n.shared || (n.flow && n.loose_end)) return false;
    if (n.kind == Node::mapping) {
      auto inside = locator_->expand(n);
      if (!inside) return false;
      if (follows(*inside, before, after)) return mapping(*inside, before, after);
    }
    if (n.any_shared) return false;
    if (parent.flow || n.flow) {
      auto t = flow_text(after);
      if (!t) return false;
      if (n.empty) *t = " " + *t;
      edits_.push_back({n.begin, n.end, std::move(*t)});
      return true;
    }
    const std::string_view text = after.kind() == Value::Kind::string ? after.as_string() : std::string_view();
    const std::string_view* s = after.kind() == Value::Kind::string ? &text : nullptr;
    if (n.kind == Node::scalar && !n.empty && s) {
      if (n.style == yaml::Mark::single_quoted && single_quotable(*s)) {
        std::string q = "'";
        for (char c : *s) q += c == '\'' ? std::string("''") : std::string(1, c);
        edits_.push_back({n.begin, n.end, q + "'"});
        return true;
      }
      if (n.style == yaml::Mark::double_quoted) {
        edits_.push_back({n.begin, n.end, double_quoted(*s)});
        return true;
      }
    }
    auto t = standard_after_key(after);
    if (!t) return false;
    // Only a comment may follow the replaced value on its line: anything
    // else means its marks did not reach its end (an empty node after '-').
    std::size_t rest = std::max(n.end, m.colon + 1);
    while (rest < text_.size() && (text_[rest] == ' ' || text_[rest] == '\t')) ++rest;
    if (rest < text_.size() && std::string_view("\r\n#").find(text_[rest]) == none) return false;
    std::size_t column = m.key_begin - line_start(m.key_begin);
    // A block scalar takes in what follows it; one kept with its empty lines
    // comes with the end-of-document marker, which cannot stand inside.
    if (may_hold_block(after) &&
        (t->ends_with("\n...") || !block_fits(std::max(n.end, m.colon + 1), column))) {
      // Such a value goes on the key's line instead, in flow style (its
      // texts double-quoted).
      t = flow_text(after);
      if (!t) return false;
      *t = " " + *t;
    }
    // A block sequence replaced by one keeps the indentation of its items.
    if (n.kind == Node::sequence && !n.flow && after.is_array() && t->rfind("\n-", 0) == 0 &&
        only_spaces(line_start(n.begin), n.begin))
      column = std::max(column, n.begin - line_start(n.begin));
    edits_.push_back({m.colon + 1, std::max(n.end, m.colon + 1), indented(*t, column)});
    return true;
  }

  // Whether the mapping's members can be edited one by one.
  static bool follows(const Node& n, const Value& before, const Value& after) {
    const Object* b = before.if_object();
    const Object* a = after.if_object();
    if (!b || !a || a->empty() || n.kind != Node::mapping || n.shared || n.members.size() != b->size()) return false;
    for (const Entry& m : n.members)
      if (!b->find(m.key)) return false;  // read differently, or a merge key
    return true;
  }

  bool mapping(const Node& n, const Value& before, const Value& after,
               const std::vector<std::string>* known_changed = nullptr) {
    const Object* b = before.if_object();
    const Object* a = after.if_object();
    const auto differs = [&](const Entry& m, const Value& was, const Value& now) {
      return known_changed ? std::binary_search(known_changed->begin(), known_changed->end(), m.key)
                           : !(was == now);
    };
    std::size_t kept = none;
    bool kept_breaks = false, kept_block = false;
    for (std::size_t i = 0; i < n.members.size(); ++i) {
      const Entry& m = n.members[i];
      const Value* now = a->find(m.key);
      if (!now) {
        if (m.value.any_shared || !remove(n, i, kept_breaks, kept_block)) return false;
        continue;
      }
      kept = i;
      const Value* was = b->find(m.key);
      const bool changed = differs(m, *was, *now);
      if (changed && !value(m, n, *was, *now)) return false;
      // What the lines after a removed member come to follow.
      kept_breaks = m.value.keeps_breaks;
      kept_block = m.value.block_end || (changed && may_hold_block(*now));
    }
    bool after_member = kept != none;  // in a flow mapping, whether a comma goes first
    bool first = true;
    const auto add_new = [&](std::string_view k, const Value& v) {
      if (b->find(k)) return true;
      if (!add(n, kept, std::string(k), v, after_member, first)) return false;
      after_member = true;
      first = false;
      return true;
    };
    if (known_changed) {  // a new member is a changed one
      for (const auto& k : *known_changed)
        if (const Value* v = a->find(k); v && !add_new(k, *v)) return false;
    } else {
      for (const auto& [k, v] : *a)
        if (!add_new(k, v)) return false;
    }
    return true;
  }

  // Removes member i; the flags tell what will stand before the lines after
  // it: a block scalar kept with its empty lines, any block scalar.
  bool remove(const Node& n, std::size_t i, bool after_kept_breaks, bool after_block) {
    const Entry& m = n.members[i];
    if (n.flow) {
      if (text_.substr(n.begin, n.end - n.begin).find('#') != none) return false;
      std::size_t from = m.key_begin, to = std::max(m.value.end, m.colon + 1);
      std::size_t after = to;
      while (after < n.end && Locator::is_space(text_[after])) ++after;
      if (after < n.end && text_[after] == ',') {
        to = after + 1;
        while (to < n.end && text_[to] == ' ') ++to;
      } else {
        std::size_t back = from;
        while (back > n.begin && Locator::is_space(text_[back - 1])) --back;
        if (back > n.begin && text_[back - 1] == ',') from = back - 1;
      }
      edits_.push_back({from, to, ""});
      return true;
    }
    std::size_t from = line_start(m.key_begin);
    if (!only_spaces(from, m.key_begin)) return false;
    // Comment lines directly above go with it, never a line of the member
    // before (a block scalar's text may look like one).
    const std::size_t floor = i == 0 ? 0 : n.members[i - 1].value.end;
    while (from > floor) {
      const std::size_t above = line_start(from - 1);
      if (above < floor) break;
      std::size_t first = above;
      while (first < from && (text_[first] == ' ' || text_[first] == '\t')) ++first;
      if (first >= from || text_[first] != '#') break;
      from = above;
    }
    // Blank lines left after a kept '+' block scalar would become its text,
    // and what follows must not join a block scalar before it.
    const std::size_t to = member_end(m, after_kept_breaks);
    if (after_block && !stays_outside(to, m.key_begin - line_start(m.key_begin))) return false;
    // A tab on a blank line after it may read as indentation once the
    // member before it comes to stand above.
    for (std::size_t line = to; line < text_.size(); line = line_end(line)) {
      const std::size_t first = std::min(text_.find_first_not_of(" \t", line), text_.size());
      if (first < text_.size() && text_[first] != '\n' && text_[first] != '\r') break;
      if (text_.substr(line, first - line).find('\t') != none) return false;
    }
    edits_.push_back({from, to, ""});
    return true;
  }

  bool add(const Node& n, std::size_t kept, const std::string& key, const Value& v, bool after_member,
           bool first) {
    if (n.flow) {
      auto t = flow_text(v);
      // A comment inside would hide the commas it holds, and the end of its line.
      if (!t || text_.substr(n.begin, n.end - n.begin).find('#') != none) return false;
      const std::size_t close = n.end - 1;
      std::string entry = double_quoted(key) + ": " + *t;
      if (auto plain = written_key(key); plain && plain->find_first_of(",[]{}#\"'\n") == none)
        entry = *plain + ": " + *t;
      std::string comma = after_member ? ", " : "";
      if (after_member && first) {
        // A trailing comma stays, followed by the first new member.
        std::size_t back = close;
        while (back > n.begin && Locator::is_space(text_[back - 1])) --back;
        if (back > n.begin && text_[back - 1] == ',') comma = back == close ? " " : "";
      }
      edits_.push_back({close, close, comma + entry});
      return true;
    }
    if (n.members.empty()) return false;
    // After the last kept member; when none is kept, where the last one ended.
    const Entry& last = n.members[kept == none ? n.members.size() - 1 : kept];
    if (last.value.loose_end || last.value.bare_block || !indented_past(last)) return false;
    const std::size_t column = last.key_begin - line_start(last.key_begin);
    Object one;
    one.insert_or_assign(key, Value(v));
    auto w = yaml::write(Value(std::move(one)));
    if (!w) return false;
    std::size_t at = member_end(last);
    // The break this adds after a last line would end a block scalar's text
    // there, and a block scalar written here takes in the lines after it.
    if (at == text_.size() && last.value.block_end && !text_.ends_with('\n')) return false;
    if ((at < text_.size() && w->ends_with("\n...\n")) || (may_hold_block(v) && !stays_outside(at, column))) {
      // A value the writer gives a block scalar goes on the key's line
      // instead, in flow style (its texts double-quoted).
      const auto flow = flow_text(v);
      const auto written = written_key(key);
      if (!flow || !written || written->find('\n') != none) return false;
      *w = *written + ": " + *flow + "\n";
    }
    std::string text =
        std::string(column, ' ') + indented(std::string_view(*w).substr(0, w->size() - 1), column) + "\n";
    // A text that ends inside its last line needs a break first, unless that
    // line goes with a removed member: a second break would follow the one
    // the removal leaves (and join a block scalar kept with its breaks).
    const bool removed_to_end = std::any_of(edits_.begin(), edits_.end(), [&](const Edit& e) {
      return e.end == text_.size() && e.text.empty() && (e.begin == 0 || text_[e.begin - 1] == '\n');
    });
    if (at == text_.size() && !removed_to_end && (text_.empty() || text_.back() != '\n')) text = "\n" + text;
    edits_.push_back({at, at, std::move(text)});
    return true;
  }

  std::string_view text_;
  std::optional<Locator> locator_;
  std::vector<Edit> edits_;
};

}  // namespace

std::optional<std::string> edit_yaml_with_marks(std::string_view text, const Value& before, const Value& after,
                                     yaml::Marks& marks, const std::vector<std::string>* changed) {
  if (!marks.complete && !yaml::locate(text, marks)) return std::nullopt;
  return TextEditor(text).run(before, after, marks, changed);
}

std::optional<std::string> edit_yaml(std::string_view text, const Value& before, const Value& after) {
  yaml::Marks marks;
  return edit_yaml_with_marks(text, before, after, marks);
}

}  // namespace zub::layout
