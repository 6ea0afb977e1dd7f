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
#include "drivers/toml_read.hpp"

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

TEST(TomlParse, EmptyTextIsEmptyObject) {
  EXPECT_EQ(must_parse(""), Value(Object{}));
  EXPECT_EQ(must_parse("# only a comment\n\n"), Value(Object{}));
}

// The first line of the message says what was expected, what was found,
// and where; the line itself follows with a caret under the column.
struct BadCase {
  const char* text;
  const char* first_line;  // after "TOML parse error: "
};

class TomlParseErrors : public testing::TestWithParam<BadCase> {};

TEST_P(TomlParseErrors, NameTheMistakeAndItsPlace) {
  const std::string msg = parse_error(GetParam().text);
  const std::size_t from = std::string_view("TOML parse error: ").size();
  EXPECT_EQ(msg.substr(from, msg.find('\n') - from), GetParam().first_line);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TomlParseErrors,
    testing::Values(
        BadCase{"name = Flask\n",
                "expected a value, found `Flask` (a string needs quotes: \"Flask\") at line 1 column 8"},
        BadCase{"x = 1\nname \"Flask\"\n", "expected `=` after the key `name`, found `\"` at line 2 column 6"},
        BadCase{"a = 1\nb = \"open\nc = 2\n",
                "unterminated string: no closing `\"` before the end of the line (a string in one quote cannot "
                "span lines; use three for a multi-line string) at line 2 column 5"},
        BadCase{"a = '''\nx\n", "unterminated multi-line string: no closing `'''` before the end of the file "
                                "at line 1 column 5"},
        BadCase{"a = 1\n\na = 2\n", "duplicate key `a` (first defined at line 1) at line 3 column 1"},
        BadCase{"[t]\nx = 1\n[t]\n", "table [t] is defined twice (first at line 1) at line 3 column 1"},
        BadCase{"s = \"C:\\dir\"\n", "invalid escape `\\d` (escapes are \\b \\t \\n \\f \\r \\e \\\" \\\\ \\xHH "
                                     "\\uHHHH \\UHHHHHHHH) at line 1 column 8"},
        BadCase{"d = 2024-13-01\n", "month 13 is out of range (01 to 12) at line 1 column 10"},
        BadCase{"d = 2023-02-29\n", "day 29 does not exist in 2023-02 at line 1 column 13"},
        BadCase{"t = 24:00:00\n", "hour 24 is out of range (00 to 23) at line 1 column 5"},
        BadCase{"d = 1985-06-18 17:04:07+12:60\n", "offset minute 60 is out of range (00 to 59) at line 1 column 28"},
        BadCase{"x = [1, 2\n", "unterminated array: no closing `]` before the end of the file at line 1 column 5"},
        BadCase{"x = [1 2]\n", "expected `,` or `]` after an array element, found `2` at line 1 column 8"},
        BadCase{"x = {a = 1,,}\n", "expected a key, found `,` at line 1 column 12"},
        BadCase{"a = 1 2\n", "expected the end of the line after the value, found `2` at line 1 column 7"},
        BadCase{"b = True\n", "expected a value, found `True` (booleans are lower case: true or false) at line 1 column 5"},
        BadCase{"x = 012\n", "invalid number `012`: leading zeros are not allowed at line 1 column 5"},
        BadCase{"x = 9223372036854775808\n", "integer `9223372036854775808` is out of the 64-bit range at line 1 column 5"},
        BadCase{"x = 1e400\n", "float `1e400` is out of the 64-bit range at line 1 column 5"},
        BadCase{"x = \"\\uD800\"\n", "invalid escape `\\uD800`: not a Unicode scalar value at line 1 column 6"},
        BadCase{"é = 1\n", "expected a key, found `é` at line 1 column 1"},
        BadCase{"a = 1 # \x7f\n", "the control character U+007F is not allowed in a comment at line 1 column 9"},
        BadCase{"x = 1\ry = 2\n", "a carriage return must be followed by a line feed at line 1 column 6"},
        BadCase{"a = \"\xff\"\n", "invalid UTF-8 at line 1 column 6"}));

TEST(TomlParse, ErrorQuotesTheLineWithACaret) {
  const std::string msg = parse_error("a = 1\n\tname = Flask # x\n");
  EXPECT_EQ(msg.substr(msg.find('\n')), "\n  \tname = Flask # x\n  \t       ^");
  // A long line is cut around the column.
  const std::string long_line = parse_error("a = [" + std::string(500, '1') + " x]\n");
  EXPECT_LT(long_line.size(), 400u) << long_line;
  EXPECT_NE(long_line.find("...\n"), std::string::npos) << long_line;
}

// Which later lines may add to a table, and which redefine something.
struct RedefinitionCase {
  const char* text;
  const char* error;  // nullptr: loads; else a piece of the message
};

