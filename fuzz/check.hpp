// One fuzz input through one format: a loader may reject any input but must
// never crash; with round_trip, what loads must save and what is saved must
// load back equal. Shared by the libFuzzer targets and the replay of the
// kept inputs in the unit tests.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "drivers/file_io.hpp"
#include "drivers/formats.hpp"
#include "drivers/layout.hpp"

namespace zub::fuzz {

// As load_file hands over a file: JSON and YAML read from a descriptor,
// JSON5 and TOML get the text once it has passed the UTF-8 check.
inline Result<Value> load(Format format, std::string_view text) {
  if (format == Format::json5 || format == Format::toml) {
    if (!io::is_valid_utf8(text)) return type_failure("not UTF-8");
    return format == Format::toml ? toml::parse(text) : json5::parse(text);
  }
  io::UniqueFd fd(::memfd_create("zub-fuzz", 0));
  if (!fd) std::abort();
  for (std::size_t done = 0; done < text.size();) {
    ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
    if (n <= 0) std::abort();
    done += static_cast<std::size_t>(n);
  }
  if (::lseek(fd.get(), 0, SEEK_SET) != 0) std::abort();
  return format == Format::json ? json::read(fd.get()) : yaml::read(fd.get());
}

inline bool holds_null(const Value& v) {
  if (v.is_null()) return true;
  if (const Object* o = v.if_object()) {
    for (const auto& m : *o)
      if (holds_null(m.value)) return true;
  } else if (v.is_array()) {
    for (const auto& item : v.as_array())
      if (holds_null(item)) return true;
  }
  return false;
}

// The fault found, if any.
inline std::optional<std::string> check(Format format, bool round_trip, std::string_view text) {
  auto first = load(format, text);
  if (!first || !round_trip) return std::nullopt;
  auto saved = serialize(format, *first);
  // TOML has no null, and a non-finite float loads as null.
  if (!saved && format == Format::toml && holds_null(*first)) return std::nullopt;
  if (!saved) return "a loaded tree does not save: " + saved.failure().message;
  auto second = load(format, *saved);
  if (!second) return "saved text does not load: " + second.failure().message + "\n--- saved:\n" + *saved;
  if (!(*first == *second)) return "saved text loads back different:\n" + *saved;
  return std::nullopt;
}

// A change derived from the tree itself: every third member removed, every
// other scalar replaced by a string, a member added to every other object.
inline Value changed(const Value& v, std::uint64_t& n) {
  if (const Object* o = v.if_object()) {
    Object out;
    std::size_t i = 0;
    for (const auto& m : *o)
      if (i++ % 3 != 1) out.insert_or_assign(m.key, changed(m.value, n));
    if (n++ % 2) out.insert_or_assign("new " + std::to_string(n), Value(std::uint64_t{n}));
    return Value(std::move(out));
  }
  if (v.is_array() || n++ % 2) return v;
  return Value("s" + std::to_string(n));
}

// The layout editor may refuse a change but never produce text that reads
// back as anything other than the changed tree.
inline std::optional<std::string> check_layout(Format format, std::string_view text) {
  auto first = load(format, text);
  if (!first) return std::nullopt;
  std::uint64_t n = 0;
  Value after = changed(*first, n);
  // The safety net answers as loading and comparing would.
  KeptLayout kept;
  const std::string whole(text);
  if (!layout::reads_as(format, whole, *first, kept)) return "the check finds the text differs from what it loads as";
  const yaml::Marks recorded = kept.yaml_checked;  // what the YAML check saw, for the next edit
  if (layout::reads_as(format, whole, after, kept) != (after == *first))
    return "the check finds the text reads as a tree it does not load as";
  auto edit = format == Format::json ? layout::edit_json : format == Format::toml ? layout::edit_toml
              : format == Format::yaml ? layout::edit_yaml : layout::edit_json5;
  auto edited = edit(text, *first, after);
  if (format == Format::yaml && recorded.complete) {
    yaml::Marks marks = recorded;
    if (layout::edit_yaml_with_marks(text, *first, after, marks) != edited)
      return "the marks the check recorded edit differently from located ones";
    if (first->is_object() && after.is_object()) {
      std::vector<std::string> keys;  // the root's members that differ, as a sync knows them
      for (const auto& m : first->as_object())
        if (const Value* now = after.as_object().find(m.key.view()); !now || !(*now == m.value))
          keys.emplace_back(m.key.view());
      for (const auto& m : after.as_object())
        if (!first->as_object().find(m.key.view())) keys.emplace_back(m.key.view());
      std::sort(keys.begin(), keys.end());
      if (layout::edit_yaml_with_marks(text, *first, after, marks, &keys) != edited)
        return "the changed keys given edit differently from compared ones";
    }
  }
  if (!edited) return std::nullopt;
  auto back = load(format, *edited);
  if (!back) return "edited text does not load: " + back.failure().message + "\n--- edited:\n" + *edited;
  if (!(*back == after)) return "edited text loads back different:\n" + *edited;
  if (!layout::reads_as(format, *edited, after, kept)) return "the check refuses an edit that loads back right";
  return std::nullopt;
}

}  // namespace zub::fuzz
