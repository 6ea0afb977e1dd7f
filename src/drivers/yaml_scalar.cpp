#include "drivers/yaml_scalar.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace zub::yaml {

namespace {

bool all_of(std::string_view s, bool (*pred)(char)) {
  return !s.empty() && std::all_of(s.begin(), s.end(), pred);
}
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_octal(char c) { return c >= '0' && c <= '7'; }
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Digits in a base into a double, for integers past 64 bits.
double digits_to_double(std::string_view digits, int base) {
  double d = 0;
  for (char c : digits) {
    const int v = is_digit(c) ? c - '0' : (c | 0x20) - 'a' + 10;
    d = d * base + v;
  }
  return d;
}

}  // namespace

bool is_null_text(std::string_view s) {
  return s.empty() || s == "~" || s == "null" || s == "Null" || s == "NULL";
}

std::optional<bool> bool_text(std::string_view s) {
  if (s == "true" || s == "True" || s == "TRUE") return true;
  if (s == "false" || s == "False" || s == "FALSE") return false;
  return std::nullopt;
}

std::optional<Value> int_text(std::string_view s) {
  int base = 10;
  bool negative = false;
  std::string_view digits = s;
  if (s.size() > 2 && s[0] == '0' && s[1] == 'o' && all_of(s.substr(2), is_octal)) {
    base = 8;
    digits = s.substr(2);
  } else if (s.size() > 2 && s[0] == '0' && s[1] == 'x' && all_of(s.substr(2), is_hex)) {
    base = 16;
    digits = s.substr(2);
  } else {
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
      negative = s[0] == '-';
      digits = s.substr(1);
    }
    if (!all_of(digits, is_digit)) return std::nullopt;
  }
  std::uint64_t u = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), u, base);
  if (ec == std::errc() && end == digits.data() + digits.size()) {
    if (!negative) return Value(u);
    if (u <= std::uint64_t{1} << 63) return Value::from_int(static_cast<std::int64_t>(0 - u));
  }
  // Past 64 bits: a float, correctly rounded for decimal text.
  const double d = base == 10 ? std::strtod(std::string(digits).c_str(), nullptr) : digits_to_double(digits, base);
  return Value::from_double(negative ? -d : d);
}

std::optional<Value> float_text(std::string_view s) {
  std::string_view body = s;
  bool negative = false;
  if (!body.empty() && (body[0] == '-' || body[0] == '+')) {
    negative = body[0] == '-';
    body = body.substr(1);
  }
  if (body == ".inf" || body == ".Inf" || body == ".INF") return Value();
  if (s == ".nan" || s == ".NaN" || s == ".NAN") return Value();
  // [-+]?(\.[0-9]+|[0-9]+(\.[0-9]*)?)([eE][-+]?[0-9]+)?
  std::size_t i = 0;
  const auto run = [&] {
    const std::size_t from = i;
    while (i < body.size() && is_digit(body[i])) ++i;
    return i - from;
  };
  if (i < body.size() && body[i] == '.') {
    ++i;
    if (run() == 0) return std::nullopt;
  } else {
    if (run() == 0) return std::nullopt;
    if (i < body.size() && body[i] == '.') {
      ++i;
      run();
    }
  }
  if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
    ++i;
    if (i < body.size() && (body[i] == '-' || body[i] == '+')) ++i;
    if (run() == 0) return std::nullopt;
  }
  if (i != body.size()) return std::nullopt;
  double d = 0;
  auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), d);
  if (ec == std::errc::result_out_of_range) {
    // Overflow is infinite (null), underflow zero.
    d = std::strtod(std::string(body).c_str(), nullptr);
  } else if (ec != std::errc() || end != body.data() + body.size()) {
    return std::nullopt;
  }
  return Value::from_double(negative ? -d : d);
}

Value resolve_plain(std::string_view s) {
  // Most text starts with a character no null, boolean or number starts with.
  static constexpr std::string_view starts = "0123456789+-.~nNtTfF";
  if (!s.empty() && starts.find(s[0]) == std::string_view::npos) return Value(s);
  if (is_null_text(s)) return Value();
  if (auto b = bool_text(s)) return Value(*b);
  if (auto i = int_text(s)) return std::move(*i);
  if (auto f = float_text(s)) return std::move(*f);
  return Value(s);
}

}  // namespace zub::yaml
