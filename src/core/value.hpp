// The value tree: one document held in memory.
//
// Compact by design (see docs/object-layout.md): a Value is 16 bytes and a
// Member 32. Strings of up to 15 bytes sit inside the value or key itself;
// anything larger lives in exactly one heap block owned by its value: a long
// string's bytes, an array's elements, an object's members.
//
// An object keeps its members in ascending byte order of their keys. Most
// objects are built whole (loading, conversion) and never edited in the
// middle, so they are one sorted block; a large object also keeps a hash
// index of its members for lookups. The first insertion into or removal
// from the middle of a large object moves its members into a balanced tree,
// which keeps every later insertion and removal logarithmic.
//
// Bulk building, for loaders: collect the members (or elements) of a
// container on a reusable stack, then hand a span of them to
// Object::from_unsorted or Array::from_span, which move them into one
// block of the exact size. Keys and string values are made straight from a
// std::string_view; no std::string is needed on the way.
#pragma once

#include <bit>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iosfwd>
#include <iterator>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace zub {

// Deepest nesting the tree may hold (containers from the root, the root
// counting as one). Every reader refuses a document deeper than this and
// nothing may make the tree deeper, so whatever the tree holds can be saved
// and loaded back. Well beyond any real configuration, and low enough that
// the recursive walks over the tree fit a small thread stack.
inline constexpr std::size_t max_tree_depth = 128;

// Nesting limit applied by every parser: the same bound.
inline constexpr std::size_t max_parse_depth = max_tree_depth;

class Value;
struct Member;

namespace text_cell {

// Sixteen bytes that hold a string: up to 15 bytes inline, byte 15 being
// their count (0..15) and the unused inline bytes zero; or, with byte 15
// set to long_tag, a pointer to the heap bytes in bytes 0..7 and the size
// in bytes 8..14. Keys and string values share the layout.
inline constexpr std::size_t inline_max = 15;
inline constexpr unsigned char long_tag = 16;

inline std::uint64_t word(const unsigned char* b, std::size_t i) noexcept {
  std::uint64_t w;
  std::memcpy(&w, b + 8 * i, 8);
  return w;
}

// The second word of a long string's cell: its size with the tag.
inline std::uint64_t long_word(std::size_t size) noexcept {
  if constexpr (std::endian::native == std::endian::little)
    return static_cast<std::uint64_t>(size) | std::uint64_t{long_tag} << 56;
  else
    return static_cast<std::uint64_t>(size) << 8 | long_tag;
}

inline std::size_t long_size(const unsigned char* b) noexcept {
  const std::uint64_t w = word(b, 1);
  if constexpr (std::endian::native == std::endian::little)
    return static_cast<std::size_t>(w & 0x00ff'ffff'ffff'ffffull);
  else
    return static_cast<std::size_t>(w >> 8);
}

inline const char* long_data(const unsigned char* b) noexcept {
  const char* p;
  std::memcpy(&p, b, sizeof p);
  return p;
}

inline std::string_view view(const unsigned char* b) noexcept {
  const unsigned t = b[15];
  if (t <= inline_max) return {reinterpret_cast<const char*>(b), t};
  return {long_data(b), long_size(b)};
}

// Fills an uninitialised cell; throws std::bad_alloc.
void make(unsigned char* b, std::string_view s);

// make() for a text with 16 readable bytes from its start, whatever its
// size: a short one is two word loads, masked, instead of a copy of
// variable length.
inline void make_padded(unsigned char* b, std::string_view s) {
  const std::size_t n = s.size();
  if (n > inline_max || std::endian::native != std::endian::little) {
    make(b, s);
    return;
  }
  std::uint64_t w0, w1;
  std::memcpy(&w0, s.data(), 8);
  std::memcpy(&w1, s.data() + 8, 8);
  if (n < 8) {
    w0 &= (std::uint64_t{1} << (8 * n)) - 1;
    w1 = 0;
  } else {
    w1 &= (std::uint64_t{1} << (8 * (n - 8))) - 1;
  }
  w1 |= std::uint64_t{n} << 56;
  std::memcpy(b, &w0, 8);
  std::memcpy(b + 8, &w1, 8);
}
// Frees a long string's bytes; the cell is then uninitialised.
inline void drop(unsigned char* b) noexcept {
  if (b[15] == long_tag) ::operator delete(const_cast<char*>(long_data(b)));
}

}  // namespace text_cell

// A text of which 16 bytes from its start can be read, whatever its size
// (a reader's buffer with room after it): keys and strings are made from
// it without a copy of variable length.
struct PaddedText {
  std::string_view text;
};

// A member's key: a string of 16 bytes, inline up to 15 bytes. Reads as a
// std::string_view; compares by bytes.
class Key {
 public:
  Key() noexcept { std::memset(b_, 0, sizeof b_); }
  Key(std::string_view s) { text_cell::make(b_, s); }
  Key(const std::string& s) : Key(std::string_view(s)) {}
  Key(const char* s) : Key(std::string_view(s)) {}
  explicit Key(PaddedText s) { text_cell::make_padded(b_, s.text); }
  Key(const Key& other) {
    if (other.is_inline())
      std::memcpy(b_, other.b_, sizeof b_);
    else
      text_cell::make(b_, other.view());
  }
  Key(Key&& other) noexcept {
    std::memcpy(b_, other.b_, sizeof b_);
    std::memset(other.b_, 0, sizeof other.b_);
  }
  Key& operator=(const Key& other) {
    if (this != &other) *this = Key(other);
    return *this;
  }
  Key& operator=(Key&& other) noexcept {
    if (this != &other) {
      text_cell::drop(b_);
      std::memcpy(b_, other.b_, sizeof b_);
      std::memset(other.b_, 0, sizeof other.b_);
    }
    return *this;
  }
  ~Key() { text_cell::drop(b_); }

