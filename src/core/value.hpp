// The value tree: one document held in memory.
//
// An object keeps its members in ascending byte order of their keys. Most
// objects are built whole (loading, conversion) and never edited in the
// middle, so they are a sorted vector; a large object also keeps a hash
// index of its members for lookups. The first insertion into or removal
// from the middle of a large object moves its members into a balanced tree,
// which keeps every later insertion and removal logarithmic. See
// docs/object-layout.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
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
using Array = std::vector<Value>;

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

  Object() noexcept;
  Object(const Object&);
  Object(Object&&) noexcept;
  Object& operator=(const Object&);
  Object& operator=(Object&&) noexcept;
  ~Object();

  // Sorts members by key once; for a repeated key the later member wins.
  static Object from_unsorted(std::vector<Member>&& members);

  const Value* find(std::string_view key) const noexcept;
  Value* find(std::string_view key) noexcept;
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
  static constexpr std::size_t indexed_from = 16;
  // Up to this size a middle insertion shifts the vector; beyond it the
  // object moves to tree mode.
  static constexpr std::size_t flat_up_to = 32;

  bool in_tree() const noexcept;
  const Member* locate(std::string_view key) const noexcept;
  void reindex() noexcept;
  void index_add(const Member* m) noexcept;
  void index_remove(const Member* m) noexcept;
  bool move_to_tree();

  std::vector<Member> members_;  // flat mode: all members, sorted
  // Index and tree, behind a pointer so that the many small objects stay
  // small.
  std::unique_ptr<Large> large_;
};

struct Null {
  bool operator==(const Null&) const = default;
};

class Value {
 public:
  enum class Kind : unsigned char { null, boolean, uint, sint, real, string, array, object };

  Value() noexcept;
  Value(Null) noexcept;
  Value(bool b) noexcept;
  Value(std::uint64_t u) noexcept;
  // Negative integers only: the unsigned form holds every integer from 0.
  static Value from_int(std::int64_t i) noexcept;
  static Value from_uint(std::uint64_t u) noexcept { return Value(u); }
  // Non-finite floats become null: the tree holds finite numbers only.
  static Value from_double(double d) noexcept;
  Value(std::string s) noexcept;
  Value(Array a) noexcept;
  Value(Object o) noexcept;

  Value(const Value&);
  Value(Value&&) noexcept;
  Value& operator=(const Value&);
  Value& operator=(Value&&) noexcept;
  ~Value();

  Kind kind() const noexcept { return static_cast<Kind>(v_.index()); }
  bool is_null() const noexcept { return kind() == Kind::null; }
  bool is_object() const noexcept { return kind() == Kind::object; }
  bool is_array() const noexcept { return kind() == Kind::array; }

  bool as_bool() const { return std::get<bool>(v_); }
  std::uint64_t as_uint() const { return std::get<std::uint64_t>(v_); }
  std::int64_t as_sint() const { return std::get<std::int64_t>(v_); }
  double as_real() const { return std::get<double>(v_); }
  const std::string& as_string() const { return std::get<std::string>(v_); }
  const Array& as_array() const { return std::get<Array>(v_); }
  Array& as_array() { return std::get<Array>(v_); }
  const Object& as_object() const { return std::get<Object>(v_); }
  Object& as_object() { return std::get<Object>(v_); }
  const Object* if_object() const noexcept { return std::get_if<Object>(&v_); }
  Object* if_object() noexcept { return std::get_if<Object>(&v_); }

  // Containers from this value down to its deepest leaf (a scalar is 0,
  // an empty container 1).
  std::size_t depth() const;

  bool operator==(const Value& other) const;

 private:
  std::variant<Null, bool, std::uint64_t, std::int64_t, double, std::string, Array, Object> v_;
};

struct Member {
  std::string key;
  Value value;
  bool operator==(const Member&) const = default;
};

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
