#include "core/value.hpp"

#include "core/hash.hpp"

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <ostream>
#include <set>
#include <type_traits>
#include <utility>
#include <variant>

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
  bool operator()(const Member& a, const Member& b) const noexcept { return a.key.view() < b.key.view(); }
  bool operator()(const Member& a, std::string_view b) const noexcept { return a.key.view() < b; }
  bool operator()(std::string_view a, const Member& b) const noexcept { return a < b.key.view(); }
};

using Tree = std::set<Member, KeyOrder>;
using TreeIt = Tree::const_iterator;
// The object's iterator carries a tree iterator as one pointer-sized word.
static_assert(sizeof(TreeIt) == sizeof(const void*) && std::is_trivially_copyable_v<TreeIt>);

const void* pack(TreeIt it) noexcept { return std::bit_cast<const void*>(it); }
TreeIt unpack(const void* word) noexcept { return std::bit_cast<TreeIt>(word); }

// Container blocks come from malloc so that growth can use realloc. Keys,
// values and members hold no pointer into themselves (only to the blocks
// they own), so moving their bytes elsewhere moves them: growing, shifting
// and shrinking a block never runs a constructor.
void* block_resize(void* p, std::size_t bytes) {
  void* q = std::realloc(p, bytes);
  if (!q) throw std::bad_alloc();
  return q;
}

template <class T>
void relocate(T* to, T* from, std::size_t n) noexcept {
  if (n) std::memmove(static_cast<void*>(to), static_cast<const void*>(from), n * sizeof(T));
}

// Counts stay 32-bit: a container of four billion entries would need
// 64 GB before it reached the limit.
std::uint32_t checked_count(std::size_t n) {
  if (n > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
  return static_cast<std::uint32_t>(n);
}

std::size_t grown(std::size_t capacity, std::size_t at_least) {
  return std::max(at_least, capacity + capacity / 2 + 1);
}

}  // namespace

std::uint64_t process_hash_seed() noexcept {
  // Made on first use, which may come before this file's static
  // initialisers run; it never changes afterwards.
  static const std::uint64_t seed = mix_seed(make_seed());
  return seed;
}

// ---- strings -------------------------------------------------------------------------------

void text_cell::make(unsigned char* b, std::string_view s) {
  std::memset(b, 0, 16);
  if (s.size() <= inline_max) {
    if (!s.empty()) std::memcpy(b, s.data(), s.size());
    b[15] = static_cast<unsigned char>(s.size());
    return;
  }
  if (s.size() >> 56) throw std::bad_alloc();
  char* p = static_cast<char*>(::operator new(s.size()));
  std::memcpy(p, s.data(), s.size());
  std::memcpy(b, &p, sizeof p);
  const std::uint64_t w = long_word(s.size());
  std::memcpy(b + 8, &w, 8);
}

std::ostream& operator<<(std::ostream& out, const Key& key) { return out << key.view(); }

// ---- arrays --------------------------------------------------------------------------------

Array::Array(std::initializer_list<Value> items) {
  reserve(items.size());
  for (const Value& v : items) push_back(v);
}

Array::Array(std::vector<Value>&& items) : Array(from_span(items)) {}

Array Array::from_span(std::span<Value> items) {
  Array out;
  if (items.empty()) return out;
  out.reserve(items.size());
  Value* to = out.items();
  for (std::size_t i = 0; i < items.size(); ++i) new (to + i) Value(std::move(items[i]));
  handle::set_count(out.b_, items.size());
  out.set_capacity(items.size());
  return out;
}

Array::Array(const Array& other) {
  if (other.empty()) return;
  // Made aside and counted element by element, so that a failed copy
  // frees exactly what was made.
  Array out;
  out.reserve(other.size());
  for (const Value& v : other) {
    new (out.items() + out.size()) Value(v);
    handle::set_count(out.b_, out.size() + 1);
    out.set_capacity(other.size());
  }
  *this = std::move(out);
}

Array& Array::operator=(const Array& other) {
  if (this != &other) *this = Array(other);
  return *this;
}

