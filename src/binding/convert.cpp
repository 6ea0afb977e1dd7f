#include "binding/convert.hpp"

#include <climits>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "binding/error.hpp"

namespace zub::py {

namespace {

const std::string depth_text = "maximum nesting depth exceeded (" + std::to_string(max_tree_depth) + " levels)";

struct Lookups {
  PyObject* sequence_abc = nullptr;
  PyObject* mapping_abc = nullptr;
  PyObject* dataclass_fields = nullptr;
  PyObject* dict_attr = nullptr;
};

// Made once per process and kept. The published pointer makes every later
// call a single load; PyMutex detaches the thread state while it waits, so
// racing first calls cannot deadlock against the interpreter.
Lookups* names() {
  static std::atomic<Lookups*> published{nullptr};
  if (Lookups* ready = published.load(std::memory_order_acquire)) return ready;
  static PyMutex mutex{};
  static Lookups lookups;
  PyMutex_Lock(&mutex);
  if (!published.load(std::memory_order_relaxed)) {
    if (!lookups.dataclass_fields) lookups.dataclass_fields = PyUnicode_InternFromString("__dataclass_fields__");
    if (!lookups.dict_attr) lookups.dict_attr = PyUnicode_InternFromString("__dict__");
    if (lookups.dataclass_fields && lookups.dict_attr) published.store(&lookups, std::memory_order_release);
  }
  PyMutex_Unlock(&mutex);
  return published.load(std::memory_order_acquire);
}

// collections.abc is imported only by the first test that needs it.
bool load_abcs(Lookups* l) {
  static std::atomic<bool> loaded{false};
  if (loaded.load(std::memory_order_acquire)) return true;
  static PyMutex mutex{};
  PyMutex_Lock(&mutex);
  if (!loaded.load(std::memory_order_relaxed)) {
    Ref module = Ref::steal(PyImport_ImportModule("collections.abc"));
    if (module) {
      PyObject* seq = PyObject_GetAttrString(module.get(), "Sequence");
      PyObject* map = seq ? PyObject_GetAttrString(module.get(), "Mapping") : nullptr;
      if (seq && map) {
        l->sequence_abc = seq;
        l->mapping_abc = map;
        loaded.store(true, std::memory_order_release);
      } else {
        Py_XDECREF(seq);
      }
    }
  }
  PyMutex_Unlock(&mutex);
  return loaded.load(std::memory_order_acquire);
}

// Exceptions that say nothing about the value: anything that is not an
// Exception (KeyboardInterrupt, SystemExit, GeneratorExit), and MemoryError.
bool passes_through(PyObject* exc) {
  return !PyErr_GivenExceptionMatches(exc, PyExc_Exception) || PyErr_GivenExceptionMatches(exc, PyExc_MemoryError);
}

// Leaves exc as the current exception, for the caller.
Failure keep_raised(Ref exc) {
  PyErr_SetRaisedException(exc.release());
  return Failure{ErrorKind::raised, {}};
}

// "TypeName: str(exc)" for the exception the interpreter just raised.
Failure raised_text() {
  PyObject* raw = PyErr_GetRaisedException();
  if (!raw) return type_failure("SystemError: attempted to fetch exception but none was set");
  Ref exc = Ref::steal(raw);
  if (passes_through(exc.get())) return keep_raised(std::move(exc));
  std::string text = type_qualname(Py_TYPE(exc.get())) + ": ";
  Ref str = Ref::steal(PyObject_Str(exc.get()));
  Py_ssize_t size = 0;
  const char* utf8 = str ? PyUnicode_AsUTF8AndSize(str.get(), &size) : nullptr;
  if (utf8) {
    text.append(utf8, static_cast<std::size_t>(size));
  } else {
    Ref failed = Ref::steal(PyErr_GetRaisedException());
    if (failed && passes_through(failed.get())) return keep_raised(std::move(failed));
    text += "<exception str() failed>";
  }
  return type_failure(std::move(text));
}

// Where an exception is otherwise discarded or only reported: true when it
// must pass through instead (and is left current).
bool keep_if_passing() {
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  if (exc && passes_through(exc.get())) {
    PyErr_SetRaisedException(exc.release());
    return true;
  }
  PyErr_SetRaisedException(exc.release());
  return false;
}

Failure unexpected_type(PyObject* obj, const char* required) {
  return type_failure("unexpected type: " + cast_error_text(obj, required));
}

class Converter {
 public:
  explicit Converter(Lookups* lookups) : l_(lookups) {}

