// Where a keep_layout sync spends its time: each step of
// save_file_keeping_layout timed alone (best of N, which a busy machine
// disturbs least), next to the plain save it is compared with.
//
//   ./dev build, then
//   ./dev raw g++ -std=c++20 -O2 -Isrc benchmarks/layout_phases.cpp build/libzub_core.a build/libzub_json.a
//       build/libzub_toml.a build/libzub_yaml.a build/libzub_value.a -lfyaml -lyyjson -o build/layout_phases
//   ./dev raw build/layout_phases FORMAT FILE KEY/PATH [N]
//
// FILE is any document whose KEY/PATH names a member of an object (the
// layout workload's documents come from benchmarks/docgen.py).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "drivers/file_io.hpp"
#include "drivers/formats.hpp"
#include "drivers/layout.hpp"

using namespace zub;

namespace {

double best_of(int n, const std::function<void()>& step) {
  double best = 1e300;
  for (int i = 0; i < n; ++i) {
    auto start = std::chrono::steady_clock::now();
    step();
    best = std::min(best, std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s json|json5|toml|yaml FILE KEY/PATH [N]\n", argv[0]);
    return 2;
  }
  const std::string name = argv[1];
  const Format format = name == "json" ? Format::json : name == "json5" ? Format::json5
                        : name == "toml" ? Format::toml : Format::yaml;
  const layout::Editor edit = format == Format::json ? layout::edit_json : format == Format::json5 ? layout::edit_json5
                              : format == Format::toml ? layout::edit_toml : layout::edit_yaml;
  const int n = argc > 4 ? std::atoi(argv[4]) : 30;
  std::ifstream in(argv[2], std::ios::binary);
  std::stringstream read;
  read << in.rdbuf();
  const std::string text = read.str();
  auto before = parse_text(format, text);
  if (!before) {
    std::fprintf(stderr, "%s does not read as %s\n", argv[2], name.c_str());
    return 1;
  }
  std::vector<std::string> parts;
  std::stringstream path(argv[3]);
  for (std::string part; std::getline(path, part, '/');) parts.push_back(part);
  Value after = *before;
  Value* parent = &after;
  for (std::size_t i = 0; i + 1 < parts.size() && parent; ++i)
    parent = parent->is_object() ? parent->as_object().find(parts[i]) : nullptr;
  if (!parent || !parent->is_object()) {
    std::fprintf(stderr, "no object holds %s\n", argv[3]);
    return 1;
  }
  parent->as_object().insert_or_assign(parts.back(), Value(std::uint64_t{12345}));

  const std::string out = "/dev/shm/zub-layout-phases.out";
  std::optional<std::string> edited;
  const double t_parse = best_of(n, [&] { auto v = parse_text(format, text); });
  const double t_equal = best_of(n, [&] { volatile bool same = *before == after; (void)same; });
  const double t_copy = best_of(n, [&] { Value copy = after; });
  const double t_edit = best_of(n, [&] { edited = edit(text, *before, after); });
  if (!edited) {
    std::fprintf(stderr, "the editor refused this change\n");
    return 1;
  }
  KeptLayout scratch;
  const double t_check = best_of(n, [&] {
    volatile bool same = layout::reads_as(format, *edited, after, scratch);
    (void)same;
  });
  const double t_write = best_of(n, [&] { auto saved = io::replace_file(out, *edited); });
  const double t_plain = best_of(n, [&] { auto saved = save_file(format, out, after); });
  KeptLayout kept;
  kept.text = text;
  kept.baseline = *before;
  std::uint64_t counter = 0;
  const double t_sync = best_of(n, [&] {
    parent->as_object().insert_or_assign(parts.back(), Value(++counter));
    note_touched(kept, parts.front());  // as the engine's set_value does
    auto saved = save_file_keeping_layout(format, out, after, kept);
  });
  std::remove(out.c_str());
  std::printf("%s %zu bytes (µs, best of %d): parse %.0f  equal %.0f  copy %.0f  edit %.0f  check %.0f  write %.0f"
              "  | plain save %.0f  keep_layout sync %.0f (%.2fx)  fallbacks %llu\n",
              name.c_str(), text.size(), n, t_parse, t_equal, t_copy, t_edit, t_check, t_write, t_plain, t_sync,
              t_sync / t_plain, static_cast<unsigned long long>(kept.fallbacks));
}
