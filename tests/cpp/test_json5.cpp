#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "drivers/formats.hpp"
#include "support.hpp"

namespace zub {
namespace {

using namespace support;

std::string utf8(char32_t cp) {
  std::string out;
  auto put = [&](unsigned v) { out += static_cast<char>(v); };
  if (cp < 0x80) {
    put(cp);
  } else if (cp < 0x800) {
    put(0xc0 | (cp >> 6));
    put(0x80 | (cp & 0x3f));
  } else if (cp < 0x10000) {
    put(0xe0 | (cp >> 12));
    put(0x80 | ((cp >> 6) & 0x3f));
    put(0x80 | (cp & 0x3f));
  } else {
    put(0xf0 | (cp >> 18));
    put(0x80 | ((cp >> 12) & 0x3f));
    put(0x80 | ((cp >> 6) & 0x3f));
    put(0x80 | (cp & 0x3f));
  }
  return out;
}

// ---------------------------------------------------------------- writing

struct LayoutCase {
  const char* name;
  Value value;
  std::string text;
};

TEST(Json5Write, Layouts) {
  const LayoutCase cases[] = {
      {"empty object", obj({}), "{}"},
      {"empty array", arr({}), "[]"},
      {"scalar root", s("x"), "\"x\""},
      {"nested",
       obj({{"b", arr({u(1), obj({}), arr({}), obj({{"x", Value()}})})}, {"a", Value(true)}}),
       "{\n  a: true,\n  b: [\n    1,\n    {},\n    [],\n    {\n      x: null,\n    },\n  ],\n}"},
      {"array of arrays", arr({arr({Value(false)}), i(-3)}), "[\n  [\n    false,\n  ],\n  -3,\n]"},
      {"uint64 max", u(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615"},
      {"int64 min", i(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
      {"float 2.0", f(2.0), "2.0"},
      {"float -0.0", f(-0.0), "-0.0"},
      {"float 0.1", f(0.1), "0.1"},
      {"float 1e21", f(1e21), "1000000000000000000000.0"},
      {"float 1.5e-7", f(1.5e-7), "0.00000015"},
      {"float 5e-324", f(5e-324), "0." + std::string(323, '0') + "5"},
      {"double quote picks single quotes", s("say \"hi\""), "'say \"hi\"'"},
      {"single quote keeps double quotes", s("it's"), "\"it's\""},
      {"both quotes", s("'\""), "\"'\\\"\""},
      {"escapes", s("a\\b\nc\rd\xe2\x80\xa8" "e\xe2\x80\xa9" "f\xe2\x80\xa7\xc3\xa9\x7f"),
       "\"a\\\\b\\nc\\rd\\u2028e\\u2029f\xe2\x80\xa7\xc3\xa9\x7f\""},
      {"control characters", s(std::string("\0\x01\b\t\v\f\x1b\x1f", 8)), "\"\\x00\\x01\\b\\t\\v\\f\\x1b\\x1f\""},
      {"NUL before a digit", s(std::string("\0" "1", 2)), "\"\\x001\""},
  };
  for (const auto& c : cases) EXPECT_EQ(json5::write(c.value), c.text) << c.name;
}

TEST(Json5Write, KeyQuoting) {
  const std::pair<std::string, std::string> cases[] = {
      {"abc", "abc"},
      {"$_a1", "$_a1"},
      {"true", "true"},
      {"\xc3\xa9t\xc3\xa9", "\xc3\xa9t\xc3\xa9"},        // été
      {"a\xe2\x80\x8c" "b", "a\xe2\x80\x8c" "b"},             // ZWNJ inside
      {"a\xd9\xa3", "a\xd9\xa3"},                          // Arabic-Indic digit after a letter
      {"x\xc2\xb7", "x\xc2\xb7"},                          // middle dot: Other_ID_Continue
      {"\xe2\x84\x98", "\xe2\x84\x98"},                    // U+2118: Other_ID_Start
      {"\xf0\x9d\x90\x80", "\xf0\x9d\x90\x80"},            // U+1D400, astral letter
      {"", "\"\""},
      {"1a", "\"1a\""},
      {"a b", "\"a b\""},
      {"a\"b", "'a\"b'"},
      {"\xe2\x80\x8c", "\"\xe2\x80\x8c\""},                // ZWNJ cannot start
      {"\xd9\xa3", "\"\xd9\xa3\""},                        // digit cannot start
      {"\xcc\x81x", "\"\xcc\x81x\""},                      // combining mark cannot start
      {"\xe2\xb8\xaf", "\"\xe2\xb8\xaf\""},                // U+2E2F: Lm but Pattern_Syntax
      {"\xc2\xa0", "\"\xc2\xa0\""},                        // no-break space
      {"a\xe2\x80\xa8", "\"a\\u2028\""},
      {std::string("a\0", 2), "\"a\\x00\""},
  };
  for (const auto& [key, written] : cases) {
    std::string text = json5::write(obj({{key, u(1)}}));
    EXPECT_EQ(text, "{\n  " + written + ": 1,\n}") << key;
    auto back = json5::parse(text);
    ASSERT_TRUE(back.ok()) << back.failure().message << "\n" << text;
    EXPECT_EQ(*back, obj({{key, u(1)}})) << text;
  }
}

// Every code point, alone and after a letter, as a key: bare or quoted, the
// key must come back unchanged. Catches a table entry yyjson would not read.
TEST(Json5Write, EveryCodePointKeyReadsBack) {
  for (char32_t block = 0; block < 0x110000; block += 0x1000) {
    std::vector<Member> members;
    for (char32_t cp = block; cp < block + 0x1000; ++cp) {
      if (cp >= 0xd800 && cp <= 0xdfff) continue;
      members.push_back(Member{utf8(cp), u(cp)});
      members.push_back(Member{"k" + utf8(cp), u(cp)});
    }
    Value tree = obj(std::move(members));
    std::string text = json5::write(tree);
    auto back = json5::parse(text);
    ASSERT_TRUE(back.ok()) << std::hex << static_cast<unsigned>(block) << ": " << back.failure().message;
    ASSERT_EQ(*back, tree) << std::hex << static_cast<unsigned>(block);
  }
}

// ---------------------------------------------------------------- reading

struct LoadCase {
  const char* name;
  std::string text;
  Value expected;
};

TEST(Json5Parse, Values) {
  const LoadCase cases[] = {
      {"later duplicate wins", "{a: 1, b: 2, a: 3}", obj({{"a", u(3)}, {"b", u(2)}})},
      {"NaN and Infinity are null", "[NaN, Infinity, -Infinity, 1e999]", arr({Value(), Value(), Value(), Value()})},
      {"beyond uint64 is a float", "18446744073709551616", f(18446744073709551616.0)},
      {"beyond int64 is a float", "-9223372036854775809", f(-9223372036854775808.0)},
      {"uint64 max", "18446744073709551615", u(std::numeric_limits<std::uint64_t>::max())},
      {"int64 min", "-9223372036854775808", i(std::numeric_limits<std::int64_t>::min())},
      {"minus zero integer", "-0", u(0)},
  };
  for (const auto& c : cases) {
    auto r = json5::parse(c.text);
    ASSERT_TRUE(r.ok()) << c.name << ": " << r.failure().message;
    EXPECT_EQ(*r, c.expected) << c.name;
  }
}

// Members are ordered before they are built: with many repeats of each key
// an unstable order would let an earlier value win.
TEST(Json5Parse, LaterDuplicateWinsInLargeObjects) {
  std::string text = "{";
  std::map<std::string, std::uint64_t> last;
  for (std::uint64_t n = 0; n < 1000; ++n) {
    std::string key(1, static_cast<char>('a' + n % 7));
    text += key + ": {v: " + std::to_string(n) + "},";
    last[key] = n;
  }
  auto r = json5::parse(text + "}");
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r->as_object().size(), last.size());
  for (const auto& m : r->as_object()) EXPECT_EQ(m.value, obj({{"v", u(last.at(std::string(m.key)))}})) << m.key;
}

TEST(Json5Parse, Errors) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "JSON5 parse error: input length is 0 at line 1 column 1"},
      {"  \n", "JSON5 parse error: input data is empty at line 1 column 1"},
      {"{\n  a: 1\n  b: 2\n}", "JSON5 parse error: unexpected character, expected ',' or '}' at line 3 column 3"},
  };
  for (const auto& [text, message] : cases) {
    auto r = json5::parse(text);
    ASSERT_FALSE(r.ok()) << text;
    EXPECT_EQ(r.failure().kind, ErrorKind::type_error);
    EXPECT_EQ(r.failure().message, message) << text;
  }
}

TEST(Json5Parse, DepthLimit) {
  auto ok = json5::parse(nested_arrays(max_parse_depth));
  ASSERT_TRUE(ok.ok()) << ok.failure().message;
  EXPECT_EQ(ok->depth(), max_parse_depth);

  const std::string too_deep[] = {
      nested_arrays(max_parse_depth + 1),
      nested_arrays(100000),
      [] {
        std::string t;
        for (int d = 0; d < 100000; ++d) t += "{a:";
        return t + "0" + std::string(100000, '}');
      }(),
  };
  for (const auto& text : too_deep) {
    auto r = json5::parse(text);
    ASSERT_FALSE(r.ok()) << text.size();
    EXPECT_EQ(r.failure().message, "JSON5 parse error: recursion limit exceeded");
  }
}

// The check that compares while reading must answer as parsing the text
// and comparing the trees would.
TEST(Json5ReadsAs, AgreesWithParsingAndComparing) {
  struct Case {
    std::string text, tree;  // the tree as another text
    bool same;
  } cases[] = {
      {"{a: 1, b: 'x'}", "{b: \"x\", a: 1}", true},
      {"{a: 1, a: 2}", "{a: 2}", true},
      {"{a: " + nested_arrays(200) + ", a: 1}", "{a: 1}", true},
      {"{a: -0.0, b: Infinity}", "{a: 0.0, b: null}", true},
      {"[0x10, +1]", "[16, 1]", true},
      {"{a: 1}", "{a: 2}", false},
      {"{a: 1}", "{a: 1.0}", false},
      {"{a: 1}", "{a: '1'}", false},
      {"{a: 1}", "{a: true}", false},
      {"{a: 1}", "{a: null}", false},
      {"{a: -1}", "{a: 18446744073709551615}", false},
      {"{a: 1, a: 2}", "{a: 1}", false},
      {"{a: 1}", "{a: 1, b: 2}", false},
      {"{a: 1, b: 2}", "{a: 1}", false},
      {"{a: 1}", "{b: 1}", false},
      {"[1, 2]", "[1, 2, 3]", false},
      {"[1, [2]]", "[1, [3]]", false},
      {"{a: {}}", "{a: []}", false},
      {nested_arrays(max_parse_depth + 1), "[]", false},
      {"{a: 1", "{a: 1}", false},
  };
  json5::ReadMemory memory;
  for (const auto& c : cases) {
    auto tree = json5::parse(c.tree);
    ASSERT_TRUE(tree.ok()) << c.tree;
    auto read = json5::parse(c.text);
    EXPECT_EQ(read.ok() && *read == *tree, c.same) << c.text << " against " << c.tree;
    EXPECT_EQ(json5::reads_as(c.text, *tree, memory), c.same) << c.text << " against " << c.tree;
  }
}

}  // namespace
}  // namespace zub