class TomlRedefinition : public testing::TestWithParam<RedefinitionCase> {};

TEST_P(TomlRedefinition, FollowsTheRules) {
  if (!GetParam().error) {
    must_parse(GetParam().text);
    return;
  }
  const std::string msg = parse_error(GetParam().text);
  EXPECT_NE(msg.find(GetParam().error), std::string::npos) << msg;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TomlRedefinition,
    testing::Values(
        RedefinitionCase{"[a.b]\n[a]\nx = 1\n", nullptr},               // a named on the way, then defined
        RedefinitionCase{"[a]\nb.c = 1\nb.d = 2\n[a.b.e]\n", nullptr},  // sub-tables of a dotted table
        RedefinitionCase{"a.b = 1\n[a.c]\n", nullptr},
        RedefinitionCase{"[[p]]\n[p.q]\n[[p]]\n[p.q]\n", nullptr},  // each element is a new table
        RedefinitionCase{"[[a]]\nb.c = 1\n[[a]]\nb = 1\n", nullptr},
        RedefinitionCase{"t = {a.b = 1, a.c = 2}\n", nullptr},
        RedefinitionCase{"[a]\n[a]\n", "table [a] is defined twice (first at line 1)"},
        RedefinitionCase{"\"a\" = 1\na = 2\n", "duplicate key `a` (first defined at line 1)"},
        RedefinitionCase{"a.b = 1\n[a]\n", "table [a] was already defined by dotted keys (line 1)"},
        RedefinitionCase{"[x]\na.b = 1\n[x.a]\n", "table [x.a] was already defined by dotted keys (line 2)"},
        RedefinitionCase{"[a.b]\nz = 1\n[a]\nb.y = 2\n", "table [a.b] is already defined (line 1)"},
        RedefinitionCase{"[a.b.c]\n[a]\nb.x = 1\n[a.b]\n", "was already defined by dotted keys (line 3)"},
        RedefinitionCase{"[a]\nb.c = 1\n[a.d]\n[a]\n", "defined twice"},
        RedefinitionCase{"a = {b = 1}\na.c = 2\n", "`a` is an inline table (line 1), which cannot be extended"},
        RedefinitionCase{"a = {b = 1}\n[a.c]\n", "`a` is an inline table"},
        RedefinitionCase{"t = {a = {b = 1}, a.c = 2}\n", "`a` is an inline table"},
        RedefinitionCase{"t = {a = 1, a = 2}\n", "duplicate key `a`"},
        RedefinitionCase{"a = [1]\n[[a]]\n", "`a` already holds a value (line 1)"},
        RedefinitionCase{"[[a]]\n[a]\n", "`a` is an array of tables (line 1)"},
        RedefinitionCase{"[a]\n[[a]]\n", "`a` is already a table (line 1)"},
        RedefinitionCase{"a = 1\n[a.b]\n", "`a` already holds a value (line 1)"},
        RedefinitionCase{"a.b = 1\na = 2\n", "`a` is already a table (line 1)"},
        RedefinitionCase{"d = 1979-05-27\n[d]\n", "`d` already holds a value"}));

// Large tables are searched by position while keys come in order, by hash after.
TEST(TomlParse, DuplicatesFoundInLargeTables) {
  for (const int step : {1, -1}) {
    std::string text;
    for (int i = 0; i < 300; ++i) text += "k" + std::to_string(5000 + step * i) + " = 1\n";
    const std::string again = "k" + std::to_string(5000 + step * 40);
    EXPECT_NE(parse_error(text + again + " = 2\n").find("duplicate key `" + again + "` (first defined at line 41)"),
              std::string::npos);
    EXPECT_EQ(must_parse(text + "k0 = 2\n").as_object().size(), 301u);
    EXPECT_NE(parse_error(text + "k0 = 2\nk" + std::to_string(5000 + step * 299) + " = 3\n").find("line 300)"),
              std::string::npos);
  }
}

// Every date and time form loads as its text, with 'T', 'Z' and the
// seconds written out so that any TOML reader takes it back.
TEST(TomlParse, DateTimeForms) {
  const std::pair<const char*, const char*> cases[] = {
      {"1979-05-27T07:32:00Z", "1979-05-27T07:32:00Z"},
      {"1979-05-27t07:32:00z", "1979-05-27T07:32:00Z"},
      {"1979-05-27 07:32:00.999999-07:00", "1979-05-27T07:32:00.999999-07:00"},
      {"1979-05-27T07:32:00", "1979-05-27T07:32:00"},
      {"1979-05-27T07:32", "1979-05-27T07:32:00"},
      {"1979-05-27 07:32+01:30", "1979-05-27T07:32:00+01:30"},
      {"1979-05-27", "1979-05-27"},
      {"2000-02-29", "2000-02-29"},
      {"07:32:00.5", "07:32:00.5"},
      {"07:32", "07:32:00"},
  };
  for (const auto& [text, stored] : cases) {
    const Value v = must_parse(std::string("d = ") + text + " # c\na = [" + text + "]\n");
    EXPECT_EQ(*v.as_object().find("d"), date(stored)) << text;
    EXPECT_EQ(v.as_object().find("a")->as_array()[0], date(stored)) << text;
  }
  for (const char* text : {"1979-05-27T", "1979-5-27", "07:32:00Z", "1979-05-27T07:32:00+1", "07:32.5",
                           "1900-02-29", "1979-05-27 07", "1979-05-27T07:32:00."})
    parse_error(std::string("d = ") + text + "\n");
}

