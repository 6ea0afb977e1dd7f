// The quick TOML reader: one pass over the text into a small table tree,
// then into a Value. It gives up (nullopt) at the first thing outside the
// subset it knows, valid or not, and toml11 reads the text instead.
#include "drivers/toml_common.hpp"

#include "drivers/file_io.hpp"

#include <charconv>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace zub::toml {

namespace {

struct Node {
  enum class Kind : unsigned char { table, array_of_tables, leaf };
  Kind kind = Kind::table;
  bool defined = false;  // a table named by its own header (not only on the way to another)
  Value leaf;
  std::vector<std::string> keys;  // a table's member names; empty for an array of tables
  std::vector<Node> children;     // a table's members or an array's tables
  // Large tables (the root of a big file) also index their names.
  std::unique_ptr<std::unordered_map<std::string, std::size_t>> index;

  static constexpr std::size_t indexed_from = 16;

  Node* find(std::string_view key) {
    if (index) {
      auto it = index->find(std::string(key));
      return it == index->end() ? nullptr : &children[it->second];
    }
    for (std::size_t i = 0; i < keys.size(); ++i)
      if (keys[i] == key) return &children[i];
    return nullptr;
  }

  Node& add(std::string key, Node&& child) {
    keys.push_back(std::move(key));
    children.push_back(std::move(child));
    if (index) {
      index->emplace(keys.back(), keys.size() - 1);
    } else if (keys.size() >= indexed_from) {
      index = std::make_unique<std::unordered_map<std::string, std::size_t>>();
      for (std::size_t i = 0; i < keys.size(); ++i) index->emplace(keys[i], i);
    }
    return children.back();
  }
};

bool is_bare(char c) noexcept {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Control characters other than tab are not allowed in strings or comments.
bool is_control(unsigned char c) noexcept { return (c < 0x20 && c != '\t') || c == 0x7f; }

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

class Reader {
 public:
  explicit Reader(std::string_view text) : t_(text) {}

  std::optional<Value> run() {
    if (t_.size() >= 3 && t_.substr(0, 3) == "\xEF\xBB\xBF") return std::nullopt;
    Node root;
    Node* current = &root;
    std::size_t current_depth = 1;
    while (true) {
      skip_space();
      if (at_end()) break;
      char c = t_[i_];
      if (c == '\n' || c == '\r' || c == '#') {
        if (!end_of_line()) return std::nullopt;
        continue;
      }
      if (c == '[') {
        const bool array = i_ + 1 < t_.size() && t_[i_ + 1] == '[';
        i_ += array ? 2 : 1;
        std::vector<std::string> path;
        if (!header_path(path)) return std::nullopt;
        if (array) {
          if (!take(']') || !take(']')) return std::nullopt;
        } else if (!take(']')) {
          return std::nullopt;
        }
        if (!end_of_line()) return std::nullopt;
        current = open_table(root, path, array, current_depth);
        if (!current) return std::nullopt;
        continue;
      }
      std::string key;
      if (!simple_key(key)) return std::nullopt;
      skip_space();
      if (!take('=')) return std::nullopt;  // dotted keys and stray text alike
      skip_space();
      Value v;
      if (!value(v, current_depth + 1)) return std::nullopt;
      if (!end_of_line()) return std::nullopt;
      if (current->find(key)) return std::nullopt;
      Node leaf;
      leaf.kind = Node::Kind::leaf;
      leaf.leaf = std::move(v);
      current->add(std::move(key), std::move(leaf));
    }
    return convert(root, 1);
  }

 private:
  std::string_view t_;
  std::size_t i_ = 0;

  bool at_end() const noexcept { return i_ >= t_.size(); }

  void skip_space() noexcept {
    while (i_ < t_.size() && (t_[i_] == ' ' || t_[i_] == '\t')) ++i_;
  }

  bool take(char c) noexcept {
    if (i_ < t_.size() && t_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }

  // Spaces, an optional comment, then a line break or the end of the text.
  bool end_of_line() noexcept {
    skip_space();
    if (i_ < t_.size() && t_[i_] == '#') {
      for (++i_; i_ < t_.size() && t_[i_] != '\n'; ++i_) {
        const auto b = static_cast<unsigned char>(t_[i_]);
        if (b == '\r' && i_ + 1 < t_.size() && t_[i_ + 1] == '\n') continue;
        if (is_control(b)) return false;
      }
    }
    if (at_end()) return true;
    if (t_[i_] == '\r') ++i_;
    return take('\n');
  }

  // Skips spaces, line breaks and comments between array elements.
  bool array_space() noexcept {
    for (;;) {
      skip_space();
      if (at_end()) return false;
      const char c = t_[i_];
      if (c == '\n' || c == '\r' || c == '#') {
        if (!end_of_line()) return false;
        continue;
      }
      return true;
    }
  }

  bool simple_key(std::string& out) {
    if (at_end()) return false;
    const char c = t_[i_];
    if (c == '"') return basic_string(out);
    if (c == '\'') return literal_string(out);
    const std::size_t start = i_;
    while (i_ < t_.size() && is_bare(t_[i_])) ++i_;
    if (i_ == start) return false;
    out.assign(t_.data() + start, i_ - start);
    return true;
  }

  bool header_path(std::vector<std::string>& path) {
    for (;;) {
      skip_space();
      std::string key;
      if (!simple_key(key)) return false;
      path.push_back(std::move(key));
      if (path.size() > max_parse_depth) return false;
      skip_space();
      if (!take('.')) return true;
    }
  }

  bool basic_string(std::string& out) {
    ++i_;  // the opening quote
    if (i_ + 1 < t_.size() && t_[i_] == '"' && t_[i_ + 1] == '"') return false;  // multi-line
    for (;;) {
      const std::size_t run = i_;
      while (i_ < t_.size() && t_[i_] != '"' && t_[i_] != '\\' && !is_control(static_cast<unsigned char>(t_[i_])))
        ++i_;
      out.append(t_.data() + run, i_ - run);
      if (at_end()) return false;
      const char c = t_[i_++];
      if (c == '"') return true;
      if (c != '\\' || at_end()) return false;  // a control character
      switch (t_[i_++]) {
        case 'b': out += '\b'; break;
        case 't': out += '\t'; break;
        case 'n': out += '\n'; break;
        case 'f': out += '\f'; break;
        case 'r': out += '\r'; break;
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case 'u':
          if (!unicode_escape(out, 4)) return false;
          break;
        case 'U':
          if (!unicode_escape(out, 8)) return false;
          break;
        default:
          return false;
      }
    }
  }

  bool unicode_escape(std::string& out, std::size_t digits) {
    if (t_.size() - i_ < digits) return false;
    std::uint32_t cp = 0;
    for (std::size_t k = 0; k < digits; ++k) {
      const char h = t_[i_++];
      std::uint32_t d;
      if (h >= '0' && h <= '9') d = static_cast<std::uint32_t>(h - '0');
      else if (h >= 'a' && h <= 'f') d = static_cast<std::uint32_t>(h - 'a' + 10);
      else if (h >= 'A' && h <= 'F') d = static_cast<std::uint32_t>(h - 'A' + 10);
      else return false;
      cp = cp * 16 + d;
    }
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    append_utf8(out, cp);
    return true;
  }

  bool literal_string(std::string& out) {
    ++i_;
    if (i_ + 1 < t_.size() && t_[i_] == '\'' && t_[i_ + 1] == '\'') return false;  // multi-line
    const std::size_t start = i_;
    while (i_ < t_.size() && t_[i_] != '\'') {
      if (is_control(static_cast<unsigned char>(t_[i_]))) return false;
      ++i_;
    }
    if (at_end()) return false;
    out.assign(t_.data() + start, i_ - start);
    ++i_;
    return true;
  }

  // What may follow a number, a boolean or a closing bracket.
  bool at_delimiter() const noexcept {
    if (at_end()) return true;
    switch (t_[i_]) {
      case ' ': case '\t': case '\n': case '\r': case ',': case ']': case '}': case '#':
        return true;
      default:
        return false;
    }
  }

  // Digits with single underscores between them; copies the digits.
  bool digits(std::string& out, bool leading_zero_allowed) {
    const std::size_t start = i_;
    if (at_end() || !is_digit(t_[i_])) return false;
    while (i_ < t_.size()) {
      const char c = t_[i_];
      if (is_digit(c)) {
        out += c;
        ++i_;
      } else if (c == '_' && i_ + 1 < t_.size() && is_digit(t_[i_ + 1]) && i_ > start) {
        ++i_;
      } else {
        break;
      }
    }
    if (!leading_zero_allowed && out.size() > 1 && out[0] == '0') return false;
    return true;
  }

  bool number(Value& out) {
    std::string text;
    if (t_[i_] == '+' || t_[i_] == '-') text += t_[i_++];
    std::string int_part;
    if (!digits(int_part, false)) return false;
    text += int_part;
    bool is_float = false;
    if (i_ < t_.size() && t_[i_] == '.') {
      ++i_;
      text += '.';
      std::string frac;
      if (!digits(frac, true)) return false;
      text += frac;
      is_float = true;
    }
    if (i_ < t_.size() && (t_[i_] == 'e' || t_[i_] == 'E')) {
      ++i_;
      text += 'e';
      if (i_ < t_.size() && (t_[i_] == '+' || t_[i_] == '-')) text += t_[i_++];
      std::string exp;
      if (!digits(exp, true)) return false;
      text += exp;
      is_float = true;
    }
    if (!at_delimiter()) return false;  // dates, times, 0x and the like
    const char* first = text.data() + (text[0] == '+' ? 1 : 0);
    const char* last = text.data() + text.size();
    if (is_float) {
      double d;
      auto [end, ec] = std::from_chars(first, last, d);
      if (ec != std::errc() || end != last) return false;
      out = Value::from_double(d);
      return true;
    }
    std::int64_t n;
    auto [end, ec] = std::from_chars(first, last, n);
    if (ec != std::errc() || end != last) return false;
    out = Value::from_int(n);
    return true;
  }

  bool word(std::string_view w) {
    if (t_.substr(i_, w.size()) != w) return false;
    i_ += w.size();
    return at_delimiter();
  }

  // depth: the level the value would take in the tree if it is a container.
  bool value(Value& out, std::size_t depth) {
    if (at_end()) return false;
    const char c = t_[i_];
    if (c == '"' || c == '\'') {
      std::string s;
      if (!(c == '"' ? basic_string(s) : literal_string(s))) return false;
      out = Value(std::move(s));
      return true;
    }
    if (c == 't') {
      out = Value(true);
      return word("true");
    }
    if (c == 'f') {
      out = Value(false);
      return word("false");
    }
    if (c == '[') return array(out, depth);
    if (c == '{') return inline_table(out, depth);
    if (c == '+' || c == '-' || is_digit(c)) return number(out);
    return false;  // inf, nan and anything unknown
  }

  bool array(Value& out, std::size_t depth) {
    if (depth > max_parse_depth) return false;
    ++i_;
    Array items;
    for (;;) {
      if (!array_space()) return false;
      if (take(']')) break;
      Value v;
      if (!value(v, depth + 1)) return false;
      items.push_back(std::move(v));
      if (!array_space()) return false;
      if (take(']')) break;
      if (!take(',')) return false;
    }
    out = Value(std::move(items));
    return true;
  }

  // Single line, no trailing comma: the TOML 1.0 form.
  bool inline_table(Value& out, std::size_t depth) {
    if (depth > max_parse_depth) return false;
    ++i_;
    std::vector<Member> members;
    skip_space();
    if (!take('}')) {
      for (;;) {
        skip_space();
        std::string key;
        if (!simple_key(key)) return false;
        skip_space();
        if (!take('=')) return false;
        skip_space();
        Value v;
        if (!value(v, depth + 1)) return false;
        for (const auto& m : members)
          if (m.key == key) return false;
        members.push_back(Member{std::move(key), std::move(v)});
        skip_space();
        if (take('}')) break;
        if (!take(',')) return false;
      }
    }
    if (!at_delimiter()) return false;
    out = Value(Object::from_unsorted(std::move(members)));
    return true;
  }

  // Follows a header's path from the root; nullptr where TOML forbids it
  // (or where the rules get subtle).
  static Node* open_table(Node& root, std::vector<std::string>& path, bool array, std::size_t& depth) {
    Node* node = &root;
    depth = 1;
    for (std::size_t k = 0; k + 1 < path.size(); ++k) {
      Node* next = node->find(path[k]);
      if (!next) {
        next = &node->add(std::move(path[k]), Node{});
      } else if (next->kind == Node::Kind::array_of_tables) {
        next = &next->children.back();
        ++depth;  // the array's level
      } else if (next->kind != Node::Kind::table) {
        return nullptr;
      }
      node = next;
      ++depth;
    }
    Node* last = node->find(path.back());
    ++depth;
    if (array) {
      if (!last) {
        Node list;
        list.kind = Node::Kind::array_of_tables;
        last = &node->add(std::move(path.back()), std::move(list));
      } else if (last->kind != Node::Kind::array_of_tables) {
        return nullptr;
      }
      Node table;
      table.defined = true;
      last->children.push_back(std::move(table));
      ++depth;
      return &last->children.back();
    }
    if (!last) {
      Node table;
      table.defined = true;
      return &node->add(std::move(path.back()), std::move(table));
    }
    if (last->kind != Node::Kind::table || last->defined) return nullptr;
    last->defined = true;
    return last;
  }

  // depth counts containers from the root, the root being 1, as toml11's
  // conversion does.
  static std::optional<Value> convert(Node& node, std::size_t depth) {
    if (node.kind == Node::Kind::leaf) {
      const std::size_t inner = node.leaf.depth();
      if (inner > 0 && depth + inner - 1 > max_parse_depth) return std::nullopt;
      return std::move(node.leaf);
    }
    if (depth > max_parse_depth) return std::nullopt;
    if (node.kind == Node::Kind::array_of_tables) {
      Array items;
      items.reserve(node.children.size());
      for (auto& child : node.children) {
        auto v = convert(child, depth + 1);
        if (!v) return std::nullopt;
        items.push_back(std::move(*v));
      }
      return Value(std::move(items));
    }
    std::vector<Member> members;
    members.reserve(node.children.size());
    for (std::size_t k = 0; k < node.children.size(); ++k) {
      auto v = convert(node.children[k], depth + 1);
      if (!v) return std::nullopt;
      members.push_back(Member{std::move(node.keys[k]), std::move(*v)});
    }
    return Value(Object::from_unsorted(std::move(members)));
  }
};

}  // namespace

std::optional<Value> parse_common(std::string_view text) {
  // Files arrive checked; other callers get toml11's verdict on bad UTF-8.
  if (!io::is_valid_utf8(text)) return std::nullopt;
  return Reader(text).run();
}

}  // namespace zub::toml