  std::string_view view() const noexcept { return text_cell::view(b_); }
  operator std::string_view() const noexcept { return view(); }
  explicit operator std::string() const { return std::string(view()); }
  const char* data() const noexcept { return view().data(); }
  std::size_t size() const noexcept { return view().size(); }
  bool empty() const noexcept { return b_[15] == 0; }
  char operator[](std::size_t i) const noexcept { return view()[i]; }

  friend bool operator==(const Key& a, const Key& b) noexcept {
    if (text_cell::word(a.b_, 1) != text_cell::word(b.b_, 1)) return false;  // sizes (and short tails) differ
    if (a.is_inline()) return text_cell::word(a.b_, 0) == text_cell::word(b.b_, 0);
    return std::memcmp(text_cell::long_data(a.b_), text_cell::long_data(b.b_), text_cell::long_size(a.b_)) == 0;
  }
  friend std::strong_ordering operator<=>(const Key& a, const Key& b) noexcept { return a.view() <=> b.view(); }
  template <class T>
    requires(std::is_convertible_v<const T&, std::string_view> && !std::is_same_v<T, Key>)
  friend bool operator==(const Key& a, const T& b) noexcept {
    return a.view() == std::string_view(b);
  }
  template <class T>
    requires(std::is_convertible_v<const T&, std::string_view> && !std::is_same_v<T, Key>)
  friend std::strong_ordering operator<=>(const Key& a, const T& b) noexcept {
    return a.view() <=> std::string_view(b);
  }

 private:
  friend class KeyProbe;
  bool is_inline() const noexcept { return b_[15] <= text_cell::inline_max; }
  alignas(8) unsigned char b_[16];
};

std::ostream& operator<<(std::ostream& out, const Key& key);

// A key looked up, laid out as a Key would hold it, so that a member's key
// is matched with two word compares when short. Borrows the text.
class KeyProbe {
 public:
  explicit KeyProbe(std::string_view s) noexcept : text_(s) {
    const std::size_t n = s.size();
    if (n > text_cell::inline_max) {
      w0_ = 0;
      w1_ = text_cell::long_word(n);
    } else if constexpr (std::endian::native == std::endian::little) {
      // Whole-word loads that stay inside the text: bytes copied to a
      // buffer and read back as words would stall on store forwarding.
      const auto* p = reinterpret_cast<const unsigned char*>(s.data());
      w0_ = w1_ = 0;
      if (n >= 8) {
        w0_ = load(p, 8);
        if (n > 8) w1_ = load(p + n - 8, 8) >> (8 * (16 - n));
      } else if (n >= 4) {
        w0_ = load(p, 4) | load(p + n - 4, 4) << (8 * (n - 4));
      } else if (n > 0) {
        w0_ = std::uint64_t{p[0]} | std::uint64_t{p[n >> 1]} << (8 * (n >> 1)) | std::uint64_t{p[n - 1]} << (8 * (n - 1));
      }
      w1_ |= std::uint64_t{n} << 56;
    } else {
      unsigned char b[16] = {};
      if (n) std::memcpy(b, s.data(), n);
      b[15] = static_cast<unsigned char>(n);
      w0_ = text_cell::word(b, 0);
      w1_ = text_cell::word(b, 1);
    }
  }
  bool matches(const Key& k) const noexcept {
    if (text_cell::word(k.b_, 1) != w1_) return false;
    if (text_.size() <= text_cell::inline_max) return text_cell::word(k.b_, 0) == w0_;
    return std::memcmp(text_cell::long_data(k.b_), text_.data(), text_.size()) == 0;
  }
  std::string_view text() const noexcept { return text_; }

