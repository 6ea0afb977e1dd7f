// The ZubSettingEngine object: its state, the borrow counter and the lock
// guards its methods use.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

#include "binding/error.hpp"
#include "core/value.hpp"
#include "drivers/drivers.hpp"
#include "engine/borrow.hpp"
#include "engine/rwlock.hpp"

namespace zub {

// Members are declared so that destruction releases the path first, then
// the tree, the group stack and last the driver (the caller's object).
struct EngineState {
  EngineState(Drivers d, std::string p, Value t)
      : driver(std::move(d)), tree(std::move(t)), path(std::move(p)) {}

  Drivers driver;
  RwLock groups_lock;
  std::vector<std::string> groups;
  RwLock tree_lock;
  Value tree;
  std::string path;
  std::atomic<std::uint64_t> borrow{0};  // see Borrow
  // Calls sharing the object that now run or wait with the interpreter
  // released (saving a file, waiting for the tree's lock), and threads
  // waiting for borrow to change.
  std::atomic<std::uint32_t> detached{0};
  std::atomic<std::uint32_t> borrow_waiters{0};
  // Exclusive-use calls waiting for the sharers to leave: new shared use
  // waits behind them, so that a stream of saves cannot keep them out.
  std::atomic<std::uint32_t> exclusive_waiting{0};
};

struct EngineObject {
  PyObject_HEAD
  EngineState state;
};

// Shared or exclusive use of the object for the length of one call; the
// refusals are the interpreter's RuntimeError.
class Use {
 public:
  static py::Expected<Use> shared(EngineState& s) {
    if (s.exclusive_waiting.load(std::memory_order_acquire) != 0) let_exclusive_pass(s);
    auto b = Borrow::shared(s.borrow, &s.borrow_waiters);
    if (!b) return py::Error(PyExc_RuntimeError, "Already mutably borrowed");
    return Use(std::move(*b));
  }
  // Waits, with the thread state detached, while every call sharing the
  // object runs or waits with the interpreter released (a save, a wait for
  // the tree): those finish without running Python code. Any other sharer
  // may be this very thread's caller (a custom write, or a conversion,
  // calling back), so that conflict is refused at once.
  static py::Expected<Use> exclusive(EngineState& s);

 private:
  // Waits, detached, until no exclusive-use call waits; not when this
  // thread reads the tree already (its own caller holds a use).
  static void let_exclusive_pass(EngineState& s);
  explicit Use(Borrow&& b) noexcept : borrow_(std::move(b)) {}
  Borrow borrow_;
};

// Counts a stretch that runs with the interpreter released, for
// Use::exclusive. It ends only once the thread state is back.
class Detached {
 public:
  explicit Detached(std::atomic<std::uint32_t>* count) noexcept : count_(count) {
    if (count_) count_->fetch_add(1, std::memory_order_seq_cst);
  }
  Detached(const Detached&) = delete;
  Detached& operator=(const Detached&) = delete;
  ~Detached() {
    if (count_) count_->fetch_sub(1, std::memory_order_seq_cst);
  }

 private:
  std::atomic<std::uint32_t>* count_;
};

// Which value-tree locks this thread holds for reading: a writer on the same
// thread would wait for itself, so it is refused instead.
struct HeldReadLock {
  const RwLock* lock;
  HeldReadLock* below;
};
bool this_thread_reads(const RwLock& lock) noexcept;

// The per-thread records live in the interpreter's thread-specific storage
// (no thread_local: the C library allocates those on a thread's first use
// and aborts when it cannot). Made once, when the class is made.
bool make_thread_records() noexcept;

// Records, for as long as it lives, that this thread reads under lock. Only
// needed where the caller's code may run meanwhile: a custom driver's write,
// or a garbage collection started by making containers for a result.
// Throws std::bad_alloc (MemoryError) when the record cannot be stored.
class ReadRecord {
 public:
  explicit ReadRecord(const RwLock& lock);
  ReadRecord(const ReadRecord&) = delete;
  ReadRecord& operator=(const ReadRecord&) = delete;
  ~ReadRecord();

 private:
  HeldReadLock record_;
};

// The waits and the poisoned case stay out of line; the fast path of each
// guard is a compare-and-swap.
// detached: the engine's count of detached calls, when the lock is its tree's.
void wait_shared(RwLock& lock, std::atomic<std::uint32_t>* detached);
void wait_exclusive(RwLock& lock, std::atomic<std::uint32_t>* detached);
[[noreturn]] void poisoned_lock();
[[noreturn]] void writer_during_shared_use();

// Lock guards. A lock that is busy is waited for with the thread state
// detached, so a waiting thread never holds up the interpreter (and with it
// the holder it waits for). A poisoned lock is a fatal internal error; a
// write guard left by a fatal error poisons its lock.
class ReadGuard {
 public:
  explicit ReadGuard(RwLock& lock, std::atomic<std::uint32_t>* detached = nullptr) : lock_(lock) {
    if (!lock_.try_lock_shared()) wait_shared(lock_, detached);
    if (lock_.poisoned()) {
      lock_.unlock_shared();
      poisoned_lock();
    }
  }
  ReadGuard(const ReadGuard&) = delete;
  ReadGuard& operator=(const ReadGuard&) = delete;
  ~ReadGuard() { lock_.unlock_shared(); }

 private:
  RwLock& lock_;
};

// Reading the group stack during shared use of the object. The stack only
// changes under exclusive use, which cannot overlap shared use, so the read
// side of its lock needs no compare-and-swap here: confirming that no
// writer holds the lock, and that it is not poisoned, is the whole of it.
// This keeps two atomic read-modify-writes off every key lookup.
class GroupsReadGuard {
 public:
  explicit GroupsReadGuard(const RwLock& lock) {
    if (lock.poisoned()) poisoned_lock();
    if (lock.held_for_writing()) writer_during_shared_use();
  }
  GroupsReadGuard(const GroupsReadGuard&) = delete;
  GroupsReadGuard& operator=(const GroupsReadGuard&) = delete;
};

class WriteGuard {
 public:
  explicit WriteGuard(RwLock& lock, std::atomic<std::uint32_t>* detached = nullptr);
  // Takes over a lock this thread has just locked for writing.
  WriteGuard(RwLock& lock, std::adopt_lock_t);
  WriteGuard(const WriteGuard&) = delete;
  WriteGuard& operator=(const WriteGuard&) = delete;
  ~WriteGuard();

 private:
  RwLock& lock_;
  int unwinding_at_start_;
};

}  // namespace zub
