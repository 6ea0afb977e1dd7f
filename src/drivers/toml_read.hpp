// The TOML 1.1 reader (toml_read.cpp); docs/toml_reader.md describes it.
#pragma once

#include <string_view>

#include "core/result.hpp"
#include "core/value.hpp"

namespace zub::toml {

// The whole document as a value tree; TypeError "TOML parse error: ..."
// naming the first mistake, its line and column, and quoting the line.
Result<Value> read(std::string_view text);

// Whether the text reads as `tree`: what read() would give is compared as it
// is read, and no tree is built.
bool reads_as(std::string_view text, const Value& tree);

}  // namespace zub::toml
