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

  // Empty when a call has the object alone. When waiters is given, the
  // release wakes the threads it counts (sleeping on the counter).
  static std::optional<Borrow> shared(std::atomic<std::uint64_t>& counter,
                                      std::atomic<std::uint32_t>* waiters = nullptr) noexcept {
    std::uint64_t n = counter.load(std::memory_order_relaxed);
    do {
      if (n == exclusive_mark) return std::nullopt;
    } while (!counter.compare_exchange_weak(n, n + 1, std::memory_order_acquire, std::memory_order_relaxed));
    return Borrow(counter, waiters, false);
  }

  // Empty when any call uses the object.
  static std::optional<Borrow> exclusive(std::atomic<std::uint64_t>& counter,
                                         std::atomic<std::uint32_t>* waiters = nullptr) noexcept {
    std::uint64_t expected = 0;
    if (!counter.compare_exchange_strong(expected, exclusive_mark, std::memory_order_acquire,
                                         std::memory_order_relaxed))
      return std::nullopt;
    return Borrow(counter, waiters, true);
  }

  Borrow(Borrow&& other) noexcept
      : counter_(other.counter_), waiters_(other.waiters_), exclusive_(other.exclusive_) {
    other.counter_ = nullptr;
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  Borrow& operator=(Borrow&&) = delete;
  // Sequentially consistent, paired with the waiter's announcement: either
  // the waiter sees the new count or this sees the waiter.
  ~Borrow() {
    if (!counter_) return;
    if (exclusive_)
      counter_->store(0, std::memory_order_seq_cst);
    else
      counter_->fetch_sub(1, std::memory_order_seq_cst);
    if (waiters_ && waiters_->load(std::memory_order_seq_cst) != 0) counter_->notify_all();
  }

 private:
  Borrow(std::atomic<std::uint64_t>& c, std::atomic<std::uint32_t>* waiters, bool exclusive) noexcept
      : counter_(&c), waiters_(waiters), exclusive_(exclusive) {}
  std::atomic<std::uint64_t>* counter_;
  std::atomic<std::uint32_t>* waiters_;
  bool exclusive_;
};

}  // namespace zub
