// Key paths and the tree walks behind the engine's methods. No locking and
// no Python here: callers hold the locks the operations need.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.hpp"
#include "core/value.hpp"

namespace zub {

// The segments of a key: cut at every '/', empty pieces dropped. Iterates
// over the key's own bytes; nothing is allocated.
class KeySegments {
 public:
  explicit KeySegments(std::string_view key) noexcept : key_(key) {}
  // Next non-empty segment; false when there is none left.
  bool next(std::string_view& segment) noexcept {
    while (pos_ < key_.size()) {
      std::size_t begin = pos_;
      std::size_t end = find_slash(begin);
      pos_ = end + 1;
      if (end > begin) {
        segment = key_.substr(begin, end - begin);
        return true;
      }
    }
    return false;
  }

 private:
  // The first '/' at or after from, or the key's size. Eight bytes at a
  // time: a call to memchr costs more than the short segments of a key.
  std::size_t find_slash(std::size_t from) const noexcept {
    constexpr std::uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    constexpr std::uint64_t slashes = ones * '/';
    std::size_t i = from;
    if constexpr (std::endian::native == std::endian::little) {
      for (; i + 8 <= key_.size(); i += 8) {
        std::uint64_t w;
        std::memcpy(&w, key_.data() + i, 8);
        w ^= slashes;  // a '/' byte becomes zero
        // The lowest marked byte is the first zero byte (bytes above it
        // may be marked falsely, never bytes below).
        std::uint64_t zero = (w - ones) & ~w & highs;
        if (zero) return i + static_cast<std::size_t>(std::countr_zero(zero) >> 3);
      }
    }
    while (i < key_.size() && key_[i] != '/') ++i;
    return i;
  }

  std::string_view key_;
  std::size_t pos_ = 0;
};

// A group name without the slashes at its ends (empty when nothing is left).
std::string_view strip_group_name(std::string_view name) noexcept;

// The node the key designates below the current group, or nullptr.
const Value* find_node(const Value& root, const std::vector<std::string>& groups,
                       std::string_view key) noexcept;

// Views into the group entries and the key it was built from, which must
// outlive it unchanged.
struct FullPath {
  std::vector<std::string_view> parent;
  std::string_view last;
};

// Group entries followed by the key's segments, split into the parent path
// and the last segment. KeyError "Key is empty" when both are empty.
Result<FullPath> build_full_path(const std::vector<std::string>& groups, std::string_view key);

// Walks segments from start, creating missing objects; fails before any
// change when an existing member on the way is not an object.
template <class Segments>
Result<Object*> ensure_object_path(Object& start, const Segments& segments) {
  Object* current = &start;
  for (const auto& segment : segments) {
    if (Value* member = current->find(segment)) {
      current = member->if_object();
      if (!current) return type_failure("Path segment is not an object");
    } else {
      current = &current->insert_or_assign(segment, Value(Object{})).as_object();
    }
  }
  return current;
}

// Leaf paths of every key below node, depth-first in member order.
void collect_keys_recursive(const Value& node, std::string prefix, std::vector<std::string>& out);

}  // namespace zub
