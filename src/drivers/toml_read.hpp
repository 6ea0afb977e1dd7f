// The TOML 1.1 reader (toml_read.cpp); docs/toml_reader.md describes it.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "core/result.hpp"
#include "core/value.hpp"

namespace zub::toml {

// The whole document as a value tree; TypeError "TOML parse error: ..."
// naming the first mistake, its line and column, and quoting the line.
Result<Value> read(std::string_view text);

// Where a text's table headers lie, as the layout editor needs them to pass
// over the sections an edit does not touch without reading them. Offsets
// count from after a byte order mark.
struct Sections {
  struct Header {
    std::uint32_t line = 0;    // where the header's line begins
    std::uint32_t before = 0;  // the end of the line of the key/value or header before it
  };
  std::vector<Header> headers;
  std::uint32_t end = 0;      // the end of the last key/value's or header's line
  std::uint64_t size = 0;     // of the text they were recorded from
  bool complete = false;      // whether they cover a whole text that reads

  void clear() {
    headers.clear();
    complete = false;
  }
};

// What a comparing read may leave for the next one: its tables, each with
// its vectors' room, so that a loop of checks allocates nothing for them
// (about a sixth of a check's time otherwise). It holds as much as the
// largest read it served needed.
class ReadMemory {
 private:
  friend bool reads_as(std::string_view, const Value&, struct Sections*, ReadMemory*);
  struct Tables;
  struct Free {
    void operator()(Tables* tables) const noexcept;
  };
  std::unique_ptr<Tables, Free> tables_;
};

// Whether the text reads as `tree`: what read() would give is compared as it
// is read, and no tree is built. Records the text's sections when given
// where (texts of 4 GB or more have none); uses memory's tables, if given.
bool reads_as(std::string_view text, const Value& tree, Sections* record = nullptr, ReadMemory* memory = nullptr);

}  // namespace zub::toml
