// An owning reference to a Python object. The names say what happens to
// ownership: steal() adopts a new reference, borrow() takes an extra one,
// release() hands ours to the caller.
#pragma once

#include <Python.h>

#include <utility>

namespace zub::py {

class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
  static Ref borrow(PyObject* obj) noexcept { return Ref(Py_XNewRef(obj)); }

  Ref(const Ref& other) noexcept : obj_(Py_XNewRef(other.obj_)) {}
  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(obj_, other.obj_);
    return *this;
  }
  ~Ref() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace zub::py
