// The engine's reader-writer lock: one atomic word, so an uncontended
// acquire is a single compare-and-swap, and waiting uses the futex behind
// std::atomic::wait.
//
// Writers are preferred: once a writer waits, new readers wait behind it,
// so threads that read in turn (saves that overlap one another) cannot
// keep it out for ever. The one exception is a thread that already reads
// and reads again (a custom driver's write calling back into the engine
// during a save): it is admitted, since it would otherwise wait for a
// writer that waits for it. The caller says which case it is.
#pragma once

#include <atomic>
#include <cstdint>

namespace zub {

class RwLock {
 public:
  enum Entry : bool { fresh = false, reentrant = true };

  // Fails while a writer holds the lock or waits for it.
  bool try_lock_shared() noexcept {
    std::uint32_t s = state_.load(std::memory_order_relaxed);
    while (!(s & (writer | pending))) {
      if (state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire, std::memory_order_relaxed))
        return true;
    }
    return false;
  }

  void lock_shared(Entry entry = fresh) noexcept {
    const std::uint32_t blocking = entry == reentrant ? writer : writer | pending;
    for (;;) {
      std::uint32_t s = state_.load(std::memory_order_relaxed);
      if (!(s & blocking)) {
        if (state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire, std::memory_order_relaxed))
          return;
        continue;
      }
      sleep_from(s, s | sleepers);
    }
  }

  void unlock_shared() noexcept {
    std::uint32_t prev = state_.fetch_sub(1, std::memory_order_release);
    if ((prev & readers) == 1 && (prev & sleepers)) wake();
  }

  bool try_lock() noexcept {
    std::uint32_t s = state_.load(std::memory_order_relaxed);
    while (!(s & (writer | readers))) {
      if (state_.compare_exchange_weak(s, (s | writer) & ~pending, std::memory_order_acquire,
                                       std::memory_order_relaxed))
        return true;
    }
    return false;
  }

  void lock() noexcept {
    for (;;) {
      std::uint32_t s = state_.load(std::memory_order_relaxed);
      if (!(s & (writer | readers))) {
        // Taking the lock withdraws the claim; other waiting writers make
        // theirs again when they wake.
        if (state_.compare_exchange_weak(s, (s | writer) & ~pending, std::memory_order_acquire,
                                         std::memory_order_relaxed))
          return;
        continue;
      }
      sleep_from(s, s | pending | sleepers);
    }
  }

  void unlock() noexcept {
    std::uint32_t prev = state_.exchange(0, std::memory_order_release);
    if (prev & sleepers) state_.notify_all();
  }

  bool held_for_writing() const noexcept {
    return state_.load(std::memory_order_acquire) & writer;
  }

  bool poisoned() const noexcept { return poisoned_.load(std::memory_order_acquire); }
  void poison() noexcept { poisoned_.store(true, std::memory_order_release); }

 private:
  static constexpr std::uint32_t writer = 1u << 31;
  static constexpr std::uint32_t sleepers = 1u << 30;  // someone sleeps on the word
  static constexpr std::uint32_t pending = 1u << 29;   // a writer waits: readers queue behind it
  static constexpr std::uint32_t readers = pending - 1;

  // Marks the word (announcing a sleeper, and for a writer its claim),
  // then sleeps until the word changes. A failed mark means the word
  // changed already: the caller looks again.
  void sleep_from(std::uint32_t s, std::uint32_t marked) noexcept {
    if (s != marked && !state_.compare_exchange_weak(s, marked, std::memory_order_relaxed)) return;
    state_.wait(marked, std::memory_order_relaxed);
  }

  // The last reader left while someone sleeps: everyone looks again, and
  // whoever still has to wait marks the word anew.
  void wake() noexcept {
    state_.fetch_and(~sleepers, std::memory_order_relaxed);
    state_.notify_all();
  }

  std::atomic<std::uint32_t> state_{0};
  std::atomic<bool> poisoned_{false};
};

}  // namespace zub
