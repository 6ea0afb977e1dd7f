// Floats as the writers print them: the shortest text that reads back as
// the same double (what std::to_chars gives), with ".0" added where that
// text would read back as an integer.
#pragma once

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace zub::io {

// The shortest form of a double is at most 24 characters ("-2.2250738585072014e-308"),
// and only forms without '.' or 'e' (20 at most) get ".0".
inline constexpr std::size_t max_real_chars = 26;

inline constexpr double exact_powers_of_ten[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                          1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Rounds a non-negative x below 2^52 to the nearest integer (ties to
// even), as nearbyint does, without a call into the math library: adding
// 2^52 leaves no fraction bits to round into.
inline double round_small(double x) noexcept {
  constexpr double two52 = 4503599627370496.0;
  return (x + two52) - two52;
}

// Most floats in settings were typed as short decimals. A decimal of at
// most 15 significant digits that reads back as d is the only one that
// does, so it is the shortest form too: found as the first count of
// fraction digits k for which round(|d| * 10^k) / 10^k gives d back (the
// division of two exact operands rounds correctly, as reading does).
// Writes it when fixed notation is no longer than scientific, which is
// where to_chars would choose it as well; returns the end, or nullptr.
inline char* short_decimal(double d, char* out) noexcept {
  const double a = std::fabs(d);
  if (!(a >= 1e-5 && a < 1e15)) return nullptr;
  for (int k = 0; k <= 20; ++k) {
    const double m = round_small(a * exact_powers_of_ten[k]);
    if (m >= 1e15) return nullptr;
    if (m / exact_powers_of_ten[k] != a) continue;
    char digits[16];
    const auto n = static_cast<int>(std::to_chars(digits, digits + sizeof digits, static_cast<std::uint64_t>(m)).ptr - digits);
    // Past the first k, m has no trailing zero: a shorter k would have matched.
    int significant = n;
    if (k == 0)
      while (significant > 1 && digits[significant - 1] == '0') --significant;
    const int exponent = n - 1 - k;
    const int fixed = k == 0 ? n : n > k ? n + 1 : k + 2;
    const int scientific = significant + (significant > 1) + 2 + (exponent >= 100 || exponent <= -100 ? 3 : 2);
    if (fixed > scientific) return nullptr;
    char* p = out;
    if (std::signbit(d)) *p++ = '-';
    const auto whole = static_cast<std::size_t>(n), fraction = static_cast<std::size_t>(k);
    if (k == 0) {
      std::memcpy(p, digits, whole);
      p += whole;
      std::memcpy(p, ".0", 2);  // keeps the float a float when read back
      return p + 2;
    }
    if (whole > fraction) {
      std::memcpy(p, digits, whole - fraction);
      p += whole - fraction;
      *p++ = '.';
      std::memcpy(p, digits + whole - fraction, fraction);
      return p + fraction;
    }
    *p++ = '0';
    *p++ = '.';
    std::memset(p, '0', fraction - whole);
    p += fraction - whole;
    std::memcpy(p, digits, whole);
    return p + whole;
  }
  return nullptr;
}

// Room for max_real_chars at p.
inline char* write_real(char* p, double d) noexcept {
  if (char* end = short_decimal(d, p)) return end;
  char* end = std::to_chars(p, p + max_real_chars, d).ptr;
  // Keeps the float a float when read back.
  if (std::string_view(p, static_cast<std::size_t>(end - p)).find_first_of(".e") == std::string_view::npos) {
    std::memcpy(end, ".0", 2);
    end += 2;
  }
  return end;
}

}  // namespace zub::io
