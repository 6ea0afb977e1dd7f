#pragma once

#include <Python.h>

namespace zub {

// The ZubSettingEngine class, made on first use and kept for the life of
// the process (nullptr with an exception set if it cannot be made).
PyTypeObject* engine_class();

}  // namespace zub
