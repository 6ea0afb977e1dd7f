// The storage driver of one engine: a file format, memory, or the caller's
// object with read and write methods.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "binding/error.hpp"
#include "binding/pyref.hpp"
#include "core/value.hpp"
#include "drivers/formats.hpp"
#include "drivers/layout.hpp"

namespace zub {

class Drivers {
 public:
  enum class Kind { Json, Json5, Toml, Yaml, Memory, Custom };

  static Drivers json() { return Drivers(Kind::Json); }
  // Chooses a driver from the constructor's driver argument (a name, or an
  // object with read and write). Takes over the reference.
  static py::Expected<Drivers> from_args(py::Ref driver);

  Kind kind() const noexcept { return kind_; }
  // The caller's object of a Custom driver (for the garbage collector), else null.
  PyObject* custom_object() const noexcept { return custom_.get(); }

  // Saves that keep the file's layout. Only the file formats have a text
  // to keep: memory and custom drivers accept the request and save as
  // always.
  void keep_layout();
  // A change to the tree under the root member `root_key` (anywhere when
  // none), which the next save that keeps the layout compares; called
  // under the tree's write lock.
  void note_change(std::optional<std::string_view> root_key) const {
    if (layout_) note_touched(*layout_, root_key);
  }
  // Saves the safety net wrote in the standard layout (0 when not keeping).
  std::uint64_t layout_fallbacks() const;

  // Called once, while the engine is being made (after keep_layout).
  py::Expected<Value> load(const std::string& path) const;
  // The whole tree, through the format or the custom object's write.
  py::Expected<py::Unit> save(const std::string& path, const Value& tree) const;

 private:
  explicit Drivers(Kind kind, py::Ref custom = {}) : kind_(kind), custom_(std::move(custom)) {}
  Format format() const noexcept;

  Kind kind_;
  py::Ref custom_;  // only for Custom
  std::unique_ptr<KeptLayout> layout_;  // only when keeping the layout
};

}  // namespace zub