 private:
  static std::uint64_t load(const unsigned char* p, std::size_t bytes) noexcept {
    std::uint64_t w = 0;
    std::memcpy(&w, p, bytes);
    return w;
  }
  std::string_view text_;
  std::uint64_t w0_, w1_;
};

namespace handle {

// A container's handle is 15 bytes with no alignment, so that a Value holds
// it beside its kind byte: bytes 0..7 the block's address, 8..11 the
// count, 12..14 a 24-bit field (the spare room at the block's end, and
// for objects one flag bit). Blocks carry no header of their own.
inline void* pointer(const unsigned char* b) noexcept {
  void* p;
  std::memcpy(&p, b, sizeof p);
  return p;
}
inline void set_pointer(unsigned char* b, const void* p) noexcept { std::memcpy(b, &p, sizeof p); }
inline std::uint32_t count(const unsigned char* b) noexcept {
  std::uint32_t n;
  std::memcpy(&n, b + 8, sizeof n);
  return n;
}
inline void set_count(unsigned char* b, std::size_t n) noexcept {
  const auto n32 = static_cast<std::uint32_t>(n);
  std::memcpy(b + 8, &n32, sizeof n32);
}
inline std::uint32_t field(const unsigned char* b) noexcept {
  return std::uint32_t{b[12]} | std::uint32_t{b[13]} << 8 | std::uint32_t{b[14]} << 16;
}
inline void set_field(unsigned char* b, std::uint32_t v) noexcept {
  b[12] = static_cast<unsigned char>(v);
  b[13] = static_cast<unsigned char>(v >> 8);
  b[14] = static_cast<unsigned char>(v >> 16);
}
// The whole handle in two overlapping word stores, the way a copy of its
// 15 bytes loads them: a container moved into its value right after it is
// made then reads them back without waiting on four narrower stores.
inline void set_all(unsigned char* b, const void* p, std::size_t n, std::uint32_t field) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    const auto w0 = reinterpret_cast<std::uintptr_t>(p);
    const std::uint64_t w1 = (std::uint64_t{w0} >> 56) | std::uint64_t{static_cast<std::uint32_t>(n)} << 8 |
                             std::uint64_t{field & 0xff'ffff} << 40;
    std::memcpy(b, &w0, 8);
    std::memcpy(b + 7, &w1, 8);
  } else {
    set_pointer(b, p);
    set_count(b, n);
    set_field(b, field);
  }
}

}  // namespace handle

// An array's elements, in one block of exactly what they need (plus spare
// room after growth). Empty arrays allocate nothing. The subset of
// std::vector the tree's users need.
class Array {
 public:
  using value_type = Value;
  using iterator = Value*;
  using const_iterator = const Value*;

  Array() noexcept = default;
  Array(std::initializer_list<Value> items);
  explicit Array(std::vector<Value>&& items);
  // Moves the elements out of items, which stay valid but unspecified.
  static Array from_span(std::span<Value> items);
  // For loaders that know the count first: one block of exactly n
  // elements, make(Value* place) constructing each in its place, in
  // order. Should one throw, those made so far are destroyed.
  template <class Make>
  static Array build(std::size_t n, Make&& make);
  Array(const Array& other);
  Array(Array&& other) noexcept {
    std::memcpy(b_, other.b_, sizeof b_);
    std::memset(other.b_, 0, sizeof other.b_);
  }
  Array& operator=(const Array& other);
  Array& operator=(Array&& other) noexcept;
  // Moved-from and empty arrays (most destroyed ones, while building) own
  // no block: nothing to call.
  ~Array() {
    if (handle::pointer(b_)) clear();
  }

