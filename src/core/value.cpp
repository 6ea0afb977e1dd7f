#include "core/value.hpp"

#include "core/hash.hpp"

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>
#include <set>
#include <type_traits>
#include <utility>

namespace zub {

namespace {

std::uint64_t make_seed() noexcept {
  std::uint64_t seed = 0;
  if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof seed)) {
    // No entropy this early: the clock and where this process was mapped.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    seed = static_cast<std::uint64_t>(now.tv_nsec) * 0x9e3779b97f4a7c15ull ^
           static_cast<std::uint64_t>(now.tv_sec) ^ static_cast<std::uint64_t>(getpid()) << 32 ^
           reinterpret_cast<std::uintptr_t>(&seed);
  }
  return seed;
}

struct KeyOrder {
  using is_transparent = void;
  bool operator()(const Member& a, const Member& b) const noexcept { return a.key < b.key; }
  bool operator()(const Member& a, std::string_view b) const noexcept { return a.key < b; }
  bool operator()(std::string_view a, const Member& b) const noexcept { return a < b.key; }
};

using Tree = std::set<Member, KeyOrder>;
using TreeIt = Tree::const_iterator;
// The object's iterator carries a tree iterator as one pointer-sized word.
static_assert(sizeof(TreeIt) == sizeof(const void*) && std::is_trivially_copyable_v<TreeIt>);

const void* pack(TreeIt it) noexcept { return std::bit_cast<const void*>(it); }
TreeIt unpack(const void* word) noexcept { return std::bit_cast<TreeIt>(word); }

// Keys are short: comparing eight bytes at a time in line beats a call
// to memcmp.
bool same_key(const std::string& a, std::string_view b) noexcept {
  std::size_t n = b.size();
  if (a.size() != n) return false;
  const char* p = a.data();
  const char* q = b.data();
  for (; n >= 8; n -= 8, p += 8, q += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, p, 8);
    std::memcpy(&y, q, 8);
    if (x != y) return false;
  }
  for (; n; --n)
    if (*p++ != *q++) return false;
  return true;
}

}  // namespace

std::uint64_t process_hash_seed() noexcept {
  // Made on first use, which may come before this file's static
  // initialisers run; it never changes afterwards.
  static const std::uint64_t seed = mix_seed(make_seed());
  return seed;
}

// Open addressing with linear probing over pointers to members, at most
// half full. The pointers stay valid: flat members move only when the
// vector reallocates or shifts, and both rebuild the index; tree nodes never
// move.
struct Object::Large {
  std::unique_ptr<const Member*[]> slots;
  std::size_t mask = 0;  // slot count - 1; no index when slots is empty
  std::size_t used = 0;
  bool tree_mode = false;
  Tree tree;

  std::size_t home(std::string_view key) const noexcept { return key_hash(key) & mask; }

  const Member* find(std::string_view key) const noexcept {
    for (std::size_t i = home(key);; i = (i + 1) & mask) {
      const Member* m = slots[i];
      if (!m || same_key(m->key, key)) return m;
    }
  }

  void put(const Member* m) noexcept {
    std::size_t i = home(m->key);
    while (slots[i]) i = (i + 1) & mask;
    slots[i] = m;
    ++used;
  }

  // Backward-shift deletion: later members of the probe run move up, so
  // no tombstones accumulate.
  void remove(const Member* m) noexcept {
    std::size_t i = home(m->key);
    while (slots[i] != m) i = (i + 1) & mask;
    for (std::size_t j = (i + 1) & mask; slots[j]; j = (j + 1) & mask) {
      std::size_t h = home(slots[j]->key);
      // slots[j] may fill the hole at i unless its home lies in (i, j].
      bool stays = i <= j ? (i < h && h <= j) : (i < h || h <= j);
      if (stays) continue;
      slots[i] = slots[j];
      i = j;
    }
    slots[i] = nullptr;
    --used;
  }

  void drop_index() noexcept {
    slots.reset();
    mask = 0;
    used = 0;
  }
};

const Member& Object::const_iterator::tree_member() const noexcept { return *unpack(node_); }

void Object::const_iterator::tree_next() noexcept { node_ = pack(std::next(unpack(node_))); }

bool Object::in_tree() const noexcept { return large_ && large_->tree_mode; }

std::size_t Object::size() const noexcept { return in_tree() ? large_->tree.size() : members_.size(); }

Object::const_iterator Object::begin() const noexcept {
  const_iterator it;
  if (in_tree())
    it.node_ = pack(large_->tree.begin());
  else
    it.flat_ = members_.data();
  return it;
}

Object::const_iterator Object::end() const noexcept {
  const_iterator it;
  if (in_tree())
    it.node_ = pack(large_->tree.end());
  else
    it.flat_ = members_.data() + members_.size();
  return it;
}

