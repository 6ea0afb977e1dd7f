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

namespace zub {
namespace {

Value u(std::uint64_t v) { return Value(v); }

std::vector<std::string> keys_of(const Object& o) {
  std::vector<std::string> keys;
  for (const auto& m : o) keys.push_back(m.key);
  return keys;
}

// Byte order, not locale or code point order of decoded text: upper case
// before lower case, NUL first, UTF-8 lead bytes after ASCII.
const std::vector<std::string> sorted_keys = {std::string(),     std::string("\0", 1), std::string("\0a", 2), "A",
                                              "Z",               "a",                  "a\x01",               "ab",
                                              "b",               "\x7f",               "\xc3\xa9",            "\xe2\x82\xac",
                                              "\xf0\x9f\x98\x80"};

TEST(Object, InsertKeepsByteOrderWhateverTheArrivalOrder) {
  std::mt19937 rng(3);
  for (int round = 0; round < 20; ++round) {
    std::vector<std::string> shuffled = sorted_keys;
    std::shuffle(shuffled.begin(), shuffled.end(), rng);
    Object o;
    for (const auto& k : shuffled) o.insert_or_assign(k, u(k.size()));
    EXPECT_EQ(keys_of(o), sorted_keys);
    for (const auto& k : sorted_keys) {
      const Value* v = o.find(k);
      ASSERT_NE(v, nullptr) << k;
      EXPECT_EQ(*v, u(k.size()));
    }
  }
}

TEST(Object, ReplaceFindErase) {
  Object o;
  o.insert_or_assign("b", u(1));
  o.insert_or_assign("a", u(2));
  Value& stored = o.insert_or_assign("b", Value(std::string("new")));
  EXPECT_EQ(stored, Value(std::string("new")));
  EXPECT_EQ(o.size(), 2u);
  EXPECT_EQ(*o.find("b"), Value(std::string("new")));

  // A prefix or an extension of a key is another key.
  EXPECT_EQ(o.find("bb"), nullptr);
  EXPECT_EQ(o.find(""), nullptr);
  EXPECT_EQ(o.find(std::string_view("b\0", 2)), nullptr);

  EXPECT_FALSE(o.erase("c"));
  EXPECT_FALSE(o.erase("B"));
  EXPECT_TRUE(o.erase("a"));
  EXPECT_EQ(keys_of(o), std::vector<std::string>{"b"});
  EXPECT_TRUE(o.erase("b"));
  EXPECT_TRUE(o.empty());
  EXPECT_FALSE(o.erase("b"));

  // The mutable find reaches the stored value.
  o.insert_or_assign("x", u(1));
  *o.find("x") = u(9);
  EXPECT_EQ(*std::as_const(o).find("x"), u(9));
}

// Large objects look members up through a hash index that every insertion
// and removal rebuilds; compare against a plain map through growth across
// the indexing threshold, shrinking below it, copies and bulk builds.
TEST(Object, LargeObjectsAgreeWithAMap) {
  std::mt19937 rng(11);
  std::map<std::string, std::uint64_t> model;
  Object o;
  auto check = [&](const Object& obj) {
    ASSERT_EQ(obj.size(), model.size());
    auto it = model.begin();
    for (const auto& m : obj) {
      EXPECT_EQ(m.key, it->first);
      EXPECT_EQ(m.value, u(it->second));
      ++it;
    }
    for (int probe = 0; probe < 300; ++probe) {
      std::string k = "k" + std::to_string(rng() % 400);
      const Value* v = obj.find(k);
      ASSERT_EQ(v != nullptr, model.count(k) == 1) << k;
      if (v) {
        EXPECT_EQ(*v, u(model[k]));
      }
    }
  };
  for (int step = 0; step < 3000; ++step) {
    std::string k = "k" + std::to_string(rng() % 400);
    if (step < 2000 ? rng() % 4 != 0 : rng() % 4 == 0) {
      o.insert_or_assign(k, u(static_cast<std::uint64_t>(step)));
      model[k] = static_cast<std::uint64_t>(step);
    } else {
      EXPECT_EQ(o.erase(k), model.erase(k) == 1);
    }
    if (step % 250 == 0) check(o);
  }
  check(o);
  Object copy = o;
  check(copy);
  std::vector<Member> members;
  for (const auto& [k, v] : model) members.push_back(Member{k, u(v)});
  std::shuffle(members.begin(), members.end(), rng);
  check(Object::from_unsorted(std::move(members)));
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
  auto arr = [](std::vector<Value> items) { return Value(Array(std::move(items))); };
  auto obj = [](std::vector<Member> members) { return Value(Object::from_unsorted(std::move(members))); };
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
