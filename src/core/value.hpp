// The value tree: one document held in memory.
//
// Objects are vectors of members sorted by key rather than node-based maps:
// loading builds each object whole and sorts it once, listing and saving
// walk members in order over contiguous memory, and inserting into the
// middle only costs set_value, which is rare. Lookups are the hot path: a
// small object is scanned (lengths first, so most members cost one compare);
// a large one also keeps a hash index of member positions, rebuilt whenever
// a member is added or removed.
#pragma once

#include <cstddef>
#include <cstdint>
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
  Object() = default;
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
  bool empty() const noexcept;
  std::vector<Member>::const_iterator begin() const noexcept;
  std::vector<Member>::const_iterator end() const noexcept;

  bool operator==(const Object& other) const;

 private:
  static constexpr std::size_t indexed_from = 16;
  void reindex() noexcept;
  void index_inserted(std::size_t at) noexcept;
  std::size_t position(std::string_view key) const noexcept;  // size() when absent

  std::size_t slot_count() const noexcept { return index_ ? index_[0] : 0; }

  std::vector<Member> members_;
  // Behind a pointer, so that the many small objects stay small: [0] holds
  // the slot count (a power of two), then open addressing slots hold a
  // member position + 1, 0 when empty.
  std::unique_ptr<std::uint32_t[]> index_;
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
// inline them.
inline std::size_t Object::size() const noexcept { return members_.size(); }
inline bool Object::empty() const noexcept { return members_.empty(); }
inline std::vector<Member>::const_iterator Object::begin() const noexcept { return members_.begin(); }
inline std::vector<Member>::const_iterator Object::end() const noexcept { return members_.end(); }

}  // namespace zub
