// The Python-facing methods of ZubSettingEngine. Each entry binds its
// arguments, checks the instance, takes shared (or exclusive) use, converts
// its arguments, and only then does its work; every outcome leaves through
// py::boundary.
#include "engine/methods.hpp"

#include <new>

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "engine/engine.hpp"
#include "engine/tree_ops.hpp"

namespace zub {

namespace {

using py::Error;
using py::Expected;
using py::Ref;

PyTypeObject* engine_type = nullptr;

constexpr const char* reentrant_write_text =
    "Cannot change the settings while this thread is reading or saving them "
    "(for instance from a custom driver's write during sync)";
const std::string too_deep_text =
    "Key path too deep: settings nest at most " + std::to_string(max_tree_depth) + " levels";

Expected<EngineState*> engine_of(PyObject* self) {
  if (!engine_type || !Py_IS_TYPE(self, engine_type))
    return Error(PyExc_TypeError, py::cast_error_text(self, "ZubSettingEngine"));
  return &reinterpret_cast<EngineObject*>(self)->state;
}

Ref none() { return Ref::borrow(Py_None); }

Expected<Ref> new_str(std::string_view text) {
  PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
  if (!s) return Error::capture();
  return Ref::steal(s);
}

Expected<Ref> str_list(const std::vector<std::string>& items) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return Error::capture();
  for (std::size_t i = 0; i < items.size(); ++i) {
    auto s = new_str(items[i]);
    if (!s) return s;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s->release());
  }
  return list;
}

Error failure(Failure&& f) { return Error::from(std::move(f)); }

// Binds one required argument, the common case taking the short way.
template <std::size_t N>
std::optional<Error> bind(const py::Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames, PyObject* (&out)[N]) {
  auto nargs = static_cast<Py_ssize_t>(static_cast<std::size_t>(nargsf) &
                                       ~PY_VECTORCALL_ARGUMENTS_OFFSET);
  if (nargs == static_cast<Py_ssize_t>(N) && !kwnames) {
    for (std::size_t i = 0; i < N; ++i) out[i] = args[i];
    return std::nullopt;
  }
  return py::bind_arguments(sig, args, nargs, kwnames, out);
}

constexpr const char* key_names[] = {"key"};
constexpr const char* name_names[] = {"name"};
constexpr const char* set_names[] = {"key", "value"};
constexpr const char* new_names[] = {"path", "driver", "keep_layout"};
constexpr py::Signature value_sig{"ZubSettingEngine.value()", key_names, 1, 1};
constexpr py::Signature contains_sig{"ZubSettingEngine.contains()", key_names, 1, 1};
constexpr py::Signature remove_sig{"ZubSettingEngine.remove()", key_names, 1, 1};
constexpr py::Signature begin_group_sig{"ZubSettingEngine.begin_group()", name_names, 1, 1};
constexpr py::Signature set_value_sig{"ZubSettingEngine.set_value()", set_names, 2, 2};
constexpr py::Signature new_sig{"ZubSettingEngine.__new__()", new_names, 3, 1, 2};

// The steps every method takes before its own work: the instance check,
// then shared use of the object, held until it returns. (begin_group and
// end_group, which need it alone, and value and contains, which need no
// share, have their own.)
template <class Body>
Expected<Ref> in_use(PyObject* self, Body&& body) {
  auto state = engine_of(self);
  if (!state) return std::move(state).error();
  auto use = Use::shared(**state);
  if (!use) return std::move(use).error();
  return body(**state);
}

template <class Body>
PyObject* entry(PyObject* self, Body&& body) noexcept {
  return py::boundary([&] { return in_use(self, body); });
}