Array& Array::operator=(Array&& other) noexcept {
  if (this != &other) {
    // Taken before anything is freed: other may live inside this one.
    Array taken(std::move(other));
    clear();
    std::memcpy(b_, taken.b_, sizeof b_);
    std::memset(taken.b_, 0, sizeof taken.b_);
  }
  return *this;
}

void Array::set_capacity(std::size_t capacity) noexcept {
  handle::set_field(b_, static_cast<std::uint32_t>(std::min<std::size_t>(capacity - size(), 0xff'ffff)));
}

// Elements move with their bytes (see relocate), so realloc serves.
void Array::reserve(std::size_t n) {
  if (n <= capacity()) return;
  checked_count(n);
  handle::set_pointer(b_, block_resize(items(), n * sizeof(Value)));
  set_capacity(n);
}

void Array::push_back(Value&& v) {
  const std::size_t n = size();
  if (n == capacity()) reserve(grown(n, n + 1));
  new (items() + n) Value(std::move(v));
  const std::size_t capacity_now = capacity();
  handle::set_count(b_, n + 1);
  set_capacity(capacity_now);
}

void Array::push_back(const Value& v) {
  Value copy(v);  // before any growth: v may be one of the elements
  push_back(std::move(copy));
}

void Array::pop_back() noexcept {
  const std::size_t capacity_now = capacity();
  items()[size() - 1].~Value();
  handle::set_count(b_, size() - 1);
  set_capacity(capacity_now);
}

void Array::clear() noexcept {
  Value* v = items();
  for (std::size_t i = 0, n = size(); i < n; ++i) v[i].~Value();
  std::free(v);
  std::memset(b_, 0, sizeof b_);
}

bool Array::operator==(const Array& other) const { return std::equal(begin(), end(), other.begin(), other.end()); }

// ---- objects -------------------------------------------------------------------------------

// Open addressing with linear probing over pointers to members, at most
// half full. The pointers stay valid: flat members move only when the
// block grows, shrinks or shifts, and each of those rebuilds the index;
// tree nodes never move.
struct Object::Large {
  std::unique_ptr<const Member*[]> slots;
  std::size_t mask = 0;  // slot count - 1; no index when slots is empty
  std::size_t used = 0;
  bool tree_mode = false;
  Tree tree;

  std::size_t home(std::string_view key) const noexcept { return key_hash(key) & mask; }

  const Member* find(const KeyProbe& probe) const noexcept {
    for (std::size_t i = home(probe.text());; i = (i + 1) & mask) {
      const Member* m = slots[i];
      if (!m || probe.matches(m->key)) return m;
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

Object::LargeSlot* Object::large_slot() const noexcept {
  return has_large() ? std::launder(reinterpret_cast<LargeSlot*>(block())) : nullptr;
}

Object::Large* Object::large() const noexcept {
  LargeSlot* slot = large_slot();
  return slot ? slot->get() : nullptr;
}

bool Object::in_tree() const noexcept {
  const Large* l = large();
  return l && l->tree_mode;
}

std::size_t Object::size() const noexcept { return in_tree() ? large()->tree.size() : flat_size(); }

Object::const_iterator Object::begin() const noexcept {
  const_iterator it;
  if (in_tree())
    it.node_ = pack(large()->tree.begin());
  else
    it.flat_ = flat();
  return it;
}

Object::const_iterator Object::end() const noexcept {
  const_iterator it;
  if (in_tree())
    it.node_ = pack(large()->tree.end());
  else
    it.flat_ = flat() + flat_size();
  return it;
}

void Object::set_flat(std::size_t size, std::size_t capacity) noexcept {
  handle::set_count(b_, size);
  const std::size_t spare = std::min(capacity - size, spare_max);
  handle::set_field(b_, static_cast<std::uint32_t>(spare) | (has_large() ? has_large_flag : 0));
}

// Gives the block room for `capacity` flat members, keeping what it holds.
// The caller rebuilds the index if the block moved.
void Object::resize_block(std::size_t capacity) {
  checked_count(capacity);
  const std::size_t bytes = (has_large() ? sizeof(LargeSlot) : 0) + capacity * sizeof(Member);
  if (bytes == 0) {
    std::free(block());
    std::memset(b_, 0, sizeof b_);
    return;
  }
  handle::set_pointer(b_, block_resize(block(), bytes));
  set_flat(flat_size(), capacity);
}

// Puts the owner of the index and tree in front of the members; the
// members move, so the caller rebuilds the index.
void Object::add_large_slot() {
  if (has_large()) return;
  const std::size_t size = flat_size(), capacity = flat_capacity();
  auto* b = static_cast<unsigned char*>(block_resize(block(), sizeof(LargeSlot) + capacity * sizeof(Member)));
  relocate(reinterpret_cast<Member*>(b + sizeof(LargeSlot)), reinterpret_cast<Member*>(b), size);
  new (b) LargeSlot();
  handle::set_pointer(b_, b);
  handle::set_field(b_, handle::field(b_) | has_large_flag);
}

// Builds the index from scratch, sized for twice the members. Without an
// index lookups search, which is always correct: so when it cannot be
// allocated, the object simply goes without.
void Object::reindex() noexcept {
  std::size_t n = size();
  LargeSlot* slot = large_slot();
  if (n < indexed_from) {
    if (slot && *slot) (*slot)->drop_index();
    return;
  }
  if (!slot) return;  // no room was made for it: searched instead
  if (!*slot) {
    slot->reset(new (std::nothrow) Large());
    if (!*slot) return;
  }
  Large& l = **slot;
  std::size_t slots = 32;
  while (slots < n * 2) slots *= 2;
  l.drop_index();
  l.slots.reset(new (std::nothrow) const Member*[slots]());
  if (!l.slots) return;
  l.mask = slots - 1;
  for (const Member& m : *this) l.put(&m);
}

void Object::index_add(const Member* m) noexcept {
  Large* l = large();
  if (!l || !l->slots || (l->used + 1) * 2 > l->mask + 1) {
    reindex();
    return;
  }
  l->put(m);
}

void Object::index_remove(const Member* m) noexcept {
  Large* l = large();
  if (l && l->slots) l->remove(m);
}

// Moves every member into nodes of the tree. Fails only for want of
// memory, and then leaves the object as it was.
bool Object::move_to_tree() {
  add_large_slot();
  LargeSlot& slot = *large_slot();
  if (!slot) slot = std::make_unique<Large>();
  Tree& tree = slot->tree;
  Member* members = flat();
  const std::size_t n = flat_size();
  std::size_t moved = 0;
  try {
    for (; moved < n; ++moved) tree.emplace_hint(tree.end(), std::move(members[moved]));
  } catch (const std::bad_alloc&) {
    // Members moved so far come back; moving them allocates nothing.
    auto it = tree.begin();
    for (std::size_t i = 0; i < moved; ++i, ++it) members[i] = std::move(const_cast<Member&>(*it));
    tree.clear();
    reindex();  // the slot may have moved the members
    return false;
  }
  for (std::size_t i = 0; i < n; ++i) members[i].~Member();
  set_flat(0, flat_capacity());
  // The block keeps only the slot; should shrinking fail, it stays larger.
  try {
    resize_block(0);
  } catch (const std::bad_alloc&) {
  }
  large()->tree_mode = true;
  reindex();
  return true;
}

const Member* Object::locate(std::string_view key) const noexcept {
  const std::size_t n = flat_size();
  const KeyProbe probe(key);
  if (has_large()) {
    if (const Large* l = large()) {
      if (l->slots) return l->find(probe);
      if (l->tree_mode) {
        auto it = l->tree.find(key);
        return it == l->tree.end() ? nullptr : &*it;
      }
    }
  }
  const Member* members = flat();
  if (n < indexed_from) {
    for (std::size_t i = 0; i < n; ++i)
      if (probe.matches(members[i].key)) return &members[i];
    return nullptr;
  }
  const Member* it = std::lower_bound(members, members + n, key, KeyOrder{});
  return it != members + n && probe.matches(it->key) ? it : nullptr;
}

Object::Object(const Object& other) {
  // A copy is flat whatever the original's mode.
  const std::size_t n = other.size();
  if (n == 0) return;
  // Made aside and counted member by member, so that a failed copy frees
  // exactly what was made.
  Object out;
  out.resize_block(n);
  if (n >= indexed_from) out.add_large_slot();
  for (const Member& m : other) {
    new (out.flat() + out.flat_size()) Member(m);
    out.set_flat(out.flat_size() + 1, n);
  }
  out.reindex();
  *this = std::move(out);
}

Object& Object::operator=(const Object& other) {
  if (this != &other) *this = Object(other);
  return *this;
}

Object& Object::operator=(Object&& other) noexcept {
  if (this != &other) {
    // Taken before anything is freed: other may live inside this one.
    Object taken(std::move(other));
    clear();
    std::memcpy(b_, taken.b_, sizeof b_);
    std::memset(taken.b_, 0, sizeof taken.b_);
  }
  return *this;
}

Object Object::from_unsorted(std::vector<Member>&& members) { return from_unsorted(std::span<Member>(members)); }

Object Object::from_unsorted(std::span<Member> members) {
  auto less = [](const Member& a, const Member& b) { return a.key.view() < b.key.view(); };
  // Loading calls this once per object, so it sorts and deduplicates in
  // place: files we wrote arrive sorted and skip both steps, small objects
  // avoid the merge sort's buffer.
  std::size_t count = members.size();
  bool strictly_sorted = true;
  for (std::size_t i = 1; i < count && strictly_sorted; ++i) strictly_sorted = less(members[i - 1], members[i]);
  if (!strictly_sorted) {
    if (count <= indexed_from) {
      // Insertion sort: stable, since a member only passes greater keys.
      for (std::size_t i = 1; i < count; ++i) {
        if (!less(members[i], members[i - 1])) continue;
        Member moving = std::move(members[i]);
        std::size_t j = i;
        do {
          members[j] = std::move(members[j - 1]);
          --j;
        } while (j > 0 && less(moving, members[j - 1]));
        members[j] = std::move(moving);
      }
    } else {
      // Stable, so among equal keys the last to arrive ends last and wins.
      std::stable_sort(members.begin(), members.end(), less);
    }
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count; ++i) {
      if (kept > 0 && members[kept - 1].key == members[i].key) {
        members[kept - 1].value = std::move(members[i].value);
      } else {
        if (kept != i) members[kept] = std::move(members[i]);
        ++kept;
      }
    }
    count = kept;
  }
  Object out;
  if (count == 0) return out;
  out.resize_block(count);
  if (count >= indexed_from) out.add_large_slot();
  Member* to = out.flat();
  for (std::size_t i = 0; i < count; ++i) new (to + i) Member(std::move(members[i]));
  out.set_flat(count, count);
  out.reindex();
  return out;
}

// An empty object (count 0) with a block for n members.
Object Object::with_room(std::size_t n) {
  Object out;
  if (n == 0) return out;
  checked_count(n);
  const bool large = n >= indexed_from;
  // One allocation, the index's owner in front when there will be one.
  auto* b = static_cast<unsigned char*>(block_resize(nullptr, (large ? sizeof(LargeSlot) : 0) + n * sizeof(Member)));
  if (large) new (b) LargeSlot();
  handle::set_pointer(out.b_, b);
  handle::set_field(out.b_, large ? has_large_flag : 0);
  out.set_flat(0, n);
  return out;
}

std::span<const Member> Object::block_members() const noexcept {
  if (flat_size() == 0 || in_tree()) return {};
  return {flat(), flat_size()};
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
    const std::size_t n = flat_size();
    const bool at_end = n == 0 || flat()[n - 1].key.view() < key;
    if (at_end || n < flat_up_to || !move_to_tree()) {
      // Appended, or shifted in while the object is small (or the tree
      // could not be had).
      Member made{Key(key), std::move(value)};
      Member* before = flat();
      if (n == flat_capacity()) resize_block(grown(n, n + 1));
      if (n + 1 >= indexed_from && !has_large()) add_large_slot();
      Member* members = flat();
      Member* at = at_end ? members + n : std::lower_bound(members, members + n, key, KeyOrder{});
      const std::size_t pos = static_cast<std::size_t>(at - members);
      relocate(at + 1, at, n - pos);
      new (at) Member(std::move(made));
      set_flat(n + 1, flat_capacity());
      // Appending (building in order) moves nothing: only a moved block
      // rebuilds the index.
      if (at_end && members == before)
        index_add(at);
      else
        reindex();
      return at->value;
    }
  }
  Tree& tree = large()->tree;
  auto it = tree.emplace_hint(tree.lower_bound(key), Member{Key(key), std::move(value)});
  index_add(&*it);
  // Only the key orders the tree, so its value may change in place.
  return const_cast<Member&>(*it).value;
}

bool Object::erase(std::string_view key) noexcept {
  const Member* m = locate(key);
  if (!m) return false;
  if (!in_tree()) {
    const std::size_t n = flat_size();
    const bool last = m == flat() + n - 1;
    bool moved = false;
    if (!last && n >= flat_up_to) {
      try {
        moved = move_to_tree();
      } catch (const std::bad_alloc&) {
      }
    }
    if (!moved) {
      Member* members = flat();
      Member* at = members + (m - members);
      if (last) index_remove(at);
      at->~Member();
      relocate(at, at + 1, static_cast<std::size_t>(members + n - at - 1));
      const std::size_t capacity = flat_capacity();
      set_flat(n - 1, capacity);
      // A block left mostly empty gives its memory back, so that a group
      // that shrank does not keep what it held at its largest.
      bool shrunk = false;
      if (capacity > 8 && (n - 1) * 4 < capacity) {
        try {
          resize_block((n - 1) * 2);
          shrunk = flat() != members;
        } catch (const std::bad_alloc&) {
        }
      }
      if (!last || shrunk) reindex();
      return true;
    }
    m = locate(key);
  }
  index_remove(m);
  Tree& tree = large()->tree;
  tree.erase(tree.find(key));
  return true;
}

void Object::clear() noexcept {
  Member* members = flat();
  for (std::size_t i = 0, n = flat_size(); i < n; ++i) members[i].~Member();
  if (LargeSlot* slot = large_slot()) slot->~LargeSlot();
  std::free(block());
  std::memset(b_, 0, sizeof b_);
}

bool Object::operator==(const Object& other) const {
  return size() == other.size() && std::equal(begin(), end(), other.begin());
}

// ---- values --------------------------------------------------------------------------------

void Value::wrong_kind() { throw std::bad_variant_access(); }

Value Value::from_int(std::int64_t i) noexcept {
  Value v;
  if (i >= 0)
    v.set_word(Kind::uint, static_cast<std::uint64_t>(i));
  else
    v.set_word(Kind::sint, static_cast<std::uint64_t>(i));
  return v;
}

Value Value::from_double(double d) noexcept {
  Value v;
  if (std::isfinite(d)) v.set_word(Kind::real, std::bit_cast<std::uint64_t>(d));
  return v;
}

Value::Value(const Value& other) {
  const unsigned t = other.raw_[15];
  if (t == text_cell::long_tag) {
    text_cell::make(raw_, other.as_string());
  } else if (t == tag(Kind::array)) {
    // Should the copy throw, this value was never made: nothing to undo.
    set_tag(Kind::array);
    new (raw_) Array(other.as_array());
  } else if (t == tag(Kind::object)) {
    set_tag(Kind::object);
    new (raw_) Object(other.as_object());
  } else {
    std::memcpy(raw_, other.raw_, sizeof raw_);
  }
}

Value& Value::operator=(const Value& other) {
  if (this != &other) *this = Value(other);
  return *this;
}

std::size_t Value::depth() const {
  std::size_t deepest = 0;
  if (const auto* o = if_object()) {
    for (const auto& m : *o) deepest = std::max(deepest, m.value.depth());
    return deepest + 1;
  }
  if (const auto* a = if_array()) {
    for (const auto& e : *a) deepest = std::max(deepest, e.depth());
    return deepest + 1;
  }
  return 0;
}

bool Value::equals(const Value& other) const {
  const Kind k = kind();
  if (k != other.kind()) return false;
  switch (k) {
    case Kind::null: return true;
    case Kind::boolean: return as_bool() == other.as_bool();
    case Kind::uint:
    case Kind::sint: return text_cell::word(raw_, 0) == text_cell::word(other.raw_, 0);
    case Kind::real: return as_real() == other.as_real();
    case Kind::string: return as_string() == other.as_string();
    case Kind::array: return as_array() == other.as_array();
    case Kind::object: return as_object() == other.as_object();
  }
  return false;
}

}  // namespace zub
