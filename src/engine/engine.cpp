#include "engine/engine.hpp"

namespace zub {

namespace {
thread_local HeldReadLock* held_reads = nullptr;
}  // namespace

ReadRecord::ReadRecord(const RwLock& lock) noexcept : record_{&lock, held_reads} {
  held_reads = &record_;
}

ReadRecord::~ReadRecord() { held_reads = record_.below; }

bool this_thread_reads(const RwLock& lock) noexcept {
  for (const HeldReadLock* h = held_reads; h; h = h->below)
    if (h->lock == &lock) return true;
  return false;
}

void wait_shared(RwLock& lock) {
  Py_BEGIN_ALLOW_THREADS
  lock.lock_shared();
  Py_END_ALLOW_THREADS
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

WriteGuard::WriteGuard(RwLock& lock) : lock_(lock), unwinding_at_start_(std::uncaught_exceptions()) {
  if (!lock_.try_lock()) wait_exclusive(lock_);
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
