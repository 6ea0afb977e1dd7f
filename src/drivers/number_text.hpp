// Floats as the writers print them: the shortest text that reads back as
// the same double (what std::to_chars gives), with ".0" added where that
// text would read back as an integer.
#pragma once

#include <array>
#include <bit>
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

// Digit pairs "00" to "99". At namespace scope, so that it is read where it
// lies: the table local to libstdc++'s to_chars is built on the stack anew
// at each call, which cost more than the digits themselves.
inline constexpr auto digit_pairs = [] {
  std::array<char, 200> t{};
  for (std::size_t i = 0; i < 100; ++i) {
    t[2 * i] = static_cast<char>('0' + i / 10);
    t[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return t;
}();

inline constexpr std::uint64_t powers_of_ten[] = {1u,
                                                  10u,
                                                  100u,
                                                  1000u,
                                                  10000u,
                                                  100000u,
                                                  1000000u,
                                                  10000000u,
                                                  100000000u,
                                                  1000000000u,
                                                  10000000000u,
                                                  100000000000u,
                                                  1000000000000u,
                                                  10000000000000u,
                                                  100000000000000u,
                                                  1000000000000000u,
                                                  10000000000000000u,
                                                  100000000000000000u,
                                                  1000000000000000000u,
                                                  10000000000000000000u};

// Decimal digits of v: the bit width gives the count within one
// (1233 / 4096 is just above log10(2)), one compare settles it. v | 1 has
// as many digits as v and makes 0 count as one.
inline int decimal_digits(std::uint64_t v) noexcept {
  v |= 1;
  const int guess = (std::bit_width(v) * 1233) >> 12;
  return guess + (v >= powers_of_ten[guess]);
}

// What std::to_chars writes for v, back to front two digits at a time.
// Room for 20 bytes at p; returns the end.
inline char* write_uint(char* p, std::uint64_t v) noexcept {
  char* const end = p + decimal_digits(v);
  char* q = end;
  while (v >= 100) {
    q -= 2;
    std::memcpy(q, digit_pairs.data() + 2 * (v % 100), 2);
    v /= 100;
  }
  if (v >= 10)
    std::memcpy(q - 2, digit_pairs.data() + 2 * v, 2);
  else
    q[-1] = static_cast<char>('0' + v);
  return end;
}

// Room for 20 bytes at p.
inline char* write_int(char* p, std::int64_t v) noexcept {
  if (v >= 0) return write_uint(p, static_cast<std::uint64_t>(v));
  *p = '-';
  return write_uint(p + 1, 0 - static_cast<std::uint64_t>(v));
}

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
    // Copies below are of fixed size, with the room past the text that the
    // digits' count leaves within max_real_chars; no call to memcpy.
    char digits[32];
    const auto n = static_cast<int>(write_uint(digits, static_cast<std::uint64_t>(m)) - digits);
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
    // n <= 15 digits, so at most 16 bytes from p on.
    std::memcpy(p, digits, 16);
    if (k == 0) {
      std::memcpy(p + n, ".0", 2);  // keeps the float a float when read back
      return p + n + 2;
    }
    if (n > k) {
      // The whole part is in place; the fraction goes one further, as 8
      // bytes when short, else as 16 behind a whole part of at most 6.
      p += n - k;
      *p++ = '.';
      if (k <= 8)
        std::memcpy(p, digits + (n - k), 8);
      else
        std::memcpy(p, digits + (n - k), 16);
      return p + k;
    }
    // 0.000ddd: a < 1e-5 was turned away, so at most 4 zeros come first.
    std::memcpy(p, "0.0000", 6);
    p += 2 + (k - n);
    std::memcpy(p, digits, 16);
    return p + n;
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