  std::size_t size() const noexcept { return handle::count(b_); }
  // Spare room saturates: a huge array may report less than it has, which
  // costs at most an early realloc.
  std::size_t capacity() const noexcept { return size() + handle::field(b_); }
  bool empty() const noexcept { return size() == 0; }
  Value* data() noexcept { return items(); }
  const Value* data() const noexcept { return items(); }
  Value* begin() noexcept { return data(); }
  Value* end() noexcept;
  const Value* begin() const noexcept { return data(); }
  const Value* end() const noexcept;
  Value& operator[](std::size_t i) noexcept;
  const Value& operator[](std::size_t i) const noexcept;
  Value& back() noexcept;
  const Value& back() const noexcept;

  void reserve(std::size_t n);
  void push_back(Value&& v);
  void push_back(const Value& v);
  template <class... Args>
  Value& emplace_back(Args&&... args);
  void pop_back() noexcept;
  void clear() noexcept;

  bool operator==(const Array& other) const;

 private:
  Value* items() const noexcept { return static_cast<Value*>(handle::pointer(b_)); }
  void set_capacity(std::size_t capacity) noexcept;
  unsigned char b_[15]{};
};

class Object {
 public:
  // Visits the members in key order, whichever way they are stored.
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Member;
    using difference_type = std::ptrdiff_t;
    using pointer = const Member*;
    using reference = const Member&;

    const_iterator() noexcept = default;
    const Member& operator*() const noexcept;
    const Member* operator->() const noexcept { return &**this; }
    const_iterator& operator++() noexcept;
    const_iterator operator++(int) noexcept {
      const_iterator before = *this;
      ++*this;
      return before;
    }
    bool operator==(const const_iterator& other) const noexcept {
      return flat_ == other.flat_ && node_ == other.node_;
    }

   private:
    friend class Object;
    const Member& tree_member() const noexcept;
    void tree_next() noexcept;
    const Member* flat_ = nullptr;
    const void* node_ = nullptr;  // the tree's node, in tree mode
  };

  Object() noexcept = default;
  Object(const Object&);
  Object(Object&& other) noexcept {
    std::memcpy(b_, other.b_, sizeof b_);
    std::memset(other.b_, 0, sizeof other.b_);
  }
  Object& operator=(const Object&);
  Object& operator=(Object&&) noexcept;
  ~Object() {
    if (handle::pointer(b_)) clear();
  }

  // Sorts members by key once; for a repeated key the later member wins.
  // The span's members are moved out (and left valid but unspecified).
  static Object from_unsorted(std::span<Member> members);
  static Object from_unsorted(std::vector<Member>&& members);
  // For loaders that have ordered and deduplicated the keys themselves:
  // one block of exactly n members, make(Member* place) constructing each
  // in its place (whole, or nothing if it throws), in strictly ascending
  // key order, which is not checked. Should one throw, those made so far
  // are destroyed.
  template <class Make>
  static Object build_sorted(std::size_t n, Make&& make);

  const Value* find(std::string_view key) const noexcept;
  Value* find(std::string_view key) noexcept;
  const Member* find_member(std::string_view key) const noexcept { return locate(key); }
  // The members as one block in key order, as objects keep them but those
  // grown large by insertions (kept in a tree, and given as empty here):
  // for readers that know members by their position.
  std::span<const Member> block_members() const noexcept;
  // Inserts or replaces whole; returns the stored value.
  Value& insert_or_assign(std::string_view key, Value&& value);
  bool erase(std::string_view key) noexcept;
  void clear() noexcept;

  std::size_t size() const noexcept;
  bool empty() const noexcept { return size() == 0; }
  const_iterator begin() const noexcept;
  const_iterator end() const noexcept;

  bool operator==(const Object& other) const;

 private:
  struct Large;
  using LargeSlot = std::unique_ptr<Large>;
  static constexpr std::size_t indexed_from = 16;
  // Up to this size a middle insertion shifts the members; beyond it the
  // object moves to tree mode.
  static constexpr std::size_t flat_up_to = 32;
  // The handle's 24-bit field: this flag, and the spare room below it.
  static constexpr std::uint32_t has_large_flag = 1u << 23;
  static constexpr std::size_t spare_max = has_large_flag - 1;

  unsigned char* block() const noexcept { return static_cast<unsigned char*>(handle::pointer(b_)); }
  bool has_large() const noexcept { return (handle::field(b_) & has_large_flag) != 0; }
  LargeSlot* large_slot() const noexcept;
  Large* large() const noexcept;
  Member* flat() const noexcept;
  std::size_t flat_size() const noexcept { return handle::count(b_); }
  std::size_t flat_capacity() const noexcept { return flat_size() + (handle::field(b_) & spare_max); }
  void set_flat(std::size_t size, std::size_t capacity) noexcept;
  void resize_block(std::size_t capacity);
  void add_large_slot();
  bool in_tree() const noexcept;
  const Member* locate(std::string_view key) const noexcept;
  void reindex() noexcept;
  void index_add(const Member* m) noexcept;
  void index_remove(const Member* m) noexcept;
  bool move_to_tree();
  static Object with_room(std::size_t n);

  // The block: the index and tree's owner first when there is one (8
  // bytes), then the flat members, sorted. Nothing while empty.
  unsigned char b_[15]{};
};

