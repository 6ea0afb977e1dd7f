// The engine's reader-writer lock: one atomic word, so an uncontended
// acquire is a single compare-and-swap, and waiting uses the futex behind
// std::atomic::wait. Readers are admitted whenever no writer holds the
// lock, so a thread that already reads can always read again, even while
// a writer waits (the writer waits until every reader has left).
#pragma once

#include <atomic>
#include <cstdint>

namespace zub {

class RwLock {
 public:
  bool try_lock_shared() noexcept {
    std::uint32_t s = state_.load(std::memory_order_relaxed);
    while (!(s & writer)) {
      if (state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire, std::memory_order_relaxed))
        return true;
    }
    return false;
  }

  void lock_shared() noexcept {
    for (;;) {
      std::uint32_t s = state_.load(std::memory_order_relaxed);
      if (!(s & writer)) {
        if (state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire, std::memory_order_relaxed))
          return;
        continue;
      }
      wait_from(s);
    }
  }

  void unlock_shared() noexcept {
    std::uint32_t prev = state_.fetch_sub(1, std::memory_order_release);
    if (prev == (waiters | 1)) wake_from(waiters);
  }

  bool try_lock() noexcept {
    std::uint32_t s = state_.load(std::memory_order_relaxed);
    while (!(s & (writer | readers))) {
      if (state_.compare_exchange_weak(s, s | writer, std::memory_order_acquire, std::memory_order_relaxed))
        return true;
    }
    return false;
  }

  void lock() noexcept {
    for (;;) {
      std::uint32_t s = state_.load(std::memory_order_relaxed);
      if (!(s & (writer | readers))) {
        if (state_.compare_exchange_weak(s, s | writer, std::memory_order_acquire, std::memory_order_relaxed))
          return;
        continue;
      }
      wait_from(s);
    }
  }

  void unlock() noexcept {
    std::uint32_t prev = state_.exchange(0, std::memory_order_release);
    if (prev & waiters) state_.notify_all();
  }

  bool held_for_writing() const noexcept {
    return state_.load(std::memory_order_acquire) & writer;
  }

  bool poisoned() const noexcept { return poisoned_.load(std::memory_order_acquire); }
  void poison() noexcept { poisoned_.store(true, std::memory_order_release); }

 private:
  static constexpr std::uint32_t writer = 1u << 31;
  static constexpr std::uint32_t waiters = 1u << 30;
  static constexpr std::uint32_t readers = waiters - 1;

  // Announces a waiter, then sleeps until the word changes.
  void wait_from(std::uint32_t s) noexcept {
    if (!(s & waiters)) {
      if (!state_.compare_exchange_weak(s, s | waiters, std::memory_order_relaxed)) return;
      s |= waiters;
    }
    state_.wait(s, std::memory_order_relaxed);
  }

  void wake_from(std::uint32_t expected) noexcept {
    if (state_.compare_exchange_strong(expected, 0, std::memory_order_relaxed)) state_.notify_all();
  }

  std::atomic<std::uint32_t> state_{0};
  std::atomic<bool> poisoned_{false};
};

}  // namespace zub
