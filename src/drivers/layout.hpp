// Saving that keeps the file's own layout: comments, order, spacing. The
// engine keeps the text as loaded and the tree it gave; a save edits that
// text where the trees differ, and writes the standard layout whenever the
// edited text would not read back as the tree.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.hpp"
#include "core/value.hpp"
#include "drivers/formats.hpp"
#include "drivers/toml_read.hpp"
#include "drivers/yaml_marks.hpp"

namespace zub {

// The tree the text reads as is not copied at load (but for YAML, slow to
// read again): the first sync that needs it reads the kept text again, and
// every verified save hands over the tree its check read.
struct KeptLayout {
  std::mutex lock;  // two syncs of one engine may run at once
  std::optional<std::string> text;  // none when the file did not exist
  std::optional<Value> baseline;     // what text reads as, once known
  std::uint64_t fallbacks = 0;       // saves written in the standard layout instead
  json5::ReadMemory json5_memory;    // the check's, kept from sync to sync
  yaml::Marks yaml_marks;            // where text's nodes lie, once located
  yaml::Marks yaml_checked;          // recorded by the last check, for the text it read
  // Where the JSON root's keys lie in text, in text order (empty until a
  // check recorded them), and those the last check recorded for its text.
  std::vector<json::KeyAt> json_keys;
  std::vector<json::KeyAt> json_checked;
  toml::Sections toml_sections;      // where text's headers lie, once located
  toml::Sections toml_checked;       // recorded by the last check, for the text it read
  toml::ReadMemory toml_memory;      // the check's tables, kept from sync to sync
  // The root's members changed since text was saved or loaded, so that a
  // sync compares only those with the baseline; none when unknown (the root
  // itself changed, or too many to list), and every member is compared.
  // The engine's tree lock orders notes and saves.
  std::optional<std::set<std::string, std::less<>>> touched{std::in_place};
};

// Notes a change under the root member `root_key`, or anywhere when none.
void note_touched(KeptLayout& kept, std::optional<std::string_view> root_key);

namespace layout {

// A format's editor: the text as loaded, the tree it reads as, and the tree
// to save; gives the edited text, or nothing when it cannot edit this
// document (the caller then writes the standard layout).
using Editor = std::optional<std::string> (*)(std::string_view text, const Value& before,
                                             const Value& after);

std::optional<std::string> edit_json(std::string_view text, const Value& before, const Value& after);
std::optional<std::string> edit_json5(std::string_view text, const Value& before, const Value& after);
std::optional<std::string> edit_toml(std::string_view text, const Value& before, const Value& after);
std::optional<std::string> edit_yaml(std::string_view text, const Value& before, const Value& after);
// The same with text's marks, located first if they are not complete, and
// the keys of the root's members that differ, if known (sorted).
std::optional<std::string> edit_yaml_with_marks(std::string_view text, const Value& before, const Value& after,
                                     yaml::Marks& marks, const std::vector<std::string>* changed = nullptr);

// The same, for object roots whose differing members are known (their keys,
// sorted): the editor does not compare the trees again to find them.
std::optional<std::string> edit_json_members(std::string_view text, const Value& before, const Value& after,
                                             const std::vector<std::string>& changed);
// For JSON with the root's keys located (by the check that read text): a
// root member that changed is found from its key, without scanning up to it.
std::optional<std::string> edit_json_members(std::string_view text, const Value& before, const Value& after,
                                             const std::vector<std::string>& changed,
                                             const std::vector<json::KeyAt>& root_keys);
std::optional<std::string> edit_json5_members(std::string_view text, const Value& before, const Value& after,
                                              const std::vector<std::string>& changed);
// sections: where text's headers lie, if known.
std::optional<std::string> edit_toml_members(std::string_view text, const Value& before, const Value& after,
                                             const std::vector<std::string>& changed,
                                             const toml::Sections* sections = nullptr);

// The safety net: whether text reads as tree with the format's own reader
// (kept: memory the reader may keep for the next time).
bool reads_as(Format format, const std::string& text, const Value& tree, KeptLayout& kept);

}  // namespace layout

// sync() for an engine that keeps the layout: same file handling as
// save_file; on success the saved text and tree become the kept ones.
Result<void> save_file_keeping_layout(Format format, const std::string& path, const Value& tree,
                                      KeptLayout& kept);

}  // namespace zub
