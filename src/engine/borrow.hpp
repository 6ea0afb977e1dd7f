// The engine's borrow counter: shared or exclusive use of the object for
// the length of one call. No Python here, so the C++ stress tests drive it
// exactly as the methods do.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

namespace zub {

// 0: unused; n: n calls share the object; all bits: one call has it alone.
class Borrow {
 public:
  static constexpr std::uint64_t exclusive_mark = ~std::uint64_t{0};

  // Empty when a call has the object alone.
  static std::optional<Borrow> shared(std::atomic<std::uint64_t>& counter) noexcept {
    std::uint64_t n = counter.load(std::memory_order_relaxed);
    do {
      if (n == exclusive_mark) return std::nullopt;
    } while (!counter.compare_exchange_weak(n, n + 1, std::memory_order_acquire, std::memory_order_relaxed));
    return Borrow(counter, false);
  }

  // Empty when any call uses the object.
  static std::optional<Borrow> exclusive(std::atomic<std::uint64_t>& counter) noexcept {
    std::uint64_t expected = 0;
    if (!counter.compare_exchange_strong(expected, exclusive_mark, std::memory_order_acquire,
                                         std::memory_order_relaxed))
      return std::nullopt;
    return Borrow(counter, true);
  }

  Borrow(Borrow&& other) noexcept : counter_(other.counter_), exclusive_(other.exclusive_) {
    other.counter_ = nullptr;
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  Borrow& operator=(Borrow&&) = delete;
  ~Borrow() {
    if (!counter_) return;
    if (exclusive_)
      counter_->store(0, std::memory_order_release);
    else
      counter_->fetch_sub(1, std::memory_order_release);
  }

 private:
  Borrow(std::atomic<std::uint64_t>& c, bool exclusive) noexcept : counter_(&c), exclusive_(exclusive) {}
  std::atomic<std::uint64_t>* counter_;
  bool exclusive_;
};

}  // namespace zub
