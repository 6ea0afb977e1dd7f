#include "drivers/parse_error.hpp"

#include "drivers/file_io.hpp"

namespace zub::io {

namespace {

// Bytes in the UTF-8 sequence starting at p, or 0 when it is not one.
std::size_t sequence_length(std::string_view s, std::size_t i) noexcept {
  const auto c = static_cast<unsigned char>(s[i]);
  std::size_t n = c < 0x80 ? 1 : c >= 0xC2 && c < 0xE0 ? 2 : c >= 0xE0 && c < 0xF0 ? 3 : c >= 0xF0 && c < 0xF5 ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k)
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
  return n;
}

// How much of a long line is quoted on either side of the column.
constexpr std::size_t context_bytes = 60;

}  // namespace

std::string locate(std::string_view text, std::size_t offset) {
  if (offset > text.size()) offset = text.size();
  const Position at = position_of(text, offset);
  std::string out = " at line " + std::to_string(at.line) + " column " + std::to_string(at.column);
  std::size_t start = text.rfind('\n', offset == 0 ? 0 : offset - 1);
  start = start == std::string_view::npos || start >= offset ? 0 : start + 1;
  std::size_t end = text.find('\n', offset);
  if (end == std::string_view::npos) end = text.size();
  if (end > start && text[end - 1] == '\r') --end;
  if (offset > end) offset = end;
  // A long line is cut around the column, on character boundaries.
  bool cut_front = false, cut_back = false;
  if (offset - start > context_bytes) {
    start = offset - context_bytes;
    while (start < offset && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) ++start;
    cut_front = true;
  }
  if (end - offset > context_bytes) {
    end = offset + context_bytes;
    while (end > offset && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    cut_back = true;
  }
  // The line as text that is safe to show, and the caret's indent: tabs
  // stay tabs so that the caret lines up whatever the tab width.
  std::string line = cut_front ? "..." : "", pad = cut_front ? "   " : "";
  for (std::size_t i = start; i < end;) {
    const std::size_t n = sequence_length(text, i);
    const auto c = static_cast<unsigned char>(text[i]);
    const bool before = i < offset;
    if (n == 0 || (n == 1 && ((c < 0x20 && c != '\t') || c == 0x7f))) {
      line += '?';  // invalid UTF-8 or a control character
      i += n == 0 ? 1 : n;
    } else {
      line.append(text.substr(i, n));
      i += n;
    }
    if (before) pad += c == '\t' ? '\t' : ' ';
  }
  if (cut_back) line += "...";
  out += "\n  " + line + "\n  " + pad + "^";
  return out;
}

Failure parse_failure(std::string_view prefix, std::string_view text, const ParseError& error) {
  return type_failure(std::string(prefix) + error.message + locate(text, error.offset));
}

}  // namespace zub::io
