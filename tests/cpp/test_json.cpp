#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "drivers/formats.hpp"
#include "support.hpp"

namespace zub {
namespace {

using namespace support;

Result<Value> load(std::string_view bytes) {
  TempFile file(bytes);
  return json::read(file.fd());
}

std::string error_of(std::string_view bytes) {
  auto r = load(bytes);
  if (r.ok()) return "<parsed>";
  EXPECT_EQ(r.failure().kind, ErrorKind::type_error);
  return r.failure().message;
}

// ---------------------------------------------------------------- writing

struct LayoutCase {
  const char* name;
  Value value;
  std::string text;
};

TEST(JsonWrite, Layouts) {
  const LayoutCase cases[] = {
      {"empty object", obj({}), "{}"},
      {"empty array", arr({}), "[]"},
      {"scalar root", u(7), "7"},
      {"nested",
       obj({{"b", arr({u(1), obj({}), arr({}), obj({{"x", Value()}})})}, {"a", Value(true)}}),
       "{\n  \"a\": true,\n  \"b\": [\n    1,\n    {},\n    [],\n    {\n      \"x\": null\n    }\n  ]\n}"},
      {"keys sorted by bytes", obj({{"b", u(1)}, {"B", u(2)}, {"\xc3\xa9", u(3)}}),
       "{\n  \"B\": 2,\n  \"b\": 1,\n  \"\xc3\xa9\": 3\n}"},
      {"array of arrays", arr({arr({Value(false)}), arr({s("")})}),
       "[\n  [\n    false\n  ],\n  [\n    \"\"\n  ]\n]"},
      {"escapes", s(std::string("q\" b\\ n\n t\t r\r b\b f\f nul") + std::string(1, '\0') + "\x01\x1f\x7f \xc3\xa9 \xe2\x80\xa8"),
       "\"q\\\" b\\\\ n\\n t\\t r\\r b\\b f\\f nul\\u0000\\u0001\\u001f\x7f \xc3\xa9 \xe2\x80\xa8\""},
      {"escaped key", obj({{"a\"\n", u(0)}}), "{\n  \"a\\\"\\n\": 0\n}"},
      {"uint64 max", u(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615"},
      {"int64 min", i(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
      {"float 1.0", f(1.0), "1.0"},
      {"float 0.1", f(0.1), "0.1"},
      {"float 1e300", f(1e300), "1e+300"},
      {"float -0.0", f(-0.0), "-0.0"},
      {"float 5e-324", f(5e-324), "5e-324"},
      {"float 1e16", f(1e16), "1e+16"},
      {"float -2.5", f(-2.5), "-2.5"},
      {"float 123456789.0", f(123456789.0), "123456789.0"},
      {"float 0.001", f(0.001), "0.001"},
      {"float 0.000123", f(0.000123), "0.000123"},
      {"float 0.0001", f(0.0001), "1e-04"},
      {"float 10000.0", f(10000.0), "10000.0"},
      {"float 100000.0", f(100000.0), "1e+05"},
      {"float 15 digits", f(123456789012345.0), "123456789012345.0"},
      {"float 17 digits", f(0.30000000000000004), "0.30000000000000004"},
  };
  for (const auto& c : cases) EXPECT_EQ(json::write(c.value), c.text) << c.name;
}

// The writer streams through a fixed buffer: long plain runs and escapes
// must come out whole wherever the buffer's end falls.
TEST(JsonWrite, LongAndEscapeHeavyStrings) {
  for (std::size_t n : {1u, 100u, 5000u, 100000u}) {
    std::string controls, escaped;
    for (std::size_t k = 0; k < n; ++k) {
      std::string plain(k % 7 == 3 && k < 30 ? 70000 - k : k % 5, 'x');
      controls += plain;
      escaped += plain;
      controls += k % 2 ? '\n' : '\x01';
      escaped += k % 2 ? "\\n" : "\\u0001";
    }
    Value tree = arr({s(controls), obj({{controls, s(controls)}})});
    std::string q = "\"" + escaped + "\"";
    EXPECT_EQ(json::write(tree), "[\n  " + q + ",\n  {\n    " + q + ": " + q + "\n  }\n]") << n;
  }
}

// Floats come out as std::to_chars writes them, with ".0" where that would
// read back as an integer, whichever way the writer gets there: typed
// decimals of every length and scale, the edges of the fast path, and
// arbitrary doubles.
TEST(JsonWrite, FloatsAsToCharsWritesThem) {
  std::mt19937_64 rng(2026);
  std::vector<double> values = {1e-5, 1e-5 * (1 - 1e-16), 1e15, std::nextafter(1e15, 0.0), 999999999999999.5,
                                0.99999999999999995, 9.999999999999999e-5, 123456789012345.6, 5e-324, 1.7e308};
  for (int e = -6; e <= 16; ++e) values.push_back(std::pow(10.0, e));
  for (int i = 0; i < 100000; ++i) {
    const int digits = 1 + static_cast<int>(rng() % 17);
    std::uint64_t mantissa = rng() % 100000000000000000u;
    for (int cut = 17 - digits; cut > 0; --cut) mantissa /= 10;
    const int exponent = -12 + static_cast<int>(rng() % 28);
    values.push_back(std::strtod((std::to_string(mantissa) + "e" + std::to_string(exponent)).c_str(), nullptr));
    std::uint64_t bits = rng();
    double any;
    std::memcpy(&any, &bits, sizeof any);
    if (std::isfinite(any)) values.push_back(any);
  }
  std::vector<Value> items;
  std::string expected = "[";
  for (std::size_t k = 0; k < values.size(); ++k) {
    for (double d : {values[k], -values[k]}) {
      items.push_back(f(d));
      char buf[64];
      std::string text(buf, std::to_chars(buf, buf + sizeof buf, d).ptr);
      if (text.find_first_of(".e") == std::string::npos) text += ".0";
      expected += (items.size() > 1 ? ",\n  " : "\n  ") + text;
    }
  }
  expected += "\n]";
  const std::string written = json::write(Value(Array(std::move(items))));
  if (written != expected) {
    std::size_t at = 0;
    while (at < written.size() && at < expected.size() && written[at] == expected[at]) ++at;
    const std::size_t line = expected.rfind('\n', at) + 1;
    FAIL() << "expected " << expected.substr(line, expected.find('\n', line) - line) << ", wrote "
           << written.substr(line, written.find('\n', line) - line);
  }
}

// Integers come out as std::to_chars writes them at every digit count,
// on both sides of each power of ten, signed and unsigned.
TEST(JsonWrite, IntegersAsToCharsWritesThem) {
  std::vector<std::uint64_t> magnitudes = {0, std::numeric_limits<std::uint64_t>::max()};
  for (std::uint64_t p = 1; p <= std::numeric_limits<std::uint64_t>::max() / 10; p *= 10)
    for (std::uint64_t m : {p - 1, p, p + 1, 2 * p - 1, 9 * p + p - 1, 10 * p}) magnitudes.push_back(m);
  for (std::uint64_t m : magnitudes) {
    char buf[24];
    EXPECT_EQ(json::write(u(m)), std::string(buf, std::to_chars(buf, buf + sizeof buf, m).ptr));
    if (m > std::uint64_t{std::numeric_limits<std::int64_t>::max()}) continue;
    const auto n = -static_cast<std::int64_t>(m);
    EXPECT_EQ(json::write(i(n)), std::string(buf, std::to_chars(buf, buf + sizeof buf, n).ptr));
  }
}

// Short texts are checked as their whole cell: an escape at any place of
// any length up to past the cell must be found, in keys and in values.
TEST(JsonWrite, EscapeAtEveryPlaceOfShortTexts) {
  for (std::size_t n = 1; n <= 20; ++n)
    for (std::size_t at = 0; at < n; ++at)
      for (const auto& [raw, escaped] : {std::pair<char, std::string>{'"', "\\\""}, {'\\', "\\\\"},
                                         {'\x1f', "\\u001f"}, {'\n', "\\n"}}) {
        std::string text(n, 'k'), quoted(n, 'k');
        text[at] = raw;
        quoted.replace(at, 1, escaped);
        EXPECT_EQ(json::write(obj({{text, s(text)}})), "{\n  \"" + quoted + "\": \"" + quoted + "\"\n}")
            << n << " " << at;
      }
}

// ---------------------------------------------------------------- reading

struct LoadCase {
  const char* name;
  std::string text;
  Value expected;
};

TEST(JsonRead, Values) {
  const LoadCase cases[] = {
      {"later duplicate wins", R"({"a": 1, "b": 2, "a": 3})", obj({{"a", u(3)}, {"b", u(2)}})},
      {"uint64 max stays integer", "18446744073709551615", u(std::numeric_limits<std::uint64_t>::max())},
      {"int64 min stays integer", "-9223372036854775808", i(std::numeric_limits<std::int64_t>::min())},
      {"beyond uint64 is a float", "18446744073709551616", f(18446744073709551616.0)},
      {"beyond int64 is a float", "-9223372036854775809", f(-9223372036854775808.0)},
      {"huge integer is a float", "123456789012345678901234567890", f(1.2345678901234568e29)},
      {"minus zero integer", "-0", u(0)},
      {"small negative", "-5", i(-5)},
      {"integral float stays float", "2.0", f(2.0)},
      {"exponent is float", "1E2", f(100.0)},
      {"full precision", "0.1000000000000000055511151231257827", f(0.1)},
      // Hundreds of leading zeros once made the conversion read outside its tables.
      {"long leading zeros", "-0." + std::string(700, '0') + "7777e700", f(-0.7777)},
      {"leading zeros, in range", "0." + std::string(300, '0') + "123", f(1.23e-301)},
      {"underflow is zero", "[1e-400, 0." + std::string(400, '0') + "1]", arr({f(0.0), f(0.0)})},
      {"overflow is null", "[10e308, 1.8e308]", arr({Value(), Value()})},
      {"embedded NUL", R"(["a\u0000b"])", arr({s(std::string("a\0b", 3))})},
      {"surrogate pair", R"("\ud83d\ude00")", s("\xf0\x9f\x98\x80")},
      {"Hangul shares the ED lead byte", "\"\xed\x9f\xbb\\ud7fb\"", s("\xed\x9f\xbb\xed\x9f\xbb")},
      {"raw UTF-8", "\"\xc3\xa9\xe2\x82\xac\"", s("\xc3\xa9\xe2\x82\xac")},
      {"whitespace around", " \n\t\r{ } \n", obj({})},
      {"nested",
       R"({"x": [true, false, null, {"y": -1.5}], "": ""})",
       obj({{"x", arr({Value(true), Value(false), Value(), obj({{"y", f(-1.5)}})})}, {"", s("")}})},
  };
  for (const auto& c : cases) {
    auto r = load(c.text);
    ASSERT_TRUE(r.ok()) << c.name << ": " << r.failure().message;
    EXPECT_EQ(*r, c.expected) << c.name;
  }
  // == cannot tell -0.0 from 0.0.
  auto r = load("-0.0");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->kind(), Value::Kind::real);
  EXPECT_TRUE(std::signbit(r->as_real()));
}

// Numbers and texts at the sizes where the reader changes how it holds
// them, as elements, as members and as keys (ordered, and repeated), read
// one after another and between loads of a large document.
TEST(JsonRead, ValuesOfEverySize) {
  std::vector<std::pair<std::string, Value>> items = {
      {"72057594037927935", u(72057594037927935u)}, {"72057594037927936", u(72057594037927936u)},
      {"-36028797018963968", i(-36028797018963968)}, {"-36028797018963969", i(-36028797018963969)},
      {"0.5", f(0.5)}, {"0.1", f(0.1)}, {"-2.0", f(-2.0)}, {"5e-324", f(5e-324)}, {"[]", arr({})}, {"{}", obj({})}};
  std::vector<std::string> keys = {"ab", "ab\\u0000", "abcdefgh", "abcdefgh\\u0000", "abcdefghi", "abcdefgh\\u0000i"};
  std::vector<std::string> key_texts = {"ab", std::string("ab\0", 3), "abcdefgh", std::string("abcdefgh\0", 9),
                                        "abcdefghi", std::string("abcdefgh\0i", 10)};
  for (std::size_t n : {0u, 1u, 7u, 8u, 9u, 14u, 15u, 16u, 17u, 23u, 24u, 100u}) {
    std::string text;
    for (std::size_t k = 0; k < n; ++k) text += static_cast<char>('a' + k % 26);
    items.emplace_back("\"" + text + "\"", s(text));
    keys.push_back(text + "~");
    key_texts.push_back(text + "~");
  }
  std::string array = "[", object = "{";
  std::vector<Value> elements;
  std::vector<Member> members;
  for (std::size_t k = 0; k < items.size() + keys.size(); ++k) {
    const auto& [text, value] = items[k % items.size()];
    std::string sep = k ? "," : "";
    array += sep + text;
    elements.push_back(value);
    // Every key twice, the later value winning.
    object += sep + "\"" + keys[k % keys.size()] + "\":[" + text + ",\"" + keys[k % keys.size()] + "\"]";
    if (k >= keys.size()) members.push_back(Member{key_texts[k % keys.size()], arr({value, s(key_texts[k % keys.size()])})});
  }
  const std::string text = "[" + array + "]," + object + "}]";
  const Value expected = arr({arr(elements), obj(members)});
  std::string large = "[";
  for (int k = 0; k < 600; ++k) large += text + ",";
  large += "0]";
  ASSERT_GT(large.size(), std::size_t{1} << 20);
  const std::string* order[] = {&text, &large, &text, &text};
  for (const std::string* t : order) {
    auto r = t == &text ? json::parse(*t) : load(*t);
    ASSERT_TRUE(r.ok()) << r.failure().message;
    if (t == &text) EXPECT_EQ(*r, expected);
    else EXPECT_EQ(r->as_array()[599], expected);
    auto same = json::matches(*t, *r);
    ASSERT_TRUE(same.ok());
    EXPECT_TRUE(*same);
  }
}

// Short decimals take a shortcut past the full conversion; it must round
// exactly as the full one does, also at the edges of where it applies.
TEST(JsonRead, DecimalsRoundAsTheFullConversion) {
  std::vector<std::string> texts = {"9007199254740992.5", "9007199254740993.0", "0.9007199254740993",
                                    "1e22", "1e23", "4.5e-22", "4.5e-23", "123.456e-20", "1234567890123456789e-3",
                                    "-0.000", "17976931348623157e292", "0.1e-1", "2.5E+10"};
  std::uint64_t seed = 12345;
  auto next = [&seed] { return (seed = seed * 6364136223846793005u + 1442695040888963407u) >> 11; };
  for (int k = 0; k < 3000; ++k) {
    std::string digits = std::to_string(next() % (k % 3 ? 1000000 : std::uint64_t{1} << 53));
    const std::size_t point = next() % (digits.size() + 1);
    std::string text = (k % 2 ? "-" : "") + digits.substr(0, point) + "." + digits.substr(point);
    if (point == 0) text.insert(text.size() - digits.size() - 1, "0");
    if (point == digits.size()) text += "0";
    if (k % 4 == 0) text += "e" + std::to_string(static_cast<int>(next() % 47) - 23);
    texts.push_back(text);
  }
  for (const auto& text : texts) {
    double expected = 0;
    ASSERT_EQ(std::from_chars(text.data(), text.data() + text.size(), expected).ec, std::errc()) << text;
    auto r = json::parse(text);
    ASSERT_TRUE(r.ok()) << text;
    ASSERT_EQ(r->kind(), Value::Kind::real) << text;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(r->as_real()), std::bit_cast<std::uint64_t>(expected)) << text;
  }
}

// Members are ordered before they are built; with many repeats of each key
// an unstable order would let an earlier value win.
TEST(JsonRead, LaterDuplicateWinsInLargeObjects) {
  std::string text = "{";
  std::map<std::string, std::uint64_t> last;
  for (std::uint64_t n = 0; n < 1000; ++n) {
    std::string key(1, static_cast<char>('a' + n % 7));
    text += (n ? ",\"" : "\"") + key + "\": [" + std::to_string(n) + "]";
    last[key] = n;
  }
  auto r = load(text + "}");
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r->as_object().size(), last.size());
  for (const auto& m : r->as_object()) EXPECT_EQ(m.value, arr({u(last.at(std::string(m.key)))})) << m.key;
}

// Comparing a text with a tree while reading must agree with reading the
// text and comparing the trees, for every pair of these texts.
TEST(JsonRead, MatchesAgreesWithReadThenCompare) {
  std::string many = "{";
  for (int n = 0; n < 40; ++n) many += (n ? ",\"k" : "\"k") + std::to_string(n % 23) + "\": " + std::to_string(n);
  many += "}";
  auto deep = [](const std::string& leaf) {
    std::string text = leaf;
    for (int k = 1; k < 128; ++k) text = (k % 2 ? "{\"a\":" : "[") + text + (k % 2 ? "}" : "]");
    return text;
  };
  const std::vector<std::string> texts = {
      // numbers: what each is read as, and where the kinds part
      "null", "true", "false", "0", "-0", "0.0", "-0.0", "1", "-1", "1.0", "1e0", "0.5", "1e308", "1.8e308", "-1.8e308", "1e-400",
      "18446744073709551615", "18446744073709551616", "-9223372036854775808", "-9223372036854775809",
      // strings, escaped or not
      "\"\"", "\"1\"", "\"a\\u0000b\"", "\"ab\"", "\"a\\nb\"", "\"a\\u000ab\"", "\"a\\\\nb\"", "\"\\ud83d\\ude00\"",
      "\"\xf0\x9f\x98\x80\"",
      // containers
      "[]", "{}", "[1]", "[1,2]", "[2,1]", "[1,2,3]", "[[1]]", "[{}]", "[[]]", R"({"a":1})", R"({"a":1.0})",
      R"({"a":"1"})", R"({"a":[1]})", R"({"b":1})", R"({"a":1,"b":2})", R"({"b":2,"a":1})", R"({"a":1,"b":1})",
      R"({"a":{"b":[1,{"c":null}]}})", R"({"a":{"b":[1,{"c":0}]}})", R"({"a":{"b":[1,{"c":null,"d":0}]}})",
      R"({"":1})", R"({"a\u0000":1})", R"({"a":1,"a\u0000":1})", R"({"a\nb":1})", R"({"a\u000ab":1})",
      // repeated keys: the last counts, also when it hides a difference or a missing member
      R"({"a":0,"a":1})", R"({"a":1,"a":0})", R"({"a":1,"a":1})", R"({"a":1,"b":2,"a":1})", R"({"a":2,"b":2,"a":1})",
      R"({"a":{"x":1},"a":{"y":1}})", R"({"a":{"y":1}})", R"({"a":{"y":1},"a":{"y":1,"y":2}})",
      R"({"a":[1,{"b":2,"b":3}]})", R"({"a":[1,{"b":3}]})", R"({"a":[1,{"b":3,"b":2}]})",
      many, many.substr(0, many.size() - 1) + R"(,"k5":-1})",
      deep("1"), deep("2"), deep("[]"), deep("{}")};
  for (const auto& text : texts) {
    auto read = json::parse(text);
    ASSERT_TRUE(read.ok()) << text;
    for (const auto& other : texts) {
      auto expected = json::parse(other);
      ASSERT_TRUE(expected.ok()) << other;
      auto got = json::matches(text, *expected);
      ASSERT_TRUE(got.ok()) << text;
      EXPECT_EQ(*got, *read == *expected) << text << " against " << other;
    }
  }
  // A text that does not read fails as a load does, even past a difference.
  for (const auto& [text, message] : {std::pair<std::string, std::string>{"[1,", "Invalid value. at line 1 column 4"},
                                      {"[2, 1,", "Invalid value. at line 1 column 7"},
                                      {R"({"b": 1, "a": x})", "Invalid value. at line 1 column 15"}}) {
    for (const Value& expected : {Value(), arr({u(1)})}) {
      auto broken = json::matches(text, expected);
      ASSERT_FALSE(broken.ok()) << text;
      EXPECT_EQ(broken.failure().message, "JSON parse error: " + message);
    }
  }
}

// Large objects: looked up through their index, with more members than
// one word of marks, and kept as a tree after a change in the middle (its
// members no longer in one block). Each text is a variant of the members
// k0..k(n-1), compared with the tree it reads as and with others.
TEST(JsonRead, MatchesLargeObjectsMemberByMember) {
  for (const std::size_t n : {20u, 70u, 200u}) {
    auto value = [](std::size_t k, std::size_t v) {
      const std::string number = std::to_string(v);
      return k % 3 == 0 ? number : k % 3 == 1 ? "[" + number + "]" : "{\"v\":" + number + "}";
    };
    // (key, value) in the order written; the key's number stands in for it.
    using Members = std::vector<std::pair<std::size_t, std::size_t>>;
    auto text_of = [&value](const Members& members) {
      std::string text = "{";
      for (const auto& [k, v] : members) text += (text.size() > 1 ? ",\"k" : "\"k") + std::to_string(k) + "\":" + value(k, v);
      return text + "}";
    };
    Members all;
    for (std::size_t k = 0; k < n; ++k) all.emplace_back((k * 7) % n, (k * 7) % n);  // not in key order
    auto in_key_order = [](Members& m) {
      std::sort(m.begin(), m.end(), [](auto& x, auto& y) { return std::to_string(x.first) < std::to_string(y.first); });
    };
    auto with = [&all](auto change) {
      Members m = all;
      change(m);
      return m;
    };
    const std::size_t a = all[1].first, b = all[n / 2].first, z = all.back().first;
    const std::vector<Members> variants = {
        all,
        with([&](Members& m) { m[n / 2].second += 1000; }),                      // a value changed
        with([&](Members& m) { m.erase(m.begin() + 3); }),                        // a member missing
        with([&](Members& m) { m.emplace_back(n, n); }),                          // a member added
        with([&](Members& m) { m.insert(m.begin(), {z, 5000}); }),                // repeated, the stale first
        with([&](Members& m) { m.emplace_back(a, 5000); }),                       // repeated, the stale last
        with([&](Members& m) { m.emplace_back(a, a); }),                          // repeated, the same twice
        with([&](Members& m) { m[n / 2] = {a, a}; }),                             // repeated, hiding a missing one
        with([&](Members& m) { m.insert(m.begin() + 2, {b, 9}); m.emplace_back(b, 8); }),  // three times, none right
        with([&](Members& m) { m.insert(m.begin() + 2, {b, 9}); m.emplace_back(b, b); }),  // three times, the last right
        // in key order, as this library writes it
        with(in_key_order),
        with([&](Members& m) { in_key_order(m); m[n - 2].second += 1000; }),
        with([&](Members& m) { in_key_order(m); m.insert(m.begin() + 1, {m[1].first, 5000}); }),
        with([&](Members& m) { in_key_order(m); m.insert(m.begin() + 2, {m[1].first, 5000}); }),
    };
    std::vector<Value> trees;
    for (const auto& v : variants) {
      auto read = json::parse(text_of(v));
      ASSERT_TRUE(read.ok());
      trees.push_back(std::move(*read));
    }
    // The first two again, changed in the middle and back: the same
    // members, kept as a tree where the object is large enough.
    for (std::size_t t = 0; t < 2; ++t) {
      auto read = json::parse(text_of(variants[t]));
      ASSERT_TRUE(read.ok());
      trees.push_back(std::move(*read));
      Object& o = trees.back().as_object();
      o.insert_or_assign("k1x", Value());
      ASSERT_TRUE(o.erase("k1x"));
      EXPECT_EQ(trees.back(), trees[t]);
    }
    for (const auto& v : variants) {
      const std::string text = text_of(v);
      auto read = json::parse(text);
      for (const Value& expected : trees) {
        auto got = json::matches(text, expected);
        ASSERT_TRUE(got.ok());
        EXPECT_EQ(*got, *read == expected) << n << " members: " << text;
      }
    }
  }
}

TEST(JsonRead, Errors) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "JSON parse error: The document is empty. at line 1 column 1"},
      {" \n ", "JSON parse error: The document is empty. at line 2 column 2"},
      {"[1] 2", "JSON parse error: The document root must not be followed by other values. at line 1 column 5"},
      {std::string("[1]\0", 4),
       "JSON parse error: The document root must not be followed by other values. at line 1 column 4"},
      {std::string("[1]\n\0\n", 6),
       "JSON parse error: The document root must not be followed by other values. at line 2 column 1"},
      {std::string("[\"a\0\"]", 6), "JSON parse error: Missing a closing quotation mark in string. at line 1 column 4"},
      {"\"\xff\"", "JSON parse error: Invalid encoding in string. at line 1 column 2"},
      {R"(["\udc00"])", "JSON parse error: The surrogate pair in string is invalid. at line 1 column 10"},
      {R"(["\ud800"])", "JSON parse error: The surrogate pair in string is invalid. at line 1 column 3"},
      {"{\n  \"\xc3\xa9\": tru\n}", "JSON parse error: Invalid value. at line 2 column 11"},
      {"[1,]", "JSON parse error: Invalid value. at line 1 column 4"},
      {nested_arrays(129), "JSON parse error: recursion limit exceeded at line 1 column 129"},
  };
  for (const auto& [text, message] : cases) EXPECT_EQ(error_of(text), message) << text;
}

