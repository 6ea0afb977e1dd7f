// A reader's first error as a value: what was wrong and the byte offset
// where; the line, column and the quoted line are worked out only when the
// error is reported.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/result.hpp"

namespace zub::io {

struct ParseError {
  std::string message;
  std::size_t offset = 0;
};

// " at line L column C" (from 1, the column in characters), then the line
// itself on its own line and a caret under the column.
std::string locate(std::string_view text, std::size_t offset);

// TypeError: prefix + message + locate(text, offset).
Failure parse_failure(std::string_view prefix, std::string_view text, const ParseError& error);

}  // namespace zub::io
