// Errors as values: every fallible operation of the core returns a Result,
// and only the binding's boundary turns a Failure into a Python exception.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <variant>

namespace zub {

enum class ErrorKind {
  type_error,
  key_error,
  value_error,
  runtime_error,
  os_error,      // OSError itself, whatever os_errno says
  io_error,      // the standard I/O exception: the subclass follows os_errno
  memory_error,
  raised,        // the interpreter's own exception, kept by the binding for the caller
};

struct Failure {
  ErrorKind kind;
  std::string message;
  int os_errno = 0;  // only meaningful for io_error
};

// The operating system's description of an error number, in the form
// "No such file or directory (os error 2)".
inline std::string os_error_text(int err) {
  char buf[256];
  // GNU strerror_r returns a pointer that may or may not be buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

inline Failure io_failure(int err) { return Failure{ErrorKind::io_error, os_error_text(err), err}; }
inline Failure io_failure_text(std::string text) {
  return Failure{ErrorKind::io_error, std::move(text), 0};
}
inline Failure type_failure(std::string text) { return Failure{ErrorKind::type_error, std::move(text)}; }

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(Failure failure) : v_(std::in_place_index<1>, std::move(failure)) {}

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
  T& value() & { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &std::get<0>(v_); }
  T& operator*() & { return std::get<0>(v_); }
  Failure& failure() & { return std::get<1>(v_); }
  Failure&& failure() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Failure> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Failure failure) : failure_(std::move(failure)), ok_(false) {}
  bool ok() const noexcept { return ok_; }
  explicit operator bool() const noexcept { return ok_; }
  Failure& failure() & { return failure_; }
  Failure&& failure() && { return std::move(failure_); }

 private:
  Failure failure_{ErrorKind::runtime_error, {}};
  bool ok_ = true;
};

}  // namespace zub