// Methods whose first parameter is text: binding comes first, and the text
// is converted only once the object is in use.
template <std::size_t N, class Body>
PyObject* keyed_entry(const py::Signature& sig, PyObject* self, PyObject* const* args,
                      Py_ssize_t nargsf, PyObject* kwnames, PyObject* (&argv)[N],
                      Body&& body) noexcept {
  return py::boundary([&]() -> Expected<Ref> {
    if (auto err = bind(sig, args, nargsf, kwnames, argv)) return std::move(*err);
    return in_use(self, [&](EngineState& s) -> Expected<Ref> {
      auto text = py::text_argument(argv[0], sig.names[0]);
      if (!text) return std::move(text).error();
      return body(s, *text);
    });
  });
}

// --- construction and destruction ---

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return py::boundary([&]() -> Expected<Ref> {
    PyObject* argv[3];
    if (auto err = py::bind_arguments(new_sig, args, kwargs, argv)) return std::move(*err);
    auto path = py::text_argument(argv[0], "path");
    if (!path) return std::move(path).error();
    Drivers driver = Drivers::json();
    if (argv[1] && argv[1] != Py_None) {
      auto chosen = Drivers::from_args(Ref::borrow(argv[1]));
      if (!chosen) return std::move(chosen).error();
      driver = std::move(*chosen);
    }
    if (argv[2]) {
      if (!PyBool_Check(argv[2]))
        return Error(PyExc_TypeError, std::string("argument 'keep_layout': ") + py::cast_error_text(argv[2], "bool"));
      if (argv[2] == Py_True) driver.keep_layout();
    }
    std::string path_text(*path);
    auto tree = driver.load(path_text);
    if (!tree) return std::move(tree).error();
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return Error::capture();
    // The state lives inside the Python object's memory; dealloc ends it.
    new (&reinterpret_cast<EngineObject*>(self)->state)
        EngineState(std::move(driver), std::move(path_text), std::move(*tree));
    return Ref::steal(self);
  });
}

// The caller's driver object may refer back to the engine; the collector
// sees that reference and breaks the cycle through the driver object's own
// clear (the engine never changes its driver, so it has no clear of its own).
int engine_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(reinterpret_cast<EngineObject*>(self)->state.driver.custom_object());
  return 0;
}

void engine_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  reinterpret_cast<EngineObject*>(self)->state.~EngineState();
  type->tp_free(self);
  Py_DECREF(type);
}

// --- the path, status and friends ---

PyObject* engine_path(PyObject* self, void*) noexcept {
  return entry(self, [](EngineState& s) { return new_str(s.path); });
}

PyObject* engine_file_name(PyObject* self, PyObject*) noexcept { return engine_path(self, nullptr); }

PyObject* engine_is_writable(PyObject* self, PyObject*) noexcept {
  return entry(self, [](EngineState&) -> Expected<Ref> { return Ref::borrow(Py_True); });
}

PyObject* engine_status(PyObject* self, PyObject*) noexcept {
  return entry(self, [](EngineState&) -> Expected<Ref> {
    PyObject* zero = PyLong_FromLong(0);
    if (!zero) return Error::capture();
    return Ref::steal(zero);
  });
}

// --- groups ---

// The group stack changes under the tree's write lock as well as its own,
// for value and contains, which read it under the tree's read lock alone.
// The object is had alone first (a share held by this thread's own caller
// is refused there, as "Already borrowed"); neither is held while waiting
// for the other, so other threads' calls never fail for the wait: when a
// reader holds the tree, the use is given back, the tree waited for, and
// both taken again. prepare runs with the object alone but no lock held
// (it may allocate: a failure under the locks would poison them); change
// runs under the locks and must not throw.
template <class Prepare, class Change>
Expected<Ref> change_groups(EngineState& s, Prepare&& prepare, Change&& change) {
  for (;;) {
    {
      auto use = Use::exclusive(s);
      if (!use) return std::move(use).error();
      if (auto err = prepare()) return std::move(*err);
      // Reading the tree already: this thread's own caller holds it.
      if (this_thread_reads(s.tree_lock)) return Error(PyExc_RuntimeError, "Already borrowed");
      if (s.tree_lock.try_lock()) {
        WriteGuard tree(s.tree_lock, std::adopt_lock);
        WriteGuard groups(s.groups_lock);
        change();
        return none();
      }
    }
    wait_exclusive(s.tree_lock);
    s.tree_lock.unlock();
  }
}