  Result<Value> convert(PyObject* obj, std::size_t depth) {
    if (obj == Py_None) return Value();
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyBool_Type) return Value(obj == Py_True);
    if (PyLong_Check(obj)) return integer(obj);
    if (PyList_Check(obj) || PyTuple_Check(obj)) return nested(obj, depth, &Converter::sequence);
    if (PyDict_Check(obj)) {
      // An exact dict has no instance attributes, so it cannot be a dataclass.
      if (type != &PyDict_Type) return mapping_or_dataclass(obj, depth);
      return nested(obj, depth, &Converter::mapping);
    }
    if (PyUnicode_Check(obj)) return string(obj);
    if (PyBytes_Check(obj)) return type_failure("invalid type: byte array, expected any valid JSON value");
    if (PyByteArray_Check(obj)) return unexpected_type(obj, "bytes");
    if (PyFloat_Check(obj)) return Value::from_double(PyFloat_AS_DOUBLE(obj));
    if (PyAnySet_Check(obj)) return nested(obj, depth, &Converter::set);
    int is_sequence = is_instance(obj, abc(true));
    if (is_sequence < 0) return Failure{ErrorKind::raised, {}};
    if (is_sequence) return nested(obj, depth, &Converter::sequence);
    int is_mapping = is_instance(obj, abc(false));
    if (is_mapping < 0) return Failure{ErrorKind::raised, {}};
    if (is_mapping) return mapping_or_dataclass(obj, depth);
    auto fields = dataclass_fields(obj);
    if (!fields) return std::move(fields).failure();
    if (*fields)
      return nested(obj, depth, [&](Converter& c, PyObject* o, std::size_t d) {
        return c.dataclass(o, fields->get(), d);
      });
    std::string name = type_qualname(type);
    if (name == "<failed to extract type name>") name = "unknown";
    return type_failure("unsupported type " + name);
  }

 private:
  // Containers count against the depth limit and the interpreter's own
  // recursion guard, so neither deep nesting nor a self-containing list can
  // exhaust the native stack.
  template <class F>
  Result<Value> nested(PyObject* obj, std::size_t depth, F&& body) {
    if (depth >= max_tree_depth) return type_failure(depth_text);
    if (Py_EnterRecursiveCall(" while converting a value")) return raised_text();
    Result<Value> out = std::invoke(body, *this, obj, depth + 1);
    Py_LeaveRecursiveCall();
    return out;
  }

  PyObject* abc(bool sequence) {
    if (!load_abcs(l_)) return nullptr;
    return sequence ? l_->sequence_abc : l_->mapping_abc;
  }

  Result<Value> mapping_or_dataclass(PyObject* obj, std::size_t depth) {
    auto fields = dataclass_fields(obj);
    if (!fields) return std::move(fields).failure();
    if (*fields)
      return nested(obj, depth, [&](Converter& c, PyObject* o, std::size_t d) {
        return c.dataclass(o, fields->get(), d);
      });
    return nested(obj, depth, &Converter::mapping);
  }

  // 1 or 0; an exception counts as 0 once reported, unless it passes
  // through (-1, left current).
  static int is_instance(PyObject* obj, PyObject* cls) {
    int r = cls ? PyObject_IsInstance(obj, cls) : -1;
    if (r < 0) {
      if (keep_if_passing()) return -1;
      PyErr_WriteUnraisable(obj);
      return 0;
    }
    return r;
  }

  // Null when obj is no dataclass candidate.
  Result<Ref> dataclass_fields(PyObject* obj) {
    PyObject* fields = nullptr;
    if (PyObject_GetOptionalAttr(obj, l_->dataclass_fields, &fields) < 0) {
      if (keep_if_passing()) return Failure{ErrorKind::raised, {}};
      PyErr_Clear();
    }
    return Ref::steal(fields);
  }

