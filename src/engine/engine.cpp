#include "engine/engine.hpp"

#include <new>
#include <optional>

namespace zub {

namespace {
// This thread's innermost HeldRecord, or null.
Py_tss_t held_reads = Py_tss_NEEDS_INIT;

HeldRecord* innermost_read() noexcept { return static_cast<HeldRecord*>(PyThread_tss_get(&held_reads)); }
}  // namespace

bool make_thread_records() noexcept { return PyThread_tss_create(&held_reads) == 0; }

HoldRecord::HoldRecord(const void* held) : record_{held, innermost_read()} {
  if (PyThread_tss_set(&held_reads, &record_) != 0) throw std::bad_alloc();
}

// Setting a slot this thread has set before allocates nothing.
HoldRecord::~HoldRecord() { PyThread_tss_set(&held_reads, record_.below); }

bool this_thread_holds(const void* held) noexcept {
  for (const HeldRecord* h = innermost_read(); h; h = h->below)
    if (h->held == held) return true;
  return false;
}

void wait_shared(RwLock& lock) {
  // A thread reading already must pass a waiting writer, which waits for it.
  auto entry = this_thread_reads(lock) ? RwLock::reentrant : RwLock::fresh;
  Py_BEGIN_ALLOW_THREADS
  lock.lock_shared(entry);
  Py_END_ALLOW_THREADS
}

bool Use::held_by_this_thread(const EngineState& s) noexcept {
  return this_thread_reads(s.tree_lock) || this_thread_holds(&s.borrow);
}

void Use::let_exclusive_pass(EngineState& s) {
  if (held_by_this_thread(s)) return;
  for (std::uint32_t w; (w = s.exclusive_waiting.load(std::memory_order_acquire)) != 0;) {
    Py_BEGIN_ALLOW_THREADS
    s.exclusive_waiting.wait(w, std::memory_order_acquire);
    Py_END_ALLOW_THREADS
  }
}

namespace {
// Holds off new shared use for as long as it lives.
class ExclusiveWaiting {
 public:
  explicit ExclusiveWaiting(EngineState& s) noexcept : s_(s) { s_.exclusive_waiting.fetch_add(1); }
  ExclusiveWaiting(const ExclusiveWaiting&) = delete;
  ExclusiveWaiting& operator=(const ExclusiveWaiting&) = delete;
  ~ExclusiveWaiting() {
    if (s_.exclusive_waiting.fetch_sub(1) == 1) s_.exclusive_waiting.notify_all();
  }

 private:
  EngineState& s_;
};
}  // namespace

py::Expected<Use> Use::exclusive(EngineState& s) {
  std::optional<ExclusiveWaiting> waiting;
  for (;;) {
    if (auto b = Borrow::exclusive(s.borrow, &s.borrow_waiters)) return Use(std::move(*b));
    std::uint64_t n = s.borrow.load(std::memory_order_seq_cst);
    if (n == 0) continue;
    if (n == Borrow::exclusive_mark || held_by_this_thread(s))
      return py::Error(PyExc_RuntimeError, "Already borrowed");
    if (!waiting) waiting.emplace(s);
    // Announced before the last look, so the release that ends the save
    // either is seen here or sees this waiter and wakes it.
    s.borrow_waiters.fetch_add(1, std::memory_order_seq_cst);
    Py_BEGIN_ALLOW_THREADS
    s.borrow.wait(n, std::memory_order_seq_cst);
    Py_END_ALLOW_THREADS
    s.borrow_waiters.fetch_sub(1, std::memory_order_seq_cst);
  }
}

void wait_exclusive(RwLock& lock) {
  Py_BEGIN_ALLOW_THREADS
  lock.lock();
  Py_END_ALLOW_THREADS
}

void poisoned_lock() {
  throw py::FatalError("a lock of the settings engine is poisoned by an earlier failure");
}

void writer_during_shared_use() {
  throw py::FatalError("the group stack is being changed while the engine is in shared use");
}

WriteGuard::WriteGuard(RwLock& lock)
    : lock_(lock), unwinding_at_start_(std::uncaught_exceptions()) {
  if (!lock_.try_lock()) wait_exclusive(lock_);
  if (lock_.poisoned()) {
    lock_.unlock();
    poisoned_lock();
  }
}

WriteGuard::WriteGuard(RwLock& lock, std::adopt_lock_t)
    : lock_(lock), unwinding_at_start_(std::uncaught_exceptions()) {
  if (lock_.poisoned()) {
    lock_.unlock();
    poisoned_lock();
  }
}

WriteGuard::~WriteGuard() {
  if (std::uncaught_exceptions() > unwinding_at_start_) lock_.poison();
  lock_.unlock();
}

}  // namespace zub
