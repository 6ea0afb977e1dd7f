#include "binding/args.hpp"

#include <string>
#include <vector>

namespace zub::py {

namespace {

Error binding_error(std::string message) { return Error(PyExc_TypeError, std::move(message)); }

std::string too_many_positional(const Signature& sig, Py_ssize_t given) {
  std::string msg = sig.display;
  Py_ssize_t most = sig.max_positional();
  if (sig.required < most)
    msg += " takes from " + std::to_string(sig.required) + " to " + std::to_string(most);
  else
    msg += " takes " + std::to_string(most);
  msg += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
         " given";
  return msg;
}

std::optional<Error> bind_keyword(const Signature& sig, PyObject* name, PyObject* value,
                                  Py_ssize_t nargs, PyObject** out) {
  for (Py_ssize_t i = 0; i < sig.count; ++i) {
    if (PyUnicode_Check(name) && PyUnicode_EqualToUTF8(name, sig.names[i])) {
      if (i < nargs || out[i])
        return binding_error(std::string(sig.display) + " got multiple values for argument '" +
                             sig.names[i] + "'");
      out[i] = value;
      return std::nullopt;
    }
  }
  Ref text = Ref::steal(PyObject_Str(name));
  const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (!utf8) return Error::capture();
  return binding_error(std::string(sig.display) + " got an unexpected keyword argument '" + utf8 +
                       "'");
}

std::optional<Error> check_missing(const Signature& sig, PyObject** out) {
  std::vector<const char*> missing;
  for (Py_ssize_t i = 0; i < sig.required; ++i)
    if (!out[i]) missing.push_back(sig.names[i]);
  if (missing.empty()) return std::nullopt;
  std::string msg = std::string(sig.display) + " missing " + std::to_string(missing.size()) +
                    " required positional argument" + (missing.size() == 1 ? "" : "s") + ": ";
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) msg += (i + 1 == missing.size()) ? (missing.size() == 2 ? " and " : ", and ") : ", ";
    msg += "'" + std::string(missing[i]) + "'";
  }
  return binding_error(std::move(msg));
}

}  // namespace

std::optional<Error> bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames, PyObject** out) {
  if (nargs > sig.max_positional()) return binding_error(too_many_positional(sig, nargs));
  for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
  if (kwnames) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (auto err = bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, out))
        return err;
    }
  }
  return check_missing(sig, out);
}

std::optional<Error> bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs,
                                    PyObject** out) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > sig.max_positional()) return binding_error(too_many_positional(sig, nargs));
  for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (auto err = bind_keyword(sig, name, value, nargs, out)) return err;
    }
  }
  return check_missing(sig, out);
}

Expected<std::string_view> text_argument(PyObject* obj, const char* name) {
  if (!PyUnicode_Check(obj))
    return Error(PyExc_TypeError,
                 std::string("argument '") + name + "': " + cast_error_text(obj, "str"));
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (!utf8) return Error::capture();  // UnicodeEncodeError, unchanged
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

}  // namespace zub::py