  static Result<Value> integer(PyObject* obj) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (v == -1 && PyErr_Occurred()) return raised_text();
    if (!overflow) return Value::from_int(static_cast<std::int64_t>(v));
    if (overflow > 0) {
      unsigned long long u = PyLong_AsUnsignedLongLong(obj);
      if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred()))
        return Value(static_cast<std::uint64_t>(u));
      PyErr_Clear();
    }
    // Outside both 64-bit ranges: within 128 bits is "out of range",
    // beyond is the overflow of reading a 128-bit integer.
    unsigned char buf[16];
    int flags = Py_ASNATIVEBYTES_NATIVE_ENDIAN | Py_ASNATIVEBYTES_REJECT_NEGATIVE;
    if (overflow < 0) flags = Py_ASNATIVEBYTES_NATIVE_ENDIAN;
    else flags |= Py_ASNATIVEBYTES_UNSIGNED_BUFFER;
    Py_ssize_t needed = PyLong_AsNativeBytes(obj, buf, sizeof buf, flags);
    if (needed < 0) return raised_text();
    if (needed <= static_cast<Py_ssize_t>(sizeof buf)) return type_failure("JSON number out of range");
    return type_failure("OverflowError: Python int larger than 128 bits");
  }

  static Result<Value> string(PyObject* obj) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!utf8) return raised_text();
    return Value(std::string_view(utf8, static_cast<std::size_t>(size)));
  }

  Result<Value> sequence(PyObject* obj, std::size_t depth) {
    Py_ssize_t len = PyObject_Size(obj);
    if (len < 0) return raised_text();
    Py_ssize_t again = PyObject_Size(obj);
    if (again < 0) return raised_text();
    if (again != len)
      return type_failure("expected sequence of length " + std::to_string(len) + ", got " +
                          std::to_string(again));
    Array items;
    items.reserve(static_cast<std::size_t>(len));
    bool exact_tuple = Py_IS_TYPE(obj, &PyTuple_Type);
    for (Py_ssize_t i = 0; i < len; ++i) {
      Ref item = exact_tuple ? Ref::borrow(PyTuple_GET_ITEM(obj, i))
                             : Ref::steal(PySequence_GetItem(obj, i));
      if (!item) return raised_text();
      auto v = convert(item.get(), depth);
      if (!v) return v;
      items.push_back(std::move(*v));
    }
    return Value(std::move(items));
  }

  Result<Value> set(PyObject* obj, std::size_t depth) {
    Ref it = Ref::steal(PyObject_GetIter(obj));
    if (!it) return raised_text();
    Array items;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
      auto v = convert(item.get(), depth);
      if (!v) return v;
      items.push_back(std::move(*v));
    }
    if (PyErr_Occurred()) return raised_text();
    return Value(std::move(items));
  }

  Result<std::string> key_text(PyObject* key) {
    if (!PyUnicode_Check(key)) return unexpected_type(key, "str");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
    if (!utf8) return raised_text();
    return std::string(utf8, static_cast<std::size_t>(size));
  }

  Result<Value> mapping(PyObject* obj, std::size_t depth) {
    std::vector<Member> members;
    if (Py_IS_TYPE(obj, &PyDict_Type)) {
      // Snapshots of keys and values, as keys() and values() give them:
      // converting a member may run code that changes the dict. Without the
      // global lock another thread may change it between the two
      // snapshots, so they are taken in one critical section (a no-op where
      // the global lock exists).
      Ref keys, values;
      Py_BEGIN_CRITICAL_SECTION(obj);
      keys = Ref::steal(PyDict_Keys(obj));
      if (keys) values = Ref::steal(PyDict_Values(obj));
      Py_END_CRITICAL_SECTION();
      if (!keys || !values) return raised_text();
      Py_ssize_t n = PyList_GET_SIZE(keys.get());
      members.reserve(static_cast<std::size_t>(n));
      for (Py_ssize_t i = 0; i < n; ++i) {
        auto key = key_text(PyList_GET_ITEM(keys.get(), i));
        if (!key) return std::move(key).failure();
        auto v = convert(PyList_GET_ITEM(values.get(), i), depth);
        if (!v) return v;
        members.push_back(Member{std::move(*key), std::move(*v)});
      }
      return Value(Object::from_unsorted(std::move(members)));
    }
    Ref keys = Ref::steal(PyMapping_Keys(obj));
    if (!keys) return raised_text();
    Ref values = Ref::steal(PyMapping_Values(obj));
    if (!values) return raised_text();
    Py_ssize_t count = PyObject_Size(obj);
    if (count < 0) return raised_text();
    // Paired by position: lists of another length would drop members or
    // read past the end.
    for (PyObject* list : {keys.get(), values.get()}) {
      Py_ssize_t got = PyObject_Size(list);
      if (got < 0) return raised_text();
      if (got != count)
        return type_failure("expected mapping of length " + std::to_string(count) + ", got " +
                            std::to_string(got));
    }
    members.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
      Ref key = Ref::steal(PySequence_GetItem(keys.get(), i));
      if (!key) return raised_text();
      auto text = key_text(key.get());
      if (!text) return std::move(text).failure();
      Ref value = Ref::steal(PySequence_GetItem(values.get(), i));
      if (!value) return raised_text();
      auto v = convert(value.get(), depth);
      if (!v) return v;
      members.push_back(Member{std::move(*text), std::move(*v)});
    }
    return Value(Object::from_unsorted(std::move(members)));
  }

  Result<Value> dataclass(PyObject* obj, PyObject* fields, std::size_t depth) {
    if (!PyDict_Check(fields)) return unexpected_type(fields, "dict");
    Ref names_list = Ref::steal(PyDict_Keys(fields));
    if (!names_list) return raised_text();
    Ref dict = Ref::steal(PyObject_GetAttr(obj, l_->dict_attr));
    if (!dict) return raised_text();
    if (!PyDict_Check(dict.get())) return unexpected_type(dict.get(), "dict");
    std::vector<Member> members;
    Py_ssize_t n = PyList_GET_SIZE(names_list.get());
    members.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* name = PyList_GET_ITEM(names_list.get(), i);
      auto key = key_text(name);
      if (!key) return std::move(key).failure();
      PyObject* raw = nullptr;
      int found = PyDict_GetItemRef(dict.get(), name, &raw);
      if (found < 0) return raised_text();
      if (found == 0) {
        PyErr_SetObject(PyExc_KeyError, name);
        return raised_text();
      }
      Ref value = Ref::steal(raw);
      auto v = convert(value.get(), depth);
      if (!v) return v;
      members.push_back(Member{std::move(*key), std::move(*v)});
    }
    return Value(Object::from_unsorted(std::move(members)));
  }

  Lookups* l_;
};