struct Null {
  bool operator==(const Null&) const = default;
};

class Value {
 public:
  enum class Kind : unsigned char { null, boolean, uint, sint, real, string, array, object };

  Value() noexcept { set_tag(Kind::null); }
  Value(Null) noexcept : Value() {}
  Value(bool b) noexcept {
    set_tag(Kind::boolean);
    raw_[0] = b ? 1 : 0;
  }
  Value(std::uint64_t u) noexcept { set_word(Kind::uint, u); }
  // Negative integers only: the unsigned form holds every integer from 0.
  static Value from_int(std::int64_t i) noexcept;
  static Value from_uint(std::uint64_t u) noexcept { return Value(u); }
  // Non-finite floats become null: the tree holds finite numbers only.
  static Value from_double(double d) noexcept;
  Value(std::string_view s) { text_cell::make(raw_, s); }
  Value(const std::string& s) : Value(std::string_view(s)) {}
  Value(const char* s) : Value(std::string_view(s)) {}
  explicit Value(PaddedText s) { text_cell::make_padded(raw_, s.text); }
  Value(Array a) noexcept {
    set_tag(Kind::array);
    new (raw_) Array(std::move(a));
  }
  Value(Object o) noexcept {
    set_tag(Kind::object);
    new (raw_) Object(std::move(o));
  }

  Value(const Value& other);
  Value(Value&& other) noexcept {
    std::memcpy(raw_, other.raw_, sizeof raw_);
    other.set_tag(Kind::null);
  }
  Value& operator=(const Value& other);
  Value& operator=(Value&& other) noexcept {
    if (this != &other) {
      // Taken before anything is freed: other may live inside this value.
      unsigned char taken[sizeof raw_];
      std::memcpy(taken, other.raw_, sizeof raw_);
      other.set_tag(Kind::null);
      destroy();
      std::memcpy(raw_, taken, sizeof raw_);
    }
    return *this;
  }
  ~Value() { destroy(); }

  Kind kind() const noexcept {
    const unsigned t = raw_[15];
    return t < kind_base ? Kind::string : static_cast<Kind>(t - kind_base);
  }
  bool is_null() const noexcept { return raw_[15] == tag(Kind::null); }
  bool is_object() const noexcept { return raw_[15] == tag(Kind::object); }
  bool is_array() const noexcept { return raw_[15] == tag(Kind::array); }
  bool is_string() const noexcept { return raw_[15] < kind_base; }

  // Asking for the wrong kind throws std::bad_variant_access.
  bool as_bool() const {
    check(Kind::boolean);
    return raw_[0] != 0;
  }
  std::uint64_t as_uint() const {
    check(Kind::uint);
    return text_cell::word(raw_, 0);
  }
  std::int64_t as_sint() const {
    check(Kind::sint);
    return static_cast<std::int64_t>(text_cell::word(raw_, 0));
  }
  double as_real() const {
    check(Kind::real);
    double d;
    std::memcpy(&d, raw_, sizeof d);
    return d;
  }
  std::string_view as_string() const {
    check(Kind::string);
    return text_cell::view(raw_);
  }
  const Array& as_array() const {
    check(Kind::array);
    return *std::launder(reinterpret_cast<const Array*>(raw_));
  }
  Array& as_array() {
    check(Kind::array);
    return *std::launder(reinterpret_cast<Array*>(raw_));
  }
  const Object& as_object() const {
    check(Kind::object);
    return *std::launder(reinterpret_cast<const Object*>(raw_));
  }
  Object& as_object() {
    check(Kind::object);
    return *std::launder(reinterpret_cast<Object*>(raw_));
  }
  const Object* if_object() const noexcept {
    return is_object() ? std::launder(reinterpret_cast<const Object*>(raw_)) : nullptr;
  }
  Object* if_object() noexcept { return is_object() ? std::launder(reinterpret_cast<Object*>(raw_)) : nullptr; }
  const Array* if_array() const noexcept {
    return is_array() ? std::launder(reinterpret_cast<const Array*>(raw_)) : nullptr;
  }