PyObject* engine_begin_group(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                             PyObject* kwnames) noexcept {
  return py::boundary([&]() -> Expected<Ref> {
    PyObject* argv[1];
    if (auto err = bind(begin_group_sig, args, nargsf, kwnames, argv)) return std::move(*err);
    auto state = engine_of(self);
    if (!state) return std::move(state).error();
    EngineState& s = **state;
    std::string entry;
    std::vector<std::string> grown;
    auto prepare = [&]() -> std::optional<Error> {
      auto name = py::text_argument(argv[0], begin_group_sig.names[0]);
      if (!name) return std::move(name).error();
      entry = strip_group_name(*name);
      // Only a call with the object alone changes the stack, so it may be
      // read (and copied to grow it) without a lock.
      if (!entry.empty() && s.groups.size() == s.groups.capacity()) {
        grown.reserve(2 * s.groups.size() + 4);
        grown.assign(s.groups.begin(), s.groups.end());
      }
      return std::nullopt;
    };
    // An empty name enters nothing, yet takes the object alone like any other.
    return change_groups(s, prepare, [&]() noexcept {
      if (entry.empty()) return;
      if (grown.capacity() > s.groups.capacity()) s.groups.swap(grown);
      s.groups.push_back(std::move(entry));  // within capacity: cannot throw
    });
  });
}

PyObject* engine_end_group(PyObject* self, PyObject*) noexcept {
  return py::boundary([&]() -> Expected<Ref> {
    auto state = engine_of(self);
    if (!state) return std::move(state).error();
    EngineState& s = **state;
    return change_groups(s, [] { return std::optional<Error>(); }, [&]() noexcept {
      if (!s.groups.empty()) s.groups.pop_back();
    });
  });
}

PyObject* engine_group(PyObject* self, PyObject*) noexcept {
  return entry(self, [](EngineState& s) {
    std::string joined;
    {
      GroupsReadGuard guard(s.groups_lock);
      for (const auto& g : s.groups) {
        if (!joined.empty()) joined += '/';
        joined += g;
      }
    }
    return new_str(joined);
  });
}

// --- reading ---

// value and contains take no share of the object: the tree's read lock
// alone covers them, since the group stack changes only under the tree's
// write lock too. That keeps two atomic read-modify-writes off the hottest
// calls, and a reader waits for a begin_group in another thread rather
// than failing.
template <class Body>
PyObject* reading_entry(const py::Signature& sig, PyObject* self, PyObject* const* args,
                        Py_ssize_t nargsf, PyObject* kwnames, Body&& body) noexcept {
  return py::boundary([&]() -> Expected<Ref> {
    PyObject* argv[1];
    if (auto err = bind(sig, args, nargsf, kwnames, argv)) return std::move(*err);
    auto state = engine_of(self);
    if (!state) return std::move(state).error();
    auto key = py::text_argument(argv[0], sig.names[0]);
    if (!key) return std::move(key).error();
    EngineState& s = **state;
    ReadGuard tree(s.tree_lock);
    return body(s, *key);
  });
}

PyObject* engine_value(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) noexcept {
  return reading_entry(value_sig, self, args, nargsf, kwnames,
                       [](EngineState& s, std::string_view key) -> Expected<Ref> {
                         const Value* node = find_node(s.tree, s.groups, key);
                         if (!node) return none();
                         std::optional<HoldRecord> record;
                         if (node->is_object() || node->is_array()) record.emplace(&s.tree_lock);
                         auto obj = py::value_to_object(*node);
                         if (!obj) return py::conversion_error(std::move(obj).failure(), PyExc_TypeError);
                         return std::move(*obj);
                       });
}

