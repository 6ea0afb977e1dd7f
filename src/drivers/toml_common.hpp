// A quick reader for the TOML that settings files are made of.
#pragma once

#include <optional>
#include <string_view>

#include "core/result.hpp"
#include "core/value.hpp"

namespace zub::toml {

// Reads documents that keep to the common subset: tables and arrays of
// tables by header, one plain key per line, single-line strings with the
// usual escapes, decimal integers and floats, booleans, arrays and
// single-line inline tables. Anything else (dates, multi-line strings, dotted
// keys, hexadecimal, inf, any redefinition, any doubt) and every invalid
// document gives nullopt, and the caller reads the text with toml11, which
// then decides the result or the error message. So what this accepts reads
// exactly as toml11 would read it.
std::optional<Value> parse_common(std::string_view text);

// The full reader alone, without the quick path in front.
Result<Value> parse_with_toml11(std::string_view text);

}  // namespace zub::toml
