// The four file formats behind one small interface: each format turns an
// open file (or its text) into a Value and a Value into text.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.hpp"
#include "core/value.hpp"

struct yyjson_alc;

namespace zub {

namespace io {
class TextSink;
}

enum class Format { json, json5, toml, yaml };

// Each format's translation unit. Parse failures are TypeError with the
// format's prefix ("JSON parse error: " and so on). The JSON, JSON5 and TOML
// writers stream into a sink (the TOML one may fail halfway); the YAML one
// produces the whole text in memory.
namespace json {
Result<Value> read(int fd);  // streams through an 8192-byte buffer
Result<Value> parse(const std::string& text);
// Whether text reads as expected, without building a tree; the parse error
// when it does not read at all.
Result<bool> matches(const std::string& text, const Value& expected);
// Where a key of the root object lies in the text read: its bytes, which
// are the key itself (none: an escaped key, or one the read took across
// two buffers).
struct KeyAt {
  std::size_t at;
  std::size_t size;
};
inline constexpr std::size_t unknown_place = ~std::size_t{0};
// The same, noting every key of the root object in text order into keys.
Result<bool> matches(const std::string& text, const Value& expected, std::vector<KeyAt>& keys);
void write(const Value& root, io::TextSink& sink);
std::string write(const Value& root);
}  // namespace json

namespace json5 {
Result<Value> parse(std::string_view text);
// Memory yyjson keeps from one read to the next: one block as large as a
// read of the text may need, reserved at the first read and mapped only
// where it is used. A document read again maps no new pages, which cost a
// fresh read more than comparing it.
class ReadMemory {
 public:
  yyjson_alc* for_text(std::size_t size);

 private:
  struct Pool;
  struct Free {
    void operator()(Pool* pool) const noexcept;
  };
  std::unique_ptr<Pool, Free> pool_;
};
// Whether text parses as `tree`, compared as it is read (no tree built).
bool reads_as(std::string_view text, const Value& tree, ReadMemory& memory);
void write(const Value& root, io::TextSink& sink);
std::string write(const Value& root);
}  // namespace json5

namespace toml {
Result<Value> parse(std::string_view text);
// Fails for null or a non-object root.
Result<void> write(const Value& root, io::TextSink& sink);
Result<std::string> write(const Value& root);
}  // namespace toml

namespace yaml {
struct Marks;
Result<Value> read(int fd);  // reads through an 8192-byte buffer
// marks: where to record where the text's nodes lie, if anywhere.
Result<Value> parse(std::string_view text, Marks* marks = nullptr);
// Whether text parses as `tree`, compared as it is read where it can be;
// records the marks of the text for the layout editor (if given).
bool reads_as(std::string_view text, const Value& tree, Marks* marks);
Result<std::string> write(const Value& root);
}  // namespace yaml

// A generous estimate of a tree's text size, so a writer reserves its
// buffer once: growing a large string by doubling costs copies and page
// faults, while reserved pages that stay unused cost nothing.
std::size_t text_size_hint(const Value& root);

// Loads a configuration file: a missing file is an empty object.
Result<Value> load_file(Format format, const std::string& path);

// Parses a whole text with the format's own reader.
Result<Value> parse_text(Format format, const std::string& text);

// A loaded file with its text, for saving that keeps the layout; no text
// when the file did not exist.
struct KeptFile {
  Value tree;
  std::optional<std::string> text;
};
// For YAML, records where the text's nodes lie in `marks` (if given).
Result<KeptFile> load_file_keeping_text(Format format, const std::string& path, yaml::Marks* marks = nullptr);

// Creates the parent directories, serializes, and replaces the file.
Result<void> save_file(Format format, const std::string& path, const Value& root);

// Serializes without touching any file.
Result<std::string> serialize(Format format, const Value& root);

}  // namespace zub