PyObject* engine_contains(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames) noexcept {
  return reading_entry(contains_sig, self, args, nargsf, kwnames,
                       [](EngineState& s, std::string_view key) -> Expected<Ref> {
                         bool found = find_node(s.tree, s.groups, key) != nullptr;
                         return Ref::borrow(found ? Py_True : Py_False);
                       });
}

enum class Listing { keys, groups, all };

template <Listing kind>
PyObject* engine_list(PyObject* self, PyObject*) noexcept {
  return entry(self, [](EngineState& s) {
    std::vector<std::string> names;
    {
      ReadGuard tree(s.tree_lock);
      GroupsReadGuard groups(s.groups_lock);
      const Value* node = find_node(s.tree, s.groups, {});
      if constexpr (kind == Listing::all) {
        if (node) collect_keys_recursive(*node, std::string(), names);
      } else if (const Object* obj = node ? node->if_object() : nullptr) {
        for (const auto& m : *obj)
          if (m.value.is_object() == (kind == Listing::groups)) names.emplace_back(m.key);
      }
    }
    return str_list(names);
  });
}

// --- writing ---

std::vector<std::string> copy_groups(EngineState& s) {
  GroupsReadGuard guard(s.groups_lock);
  return s.groups;
}

// The thread already reading this tree would wait for itself.
std::optional<Error> refuse_reentrant_write(EngineState& s) {
  if (this_thread_reads(s.tree_lock)) return Error(PyExc_RuntimeError, reentrant_write_text);
  return std::nullopt;
}

// Under the tree's write lock: the root test, then the walk that creates
// what is missing on the parent path, then the change itself, noted for a
// save that keeps the layout under the root member it falls in.
template <class Change>
Expected<Ref> change_tree(EngineState& s, const std::vector<std::string_view>& parent, std::string_view last,
                          Change&& change) {
  if (auto err = refuse_reentrant_write(s)) return std::move(*err);
  WriteGuard guard(s.tree_lock);
  Object* root = s.tree.if_object();
  if (!root) return Error(PyExc_TypeError, "Root is not an object");
  s.driver.note_change(parent.empty() ? last : parent.front());  // noted even if the walk stops halfway
  auto target = ensure_object_path(*root, parent);
  if (!target) return failure(std::move(target).failure());
  change(**target);
  return none();
}

PyObject* engine_set_value(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                           PyObject* kwnames) noexcept {
  PyObject* argv[2];
  return keyed_entry(
      set_value_sig, self, args, nargsf, kwnames, argv,
      [&](EngineState& s, std::string_view key) -> Expected<Ref> {
        // Converting first may run the caller's code; no lock is held
        // meanwhile, only the share, recorded so that a hook calling back
        // is told at once rather than waiting for itself.
        std::optional<HoldRecord> converting;
        if (!py::plain_scalar(argv[1])) converting.emplace(&s.borrow);
        auto value = py::object_to_value(argv[1]);
        converting.reset();
        if (!value) return py::conversion_error(std::move(value).failure(), PyExc_TypeError);
        std::vector<std::string> groups = copy_groups(s);
        auto path = build_full_path(groups, key);
        if (!path) return failure(std::move(path).failure());
        if (1 + path->parent.size() + value->depth() > max_tree_depth)
          return Error(PyExc_TypeError, too_deep_text);
        return change_tree(s, path->parent, path->last, [&](Object& target) {
          target.insert_or_assign(path->last, std::move(*value));
        });
      });
}

PyObject* engine_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames) noexcept {
  PyObject* argv[1];
  return keyed_entry(remove_sig, self, args, nargsf, kwnames, argv,
                     [](EngineState& s, std::string_view key) -> Expected<Ref> {
                       std::vector<std::string> groups = copy_groups(s);
        auto path = build_full_path(groups, key);
                       if (!path) return failure(std::move(path).failure());
                       if (1 + path->parent.size() > max_tree_depth)
                         return Error(PyExc_TypeError, too_deep_text);
                       return change_tree(s, path->parent, path->last,
                                          [&](Object& target) { target.erase(path->last); });
                     });
}

