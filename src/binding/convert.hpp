// Conversions between Python objects and the value tree. A failure is a
// conversion error: a text, which the caller raises with its own type and
// prefix.
#pragma once

#include <Python.h>

#include "binding/pyref.hpp"
#include "core/result.hpp"
#include "core/value.hpp"

namespace zub::py {

// Builds a Value from obj (borrowed). May run the caller's Python code
// (__len__, __getitem__, keys(), values(), iteration, attribute lookups).
Result<Value> object_to_value(PyObject* obj);

// Builds new built-in objects only; runs no code of the caller's.
Result<Ref> value_to_object(const Value& value);

}  // namespace zub::py
