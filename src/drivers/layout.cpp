#include "drivers/layout.hpp"

#include "drivers/file_io.hpp"

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

struct Checked {
  std::string text;
  std::optional<Value> tree;  // what text reads as, when it was read
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
  if (*kept.baseline == tree) return Checked{*kept.text, std::nullopt};
  auto edited = editor_of(format)(*kept.text, *kept.baseline, tree);
  if (!edited) return std::nullopt;
  auto back = parse_text(format, *edited);
  if (!back || !(*back == tree)) return std::nullopt;
  return Checked{std::move(*edited), std::move(*back)};
}

}  // namespace

Result<void> save_file_keeping_layout(Format format, const std::string& path, const Value& tree,
                                      KeptLayout& kept) {
  std::lock_guard<std::mutex> hold(kept.lock);
  auto checked = edited_text(format, kept, tree);
  if (!checked) {
    if (kept.text) ++kept.fallbacks;
    auto standard = serialize(format, tree);
    if (!standard) return std::move(standard).failure();
    checked = Checked{std::move(*standard), std::nullopt};
    kept.baseline.reset();  // read from the new text when next needed
  }
  if (auto made = io::create_parent_dirs(path); !made) return made;
  if (auto saved = io::replace_file(path, checked->text); !saved) return saved;
  kept.text = std::move(checked->text);
  if (checked->tree) kept.baseline = std::move(checked->tree);
  return {};
}

}  // namespace zub
