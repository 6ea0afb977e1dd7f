// The hash of member keys: wyhash's construction (64x64->128-bit multiply,
// folded), seeded once per process so that nobody can choose keys that
// collide in our indexes. Every input byte reaches every output bit
// through the final multiplies, so keys that differ only in their last
// characters (item_0001, item_0002, ...) spread over the whole table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace zub {

namespace hash_detail {

__extension__ using u128 = unsigned __int128;

inline constexpr std::uint64_t k0 = 0xa0761d6478bd642full;
inline constexpr std::uint64_t k1 = 0xe7037ed1a0b428dbull;
inline constexpr std::uint64_t k2 = 0x8ebc6af09c88c6e3ull;

inline std::uint64_t fold(std::uint64_t a, std::uint64_t b) noexcept {
  u128 r = static_cast<u128>(a) * b;
  return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

inline std::uint64_t read8(const unsigned char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

inline std::uint64_t read4(const unsigned char* p) noexcept {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

}  // namespace hash_detail

// The seed's own mixing, done once per seed.
inline std::uint64_t mix_seed(std::uint64_t seed) noexcept {
  return seed ^ hash_detail::fold(seed ^ hash_detail::k0, hash_detail::k1);
}

// seed: as mix_seed returns it.
inline std::uint64_t hash_mixed(std::string_view key, std::uint64_t seed) noexcept {
  using namespace hash_detail;
  const auto* p = reinterpret_cast<const unsigned char*>(key.data());
  const std::size_t n = key.size();
  std::uint64_t a = 0, b = 0;
  if (n <= 16) {
    if (n >= 4) {
      const std::size_t step = (n >> 3) << 2;
      a = (read4(p) << 32) | read4(p + step);
      b = (read4(p + n - 4) << 32) | read4(p + n - 4 - step);
    } else if (n > 0) {
      a = (std::uint64_t{p[0]} << 16) | (std::uint64_t{p[n >> 1]} << 8) | p[n - 1];
    }
  } else {
    std::size_t i = n;
    for (; i > 16; i -= 16, p += 16) seed = fold(read8(p) ^ k1, read8(p + 8) ^ seed);
    a = read8(p + i - 16);
    b = read8(p + i - 8);
  }
  a ^= k1;
  b ^= seed;
  u128 r = static_cast<u128>(a) * b;
  a = static_cast<std::uint64_t>(r);
  b = static_cast<std::uint64_t>(r >> 64);
  return fold(a ^ k0 ^ n, b ^ k2);
}

inline std::uint64_t hash_bytes(std::string_view key, std::uint64_t seed) noexcept {
  return hash_mixed(key, mix_seed(seed));
}

// Random per process, made on first use and mixed.
std::uint64_t process_hash_seed() noexcept;

inline std::uint64_t key_hash(std::string_view key) noexcept {
  return hash_mixed(key, process_hash_seed());
}

}  // namespace zub
