#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/value.hpp"
#include "support.hpp"

namespace zub {
namespace {

using namespace support;

// Byte order, not locale or code point order of decoded text: upper case
// before lower case, NUL first, UTF-8 lead bytes after ASCII. Prefixes and
// extensions of a key are other keys.
const std::vector<std::string> special_keys = {
    std::string(), std::string("\0", 1), std::string("\0a", 2), "A", "Z", "a", "a\x01", "ab", "b", "bb", "\x7f",
    "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80"};

// Large objects look members up through a hash index that every insertion
// and removal rebuilds; compare against a std::map (byte order too) through
// small objects, growth across the indexing threshold, shrinking below it,
// copies and bulk builds.
TEST(Object, AgreesWithAMap) {
  for (std::size_t pool : {special_keys.size(), std::size_t{400}}) {
    std::mt19937 rng(11);
    auto key = [&] {
      std::size_t n = rng() % pool;
      return n < special_keys.size() ? special_keys[n] : "k" + std::to_string(n);
    };
    std::map<std::string, std::uint64_t> model;
    Object o;
    auto check = [&](const Object& obj) {
      ASSERT_EQ(obj.size(), model.size());
      ASSERT_EQ(obj.empty(), model.empty());
      auto it = model.begin();
      for (const auto& m : obj) {
        EXPECT_EQ(m.key, it->first);
        EXPECT_EQ(m.value, u(it->second));
        ++it;
      }
      for (int probe = 0; probe < 300; ++probe) {
        std::string k = key();
        const Value* v = obj.find(k);
        ASSERT_EQ(v != nullptr, model.count(k) == 1) << k;
        if (v) {
          EXPECT_EQ(*v, u(model[k]));
        }
      }
    };
    for (int step = 0; step < 3000; ++step) {
      std::string k = key();
      if (step < 2000 ? rng() % 4 != 0 : rng() % 4 == 0) {
        Value& stored = o.insert_or_assign(k, u(static_cast<std::uint64_t>(step)));
        EXPECT_EQ(&stored, o.find(k));
        model[k] = static_cast<std::uint64_t>(step);
      } else {
        EXPECT_EQ(o.erase(k), model.erase(k) == 1);
      }
      if (step % 250 == 0 || pool < 100) check(o);
    }
    check(o);
    Object copy = o;
    check(copy);
    std::vector<Member> members;
    for (const auto& [k, v] : model) members.push_back(Member{k, u(v)});
    std::shuffle(members.begin(), members.end(), rng);
    check(Object::from_unsorted(std::move(members)));
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
