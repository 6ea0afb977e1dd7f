// Argument binding and conversion for the entries that take arguments.
#pragma once

#include <Python.h>

#include <optional>
#include <string_view>

#include "binding/error.hpp"

namespace zub::py {

struct Signature {
  const char* display;  // "ZubSettingEngine.value()"
  const char* const* names;
  Py_ssize_t count;
  Py_ssize_t required;  // the first `required` parameters have no default
  Py_ssize_t positional = -1;  // how many may be given by position; -1: all

  Py_ssize_t max_positional() const noexcept { return positional < 0 ? count : positional; }
};

// Vectorcall form: fills out[0..count) with borrowed references, nullptr
// for an optional parameter left out.
std::optional<Error> bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames, PyObject** out);

// tp_new form (a tuple and a dict).
std::optional<Error> bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs,
                                    PyObject** out);

// A text parameter: a str that can be encoded as UTF-8. The view points
// into the str object's cached UTF-8 and lives as long as the object.
Expected<std::string_view> text_argument(PyObject* obj, const char* name);

}  // namespace zub::py
