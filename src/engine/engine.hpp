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
  // Threads waiting for borrow to change.
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
  // Waits, with the thread state detached, for the calls sharing the object
  // on other threads (a save, a custom write, a conversion) to end. A share
  // held by this very thread's caller (a custom write or a conversion hook
  // calling back) would never end: refused at once.
  static py::Expected<Use> exclusive(EngineState& s);

 private:
  // Whether this thread's own callers share the object (they left a
  // HoldRecord of its tree or its borrow counter).
  static bool held_by_this_thread(const EngineState& s) noexcept;
  // Waits, detached, until no exclusive-use call waits; not when this
  // thread's own caller shares the object already.
  static void let_exclusive_pass(EngineState& s);
  explicit Use(Borrow&& b) noexcept : borrow_(std::move(b)) {}
  Borrow borrow_;
};

// What this thread holds while the caller's code may run (a custom driver's
// write, a conversion's hooks): an engine's tree for reading, or a share of
// an engine. A call on the same thread that must wait for either would wait
// for itself, so it is refused instead; one on another thread waits.
struct HeldRecord {
  const void* held;
  HeldRecord* below;
};
bool this_thread_holds(const void* held) noexcept;
inline bool this_thread_reads(const RwLock& lock) noexcept { return this_thread_holds(&lock); }

// The per-thread records live in the interpreter's thread-specific storage
// (no thread_local: the C library allocates those on a thread's first use
// and aborts when it cannot). Made once, when the class is made.
bool make_thread_records() noexcept;

// Records, for as long as it lives, that this thread holds what held
// points to (a tree lock for reading, an engine's borrow counter for a
// share). Only needed where the caller's code may run meanwhile. Throws
// std::bad_alloc (MemoryError) when the record cannot be stored.
class HoldRecord {
 public:
  explicit HoldRecord(const void* held);
  HoldRecord(const HoldRecord&) = delete;
  HoldRecord& operator=(const HoldRecord&) = delete;
  ~HoldRecord();

 private:
  HeldRecord record_;
};

// The waits and the poisoned case stay out of line; the fast path of each
// guard is a compare-and-swap.
void wait_shared(RwLock& lock);
void wait_exclusive(RwLock& lock);
[[noreturn]] void poisoned_lock();
[[noreturn]] void writer_during_shared_use();

// Lock guards. A lock that is busy is waited for with the thread state
// detached, so a waiting thread never holds up the interpreter (and with it
// the holder it waits for). A poisoned lock is a fatal internal error; a
// write guard left by a fatal error poisons its lock.
class ReadGuard {
 public:
  explicit ReadGuard(RwLock& lock) : lock_(lock) {
    if (!lock_.try_lock_shared()) wait_shared(lock_);
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
  explicit WriteGuard(RwLock& lock);
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
