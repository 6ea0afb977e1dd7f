#include <gtest/gtest.h>
#include <yyjson.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "drivers/file_io.hpp"
#include "drivers/formats.hpp"
#include "drivers/toml_common.hpp"

using namespace zub;

namespace {

constexpr std::string_view dt_key = "$__toml_private_datetime";

Value obj(std::vector<Member> m) { return Value(Object::from_unsorted(std::move(m))); }
Value str(const char* s) { return Value(std::string(s)); }
Value num(std::int64_t i) { return Value::from_int(i); }
Value date(const char* text) { return obj({{std::string(dt_key), str(text)}}); }

std::string must_write(const Value& v) {
  auto r = toml::write(v);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.failure().message);
  return r.ok() ? r.value() : std::string();
}

Value must_parse(std::string_view text) {
  auto r = toml::parse(text);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.failure().message) << "\n" << text;
  return r.ok() ? r.value() : Value();
}

std::string parse_error(std::string_view text) {
  auto r = toml::parse(text);
  EXPECT_FALSE(r.ok()) << text.substr(0, 200);
  if (r.ok()) return {};
  EXPECT_EQ(r.failure().kind, ErrorKind::type_error);
  EXPECT_EQ(r.failure().message.rfind("TOML parse error: ", 0), 0u) << r.failure().message;
  return r.failure().message;
}

// ---------------------------------------------------------------- reading

TEST(TomlParse, MapsEveryKind) {
  const Value v = must_parse(R"(
i = 42
n = -7
big = 9223372036854775807
f = 2.5
inf = inf
nan = -nan
s = "a\tb"
b = true
a = [1, "x", [false]]
odt = 1979-05-27T07:32:00-08:00
ldt = 1979-05-27T07:32:00.999
ld = 1979-05-27
lt = 07:32:00
[t.u]
k = 'lit'
)");
  const Value expected = obj({
      {"i", num(42)},
      {"n", num(-7)},
      {"big", Value(std::uint64_t{9223372036854775807})},
      {"f", Value::from_double(2.5)},
      {"inf", Value()},
      {"nan", Value()},
      {"s", str("a\tb")},
      {"b", Value(true)},
      {"a", Value(Array{num(1), str("x"), Value(Array{Value(false)})})},
      {"odt", date("1979-05-27T07:32:00-08:00")},
      {"ldt", date("1979-05-27T07:32:00.999")},
      {"ld", date("1979-05-27")},
      {"lt", date("07:32:00")},
      {"t", obj({{"u", obj({{"k", str("lit")}})}})},
  });
  EXPECT_EQ(v, expected);
  EXPECT_EQ(v.as_object().find("n")->kind(), Value::Kind::sint);
  EXPECT_EQ(v.as_object().find("i")->kind(), Value::Kind::uint);
}

// The quick reader must read what it accepts exactly as toml11 does, and
// leave everything else, valid or not, to toml11.
struct QuickCase {
  const char* text;
  bool quick;  // expected to stay on the quick path
};

class TomlQuickPath : public testing::TestWithParam<QuickCase> {};

