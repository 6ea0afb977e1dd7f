// Where each node of a YAML text lies, as the layout editor needs it: one
// record per parser event, in order. The comparing read of a saved text
// records them on its way, so the next edit of that text reads nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zub::yaml {

struct Mark {
  enum Kind : unsigned char { scalar, alias, mapping, sequence, close };  // close: a collection's end
  enum Style : unsigned char { plain, single_quoted, double_quoted, literal, folded };
  Kind kind = scalar;
  Style style = plain;
  bool shared = false;  // carries an anchor or a tag
  bool empty = false;   // a scalar whose text is empty
  // Offsets in 32 bits keep a record at 20 bytes; a longer text has none.
  std::uint32_t begin = 0, end = 0;  // the event's marks: a quoted scalar's exclude its quotes
  std::uint32_t key = 0, key_size = 0;  // a mapping key's text, in Marks::keys

  bool operator==(const Mark&) const = default;
};

struct Marks {
  std::vector<Mark> events;  // from the first node's to the last one's
  std::string keys;          // the text of every mapping key, one after another
  bool complete = false;     // whether the events cover a whole text that loads

  void clear() {
    events.clear();
    keys.clear();
    complete = false;
  }
  // Room for a text's records at once: reserved pages that stay unused cost
  // nothing, while growing by doubling copies and faults pages.
  void reserve_for(std::size_t text_size) {
    events.reserve(text_size / 4);
    keys.reserve(text_size / 2);
  }
  std::string_view key_of(const Mark& m) const { return std::string_view(keys).substr(m.key, m.key_size); }
};

// Records the events of a text the reader accepts; false when libfyaml
// does not parse it as one document.
bool locate(std::string_view text, Marks& out);

}  // namespace zub::yaml
