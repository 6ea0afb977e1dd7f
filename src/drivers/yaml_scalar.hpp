// YAML 1.2 core schema: how a plain scalar's text resolves to a value, for
// the reader, and which strings the writer must quote to keep their type.
#pragma once

#include <optional>
#include <string_view>

#include "core/value.hpp"

namespace zub::yaml {

bool is_null_text(std::string_view s);
std::optional<bool> bool_text(std::string_view s);
// An integer in decimal, 0o octal or 0x hex; past 64 bits a float.
std::optional<Value> int_text(std::string_view s);
// A float; .inf and .nan are null, as the tree holds finite numbers only.
std::optional<Value> float_text(std::string_view s);
Value resolve_plain(std::string_view s);

}  // namespace zub::yaml