PyObject* engine_clear(PyObject* self, PyObject*) noexcept {
  return entry(self, [](EngineState& s) -> Expected<Ref> {
    if (auto err = refuse_reentrant_write(s)) return std::move(*err);
    WriteGuard tree(s.tree_lock);
    GroupsReadGuard groups(s.groups_lock);
    Object* root = s.tree.if_object();
    if (!root) return Error(PyExc_TypeError, "Root is not an object");
    if (1 + s.groups.size() > max_tree_depth) return Error(PyExc_TypeError, too_deep_text);
    s.driver.note_change(s.groups.empty() ? std::nullopt : std::optional<std::string_view>(s.groups.front()));
    auto target = ensure_object_path(*root, s.groups);
    if (!target) return failure(std::move(target).failure());
    (*target)->clear();
    return none();
  });
}

// --- saving ---

PyObject* engine_sync(PyObject* self, PyObject*) noexcept {
  return entry(self, [](EngineState& s) -> Expected<Ref> {
    ReadGuard tree(s.tree_lock);
    HoldRecord record(&s.tree_lock);  // a custom write may call back
    auto saved = s.driver.save(s.path, s.tree);
    if (!saved) return std::move(saved).error();
    return none();
  });
}

template <class F>
PyCFunction cfunc(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef engine_methods[] = {
    {"begin_group", cfunc(engine_begin_group), fastcall, "begin_group($self, name)\n--\n\n"},
    {"end_group", engine_end_group, METH_NOARGS, "end_group($self)\n--\n\n"},
    {"group", engine_group, METH_NOARGS, "group($self)\n--\n\n"},
    {"contains", cfunc(engine_contains), fastcall, "contains($self, key)\n--\n\n"},
    {"value", cfunc(engine_value), fastcall, "value($self, key)\n--\n\n"},
    {"set_value", cfunc(engine_set_value), fastcall, "set_value($self, key, value)\n--\n\n"},
    {"remove", cfunc(engine_remove), fastcall, "remove($self, key)\n--\n\n"},
    {"all_keys", engine_list<Listing::all>, METH_NOARGS, "all_keys($self)\n--\n\n"},
    {"child_keys", engine_list<Listing::keys>, METH_NOARGS, "child_keys($self)\n--\n\n"},
    {"child_groups", engine_list<Listing::groups>, METH_NOARGS, "child_groups($self)\n--\n\n"},
    {"clear", engine_clear, METH_NOARGS, "clear($self)\n--\n\n"},
    {"sync", engine_sync, METH_NOARGS, "sync($self)\n--\n\n"},
    {"status", engine_status, METH_NOARGS, "status($self)\n--\n\n"},
    {"is_writable", engine_is_writable, METH_NOARGS, "is_writable($self)\n--\n\n"},
    {"file_name", engine_file_name, METH_NOARGS, "file_name($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef engine_getset[] = {
    {"path", engine_path, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot engine_slots[] = {
    {Py_tp_doc, const_cast<char*>("ZubSettingEngine(path, driver=None, *, keep_layout=False)\n--\n\n")},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(engine_traverse)},
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_methods, engine_methods},
    {Py_tp_getset, engine_getset},
    {0, nullptr},
};

PyType_Spec engine_spec = {
    "builtins.ZubSettingEngine",
    static_cast<int>(sizeof(EngineObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    engine_slots,
};

}  // namespace

PyTypeObject* engine_class() {
  // Made once per process; PyMutex detaches the thread state while another
  // thread finishes making it.
  static PyMutex mutex{};
  PyMutex_Lock(&mutex);
  if (!engine_type) {
    if (make_thread_records())
      engine_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&engine_spec));
    else
      PyErr_NoMemory();
  }
  PyTypeObject* type = engine_type;
  PyMutex_Unlock(&mutex);
  return type;
}

}  // namespace zub
