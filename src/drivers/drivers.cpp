#include "drivers/drivers.hpp"

#include <atomic>
#include <cctype>
#include <string_view>

#include "binding/convert.hpp"

namespace zub {

namespace {

// Reading and writing a file touch no Python object, so other threads run
// meanwhile: a large save (with its flush to disk) no longer stalls the
// whole program. The engine's own locks keep the tree still. RAII, because
// the file work may throw (out of memory) and the thread state must return.
class InterpreterReleased {
 public:
  InterpreterReleased() noexcept : state_(PyEval_SaveThread()) {}
  InterpreterReleased(const InterpreterReleased&) = delete;
  InterpreterReleased& operator=(const InterpreterReleased&) = delete;
  ~InterpreterReleased() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

template <class F>
auto without_interpreter(F&& work) {
  InterpreterReleased released;
  return work();
}

struct Name {
  std::string_view text;
  Drivers::Kind kind;
};
constexpr Name driver_names[] = {
    {"json", Drivers::Kind::Json},   {"json5", Drivers::Kind::Json5},
    {"toml", Drivers::Kind::Toml},   {"yaml", Drivers::Kind::Yaml},
    {"memory", Drivers::Kind::Memory},
};

// Full Unicode lower-casing is str.lower's; ASCII names take the short way.
py::Expected<std::string> lower_case(PyObject* name, std::string_view utf8) {
  bool ascii = true;
  for (char c : utf8) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) {
    std::string out(utf8);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
  }
  // Interned once and kept (interned strings are immortal). Atomic because
  // without the global lock two threads may get here at once; both intern
  // the same string, so either store is right.
  static std::atomic<PyObject*> cached{nullptr};
  PyObject* lower = cached.load(std::memory_order_acquire);
  if (!lower) {
    if (!(lower = PyUnicode_InternFromString("lower"))) return py::Error::capture();
    cached.store(lower, std::memory_order_release);
  }
  py::Ref method = py::Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(&PyUnicode_Type), lower));
  if (!method) return py::Error::capture();
  py::Ref lowered = py::Ref::steal(PyObject_CallOneArg(method.get(), name));
  if (!lowered) return py::Error::capture();
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(lowered.get(), &size);
  if (!text) return py::Error::capture();
  return std::string(text, static_cast<std::size_t>(size));
}

// hasattr, except that exceptions other than AttributeError propagate.
py::Expected<bool> has_attribute(PyObject* obj, const char* name) {
  PyObject* value = nullptr;
  int found = PyObject_GetOptionalAttrString(obj, name, &value);
  Py_XDECREF(value);
  if (found < 0) return py::Error::capture();
  return found == 1;
}

py::Ref new_str(const std::string& text) {
  return py::Ref::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
}

}  // namespace

py::Expected<Drivers> Drivers::from_args(py::Ref driver) {
  PyObject* obj = driver.get();
  if (PyUnicode_Check(obj)) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8) {
      std::string_view given(utf8, static_cast<std::size_t>(size));
      auto lowered = lower_case(obj, given);
      if (!lowered) return std::move(lowered).error();
      for (const auto& n : driver_names)
        if (*lowered == n.text) return Drivers(n.kind);
      return py::Error(PyExc_ValueError, "Unknown driver: " + std::string(given));
    }
    PyErr_Clear();  // lone surrogates: not a usable name, so try it as an object
  }
  auto has_read = has_attribute(obj, "read");
  if (!has_read) return std::move(has_read).error();
  if (*has_read) {
    auto has_write = has_attribute(obj, "write");
    if (!has_write) return std::move(has_write).error();
    if (*has_write) return Drivers(Kind::Custom, std::move(driver));
  }
  return py::Error(PyExc_TypeError,
                   "Driver must be a string (name) or an object with 'read' and 'write' methods");
}

Format Drivers::format() const noexcept {
  switch (kind_) {
    case Kind::Json5:
      return Format::json5;
    case Kind::Toml:
      return Format::toml;
    case Kind::Yaml:
      return Format::yaml;
    default:
      return Format::json;
  }
}

void Drivers::keep_layout() {
  if (kind_ != Kind::Memory && kind_ != Kind::Custom) layout_ = std::make_unique<KeptLayout>();
}

std::uint64_t Drivers::layout_fallbacks() const {
  if (!layout_) return 0;
  auto kept = layout_.get();
  return without_interpreter([kept] {
    std::lock_guard<std::mutex> hold(kept->lock);
    return kept->fallbacks;
  });
}

py::Expected<Value> Drivers::load(const std::string& path) const {
  switch (kind_) {
    case Kind::Memory:
      return Value(Object{});
    case Kind::Custom: {
      py::Ref path_obj = new_str(path);
      if (!path_obj) return py::Error::capture();
      // Looked up, then called, so that a non-callable attribute gets the
      // interpreter's own words.
      py::Ref read = py::Ref::steal(PyObject_GetAttrString(custom_.get(), "read"));
      if (!read) return py::Error::capture();
      py::Ref data = py::Ref::steal(PyObject_CallOneArg(read.get(), path_obj.get()));
      if (!data) return py::Error::capture();
      auto value = py::object_to_value(data.get());
      if (!value)
        return py::conversion_error(std::move(value).failure(), PyExc_TypeError,
                                    "Failed to depythonize custom driver data: ");
      return std::move(*value);
    }
    default: {
      if (layout_) {
        auto kept = without_interpreter([&] { return load_file_keeping_text(format(), path, &layout_->yaml_marks); });
        if (!kept) return py::Error::from(std::move(kept).failure());
        layout_->text = std::move(kept->text);
        layout_->toml_sections.clear();  // they were the old text's
        // Reading YAML again costs about twenty copies of its tree, TOML
        // about eight: the first sync would read it again.
        if (format() == Format::yaml || format() == Format::toml) layout_->baseline = kept->tree;
        return std::move(kept->tree);
      }
      auto value = without_interpreter([&] { return load_file(format(), path); });
      if (!value) return py::Error::from(std::move(value).failure());
      return std::move(*value);
    }
  }
}

py::Expected<py::Unit> Drivers::save(const std::string& path, const Value& tree) const {
  switch (kind_) {
    case Kind::Memory:
      return py::Unit{};
    case Kind::Custom: {
      auto data = py::value_to_object(tree);
      if (!data)
        return py::conversion_error(std::move(data).failure(), PyExc_TypeError, "Failed to pythonize data: ");
      py::Ref path_obj = new_str(path);
      if (!path_obj) return py::Error::capture();
      py::Ref write = py::Ref::steal(PyObject_GetAttrString(custom_.get(), "write"));
      if (!write) return py::Error::capture();
      PyObject* args[] = {path_obj.get(), data->get()};
      py::Ref result = py::Ref::steal(PyObject_Vectorcall(write.get(), args, 2, nullptr));
      if (!result) return py::Error::capture();
      return py::Unit{};
    }
    default: {
      auto saved = without_interpreter([&] {
        return layout_ ? save_file_keeping_layout(format(), path, tree, *layout_) : save_file(format(), path, tree);
      });
      if (!saved) return py::Error::from(std::move(saved).failure());
      return py::Unit{};
    }
  }
}

}  // namespace zub
