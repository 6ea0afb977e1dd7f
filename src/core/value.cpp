#include "core/value.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace zub {

namespace {
struct KeyLess {
  bool operator()(const Member& m, std::string_view key) const noexcept { return m.key < key; }
};
}  // namespace

Object::Object(const Object&) = default;
Object::Object(Object&&) noexcept = default;
Object& Object::operator=(const Object&) = default;
Object& Object::operator=(Object&&) noexcept = default;
Object::~Object() = default;

Object Object::from_unsorted(std::vector<Member>&& members) {
  Object out;
  // Stable sort keeps duplicates in arrival order, so the last of each run wins.
  std::stable_sort(members.begin(), members.end(),
                   [](const Member& a, const Member& b) { return a.key < b.key; });
  auto& dst = out.members_;
  dst.reserve(members.size());
  for (auto& m : members) {
    if (!dst.empty() && dst.back().key == m.key)
      dst.back().value = std::move(m.value);
    else
      dst.push_back(std::move(m));
  }
  members.clear();
  return out;
}

const Value* Object::find(std::string_view key) const noexcept {
  auto it = std::lower_bound(members_.begin(), members_.end(), key, KeyLess{});
  if (it == members_.end() || it->key != key) return nullptr;
  return &it->value;
}

Value* Object::find(std::string_view key) noexcept {
  return const_cast<Value*>(std::as_const(*this).find(key));
}

Value& Object::insert_or_assign(std::string_view key, Value&& value) {
  auto it = std::lower_bound(members_.begin(), members_.end(), key, KeyLess{});
  if (it != members_.end() && it->key == key) {
    it->value = std::move(value);
    return it->value;
  }
  return members_.insert(it, Member{std::string(key), std::move(value)})->value;
}

bool Object::erase(std::string_view key) noexcept {
  auto it = std::lower_bound(members_.begin(), members_.end(), key, KeyLess{});
  if (it == members_.end() || it->key != key) return false;
  members_.erase(it);
  return true;
}

void Object::clear() noexcept { members_.clear(); }
std::size_t Object::size() const noexcept { return members_.size(); }
bool Object::empty() const noexcept { return members_.empty(); }
std::vector<Member>::const_iterator Object::begin() const noexcept { return members_.begin(); }
std::vector<Member>::const_iterator Object::end() const noexcept { return members_.end(); }
bool Object::operator==(const Object& other) const { return members_ == other.members_; }

Value::Value() noexcept : v_(Null{}) {}
Value::Value(Null) noexcept : v_(Null{}) {}
Value::Value(bool b) noexcept : v_(b) {}
Value::Value(std::uint64_t u) noexcept : v_(u) {}
Value::Value(std::string s) noexcept : v_(std::move(s)) {}
Value::Value(Array a) noexcept : v_(std::move(a)) {}
Value::Value(Object o) noexcept : v_(std::move(o)) {}

Value Value::from_int(std::int64_t i) noexcept {
  Value v;
  if (i >= 0)
    v.v_.emplace<std::uint64_t>(static_cast<std::uint64_t>(i));
  else
    v.v_.emplace<std::int64_t>(i);
  return v;
}

Value Value::from_double(double d) noexcept {
  Value v;
  if (std::isfinite(d)) v.v_.emplace<double>(d);
  return v;
}

Value::Value(const Value&) = default;
Value::Value(Value&&) noexcept = default;
Value& Value::operator=(const Value&) = default;
Value& Value::operator=(Value&&) noexcept = default;
Value::~Value() = default;

std::size_t Value::depth() const {
  std::size_t deepest = 0;
  if (const auto* o = if_object()) {
    for (const auto& m : *o) deepest = std::max(deepest, m.value.depth());
    return deepest + 1;
  }
  if (const auto* a = std::get_if<Array>(&v_)) {
    for (const auto& e : *a) deepest = std::max(deepest, e.depth());
    return deepest + 1;
  }
  return 0;
}

bool Value::operator==(const Value& other) const { return v_ == other.v_; }

}  // namespace zub