  // Containers from this value down to its deepest leaf (a scalar is 0,
  // an empty container 1).
  std::size_t depth() const;

  bool operator==(const Value& other) const {
    // The same bytes are the same value of any kind (the same number or
    // short text, the same block): the usual answer where a tree is
    // compared with the text it was saved as, without a call.
    if (std::memcmp(raw_, other.raw_, sizeof raw_) == 0) return true;
    return equals(other);
  }

 private:
  bool equals(const Value& other) const;
  // Byte 15 tells the kind: 0..16 a string (see text_cell), kind_base +
  // Kind otherwise.
  static constexpr unsigned kind_base = 0x20;
  static constexpr unsigned char tag(Kind k) noexcept { return static_cast<unsigned char>(kind_base + static_cast<unsigned>(k)); }
  void set_tag(Kind k) noexcept {
    std::memset(raw_, 0, sizeof raw_);
    raw_[15] = tag(k);
  }
  void set_word(Kind k, std::uint64_t w) noexcept {
    set_tag(k);
    std::memcpy(raw_, &w, sizeof w);
  }
  void check(Kind k) const {
    if (kind() != k) [[unlikely]]
      wrong_kind();
  }
  [[noreturn]] static void wrong_kind();
  void destroy() noexcept {
    const unsigned t = raw_[15];
    if (t == text_cell::long_tag)
      text_cell::drop(raw_);
    else if (t == tag(Kind::array))
      std::launder(reinterpret_cast<Array*>(raw_))->~Array();
    else if (t == tag(Kind::object))
      std::launder(reinterpret_cast<Object*>(raw_))->~Object();
  }

  alignas(8) unsigned char raw_[16];
};

struct Member {
  Key key;
  Value value;
  bool operator==(const Member&) const = default;
};

static_assert(sizeof(Key) == 16 && sizeof(Value) == 16 && sizeof(Member) == 32);
static_assert(sizeof(Array) == 15 && sizeof(Object) == 15 && alignof(Array) == 1 && alignof(Object) == 1);

inline Value* Array::end() noexcept { return data() + size(); }
inline Member* Object::flat() const noexcept {
  return reinterpret_cast<Member*>(block() + (has_large() ? sizeof(LargeSlot) : 0));
}
inline const Value* Array::end() const noexcept { return data() + size(); }
inline Value& Array::operator[](std::size_t i) noexcept { return data()[i]; }
inline const Value& Array::operator[](std::size_t i) const noexcept { return data()[i]; }
inline Value& Array::back() noexcept { return data()[size() - 1]; }
inline const Value& Array::back() const noexcept { return data()[size() - 1]; }

// Constructs n items in place, in order; should one throw, those made so
// far are destroyed before the exception goes on.
template <class T, class Make>
void make_each(T* to, std::size_t n, Make& make) {
  std::size_t made = 0;
  try {
    for (; made < n; ++made) make(to + made);
  } catch (...) {
    while (made > 0) to[--made].~T();
    throw;
  }
}

// The count is written once, at the end; until then the block counts
// nothing, so a failure destroys what was made here.
template <class Make>
Array Array::build(std::size_t n, Make&& make) {
  Array out;
  if (n == 0) return out;
  out.reserve(n);
  Value* to = out.items();
  make_each(to, n, make);
  handle::set_all(out.b_, to, n, 0);
  return out;
}

template <class Make>
Object Object::build_sorted(std::size_t n, Make&& make) {
  Object out = with_room(n);
  if (n == 0) return out;
  make_each(out.flat(), n, make);
  handle::set_all(out.b_, out.block(), n, handle::field(out.b_) & has_large_flag);
  if (n >= indexed_from) out.reindex();
  return out;
}

template <class... Args>
Value& Array::emplace_back(Args&&... args) {
  Value v(std::forward<Args>(args)...);
  push_back(std::move(v));
  return back();
}

// Defined here, where Member is complete, so the walks over the tree
// inline the flat case.
inline const Member& Object::const_iterator::operator*() const noexcept {
  return flat_ ? *flat_ : tree_member();
}

inline Object::const_iterator& Object::const_iterator::operator++() noexcept {
  if (flat_)
    ++flat_;
  else
    tree_next();
  return *this;
}

}  // namespace zub
