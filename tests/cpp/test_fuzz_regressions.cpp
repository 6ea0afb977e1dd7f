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

}  // namespace
}  // namespace zub
