#include "drivers/layout.hpp"

#include <algorithm>
#include <set>
#include <vector>

#include "drivers/file_io.hpp"
#include "drivers/toml_read.hpp"

namespace zub {

namespace {

// Only for a format value outside the enumeration.
std::optional<std::string> cannot_edit(std::string_view, const Value&, const Value&) { return std::nullopt; }

layout::Editor editor_of(Format format) {
  switch (format) {
    case Format::json:
      return layout::edit_json;
    case Format::json5:
      return layout::edit_json5;
    case Format::toml:
      return layout::edit_toml;
    case Format::yaml:
      return layout::edit_yaml;
  }
  return cannot_edit;
}

// Makes `to` equal to `from`, copying only what differs: after a verified
// save the baseline becomes the saved tree at the cost of the change.
void bring_up_to(Value& to, const Value& from) {
  if (to.is_array() && from.is_array() && to.as_array().size() == from.as_array().size()) {
    Array& items = to.as_array();
    for (std::size_t i = 0; i < items.size(); ++i)
      if (!(items[i] == from.as_array()[i])) bring_up_to(items[i], from.as_array()[i]);
    return;
  }
  Object* into = to.if_object();
  const Object* source = from.if_object();
  if (!into || !source) {
    if (!(to == from)) to = from;
    return;
  }
  // Both in key order: one merge finds what went, what came and what changed.
  std::vector<std::string> gone, changed;
  std::vector<const Member*> added;
  auto a = into->begin();
  auto b = source->begin();
  while (a != into->end() || b != source->end()) {
    if (b == source->end() || (a != into->end() && a->key < b->key)) {
      gone.emplace_back(a->key.view());
      ++a;
    } else if (a == into->end() || b->key < a->key) {
      added.push_back(&*b);
      ++b;
    } else {
      if (!(a->value == b->value)) changed.emplace_back(a->key.view());
      ++a;
      ++b;
    }
  }
  for (const auto& key : changed) bring_up_to(*into->find(key), *source->find(key));
  for (const auto& key : gone) into->erase(key);
  for (const Member* m : added) into->insert_or_assign(m->key, Value(m->value));
}

// The keys of the root's members that differ between two objects (gone,
// new or changed), in key order: one walk serves both the unchanged test
// and bringing the baseline up after the save, which would otherwise each
// compare the whole tree again.
std::vector<std::string> changed_members(const Object& was, const Object& now) {
  std::vector<std::string> keys;
  auto a = was.begin();
  auto b = now.begin();
  while (a != was.end() || b != now.end()) {
    if (b == now.end() || (a != was.end() && a->key < b->key)) {
      keys.emplace_back(a->key.view());
      ++a;
    } else if (a == was.end() || b->key < a->key) {
      keys.emplace_back(b->key.view());
      ++b;
    } else {
      if (!(a->value == b->value)) keys.emplace_back(a->key.view());
      ++a;
      ++b;
    }
  }
  return keys;
}

// changed_members for the members known to be the only ones touched.
std::vector<std::string> touched_members(const Object& was, const Object& now,
                                         const std::set<std::string, std::less<>>& touched) {
  std::vector<std::string> keys;
  for (const auto& key : touched) {  // in key order, as changed_members gives them
    const Value* a = was.find(key);
    const Value* b = now.find(key);
    if (!a != !b || (a && !(*a == *b))) keys.push_back(key);
  }
  return keys;
}

// bring_up_to for two objects whose differing members are known.
void bring_members_up_to(Object& to, const Object& from, const std::vector<std::string>& keys) {
  for (const auto& key : keys) {
    const Value* source = from.find(key);
    if (!source) {
      to.erase(key);
    } else if (Value* into = to.find(key)) {
      bring_up_to(*into, *source);
    } else {
      to.insert_or_assign(key, Value(*source));
    }
  }
}

struct Checked {
  std::string text;
  bool changed = false;  // whether text differs from the kept one
  // With both roots objects, the keys of the root's members that changed.
  std::optional<std::vector<std::string>> changed_keys;
};

// The edited text, if it reads back as the tree with the format's own reader.
std::optional<Checked> edited_text(Format format, KeptLayout& kept, const Value& tree) {
  if (!kept.text) return std::nullopt;
  if (!kept.baseline) {
    auto loaded = parse_text(format, *kept.text);
    if (!loaded) return std::nullopt;
    kept.baseline = std::move(*loaded);
  }
  // Unchanged: the kept text is what gave this very tree.
  std::optional<std::vector<std::string>> changed;
  if (kept.baseline->is_object() && tree.is_object())
    changed = kept.touched ? touched_members(kept.baseline->as_object(), tree.as_object(), *kept.touched)
                           : changed_members(kept.baseline->as_object(), tree.as_object());
  if (changed ? changed->empty() : *kept.baseline == tree) return Checked{*kept.text, false, std::nullopt};
  std::optional<std::string> edited;
  if (format == Format::yaml) {
    edited = layout::edit_yaml_with_marks(*kept.text, *kept.baseline, tree, kept.yaml_marks,
                                          changed ? &*changed : nullptr);
  } else if (changed) {
    // Already sorted (changed_members merges two objects in key order), as
    // the editors' binary searches need.
    edited = format == Format::json    ? layout::edit_json_members(*kept.text, *kept.baseline, tree, *changed, kept.json_keys)
             : format == Format::json5 ? layout::edit_json5_members(*kept.text, *kept.baseline, tree, *changed)
                                       : layout::edit_toml_members(*kept.text, *kept.baseline, tree, *changed,
                                                                   &kept.toml_sections);
  } else {
    edited = editor_of(format)(*kept.text, *kept.baseline, tree);
  }
  if (!edited) return std::nullopt;
  if (!layout::reads_as(format, *edited, tree, kept)) return std::nullopt;
  return Checked{std::move(*edited), true, std::move(changed)};
}

}  // namespace

void note_touched(KeptLayout& kept, std::optional<std::string_view> root_key) {
  // Past this many, comparing every member is as cheap as keeping the list.
  constexpr std::size_t most_listed = 256;
  if (!kept.touched || (root_key && kept.touched->contains(*root_key))) return;
  if (!root_key || kept.touched->size() >= most_listed) {
    kept.touched.reset();
    return;
  }
  kept.touched->emplace(*root_key);
}

// The readers that can compare while they read build no tree for it.
bool layout::reads_as(Format format, const std::string& text, const Value& tree, KeptLayout& kept) {
  switch (format) {
    case Format::json5:
      return json5::reads_as(text, tree, kept.json5_memory);
    case Format::toml:
      return toml::reads_as(text, tree, &kept.toml_checked, &kept.toml_memory);
    case Format::json: {
      auto same = json::matches(text, tree, kept.json_checked);
      return same && *same;
    }
    case Format::yaml:
      return yaml::reads_as(text, tree, &kept.yaml_checked);
    default: {
      auto back = parse_text(format, text);
      return back && *back == tree;
    }
  }
}

Result<void> save_file_keeping_layout(Format format, const std::string& path, const Value& tree,
                                      KeptLayout& kept) {
  std::lock_guard<std::mutex> hold(kept.lock);
  auto checked = edited_text(format, kept, tree);
  if (!checked) {
    if (kept.text) ++kept.fallbacks;
    auto standard = serialize(format, tree);
    if (!standard) return std::move(standard).failure();
    checked = Checked{std::move(*standard), false, std::nullopt};
    kept.baseline.reset();  // read from the new text when next needed
    kept.yaml_marks.clear();
    kept.json_keys.clear();
    kept.toml_sections.clear();
  }
  // Missing directories are made as a plain save makes them: only once the
  // save finds them missing, so that a save into an existing one does not
  // pay for the look.
  auto saved = io::replace_file(path, checked->text, io::TempFile::unnamed_where_possible, io::MissingDirs::create);
  if (!saved) return saved;
  kept.text = std::move(checked->text);
  kept.touched.emplace();  // the text now holds every change
  if (checked->changed) {  // the check read the new text
    std::swap(kept.yaml_marks, kept.yaml_checked);
    std::swap(kept.json_keys, kept.json_checked);
    std::swap(kept.toml_sections, kept.toml_checked);
  }
  if (checked->changed && checked->changed_keys)
    bring_members_up_to(kept.baseline->as_object(), tree.as_object(), *checked->changed_keys);
  else if (checked->changed)
    bring_up_to(*kept.baseline, tree);
  return {};
}

}  // namespace zub
