#include "binding/error.hpp"

#include <cerrno>
#include <cstdio>

namespace zub::py {

namespace {

PyObject* io_exception_type(int err) {
  switch (err) {
    case EPERM:
    case EACCES:
      return PyExc_PermissionError;
    case ENOENT:
      return PyExc_FileNotFoundError;
    case EEXIST:
      return PyExc_FileExistsError;
    case EISDIR:
      return PyExc_IsADirectoryError;
    case ENOTDIR:
      return PyExc_NotADirectoryError;
    case EINTR:
      return PyExc_InterruptedError;
    case EAGAIN:
      return PyExc_BlockingIOError;
    case ETIMEDOUT:
      return PyExc_TimeoutError;
    case EPIPE:
      return PyExc_BrokenPipeError;
    case ECONNREFUSED:
      return PyExc_ConnectionRefusedError;
    case ECONNRESET:
      return PyExc_ConnectionResetError;
    case ECONNABORTED:
      return PyExc_ConnectionAbortedError;
    case ENOMEM:
      return PyExc_MemoryError;
    default:
      return PyExc_OSError;
  }
}

PyObject* exception_type(const Failure& f) {
  switch (f.kind) {
    case ErrorKind::type_error:
      return PyExc_TypeError;
    case ErrorKind::key_error:
      return PyExc_KeyError;
    case ErrorKind::value_error:
      return PyExc_ValueError;
    case ErrorKind::runtime_error:
      return PyExc_RuntimeError;
    case ErrorKind::os_error:
      return PyExc_OSError;
    case ErrorKind::io_error:
      return f.os_errno ? io_exception_type(f.os_errno) : PyExc_OSError;
    case ErrorKind::memory_error:
      return PyExc_MemoryError;
    case ErrorKind::raised:
      break;
  }
  return PyExc_RuntimeError;
}

// Created once per process on first need; the mutex detaches the thread
// state while it waits, so two threads racing here cannot deadlock.
PyObject* panic_exception_type() {
  static PyMutex mutex{};
  static PyObject* type = nullptr;
  PyMutex_Lock(&mutex);
  if (!type) {
    type = PyErr_NewExceptionWithDoc(
        "zub.PanicException",
        "A fatal internal error of zub.\n\n"
        "It derives from BaseException so that it normally propagates to the top of the\n"
        "stack and ends the interpreter, instead of being caught by 'except Exception'.",
        PyExc_BaseException, nullptr);
  }
  PyMutex_Unlock(&mutex);
  return type;
}

}  // namespace

Error Error::capture() {
  PyObject* exc = PyErr_GetRaisedException();
  if (!exc) return Error(PyExc_SystemError, "attempted to fetch exception but none was set");
  return Error(Captured{Ref::steal(exc)});
}

Error Error::from(Failure&& failure) {
  if (failure.kind == ErrorKind::raised) return capture();
  return Error(exception_type(failure), std::move(failure.message));
}

PyObject* Error::captured() const noexcept {
  if (auto* c = std::get_if<Captured>(&state_)) return c->exception.get();
  return nullptr;
}

void Error::raise() && {
  if (auto* c = std::get_if<Captured>(&state_)) {
    PyErr_SetRaisedException(c->exception.release());
    return;
  }
  auto& d = std::get<Deferred>(state_);
  // Library messages may quote bytes of a broken file: never fail on them.
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(d.message.data(),
                                             static_cast<Py_ssize_t>(d.message.size()), "replace"));
  if (!text) return;  // MemoryError is set
  PyErr_SetObject(d.type, text.get());
}

void raise_fatal(const FatalError& fatal) noexcept {
  std::fprintf(stderr, "zub: fatal internal error at %s:%u: %s\n", fatal.where().file_name(),
               static_cast<unsigned>(fatal.where().line()), fatal.message().c_str());
  std::fflush(stderr);
  PyObject* type = panic_exception_type();
  if (!type) return;  // its creation failed and set an exception
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(
      fatal.message().data(), static_cast<Py_ssize_t>(fatal.message().size()), "replace"));
  if (!text) return;
  PyErr_SetObject(type, text.get());
}

void raise_unexpected(const char* what) noexcept {
  try {
    raise_fatal(FatalError(std::string("unexpected C++ exception: ") + what));
  } catch (...) {
    PyErr_NoMemory();
  }
}

std::string type_qualname(PyTypeObject* type) {
  Ref name = Ref::steal(PyType_GetQualName(type));
  if (!name) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
  if (!utf8) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

std::string cast_error_text(PyObject* obj, const char* required) {
  if (obj == Py_None) return std::string("'None' is not an instance of '") + required + "'";
  return "'" + type_qualname(Py_TYPE(obj)) + "' object is not an instance of '" + required + "'";
}

}  // namespace zub::py
