// The error value of the Python-facing layer and the call boundary.
//
// An error is either deferred (an exception type and a message; nothing is
// created in the interpreter until it is raised) or captured (an exception
// the interpreter raised while we called into it, kept exactly as raised).
// Errors move up unchanged to the one boundary per entry point.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <source_location>
#include <string>
#include <utility>
#include <variant>

#include "binding/pyref.hpp"
#include "core/result.hpp"

namespace zub::py {

class Error {
 public:
  // type is one of the interpreter's built-in exception types (borrowed:
  // they live as long as the interpreter).
  Error(PyObject* type, std::string message) : state_(Deferred{type, std::move(message)}) {}
  // Takes the interpreter's current exception.
  static Error capture();
  // A core failure becomes its exception type (the I/O table for io_error).
  static Error from(Failure&& failure);

  // Sets the exception as the interpreter's current one.
  void raise() &&;

  bool is_captured() const noexcept { return state_.index() == 1; }
  PyObject* captured() const noexcept;

 private:
  struct Deferred {
    PyObject* type;
    std::string message;
  };
  struct Captured {
    Ref exception;
  };
  explicit Error(Captured c) : state_(std::move(c)) {}
  std::variant<Deferred, Captured> state_;
};

template <class T>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Expected(Error error) : v_(std::in_place_index<1>, std::move(error)) {}
  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
  T& operator*() & { return std::get<0>(v_); }
  T* operator->() { return &std::get<0>(v_); }
  T&& take() && { return std::get<0>(std::move(v_)); }
  Error&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

struct Unit {};

// A broken invariant: thrown, never returned. Unwinding releases every lock
// and use of the object held on the way (poisoning locks held for writing),
// and the boundary reports it as PanicException.
class FatalError {
 public:
  explicit FatalError(std::string message,
                      std::source_location where = std::source_location::current())
      : message_(std::move(message)), where_(where) {}
  const std::string& message() const noexcept { return message_; }
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

// Writes the diagnostic and raises PanicException.
void raise_fatal(const FatalError& fatal) noexcept;
// For C++ exceptions that escaped a body (a library threw): reported as fatal.
void raise_unexpected(const char* what) noexcept;

// The cast error text: "'int' object is not an instance of 'str'".
std::string cast_error_text(PyObject* obj, const char* required);
// The qualified name of a type, or "<failed to extract type name>".
std::string type_qualname(PyTypeObject* type);

// Runs an entry's body and turns its outcome into the interpreter's
// convention. Nothing thrown inside ever crosses into the interpreter.
template <class Body>
PyObject* boundary(Body&& body) noexcept {
  try {
    Expected<Ref> result = body();
    if (result) return std::move(result).take().release();
    std::move(result).error().raise();
  } catch (const FatalError& fatal) {
    raise_fatal(fatal);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_unexpected(e.what());
  } catch (...) {
    raise_unexpected("unknown C++ exception");
  }
  return nullptr;
}

}  // namespace zub::py