TEST_P(TomlQuickPath, AgreesWithToml11) {
  const std::string_view text = GetParam().text;
  const auto quick = toml::parse_common(text);
  auto full = toml::parse_with_toml11(text);
  EXPECT_EQ(quick.has_value(), GetParam().quick) << text;
  if (quick) {
    ASSERT_TRUE(full.ok()) << full.failure().message << "\n" << text;
    EXPECT_EQ(*quick, full.value()) << text;
  }
  auto both = toml::parse(text);
  ASSERT_EQ(both.ok(), full.ok()) << text;
  if (both.ok())
    EXPECT_EQ(both.value(), full.value()) << text;
  else
    EXPECT_EQ(both.failure().message, full.failure().message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TomlQuickPath,
    testing::Values(
        // What settings files are made of, and what our writer and tomli_w write.
        QuickCase{"title = \"x\" # c\r\n\n[server]\nhost = 'a\\b'\nport = 8080\n"
                  "[server.tls]\nciphers = [\n    \"a\",\n    \"b\", # two\n]\n"
                  "[[server.mounts]]\nname = \"m1\"\nweight = 0.5\n[[server.mounts]]\nname = \"m2\"\n"
                  "[server.mounts.opts]\nro = true\n",
                  true},
        QuickCase{"[ a . \"b c\" . 'd' ]\nk = 1\n[a]\nz = false\n", true},
        QuickCase{"[a.b]\n[a]\n[a.b.c]\n", true},
        QuickCase{"s = \"\\u00e9\\U0001F600\\t\\\"\\\\\\b\\f\\n\\r\"\nl = 'C:\\path'\nu = \"Zürich\"\n"
                  "e = \"\"\n\"quoted key\" = 1\n'' = 2\n",
                  true},
        QuickCase{"i = [+1, -0, 1_000, 9223372036854775807, -9223372036854775808]\n"
                  "f = [1.5, -0.0, 1e3, 6.626e-34, 1_0.0_1, 1E+2, 3.0e-0_1]\n",
                  true},
        QuickCase{"a = [[1, 2], [], {}, { x = 1, y = [true] }, \"s\"]\nt = {}\n", true},
        // Valid, but left to toml11.
        QuickCase{"d = 1979-05-27\n", false},
        QuickCase{"t = 07:32:00\n", false},
        QuickCase{"m = \"\"\"\nx\"\"\"\n", false},
        QuickCase{"m = '''x'''\n", false},
        QuickCase{"a.b = 1\n", false},
        QuickCase{"h = 0xff\n", false},
        QuickCase{"f = inf\n", false},
        QuickCase{"f = -nan\n", false},
        QuickCase{"t = { a = 1, }\n", false},
        QuickCase{"t = {\n a = 1 }\n", false},
        QuickCase{"e = \"\\e\"\n", false},
        QuickCase{"\xEF\xBB\xBFk = 1\n", false},
        // Invalid: toml11's error stands.
        QuickCase{"a = 1\na = 2\n", false},
        QuickCase{"\"a\" = 1\na = 2\n", false},
        QuickCase{"[t]\n[t]\n", false},
        QuickCase{"[t.u]\n[t]\nu = 1\n", false},
        QuickCase{"[[t]]\n[t]\n", false},
        QuickCase{"[t]\n[[t]]\n", false},
        QuickCase{"t = [1]\n[[t]]\n", false},
        QuickCase{"t = {a = 1}\n[t.b]\n", false},
        QuickCase{"t = 1\n[t.u]\n", false},
        QuickCase{"x = 01\n", false},
        QuickCase{"x = 1__0\n", false},
        QuickCase{"x = 1_\n", false},
        QuickCase{"x = 1.\n", false},
        QuickCase{"x = .5\n", false},
        QuickCase{"x = 9223372036854775808\n", false},
        QuickCase{"x = 1e400\n", false},
        QuickCase{"x = \"a\x01\"\n", false},
        QuickCase{"x = 'a\x7f'\n", false},
        QuickCase{"x = 1\r\ny = 2\r", false},
        QuickCase{"x = \"\\uD800\"\n", false},
        QuickCase{"x = \"\\q\"\n", false},
        QuickCase{"x = \n", false},
        QuickCase{"x = 1 2\n", false},
        QuickCase{"x = [1 2]\n", false},
        QuickCase{"x = {a = 1, a = 2}\n", false},
        QuickCase{"[]\n", false},
        QuickCase{"[[a] ]\n", false},
        QuickCase{"x = tru\n", false},
        QuickCase{"x = 1 # \x01\n", false},
        QuickCase{"x = \"\xff\"\n", false}));

TEST(TomlParse, EmptyTextIsEmptyObject) {
  EXPECT_EQ(must_parse(""), Value(Object{}));
  EXPECT_EQ(must_parse("# only a comment\n\n"), Value(Object{}));
}

struct BadCase {
  const char* text;
  const char* fragment;  // expected somewhere in the message
};

class TomlParseErrors : public testing::TestWithParam<BadCase> {};

TEST_P(TomlParseErrors, FailWithToml11Message) {
  const std::string msg = parse_error(GetParam().text);
  EXPECT_NE(msg.find(GetParam().fragment), std::string::npos) << msg;
  EXPECT_EQ(msg.find('\x1b'), std::string::npos) << msg;
}

INSTANTIATE_TEST_SUITE_P(Cases, TomlParseErrors,
                         testing::Values(BadCase{"a = 1\na = 2\n", "value already exists at line 2 column 1"},
                                         BadCase{"a = \n", "at line 1 column 5"},
                                         BadCase{"x = 1\ny = [1, 2\n", "missing closing bracket"},
                                         BadCase{"[t]\n[t]\n", "line 2"},
                                         BadCase{"k = \"unterminated\n", "line 1 column 18"},
                                         BadCase{"a = 1 # \x7f\n", "control characters are not allowed in comments at line 1 column 9"},
                                         BadCase{"# \x01\n", "line 1 column 3"},
                                         // TOML 1.1 kept bare keys ASCII, unlike its drafts
                                         BadCase{"\xce\xbc = 1\n", "invalid key"},
                                         BadCase{"\xef\xbb\xbf\xef\xbb\xbf" "a = 1\n", "line 1 column 4"},
                                         BadCase{"d = 1985-06-18 17:04:07+12:60\n", "time offset out of range"},
                                         BadCase{"d = 1985-06-18 17:04:07-24:00\n", "at line 1 column 5"},
                                         // The recovery after an error once looped in the comment.
                                         BadCase{"a = [{ k = 1 [ #\n", "at line 1"},
                                         BadCase{"a = { b = [{ k = 1 [{ k = 1 #}]\n", "at line 1"}));

TEST(TomlParse, NoHintThatNonAsciiKeysAreTomlOnePointOne) {
  EXPECT_EQ(parse_error("\xce\xbc = 1\n").find("non-ASCII"), std::string::npos);
}

std::string repeat(std::string_view s, std::size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

TEST(TomlParse, HugeNestingFailsCleanly) {
  const std::size_t n = 100000;
  const std::vector<std::string> docs = {
      "a = " + repeat("[", n),
      "a = " + repeat("[", n) + repeat("]", n) + "\n",
      "a = " + repeat("{b=", n) + "1" + repeat("}", n) + "\n",
      repeat("a.", n) + "a = 1\n",
      "[" + repeat("a.", n) + "a]\n",
      "[[" + repeat("a.", n) + "a]]\n",
      "x = {" + repeat("a.", n) + "a = 1}\n",
      // An invalid line in front must not let the rest go unchecked.
      "k = \"\x01\"\nb = [" + repeat("[", n) + "\n",
      "a = [1, oops " + repeat("[", n) + "\n",
  };
  for (const auto& doc : docs) {
    const std::string msg = parse_error(doc);
    EXPECT_NE(msg.find("nesting beyond 128 levels"), std::string::npos) << msg.substr(0, 300);
  }
}

TEST(TomlParse, DepthLimitIsExact) {
  // The root is level 1: 127 nested arrays fit, 128 do not.
  const Value v = must_parse("a = " + repeat("[", 127) + repeat("]", 127) + "\n");
  EXPECT_EQ(v.depth(), 128u);
  parse_error("a = " + repeat("[", 128) + repeat("]", 128) + "\n");
  EXPECT_EQ(must_parse(repeat("a.", 126) + "a = 1\n").depth(), 127u);
  parse_error(repeat("a.", 128) + "a = 1\n");
  EXPECT_EQ(must_parse("[" + repeat("a.", 126) + "a]\n").depth(), 128u);
  parse_error("[" + repeat("a.", 127) + "a]\n");
}

TEST(TomlParse, BracketsInsideStringsAndCommentsDoNotCount) {
  const std::string brackets = repeat("[", 400);
  const std::string text = "s = \"" + brackets + "\"\nl = '" + brackets + "'\nm = \"\"\"\n" + brackets +
                           "\\\"\"\"\n" + brackets + "\"\"\"\n# " + brackets + "\nt = '''" + brackets +
                           "'''\nf = [1.5, 2.5]\n";
  const Value v = must_parse(text);
  EXPECT_EQ(v.as_object().find("s")->as_string(), brackets);
  EXPECT_EQ(v.as_object().find("m")->as_string(), brackets + "\"\"\"\n" + brackets);
}

// ---------------------------------------------------------------- writing

struct LayoutCase {
  const char* name;
  Value tree;
  const char* text;
};

class TomlLayout : public testing::TestWithParam<LayoutCase> {};

TEST_P(TomlLayout, WholeText) {
  EXPECT_EQ(must_write(GetParam().tree), GetParam().text);
  EXPECT_EQ(must_parse(GetParam().text), GetParam().tree);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TomlLayout,
    testing::Values(
        LayoutCase{"plain_then_sections",
                   obj({{"b", obj({{"x", num(1)}})}, {"a", num(1)}, {"z", str("s")}}),
                   "a = 1\nz = \"s\"\n\n[b]\nx = 1\n"},
        LayoutCase{"only_tables", obj({{"a", obj({{"x", num(1)}})}, {"b", obj({})}}),
                   "[a]\nx = 1\n\n[b]\n"},
        LayoutCase{"nested_headers",
                   obj({{"a", obj({{"b", obj({{"c", obj({{"d", Value(true)}})}})}})}}),
                   "[a]\n\n[a.b]\n\n[a.b.c]\nd = true\n"},
        LayoutCase{"array_of_tables",
                   obj({{"p", Value(Array{obj({{"n", num(1)}, {"sub", obj({{"q", num(2)}})}}),
                                          obj({{"n", num(3)}, {"inner", Value(Array{obj({})})}})})}}),
                   "[[p]]\nn = 1\n\n[p.sub]\nq = 2\n\n[[p]]\nn = 3\n\n[[p.inner]]\n"},
        LayoutCase{"arrays", obj({{"two", Value(Array{num(1), num(2)})}, {"one", Value(Array{num(1)})},
                                  {"none", Value(Array{})}}),
                   "none = []\none = [1]\ntwo = [\n    1,\n    2,\n]\n"},
        LayoutCase{"nested_arrays_and_inline_tables",
                   obj({{"m", Value(Array{Value(Array{num(1), num(2)}), obj({{"k", Value(Array{num(3), num(4)})},
                                                                                 {"e", obj({})}})})}}),
                   "m = [\n    [1, 2],\n    { e = {}, k = [3, 4] },\n]\n"},
        LayoutCase{"quoted_keys",
                   obj({{"a b", num(1)}, {"", num(2)}, {"ok_-9", num(3)}, {"t.x", obj({{"é", num(4)}})}}),
                   "\"\" = 2\n\"a b\" = 1\nok_-9 = 3\n\n[\"t.x\"]\n\"é\" = 4\n"},
        LayoutCase{"scalars",
                   obj({{"f", Value::from_double(1.0)}, {"g", Value::from_double(0.1)},
                        {"h", Value::from_double(1e300)}, {"n", num(-5)}, {"b", Value(false)},
                        {"s", str("q\"\\\b\t\n\f\r\x01\x7f é")}}),
                   "b = false\nf = 1.0\ng = 0.1\nh = 1e+300\nn = -5\ns = \"q\\\"\\\\\\b\\t\\n\\f\\r\\u0001\\u007F é\"\n"},
        LayoutCase{"dates", obj({{"d", date("1979-05-27T07:32:00Z")}, {"l", Value(Array{date("07:32:00"), date("1979-05-27")})}}),
                   "d = 1979-05-27T07:32:00Z\nl = [\n    07:32:00,\n    1979-05-27,\n]\n"},
        LayoutCase{"empty_root", obj({}), ""}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(TomlWrite, DateTextThatIsNotADateStaysATable) {
  for (const char* text : {"1979-02-30", "1979-05-27T25:00:00", "soon", "07:32", "1979-05-27T07:32:00+1"}) {
    const Value tree = obj({{"d", date(text)}});
    const std::string out = must_write(tree);
    EXPECT_EQ(out.rfind("[d]\n", 0), 0u) << out;
    EXPECT_EQ(must_parse(out), tree);
  }
}

TEST(TomlWrite, LoadWriteLoadKeepsDates) {
  const char* text =
      "a = 1979-05-27T07:32:00Z\nb = 1979-05-27 07:32:00.5-07:00\nc = 1979-05-27T07:32:00\n"
      "d = 1979-05-27\ne = 07:32:00.000001\n[t]\nf = [1979-05-27, 2000-02-29]\n";
  const Value first = must_parse(text);
  const std::string written = must_write(first);
  EXPECT_NE(written.find("a = 1979-05-27T07:32:00Z\n"), std::string::npos) << written;
  EXPECT_NE(written.find("b = 1979-05-27T07:32:00.500-07:00\n"), std::string::npos) << written;
  EXPECT_NE(written.find("    2000-02-29,\n"), std::string::npos) << written;
  EXPECT_EQ(written.find("$__toml"), std::string::npos) << written;
  EXPECT_EQ(must_parse(written), first);
}

TEST(TomlWrite, RejectsWhatTomlCannotHold) {
  const std::vector<std::pair<Value, std::string>> cases = {
      {obj({{"a", obj({{"b", Value()}})}}), "null values cannot be represented in TOML (at key a.b)"},
      {obj({{"x", Value(Array{num(1), Value()})}}), "(at key x)"},
      {obj({{"l", Value(Array{obj({{"k", obj({{"n", Value()}})}})})}}), "(at key l.k.n)"},
      {obj({{"big", Value(std::uint64_t{9223372036854775808u})}}), "9223372036854775808"},
      {Value(Array{}), "root"},
      {Value(), "root"},
      {num(1), "root"},
  };
  for (const auto& [tree, fragment] : cases) {
    auto r = toml::write(tree);
    ASSERT_FALSE(r.ok()) << fragment;
    EXPECT_EQ(r.failure().kind, ErrorKind::type_error);
    EXPECT_EQ(r.failure().message.rfind("TOML serialize error: ", 0), 0u) << r.failure().message;
    EXPECT_NE(r.failure().message.find(fragment), std::string::npos) << r.failure().message;
  }
  EXPECT_TRUE(toml::write(obj({{"max", Value(std::uint64_t{9223372036854775807u})}})).ok());
}

}  // namespace
