#include "core/value.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <utility>

namespace zub {

namespace {
struct KeyLess {
  bool operator()(const Member& m, std::string_view key) const noexcept { return m.key < key; }
};

// FNV-1a over 8-byte words: keys are short, and this only spreads them
// over the index.
std::uint64_t hash_key(std::string_view key) noexcept {
  std::uint64_t h = 0xcbf29ce484222325ull ^ key.size();
  const char* p = key.data();
  std::size_t n = key.size();
  while (n >= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    h = (h ^ w) * 0x100000001b3ull;
    h ^= h >> 29;
    p += 8;
    n -= 8;
  }
  std::uint64_t tail = 0;
  std::memcpy(&tail, p, n);
  h = (h ^ tail) * 0x100000001b3ull;
  return h ^ (h >> 32);
}

bool same_key(const std::string& a, std::string_view b) noexcept {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), b.size()) == 0;
}
}  // namespace

// Without an index lookups scan, which is always correct: so when the
// index cannot be allocated, the object simply goes without.
void Object::reindex() noexcept {
  index_.reset();
  if (members_.size() < indexed_from) return;
  std::size_t slots = 32;
  while (slots < members_.size() * 2) slots *= 2;
  std::uint32_t* table = new (std::nothrow) std::uint32_t[slots + 1]();
  if (!table) return;
  index_.reset(table);
  table[0] = static_cast<std::uint32_t>(slots);
  std::uint32_t* slot_of = table + 1;
  const std::size_t mask = slots - 1;
  for (std::size_t i = 0; i < members_.size(); ++i) {
    std::size_t slot = hash_key(members_[i].key) & mask;
    while (slot_of[slot]) slot = (slot + 1) & mask;
    slot_of[slot] = static_cast<std::uint32_t>(i + 1);
  }
}

// Adding one member shifts the positions after it by one: the index is
// patched in place (a pass over plain integers, no hashing), and rebuilt
// only when it grows past half full, so adding keys one by one to a large
// object stays linear per insertion instead of rehashing every key.
void Object::index_inserted(std::size_t at) noexcept {
  const std::size_t slots = slot_count();
  if (slots == 0 || members_.size() * 2 > slots) {
    reindex();
    return;
  }
  std::uint32_t* slot_of = index_.get() + 1;
  const auto shifted = static_cast<std::uint32_t>(at);
  for (std::size_t i = 0; i < slots; ++i)
    if (slot_of[i] > shifted) ++slot_of[i];
  const std::size_t mask = slots - 1;
  std::size_t slot = hash_key(members_[at].key) & mask;
  while (slot_of[slot]) slot = (slot + 1) & mask;
  slot_of[slot] = static_cast<std::uint32_t>(at + 1);
}

std::size_t Object::position(std::string_view key) const noexcept {
  const std::size_t slots = slot_count();
  if (slots == 0) {
    for (std::size_t i = 0; i < members_.size(); ++i)
      if (same_key(members_[i].key, key)) return i;
    return members_.size();
  }
  const std::uint32_t* slot_of = index_.get() + 1;
  const std::size_t mask = slots - 1;
  for (std::size_t slot = hash_key(key) & mask;; slot = (slot + 1) & mask) {
    std::uint32_t entry = slot_of[slot];
    if (!entry) return members_.size();
    if (same_key(members_[entry - 1].key, key)) return entry - 1;
  }
}

Object::Object(const Object& other) : members_(other.members_) { reindex(); }
Object::Object(Object&&) noexcept = default;
Object& Object::operator=(const Object& other) {
  if (this != &other) {
    members_ = other.members_;
    reindex();
  }
  return *this;
}
Object& Object::operator=(Object&&) noexcept = default;
Object::~Object() = default;

Object Object::from_unsorted(std::vector<Member>&& members) {
  auto less = [](const Member& a, const Member& b) { return a.key < b.key; };
  // Loading calls this once per object, so it sorts and deduplicates in
  // place: files we wrote arrive sorted and skip both steps, small objects
  // avoid the merge sort's buffer, and no second vector is built.
  bool strictly_sorted = true;
  for (std::size_t i = 1; i < members.size() && strictly_sorted; ++i)
    strictly_sorted = members[i - 1].key < members[i].key;
  if (!strictly_sorted) {
    if (members.size() <= indexed_from) {
      // Insertion sort: stable, since a member only passes greater keys.
      for (std::size_t i = 1; i < members.size(); ++i) {
        if (!(members[i].key < members[i - 1].key)) continue;
        Member moving = std::move(members[i]);
        std::size_t j = i;
        do {
          members[j] = std::move(members[j - 1]);
          --j;
        } while (j > 0 && moving.key < members[j - 1].key);
        members[j] = std::move(moving);
      }
    } else {
      // Stable, so among equal keys the last to arrive ends last and wins.
      std::stable_sort(members.begin(), members.end(), less);
    }
    auto kept = members.begin();
    for (auto it = members.begin(); it != members.end(); ++it) {
      if (kept != members.begin() && std::prev(kept)->key == it->key) {
        std::prev(kept)->value = std::move(it->value);
      } else {
        if (kept != it) *kept = std::move(*it);
        ++kept;
      }
    }
    members.erase(kept, members.end());
  }
  // Callers that could not size the vector up front may leave slack.
  if (members.capacity() - members.size() > members.size() / 4) members.shrink_to_fit();
  Object out;
  out.members_ = std::move(members);
  out.reindex();
  return out;
}

const Value* Object::find(std::string_view key) const noexcept {
  std::size_t i = position(key);
  return i < members_.size() ? &members_[i].value : nullptr;
}

Value* Object::find(std::string_view key) noexcept {
  return const_cast<Value*>(std::as_const(*this).find(key));
}

Value& Object::insert_or_assign(std::string_view key, Value&& value) {
  if (std::size_t i = position(key); i < members_.size()) {
    members_[i].value = std::move(value);
    return members_[i].value;
  }
  auto it = std::lower_bound(members_.begin(), members_.end(), key, KeyLess{});
  std::size_t at = static_cast<std::size_t>(it - members_.begin());
  members_.insert(it, Member{std::string(key), std::move(value)});
  index_inserted(at);
  return members_[at].value;
}

bool Object::erase(std::string_view key) noexcept {
  std::size_t i = position(key);
  if (i == members_.size()) return false;
  members_.erase(members_.begin() + static_cast<std::ptrdiff_t>(i));
  reindex();
  return true;
}

void Object::clear() noexcept {
  members_.clear();
  index_.reset();
}
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