TEST(TomlParse, StringForms) {
  const Value v = must_parse(
      "a = \"\\e\\x41\\u00e9\\U0001F600\\t\"\n"
      "b = \"\"\"\nline\\\n    joined \\\r\n\n  too\"\"\"\"\"\n"
      "c = '''\n'quoted' \\n'''\n"
      "d = \"\"\"\r\n\"\"\"\n"
      "e = { x = 1,\n  y = [2,], # comment\n}\n");
  const Object& o = v.as_object();
  EXPECT_EQ(o.find("a")->as_string(), "\x1b" "A\xc3\xa9\xf0\x9f\x98\x80\t");
  EXPECT_EQ(o.find("b")->as_string(), "linejoined too\"\"");
  EXPECT_EQ(o.find("c")->as_string(), "'quoted' \\n");
  EXPECT_EQ(o.find("d")->as_string(), "");
  EXPECT_EQ(*o.find("e"), obj({{"x", num(1)}, {"y", Value(Array{num(2)})}}));
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
  };
  for (const auto& doc : docs) {
    const std::string msg = parse_error(doc);
    EXPECT_NE(msg.find("nesting beyond 128 levels"), std::string::npos) << msg.substr(0, 300);
  }
}

TEST(TomlParse, DepthLimitIsExact) {
  // The root is level 1: a tree of depth 128 loads, 129 does not, the
  // date-time's object counting as a level.
  EXPECT_EQ(must_parse("a = " + repeat("[", 127) + repeat("]", 127) + "\n").depth(), 128u);
  parse_error("a = " + repeat("[", 128) + repeat("]", 128) + "\n");
  EXPECT_EQ(must_parse("a = " + repeat("[", 126) + "1979-05-27" + repeat("]", 126) + "\n").depth(), 128u);
  parse_error("a = " + repeat("[", 127) + "1979-05-27" + repeat("]", 127) + "\n");
  EXPECT_EQ(must_parse(repeat("a.", 126) + "a = {}\n").depth(), 128u);
  parse_error(repeat("a.", 127) + "a = {}\n");
  EXPECT_EQ(must_parse("[" + repeat("a.", 126) + "a]\n").depth(), 128u);
  parse_error("[" + repeat("a.", 127) + "a]\n");
  EXPECT_EQ(must_parse("[[" + repeat("a.", 125) + "a]]\n").depth(), 128u);
  parse_error("[[" + repeat("a.", 126) + "a]]\n");
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

// Short keys and strings are checked as their whole cell: a character
// that needs quoting or an escape at any place of any length up to past
// the cell must be found.
TEST(TomlWrite, EscapeAtEveryPlaceOfShortTexts) {
  for (std::size_t n = 1; n <= 20; ++n)
    for (std::size_t at = 0; at < n; ++at)
      for (const auto& [raw, escaped] : {std::pair<char, std::string>{'"', "\\\""}, {'\\', "\\\\"},
                                         {'\x7f', "\\u007F"}, {'\n', "\\n"}, {' ', " "}}) {
        std::string text(n, 'k'), quoted(n, 'k');
        text[at] = raw;
        quoted.replace(at, 1, escaped);
        EXPECT_EQ(must_write(obj({{text, Value(text)}})), "\"" + quoted + "\" = \"" + quoted + "\"\n") << n << " " << at;
      }
}

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
  EXPECT_NE(written.find("b = 1979-05-27T07:32:00.5-07:00\n"), std::string::npos) << written;
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

// The check that compares while reading must answer as reading the text
// and comparing the trees would.
TEST(TomlReadsAs, AgreesWithLoadingAndComparing) {
  const std::string deep = "a = " + repeat("[", 128) + repeat("]", 128) + "\n";
  struct Case {
    std::string text, tree;  // the tree as another text
    bool same;
  } cases[] = {
      {"a = 1\nb = 'x'\n", "b = \"x\"\na = 1\n", true},
      {"[t]\nx = 1\n[t.u]\ny = 2\n", "t = {x = 1, u = {y = 2}}\n", true},
      {"a.b.c = 1\n", "[a.b]\nc = 1\n", true},
      {"[[p]]\nx = 1\n[[p]]\n", "p = [{x = 1}, {}]\n", true},
      {"d = 1979-05-27 07:32:00Z\n", "d = 1979-05-27T07:32:00Z\n", true},
      {"d = 1979-05-27\n", "d.\"$__toml_private_datetime\" = '1979-05-27'\n", true},
      {"", "", true},
      {"a = 1\n", "a = 2\n", false},
      {"a = 1\n", "a = 1.0\n", false},
      {"a = 1\n", "a = '1'\n", false},
      {"a = 1\n", "a = [1]\n", false},
      {"a = 1\n", "a = 1\nb = 2\n", false},
      {"a = 1\nb = 2\n", "a = 1\n", false},
      {"a = 1\n", "b = 1\n", false},
      {"d = 1979-05-27\n", "d = '1979-05-27'\n", false},
      {"d = '1979-05-27'\n", "d = 1979-05-27\n", false},
      {"a = [1, 2]\n", "a = [1, 2, 3]\n", false},
      {"a = [1, 2, 3]\n", "a = [1, 2]\n", false},
      {"a = [[1], {x = 1}]\n", "a = [[1], {x = 2}]\n", false},
      {"t = {x = 1, y.z = 2}\n", "t = {x = 1, y = {z = 2, w = 3}}\n", false},
      {"t = {x = 1}\n", "t = {x = 1, y = 2}\n", false},
      {"t = {x = 1}\n", "t = 'x'\n", false},
      {"[t]\nx = 1\n", "t = {x = 1, y = 2}\n", false},
      {"[t]\n", "t = 1\n", false},
      {"[[p]]\n[[p]]\n", "p = [{}]\n", false},
      {"[[p]]\n", "p = [{}, {}]\n", false},
      {"[[p]]\n", "p = {}\n", false},
      {"[[p]]\n", "p = [1]\n", false},
      {"a.b = 1\n", "a = 1\n", false},
      {"a = 1\na = 1\n", "a = 1\n", false},
      {"a = nan\n", "a = 1\n", false},
      {deep, "a = 1\n", false},
  };
  toml::ReadMemory memory;  // one for every case, as one engine's syncs share it
  for (const auto& c : cases) {
    const Value tree = must_parse(c.tree);
    auto read = toml::parse(c.text);
    EXPECT_EQ(read.ok() && *read == tree, c.same) << c.text << "against\n" << c.tree;
    EXPECT_EQ(toml::reads_as(c.text, tree), c.same) << c.text << "against\n" << c.tree;
    EXPECT_EQ(toml::reads_as(c.text, tree, nullptr, &memory), c.same) << c.text << "against\n" << c.tree;
  }
}

// Objects grown by insertions keep their members in a tree, not a block:
// the check then knows each key by its member, not by a position.
TEST(TomlReadsAs, ObjectsKeptInATree) {
  Value tree = obj({});
  std::string text, twice;
  for (int i = 40; i-- > 0;) {  // each insertion at the front
    tree.as_object().insert_or_assign("k" + std::to_string(100 + i), Value(std::uint64_t(i)));
    text = "k" + std::to_string(100 + i) + " = " + std::to_string(i) + "\n" + text;
  }
  ASSERT_TRUE(tree.as_object().block_members().empty());
  twice = text + "k100 = 0\n";
  toml::ReadMemory memory;
  for (int round = 0; round < 2; ++round) {
    EXPECT_TRUE(toml::reads_as(text, tree, nullptr, &memory));
    EXPECT_FALSE(toml::reads_as(twice, tree, nullptr, &memory));
    EXPECT_FALSE(toml::reads_as("k100 = 1\n" + text.substr(text.find('\n') + 1), tree, nullptr, &memory));
  }
}

// Short decimals are read by one division where that rounds exactly as a
// full conversion does; the rest must still be converted in full.
TEST(TomlParse, DecimalsRoundAsStrtod) {
  for (const char* text : {"0.1", "-0.0", "2.675", "123456789012.345678", "900719925474099.3", "0.9007199254740993",
                           "9007199254740993.0", "9007199254740995.0", "1.7976931348623157", "12345678901234567.8",
                           "0.000000000000000001", "4.35"}) {
    const Value v = must_parse(std::string("x = ") + text);
    const Value* x = v.is_object() ? v.as_object().find("x") : nullptr;
    ASSERT_TRUE(x && x->kind() == Value::Kind::real) << text;
    const double want = std::strtod(text, nullptr), got = x->as_real();
    EXPECT_EQ(std::memcmp(&want, &got, sizeof want), 0) << text << ": " << got;  // the bits: -0.0 too
  }
}

}  // namespace
