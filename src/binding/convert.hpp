// Conversions between Python objects and the value tree. A failure is a
// conversion error: a text, which the caller raises with its own type and
// prefix; except that an exception which is not about the value (an
// interrupt, an exit, a closing generator, MemoryError) stays the
// interpreter's current exception and reaches the caller unchanged.
#pragma once

#include <Python.h>

#include <string_view>

#include "binding/error.hpp"
#include "binding/pyref.hpp"
#include "core/result.hpp"
#include "core/value.hpp"

namespace zub::py {

// Builds a Value from obj (borrowed). May run the caller's Python code
// (__len__, __getitem__, keys(), values(), iteration, attribute lookups).
Result<Value> object_to_value(PyObject* obj);

// None, a bool, or an exact int, float or str: converting one runs none of
// the caller's code.
inline bool plain_scalar(PyObject* obj) noexcept {
  return obj == Py_None || PyBool_Check(obj) || PyLong_CheckExact(obj) || PyFloat_CheckExact(obj) ||
         PyUnicode_CheckExact(obj);
}

// Builds new built-in objects only; runs no code of the caller's.
Result<Ref> value_to_object(const Value& value);

// The exception for a failed conversion: type with prefix + the text, or
// the exception that passes through.
Error conversion_error(Failure&& failure, PyObject* type, std::string_view prefix = {});

}  // namespace zub::py
