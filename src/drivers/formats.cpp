#include "drivers/formats.hpp"

#include "drivers/file_io.hpp"

namespace zub {

Result<Value> load_file(Format format, const std::string& path) {
  auto opened = io::open_config(path);
  if (!opened) return std::move(opened).failure();
  if (!opened->has_value()) return Value(Object{});
  io::UniqueFd fd = std::move(**opened);
  switch (format) {
    case Format::json:
      return json::read(fd.get());
    case Format::yaml:
      return yaml::read(fd.get());
    case Format::json5:
    case Format::toml: {
      // These parsers take the whole text; the open above only served the
      // not-found test.
      fd = io::UniqueFd();
      auto text = io::read_text_file(path);
      if (!text) return std::move(text).failure();
      return format == Format::toml ? toml::parse(*text) : json5::parse(*text);
    }
  }
  return Value(Object{});
}

Result<Value> parse_text(Format format, const std::string& text) {
  switch (format) {
    case Format::json:
      return json::parse(text);
    case Format::json5:
      return json5::parse(text);
    case Format::toml:
      return toml::parse(text);
    case Format::yaml:
      return yaml::parse(text);
  }
  return Value(Object{});
}

Result<KeptFile> load_file_keeping_text(Format format, const std::string& path, yaml::Marks* marks) {
  auto opened = io::open_config(path);
  if (!opened) return std::move(opened).failure();
  if (!opened->has_value()) return KeptFile{Value(Object{}), std::nullopt};
  auto text = (format == Format::json5 || format == Format::toml) ? io::read_text_file(path)
                                                                    : io::read_all((*opened)->get());
  if (!text) return std::move(text).failure();
  auto tree = format == Format::yaml ? yaml::parse(*text, marks) : parse_text(format, *text);
  if (!tree) return std::move(tree).failure();
  return KeptFile{std::move(*tree), std::move(*text)};
}

Result<std::string> serialize(Format format, const Value& root) {
  switch (format) {
    case Format::json:
      return json::write(root);
    case Format::json5:
      return json5::write(root);
    case Format::toml:
      return toml::write(root);
    case Format::yaml:
      return yaml::write(root);
  }
  return std::string();
}

Result<void> save_file(Format format, const std::string& path, const Value& root) {
  constexpr auto temp = io::TempFile::unnamed_where_possible;
  constexpr auto dirs = io::MissingDirs::create;
  switch (format) {
    case Format::json:
      return io::replace_file(path, [&root](io::TextSink& sink) -> Result<void> {
        json::write(root, sink);
        return {};
      }, temp, dirs);
    case Format::json5:
      return io::replace_file(path, [&root](io::TextSink& sink) -> Result<void> {
        json5::write(root, sink);
        return {};
      }, temp, dirs);
    case Format::toml:
      return io::replace_file(path, [&root](io::TextSink& sink) { return toml::write(root, sink); }, temp, dirs);
    case Format::yaml:
      return io::replace_file(path, [&root](io::TextSink& sink) -> Result<void> {
        auto text = yaml::write(root);
        if (!text) return std::move(text).failure();
        sink.put(*text);
        return {};
      }, temp, dirs);
  }
  return {};
}

}  // namespace zub
