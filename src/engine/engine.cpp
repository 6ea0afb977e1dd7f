#include "engine/engine.hpp"

namespace zub {

namespace {
thread_local HeldReadLock* held_reads = nullptr;
}  // namespace

bool this_thread_reads(const RwLock& lock) noexcept {
  for (const HeldReadLock* h = held_reads; h; h = h->below)
    if (h->lock == &lock) return true;
  return false;
}

ReadGuard::ReadGuard(RwLock& lock, Track track)
    : lock_(lock), record_{&lock, held_reads}, tracked_(track == Track::yes) {
  if (!lock_.try_lock_shared()) {
    Py_BEGIN_ALLOW_THREADS
    lock_.lock_shared();
    Py_END_ALLOW_THREADS
  }
  if (lock_.poisoned()) {
    lock_.unlock_shared();
    throw py::FatalError("a lock of the settings engine is poisoned by an earlier failure");
  }
  if (tracked_) held_reads = &record_;
}

ReadGuard::~ReadGuard() {
  if (tracked_) held_reads = record_.below;
  lock_.unlock_shared();
}

WriteGuard::WriteGuard(RwLock& lock) : lock_(lock), unwinding_at_start_(std::uncaught_exceptions()) {
  if (!lock_.try_lock()) {
    Py_BEGIN_ALLOW_THREADS
    lock_.lock();
    Py_END_ALLOW_THREADS
  }
  if (lock_.poisoned()) {
    lock_.unlock();
    throw py::FatalError("a lock of the settings engine is poisoned by an earlier failure");
  }
}

WriteGuard::~WriteGuard() {
  if (std::uncaught_exceptions() > unwinding_at_start_) lock_.poison();
  lock_.unlock();
}

}  // namespace zub
