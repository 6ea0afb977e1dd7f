// libFuzzer entry for one format, chosen at build time: ZUB_FUZZ_FORMAT
// names the Format, ZUB_FUZZ_ROUNDTRIP selects load-save-load and
// ZUB_FUZZ_LAYOUT the layout editor.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto fault = ZUB_FUZZ_LAYOUT ? zub::fuzz::check_layout(zub::Format::ZUB_FUZZ_FORMAT, text)
                               : zub::fuzz::check(zub::Format::ZUB_FUZZ_FORMAT, ZUB_FUZZ_ROUNDTRIP, text);
  if (fault) {
    std::fprintf(stderr, "%s\n", fault->c_str());
    std::abort();
  }
  return 0;
}
