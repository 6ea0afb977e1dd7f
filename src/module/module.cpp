// The _zub_core module: multi-phase initialisation whose execution step
// registers the one class.
#include <Python.h>

#include "binding/error.hpp"
#include "engine/engine.hpp"
#include "engine/methods.hpp"

namespace zub {
namespace {

py::Expected<py::Ref> register_class(PyObject* module) {
  if (!PyModule_Check(module))
    return py::Error(PyExc_TypeError, py::cast_error_text(module, "PyModule"));
  PyTypeObject* cls = engine_class();
  if (!cls) {
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_RuntimeError, "An error occurred while initializing class ZubSettingEngine");
    PyObject* error = PyErr_GetRaisedException();
    PyException_SetCause(error, cause);
    PyErr_SetRaisedException(error);
    return py::Error::capture();
  }
  py::Ref all;
  {
    PyObject* existing = nullptr;
    if (PyObject_GetOptionalAttrString(module, "__all__", &existing) < 0) return py::Error::capture();
    all = py::Ref::steal(existing);
  }
  if (!all) {
    all = py::Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return py::Error::capture();
  }
  if (!PyList_Check(all.get()))
    return py::Error(PyExc_TypeError, py::cast_error_text(all.get(), "PyList"));
  py::Ref name = py::Ref::steal(PyUnicode_FromString("ZubSettingEngine"));
  if (!name || PyList_Append(all.get(), name.get()) < 0)
    throw py::FatalError("could not add ZubSettingEngine to __all__");
  if (PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(cls)) < 0)
    return py::Error::capture();
  return py::Ref::borrow(Py_None);
}

int module_exec(PyObject* module) noexcept {
  PyObject* result = py::boundary([&] { return register_class(module); });
  if (!result) return -1;
  Py_DECREF(result);
  return 0;
}

// For the tests: how many saves of an engine that keeps the layout fell
// back to the standard layout.
PyObject* layout_fallbacks(PyObject*, PyObject* engine) noexcept {
  return py::boundary([&]() -> py::Expected<py::Ref> {
    PyTypeObject* cls = engine_class();
    if (!cls) return py::Error::capture();
    if (!PyObject_TypeCheck(engine, cls))
      return py::Error(PyExc_TypeError, py::cast_error_text(engine, "ZubSettingEngine"));
    auto count = reinterpret_cast<EngineObject*>(engine)->state.driver.layout_fallbacks();
    py::Ref out = py::Ref::steal(PyLong_FromUnsignedLongLong(count));
    if (!out) return py::Error::capture();
    return out;
  });
}

PyMethodDef module_methods[] = {
    {"_layout_fallbacks", layout_fallbacks, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_zub_core",
    "",
    0,
    module_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace zub

PyMODINIT_FUNC PyInit__zub_core(void) { return PyModuleDef_Init(&zub::module_def); }