TEST(JsonRead, DepthLimit) {
  auto ok = load(nested_arrays(max_parse_depth));
  ASSERT_TRUE(ok.ok()) << ok.failure().message;
  EXPECT_EQ(ok->depth(), max_parse_depth);

  std::string objects;
  for (std::size_t d = 0; d < max_parse_depth + 1; ++d) objects += "{\"a\":";
  objects += "0" + std::string(max_parse_depth + 1, '}');
  EXPECT_NE(error_of(objects).find("recursion limit exceeded"), std::string::npos);

  // Far beyond the limit and unterminated: must fail, not exhaust the stack.
  EXPECT_NE(error_of(std::string(100000, '[')).find("recursion limit exceeded"), std::string::npos);
  EXPECT_NE(error_of(nested_arrays(100000)).find("recursion limit exceeded"), std::string::npos);
}

// The reader streams through a fixed buffer: values, escapes and error
// positions must come out right across refills.
TEST(JsonRead, AcrossBufferBoundaries) {
  std::vector<std::size_t> pads = {16383, 16384};
  for (std::size_t pad = 8150; pad <= 8193; ++pad) pads.push_back(pad);
  for (std::size_t pad : pads) {
    std::string long_string(pad, 'x');
    std::string text = "{\"k\": \"" + long_string + "\\u00e9\\n\xe2\x82\xac\xf0\x9f\x98\x80\", " +
                       "\"n\": [12345678901234567890, -1.5e3, true, null]}";
    auto r = load(text);
    ASSERT_TRUE(r.ok()) << pad << ": " << r.failure().message;
    EXPECT_EQ(*r, obj({{"k", s(long_string + "\xc3\xa9\n\xe2\x82\xac\xf0\x9f\x98\x80")},
                       {"n", arr({u(12345678901234567890u), f(-1500.0), Value(true), Value()})}}))
        << pad;

    std::string lines(pad, '\n');
    EXPECT_EQ(error_of(lines + "[x]"),
              "JSON parse error: Invalid value. at line " + std::to_string(pad + 1) + " column 2")
        << pad;
    EXPECT_EQ(error_of(lines + "[]" + std::string(1, '\0')),
              "JSON parse error: The document root must not be followed by other values. at line " +
                  std::to_string(pad + 1) + " column 3")
        << pad;
  }
}

TEST(JsonRead, PipeInput) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::string text = "[1, \"two\", {\"three\": 3.5}]";
  ASSERT_EQ(::write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::close(fds[1]);
  auto r = json::read(fds[0]);
  ::close(fds[0]);
  ASSERT_TRUE(r.ok()) << r.failure().message;
  EXPECT_EQ(*r, arr({u(1), s("two"), obj({{"three", f(3.5)}})}));

  // A pipe cannot be reread for the line, so the offset stands in.
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::write(fds[1], "[1,\n?]", 6), 6);
  ::close(fds[1]);
  auto bad = json::read(fds[0]);
  ::close(fds[0]);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.failure().message, "JSON parse error: Invalid value. at byte 4");
}

TEST(JsonRead, ReadErrorIsParseFailure) {
  int fd = ::open("/tmp", O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  auto r = json::read(fd);
  ::close(fd);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.failure().kind, ErrorKind::type_error);
  EXPECT_EQ(r.failure().message.rfind("JSON parse error: Is a directory", 0), 0u) << r.failure().message;
}

}  // namespace
}  // namespace zub