// Builds the index from scratch, sized for twice the members. Without an
// index lookups search, which is always correct: so when it cannot be
// allocated, the object simply goes without.
void Object::reindex() noexcept {
  std::size_t n = size();
  if (n < indexed_from) {
    if (large_) large_->drop_index();
    return;
  }
  if (!large_) {
    large_.reset(new (std::nothrow) Large());
    if (!large_) return;
  }
  Large& l = *large_;
  std::size_t slots = 32;
  while (slots < n * 2) slots *= 2;
  l.drop_index();
  l.slots.reset(new (std::nothrow) const Member*[slots]());
  if (!l.slots) return;
  l.mask = slots - 1;
  for (const Member& m : *this) l.put(&m);
}

void Object::index_add(const Member* m) noexcept {
  if (!large_ || !large_->slots || (large_->used + 1) * 2 > large_->mask + 1) {
    reindex();
    return;
  }
  large_->put(m);
}

void Object::index_remove(const Member* m) noexcept {
  if (large_ && large_->slots) large_->remove(m);
}

// Moves every member into nodes of the tree. Fails only for want of
// memory, and then leaves the object as it was.
bool Object::move_to_tree() {
  if (!large_) large_ = std::make_unique<Large>();
  Tree& tree = large_->tree;
  std::size_t moved = 0;
  try {
    for (Member& m : members_) {
      tree.emplace_hint(tree.end(), std::move(m));
      ++moved;
    }
  } catch (const std::bad_alloc&) {
    // Members moved so far come back; moving them allocates nothing.
    auto it = tree.begin();
    for (std::size_t i = 0; i < moved; ++i, ++it) members_[i] = std::move(const_cast<Member&>(*it));
    tree.clear();
    return false;
  }
  members_.clear();
  members_.shrink_to_fit();
  large_->tree_mode = true;
  reindex();
  return true;
}

const Member* Object::locate(std::string_view key) const noexcept {
  if (large_ && large_->slots) return large_->find(key);
  if (in_tree()) {
    auto it = large_->tree.find(key);
    return it == large_->tree.end() ? nullptr : &*it;
  }
  if (members_.size() < indexed_from) {
    for (const Member& m : members_)
      if (same_key(m.key, key)) return &m;
    return nullptr;
  }
  auto it = std::lower_bound(members_.begin(), members_.end(), key, KeyOrder{});
  return it != members_.end() && it->key == key ? &*it : nullptr;
}

Object::Object() noexcept = default;
Object::Object(const Object& other) {
  // A copy is flat whatever the original's mode.
  members_.reserve(other.size());
  for (const Member& m : other) members_.push_back(m);
  reindex();
}
Object::Object(Object&&) noexcept = default;
Object& Object::operator=(const Object& other) {
  if (this != &other) *this = Object(other);
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
  const Member* m = locate(key);
  return m ? &m->value : nullptr;
}

Value* Object::find(std::string_view key) noexcept {
  return const_cast<Value*>(std::as_const(*this).find(key));
}

Value& Object::insert_or_assign(std::string_view key, Value&& value) {
  if (Value* existing = find(key)) {
    *existing = std::move(value);
    return *existing;
  }
  if (!in_tree()) {
    if (members_.empty() || members_.back().key < key) {
      // Appending (building in order) moves nothing: only a reallocation
      // rebuilds the index.
      const Member* before = members_.data();
      members_.push_back(Member{std::string(key), std::move(value)});
      if (members_.data() != before)
        reindex();
      else
        index_add(&members_.back());
      return members_.back().value;
    }
    if (members_.size() < flat_up_to || !move_to_tree()) {
      auto it = std::lower_bound(members_.begin(), members_.end(), key, KeyOrder{});
      auto at = members_.insert(it, Member{std::string(key), std::move(value)});
      reindex();
      return at->value;
    }
  }
  Tree& tree = large_->tree;
  auto it = tree.emplace_hint(tree.lower_bound(key), Member{std::string(key), std::move(value)});
  index_add(&*it);
  // Only the key orders the tree, so its value may change in place.
  return const_cast<Member&>(*it).value;
}

bool Object::erase(std::string_view key) noexcept {
  const Member* m = locate(key);
  if (!m) return false;
  if (!in_tree()) {
    if (m == &members_.back()) {
      index_remove(m);
      members_.pop_back();
      return true;
    }
    bool moved = false;
    if (members_.size() >= flat_up_to) {
      try {
        moved = move_to_tree();
      } catch (const std::bad_alloc&) {
      }
    }
    if (!moved) {
      members_.erase(members_.begin() + (m - members_.data()));
      reindex();
      return true;
    }
    m = locate(key);
  }
  index_remove(m);
  large_->tree.erase(large_->tree.find(key));
  return true;
}

void Object::clear() noexcept {
  members_.clear();
  large_.reset();
}

bool Object::operator==(const Object& other) const {
  return size() == other.size() && std::equal(begin(), end(), other.begin());
}

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
