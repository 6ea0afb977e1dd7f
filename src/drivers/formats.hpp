// The four file formats behind one small interface: each format turns an
// open file (or its text) into a Value and a Value into text.
#pragma once

#include <string>
#include <string_view>

#include "core/result.hpp"
#include "core/value.hpp"

namespace zub {

namespace io {
class TextSink;
}

enum class Format { json, json5, toml, yaml };

// Each format's translation unit. Parse failures are TypeError with the
// format's prefix ("JSON parse error: " and so on). The JSON writer streams
// into a sink; the others produce the whole text in memory, where a failure
// leaves nothing half-written.
namespace json {
Result<Value> read(int fd);  // streams through an 8192-byte buffer
void write(const Value& root, io::TextSink& sink);
std::string write(const Value& root);
}  // namespace json

namespace json5 {
Result<Value> parse(std::string_view text);
std::string write(const Value& root);
}  // namespace json5

namespace toml {
Result<Value> parse(std::string_view text);
Result<std::string> write(const Value& root);  // fails for null or a non-object root
}  // namespace toml

namespace yaml {
Result<Value> read(int fd);  // reads through an 8192-byte buffer
Result<std::string> write(const Value& root);
}  // namespace yaml

// A generous estimate of a tree's text size, so a writer reserves its
// buffer once: growing a large string by doubling costs copies and page
// faults, while reserved pages that stay unused cost nothing.
std::size_t text_size_hint(const Value& root);

// Loads a configuration file: a missing file is an empty object.
Result<Value> load_file(Format format, const std::string& path);

// Creates the parent directories, serializes, and replaces the file.
Result<void> save_file(Format format, const std::string& path, const Value& root);

// Serializes without touching any file.
Result<std::string> serialize(Format format, const Value& root);

}  // namespace zub
