// Every input the fuzzers ever failed on, kept in fuzz/regressions/FORMAT/,
// goes through that format's loader and load-save-load again (and the
// layout editor, for JSON, JSON5 and YAML).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "../../fuzz/check.hpp"

namespace zub {
namespace {

TEST(FuzzRegressions, KeptInputsPass) {
  const std::pair<const char*, Format> formats[] = {
      {"json", Format::json}, {"json5", Format::json5}, {"toml", Format::toml}, {"yaml", Format::yaml}};
  std::size_t inputs = 0;
  for (const auto& [name, format] : formats) {
    const std::filesystem::path dir = std::filesystem::path(ZUB_FUZZ_REGRESSIONS_DIR) / name;
    if (!std::filesystem::exists(dir)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      std::ifstream in(entry.path(), std::ios::binary);
      std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      for (bool round_trip : {false, true}) {
        auto fault = fuzz::check(format, round_trip, text);
        EXPECT_FALSE(fault) << entry.path() << ": " << *fault;
      }
      if (format != Format::toml) {
        auto fault = fuzz::check_layout(format, text);
        EXPECT_FALSE(fault) << entry.path() << ": " << *fault;
      }
      ++inputs;
    }
  }
  EXPECT_GT(inputs, 0u);
}

// Changes the fuzzer's derived trees never make: values the writer puts in
// block scalars, next to lines such a scalar could take in. The editor may
// refuse, but what it writes must read back as the changed tree.
TEST(FuzzRegressions, YamlLayoutWritesBlockScalarsApart) {
  const struct {
    const char* text;
    const char* key;
    const char* now;
    const char* gone = "";
  } cases[] = {
      {"a: x\n  # about a\nb: 1\n", "a", "one\ntwo"},
      {"a: x # about a\nb: 1\n", "a", "one\ntwo"},
      {"a: x\nb: 1\n", "a", "one\n\n"},
      {"a: 1\n  # about a\n", "n", "one\ntwo"},
      {"a: |\n  x\nb: 1\n", "a", "one\n\n"},
      {"a: x\nb: 1\n  # about b\nc: 2\n", "a", "one\ntwo", "b"},
  };
  for (const auto& c : cases) {
    auto before = fuzz::load(Format::yaml, c.text);
    ASSERT_TRUE(before) << c.text;
    Value after = *before;
    after.as_object().insert_or_assign(c.key, Value(std::string(c.now)));
    after.as_object().erase(c.gone);
    auto edited = layout::edit_yaml(c.text, *before, after);
    if (!edited) continue;
    auto back = fuzz::load(Format::yaml, *edited);
    EXPECT_TRUE(back && *back == after) << c.text << "--- edited:\n" << *edited;
  }
}

}  // namespace
}  // namespace zub
