#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/hash.hpp"
#include "core/value.hpp"
#include "support.hpp"

namespace zub {
namespace {

using namespace support;

// Byte order, not locale or code point order of decoded text: upper case
// before lower case, NUL first, UTF-8 lead bytes after ASCII. Prefixes and
// extensions of a key are other keys.
// Keys of every length around the 15 bytes held inline, in pairs that differ
// only in their last byte, so that each byte of a short key takes part.
const std::vector<std::string> special_keys = [] {
  std::vector<std::string> keys = {std::string(), std::string("\0", 1), std::string("\0a", 2), "A", "Z", "a", "a\x01",
                                    "ab", "b", "bb", "\x7f", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80"};
  for (std::size_t n = 2; n <= 18; ++n)
    for (char last : {'x', 'y'}) keys.push_back(std::string("0123456789abcdefgh").substr(0, n - 1) + last);
  return keys;
}();

// Large objects keep a hash index, and the first change in the middle of
// one moves it into a tree. Each scenario drives one through a different
// path (growth in either order, removals from a loaded object, mixed
// changes, shrinking to empty), checked against a plain map throughout,
// and so are copies and bulk builds of the result.
TEST(Object, AgreesWithAMapThroughEveryChange) {
  enum Op { insert_ascending, insert_descending, erase_ascending, erase_descending, erase_odd, mixed, small, load };
  const std::vector<std::vector<Op>> scenarios = {
      {insert_ascending, erase_odd, erase_descending},
      {insert_descending, erase_ascending},
      {load, erase_odd, mixed, erase_ascending},
      {load, insert_descending, mixed},
      {mixed, mixed},
      {small},
      {insert_ascending, erase_descending},  // flat throughout, its block shrinking
  };
  std::mt19937 rng(11);
  for (std::size_t sc = 0; sc < scenarios.size(); ++sc) {
    SCOPED_TRACE(sc);
    std::map<std::string, std::uint64_t> model;
    Object o;
    // The special keys come first, so byte order is checked in every mode.
    auto key = [](std::size_t i) {
      if (i < special_keys.size()) return special_keys[i];
      char buf[32];
      std::snprintf(buf, sizeof buf, "item_%04zu", i);
      return std::string(buf);
    };
    auto check = [&](const Object& obj) {
      ASSERT_EQ(obj.size(), model.size());
      auto it = model.begin();
      for (const auto& m : obj) {
        ASSERT_EQ(m.key, it->first);
        EXPECT_EQ(m.value, u(it->second));
        ++it;
      }
      for (std::size_t i = 0; i < 1100; i += i < special_keys.size() ? 1u : 7u) {
        const Value* v = obj.find(key(i));
        ASSERT_EQ(v != nullptr, model.count(key(i)) == 1) << key(i);
        if (v) {
          EXPECT_EQ(*v, u(model[key(i)]));
        }
      }
    };
    auto put = [&](std::size_t i, std::uint64_t v) {
      o.insert_or_assign(key(i), u(v));
      model[key(i)] = v;
    };
    auto drop = [&](std::size_t i) { EXPECT_EQ(o.erase(key(i)), model.erase(key(i)) == 1) << key(i); };
    for (Op op : scenarios[sc]) {
      switch (op) {
        case insert_ascending: for (std::size_t i = 0; i < 1000; ++i) put(i, i); break;
        case insert_descending: for (std::size_t i = 1000; i-- > 0;) put(i, i + 1); break;
        case erase_ascending: for (std::size_t i = 0; i < 1000; ++i) drop(i); break;
        case erase_descending: for (std::size_t i = 1000; i-- > 0;) drop(i); break;
        case erase_odd: for (std::size_t i = 1; i < 1000; i += 2) drop(i); break;
        case mixed:
          for (int step = 0; step < 3000; ++step) {
            std::size_t i = rng() % 1100;
            if (rng() % 3) put(i, static_cast<std::uint64_t>(step));
            else drop(i);
            if (step % 500 == 0) check(o);
          }
          break;
        case small:  // about a dozen keys, the special ones among them
          for (int step = 0; step < 400; ++step) {
            std::size_t i = rng() % (special_keys.size() + 6);
            if (rng() % 4 == 0) put(i, static_cast<std::uint64_t>(step));
            else drop(i);
            check(o);
          }
          break;
        case load: {
          std::vector<Member> members;
          for (std::size_t i = 0; i < 1000; i += 2) members.push_back(Member{key(i), u(i)});
          std::shuffle(members.begin(), members.end(), rng);
          o = Object::from_unsorted(std::move(members));
          model.clear();
          for (std::size_t i = 0; i < 1000; i += 2) model[key(i)] = i;
          break;
        }
      }
      check(o);
    }
    Object copy = o;
    check(copy);
    EXPECT_EQ(copy, o);
    std::vector<Member> members;
    for (const auto& [k, v] : model) members.push_back(Member{k, u(v)});
    std::shuffle(members.begin(), members.end(), rng);
    check(Object::from_unsorted(std::move(members)));
  }
}

// Keys that differ only in their last characters (the usual shape of
// settings) must spread over the whole table like random ones, for any
// seed; and the seed must change where they land.
TEST(Hash, PatternedKeysSpreadLikeRandomOnes) {
  struct Family {
    const char* format;
    std::size_t count;
  };
  const Family families[] = {{"group%02zu", 60},     {"opt%04zu", 2000},        {"item_%04zu", 10000},
                             {"sensor-%05zu", 100000}, {"k%zu", 100000},       {"settings/display/panel_%06zu", 50000}};
  for (const auto& f : families) {
    for (std::uint64_t seed : {std::uint64_t{1}, std::uint64_t{0x9e3779b97f4a7c15}}) {
      SCOPED_TRACE(std::string(f.format) + " seed " + std::to_string(seed));
      std::size_t slots = 32;
      while (slots < f.count * 2) slots *= 2;  // as the index sizes itself
      std::vector<std::uint32_t> load(slots);
      std::size_t moved_with_seed = 0;
      for (std::size_t i = 0; i < f.count; ++i) {
        char buf[64];
        int n = std::snprintf(buf, sizeof buf, f.format, i);
        std::string_view k(buf, static_cast<std::size_t>(n));
        std::uint64_t h = hash_bytes(k, seed);
        ++load[h & (slots - 1)];
        moved_with_seed += (h != hash_bytes(k, seed + 1));
      }
      std::size_t used = 0, worst = 0;
      for (auto c : load) {
        used += c != 0;
        worst = std::max<std::size_t>(worst, c);
      }
      // Random keys fill m * (1 - e^(-n/m)) slots and stack at most a handful deep.
      double expected = static_cast<double>(slots) * (1 - std::exp(-static_cast<double>(f.count) / static_cast<double>(slots)));
      EXPECT_GT(static_cast<double>(used), 0.85 * expected);
      EXPECT_LE(worst, 10u);
      EXPECT_EQ(moved_with_seed, f.count);
    }
  }
}

TEST(Object, FromUnsortedLaterDuplicateWins) {
  struct Case {
    std::vector<std::pair<std::string, int>> in;
    std::vector<std::pair<std::string, int>> out;
  };
  const Case cases[] = {
      {{}, {}},
      {{{"a", 1}}, {{"a", 1}}},
      {{{"b", 1}, {"a", 2}, {"c", 3}}, {{"a", 2}, {"b", 1}, {"c", 3}}},
      {{{"a", 1}, {"a", 2}}, {{"a", 2}}},
      {{{"x", 1}, {"a", 2}, {"x", 3}, {"b", 4}, {"x", 5}, {"a", 6}}, {{"a", 6}, {"b", 4}, {"x", 5}}},
      {{{"k", 1}, {"k", 2}, {"k", 3}, {"k", 4}}, {{"k", 4}}},
  };
  for (const auto& c : cases) {
    std::vector<Member> members;
    for (const auto& [k, v] : c.in) members.push_back(Member{k, u(static_cast<std::uint64_t>(v))});
    Object o = Object::from_unsorted(std::move(members));
    std::vector<std::pair<std::string, int>> got;
    for (const auto& m : o) got.emplace_back(m.key, static_cast<int>(m.value.as_uint()));
    EXPECT_EQ(got, c.out);
  }

  // Enough duplicates that a non-stable sort would scramble them.
  std::vector<Member> many;
  for (std::uint64_t n = 0; n < 1000; ++n) many.push_back(Member{std::string(1, static_cast<char>('a' + n % 7)), u(n)});
  Object o = Object::from_unsorted(std::move(many));
  ASSERT_EQ(o.size(), 7u);
  for (const auto& m : o) EXPECT_EQ(m.value.as_uint() % 7, static_cast<std::uint64_t>(m.key[0] - 'a')) << m.key;
  for (const auto& m : o) EXPECT_GE(m.value.as_uint(), 993u) << m.key;
}

// Arrays against a vector of the same values through growth, removal,
// copies and bulk builds; elements include long strings and containers,
// whose blocks move with the array's.
TEST(Array, AgreesWithAVector) {
  std::mt19937 rng(5);
  auto element = [&](std::size_t n) {
    switch (n % 4) {
      case 0: return u(n);
      case 1: return s(std::string(n % 40, 'x') + std::to_string(n));
      case 2: return arr({u(n), s("a string longer than fifteen bytes")});
      default: return obj({{"k" + std::to_string(n), u(n)}});
    }
  };
  std::vector<Value> model;
  Array a;
  for (int step = 0; step < 3000; ++step) {
    switch (rng() % 8) {
      case 0: case 1: case 2: {
        Value v = element(rng() % 1000);
        model.push_back(v);
        a.push_back(std::move(v));
        break;
      }
      case 3:  // an element of the array itself, while the array may grow
        if (!model.empty()) {
          std::size_t i = rng() % model.size();
          model.push_back(model[i]);
          a.push_back(a[i]);
        }
        break;
      case 4:
        if (!model.empty()) {
          model.pop_back();
          a.pop_back();
        }
        break;
      case 5: a = Array(a); break;
      case 6: {
        std::vector<Value> items(a.begin(), a.end());
        a = Array::from_span(items);
        break;
      }
      default:
        if (rng() % 50 == 0) {
          model.clear();
          a.clear();
        }
        a.reserve(a.size() + rng() % 8);
    }
    ASSERT_EQ(a.size(), model.size());
    ASSERT_GE(a.capacity(), a.size());
    ASSERT_TRUE(std::equal(a.begin(), a.end(), model.begin(), model.end())) << step;
  }
}

// A container replaced by one of its own parts: the part must be taken out
// before the rest is freed.
TEST(Value, AssignedFromItsOwnPart) {
  const std::string text(40, 't');
  const Value inner = obj({{"b", s(text)}, {"c", arr({u(1)})}});
  Value v = obj({{"a", inner}, {"z", u(2)}});
  v = std::move(*v.as_object().find("a"));
  EXPECT_EQ(v, inner);
  v = arr({arr({s(text)}), u(3)});
  v = std::move(v.as_array()[0]);
  EXPECT_EQ(v, arr({s(text)}));
  Array a{arr({s(text), u(4)}), u(5)};
  a = std::move(a[0].as_array());
  EXPECT_EQ(Value(std::move(a)), arr({s(text), u(4)}));
}

TEST(Value, IntegerAndFloatRules) {
  EXPECT_EQ(Value::from_int(0).kind(), Value::Kind::uint);
  EXPECT_EQ(Value::from_int(5).kind(), Value::Kind::uint);
  EXPECT_EQ(Value::from_int(5), u(5));
  EXPECT_EQ(Value::from_int(std::numeric_limits<std::int64_t>::max()).as_uint(), 9223372036854775807u);
  EXPECT_EQ(Value::from_int(-1).kind(), Value::Kind::sint);
  EXPECT_EQ(Value::from_int(std::numeric_limits<std::int64_t>::min()).as_sint(), std::numeric_limits<std::int64_t>::min());

  const double non_finite[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity()};
  for (double d : non_finite) EXPECT_TRUE(Value::from_double(d).is_null()) << d;
  const double finite[] = {0.0, -0.0, 2.0, 5e-324, -1.7976931348623157e308};
  for (double d : finite) {
    Value v = Value::from_double(d);
    ASSERT_EQ(v.kind(), Value::Kind::real) << d;
    EXPECT_EQ(std::signbit(v.as_real()), std::signbit(d));
    EXPECT_EQ(v.as_real(), d);
  }

  // The kinds never compare equal across: 2, 2.0 and -2 stay apart.
  EXPECT_NE(u(2), Value::from_double(2.0));
  EXPECT_NE(Value::from_int(-2), Value::from_double(-2.0));
  EXPECT_NE(Value(false), u(0));
  EXPECT_NE(Value(), Value(std::string()));
}

TEST(Value, Depth) {
  const std::pair<Value, std::size_t> cases[] = {
      {Value(), 0},
      {u(1), 0},
      {Value(std::string("[[]]")), 0},
      {arr({}), 1},
      {obj({}), 1},
      {arr({u(1), u(2)}), 1},
      {arr({arr({})}), 2},
      {obj({{"a", arr({u(1)})}}), 2},
      // the deepest branch counts, wherever it sits
      {arr({u(1), arr({arr({obj({})})}), arr({})}), 4},
      {obj({{"a", obj({})}, {"b", Value()}, {"c", obj({{"d", arr({arr({})})}})}}), 4},
  };
  for (const auto& [value, depth] : cases) EXPECT_EQ(value.depth(), depth);

  Value deep = arr({});
  for (std::size_t d = 1; d < max_tree_depth; ++d) deep = arr({std::move(deep)});
  EXPECT_EQ(deep.depth(), max_tree_depth);
}

}  // namespace
}  // namespace zub