Result<Ref> build(const Value& value) {
  switch (value.kind()) {
    case Value::Kind::null:
      return Ref::borrow(Py_None);
    case Value::Kind::boolean:
      return Ref::borrow(value.as_bool() ? Py_True : Py_False);
    case Value::Kind::uint: {
      // The signed constructor takes the interpreter's fast path (cached
      // and one-digit integers); the unsigned one always counts digits.
      std::uint64_t u = value.as_uint();
      PyObject* o = u <= static_cast<std::uint64_t>(LLONG_MAX) ? PyLong_FromLongLong(static_cast<long long>(u))
                                                               : PyLong_FromUnsignedLongLong(u);
      if (o) return Ref::steal(o);
      break;
    }
    case Value::Kind::sint:
      if (PyObject* o = PyLong_FromLongLong(value.as_sint())) return Ref::steal(o);
      break;
    case Value::Kind::real:
      if (PyObject* o = PyFloat_FromDouble(value.as_real())) return Ref::steal(o);
      break;
    case Value::Kind::string: {
      const auto& s = value.as_string();
      if (PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr))
        return Ref::steal(o);
      break;
    }
    case Value::Kind::array: {
      const auto& items = value.as_array();
      Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
      if (!list) break;
      Py_ssize_t i = 0;
      for (const auto& item : items) {
        auto o = build(item);
        if (!o) return o;
        PyList_SET_ITEM(list.get(), i++, o->release());
      }
      return list;
    }
    case Value::Kind::object: {
      Ref dict = Ref::steal(PyDict_New());
      if (!dict) break;
      for (const auto& m : value.as_object()) {
        Ref key = Ref::steal(
            PyUnicode_DecodeUTF8(m.key.data(), static_cast<Py_ssize_t>(m.key.size()), nullptr));
        if (!key) return raised_text();
        auto o = build(m.value);
        if (!o) return o;
        if (PyDict_SetItem(dict.get(), key.get(), o->get()) < 0) return raised_text();
      }
      return dict;
    }
  }
  return raised_text();
}

}  // namespace

Result<Value> object_to_value(PyObject* obj) {
  Lookups* lookups = names();
  if (!lookups) return raised_text();
  return Converter(lookups).convert(obj, 0);
}

Result<Ref> value_to_object(const Value& value) { return build(value); }

Error conversion_error(Failure&& failure, PyObject* type, std::string_view prefix) {
  if (failure.kind == ErrorKind::raised) return Error::capture();
  return Error(type, std::string(prefix) + failure.message);
}

}  // namespace zub::py
