#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <iterator>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "drivers/file_io.hpp"
#include "drivers/formats.hpp"

namespace zub::json {

namespace {

constexpr std::string_view error_prefix = "JSON parse error: ";

// What went wrong; the texts are the messages users have always seen.
enum class Error : std::uint8_t {
  empty,
  not_singular,
  value_invalid,
  miss_name,
  miss_colon,
  miss_comma_or_brace,
  miss_comma_or_bracket,
  bad_hex,
  bad_surrogate,
  bad_escape,
  miss_quote,
  bad_encoding,
  too_big,
  miss_fraction,
  miss_exponent,
  too_deep,
};

constexpr std::string_view message(Error e) {
  switch (e) {
    case Error::empty: return "The document is empty.";
    case Error::not_singular: return "The document root must not be followed by other values.";
    case Error::value_invalid: return "Invalid value.";
    case Error::miss_name: return "Missing a name for object member.";
    case Error::miss_colon: return "Missing a colon after a name of object member.";
    case Error::miss_comma_or_brace: return "Missing a comma or '}' after an object member.";
    case Error::miss_comma_or_bracket: return "Missing a comma or ']' after an array element.";
    case Error::bad_hex: return "Incorrect hex digit after \\u escape in string.";
    case Error::bad_surrogate: return "The surrogate pair in string is invalid.";
    case Error::bad_escape: return "Invalid escape character in string.";
    case Error::miss_quote: return "Missing a closing quotation mark in string.";
    case Error::bad_encoding: return "Invalid encoding in string.";
    case Error::too_big: return "Number too big to be stored in double.";
    case Error::miss_fraction: return "Miss fraction part in number.";
    case Error::miss_exponent: return "Miss exponent in number.";
    case Error::too_deep: return "recursion limit exceeded";
  }
  return "";
}

// The text arrives a buffer at a time, from a descriptor or from a string.
// A '\0' always stands at end(), so scanning loops stop there without a
// bounds check of their own and only a '\0' asks whether the buffer ran
// out; the bytes after it are readable too, so plain text can be scanned
// a word at a time.
class Input {
 public:
  static constexpr std::size_t capacity = 8192;

  explicit Input(int fd) noexcept : fd_(fd) { std::memset(buf_, 0, padding); }
  explicit Input(std::string_view text) noexcept : text_(text) { std::memset(buf_, 0, padding); }
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;

  const char* begin() const noexcept { return buf_; }
  const char* end() const noexcept { return end_; }
  bool exhausted() const noexcept { return eof_; }
  int read_error() const noexcept { return err_; }
  std::size_t offset(const char* at) const noexcept { return base_ + static_cast<std::size_t>(at - buf_); }

  // The next piece of the text, once the current one is used up; false at
  // the end, where the cursor stays at end().
  bool refill() noexcept {
    if (eof_) return false;
    std::size_t n = 0;
    if (fd_ >= 0) {
      ssize_t got;
      do got = ::read(fd_, buf_, capacity);
      while (got < 0 && errno == EINTR);
      if (got < 0) err_ = errno;
      n = got > 0 ? static_cast<std::size_t>(got) : 0;
    } else {
      n = std::min(capacity, text_.size());
      std::memcpy(buf_, text_.data(), n);
      text_.remove_prefix(n);
    }
    if (n == 0) {
      eof_ = true;
      return false;
    }
    base_ += static_cast<std::size_t>(end_ - buf_);
    end_ = buf_ + n;
    std::memset(end_, 0, padding);
    return true;
  }

 private:
  static constexpr std::size_t padding = 16;
  int fd_ = -1;
  std::string_view text_;
  char* end_ = buf_;
  std::size_t base_ = 0;
  bool eof_ = false;
  int err_ = 0;
  char buf_[capacity + padding];
};

// The tape of a large file is the largest thing a load allocates, and it
// is gone once the tree stands. Blocks of that size are mapped on their
// own, so freeing them gives the memory back at once: from the heap it
// would stay with the process, beside the tree, for the rest of its life.
template <class T>
struct ScratchAllocator {
  using value_type = T;
  static constexpr std::size_t mapped_from = std::size_t{1} << 20;

  ScratchAllocator() noexcept = default;
  template <class U>
  ScratchAllocator(const ScratchAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = n * sizeof(T);
    if (bytes < mapped_from) return static_cast<T*>(::operator new(bytes));
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    // Fresh pages are the cost of such a block: taken two megabytes at a
    // time where the system allows, a 10 MB text faults a few times, not
    // thousands.
    (void)::madvise(p, bytes, MADV_HUGEPAGE);
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t n) noexcept {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < mapped_from)
      ::operator delete(p);
    else
      ::munmap(p, bytes);
  }
  // resize() leaves new elements unset: the tape writes them right after.
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
  template <class U>
  bool operator==(const ScratchAllocator<U>&) const noexcept {
    return true;
  }
};

// The tape is a run of 8-byte slots, one token in one slot for most
// values and keys. A token's first byte is its head: the tag in the low
// four bits and, for a short text, its length in the high four (a wide
// number's high four are 8, so that 8 and more means a second slot). The
// other seven bytes hold
// - a number of 56 bits (a double whose lowest byte is zero, shifted), or
//   nothing, the number whole in the next slot;
// - a string or key of up to 15 bytes: its text, running on into the next
//   slot past seven bytes; a longer one: its length, the text in the slots
//   after it;
// - a container: the distance to the slot just past its last token.
// Short texts never reach a separate arena, and the text of a long one
// lies beside its token, so the tape is all a load holds besides the tree.
using Slot = std::uint64_t;

// The tape's storage. Appending is one check against the room reserved
// from the file's size and a write in place: a vector's resize() was an
// out-of-line call for every text. Grows by doubling only when that
// reservation could not be had.
class Tape {
 public:
  Tape() noexcept = default;
  Tape(const Tape&) = delete;
  Tape& operator=(const Tape&) = delete;
  ~Tape() {
    if (data_) ScratchAllocator<Slot>().deallocate(data_, capacity_);
  }

  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  Slot* data() noexcept { return data_; }
  Slot& operator[](std::size_t i) noexcept { return data_[i]; }

  void reserve(std::size_t slots) {
    if (slots > capacity_) move_to(slots);
  }
  void push_back(Slot s) { *extend(1) = s; }
  // Room for n more slots, made part of the tape; returns the first.
  Slot* extend(std::size_t n) {
    if (capacity_ - size_ < n) [[unlikely]]
      move_to(std::max(size_ + n, 2 * capacity_));
    Slot* at = data_ + size_;
    size_ += n;
    return at;
  }
  void shrink_by(std::size_t n) noexcept { size_ -= n; }

 private:
  [[gnu::noinline]] void move_to(std::size_t slots) {
    ScratchAllocator<Slot> alloc;
    Slot* fresh = alloc.allocate(slots);
    if (size_) std::memcpy(fresh, data_, size_ * sizeof(Slot));
    if (data_) alloc.deallocate(data_, capacity_);
    data_ = fresh;
    capacity_ = slots;
  }

  Slot* data_ = nullptr;
  std::size_t size_ = 0, capacity_ = 0;
};

enum class Tag : std::uint8_t {
  null,
  boolean,
  uint,
  sint,  // negative only
  real,
  wide_uint,
  wide_sint,
  wide_real,
  string,
  key,
  long_string,
  long_key,
  array,
  object,
};

constexpr bool little_endian = std::endian::native == std::endian::little;
constexpr std::uint64_t low56 = (std::uint64_t{1} << 56) - 1;

constexpr Slot make_slot(unsigned head, std::uint64_t payload) noexcept {
  if constexpr (little_endian)
    return head | payload << 8;
  else
    return std::uint64_t{head} << 56 | payload;
}
constexpr unsigned head_of(Slot s) noexcept {
  return little_endian ? static_cast<unsigned>(s & 0xff) : static_cast<unsigned>(s >> 56);
}
constexpr std::uint64_t payload_of(Slot s) noexcept { return little_endian ? s >> 8 : s & low56; }
constexpr Tag tag_of(Slot s) noexcept { return static_cast<Tag>(head_of(s) & 15); }
constexpr Slot tag_slot(Tag t, std::uint64_t payload) noexcept { return make_slot(static_cast<unsigned>(t), payload); }

// The text of a string or key token.
inline std::string_view text_at(const Slot* t) noexcept {
  const Slot s = *t;
  if (tag_of(s) == Tag::string || tag_of(s) == Tag::key) return {reinterpret_cast<const char*>(t) + 1, head_of(s) >> 4};
  return {reinterpret_cast<const char*>(t + 1), static_cast<std::size_t>(payload_of(s))};
}

// The token after t's value (after all of a container's). A scalar or a
// short text says in its head's top bit whether it has a second slot.
inline const Slot* skip(const Slot* t) noexcept {
  const Slot s = *t;
  const unsigned head = head_of(s);
  const auto tag = static_cast<Tag>(head & 15);
  if (tag < Tag::long_string) return t + 1 + (head >> 7);
  if (tag >= Tag::array) return t + payload_of(s);
  return t + 1 + (payload_of(s) + 7) / 8;
}

// Values go onto a flat tape first and the tree is built from it top
// down: every container is allocated before its children, in the order a
// writer visits them. Built bottom-up, as the values arrive, a large tree
// ends up scattered through memory and walking it (to save it, above all)
// spends most of its time waiting on cache misses.
class TreeBuilder {
 public:
  TreeBuilder() noexcept = default;
  TreeBuilder(const TreeBuilder&) = delete;
  TreeBuilder& operator=(const TreeBuilder&) = delete;

  // Room for a text of bytes at once: a token takes two bytes of text at
  // the least, and a string no more slots than half its quoted text. A
  // large block is mapped, and pages never touched cost nothing, so the
  // tape never grows by copying (which would hold both copies at once).
  // When the room cannot be had, the tape grows as it goes.
  void expect_bytes(std::size_t bytes) noexcept {
    const std::size_t slots = bytes / 2 + 2;
    if (slots <= tokens_.capacity()) return;
    try {
      tokens_.reserve(slots);
    } catch (const std::exception&) {
    }
  }

  std::size_t depth() const noexcept { return open_.size(); }
  bool in_object() const noexcept { return open_.back().object; }

  void null() { tokens_.push_back(tag_slot(Tag::null, 0)); }
  void boolean(bool b) { tokens_.push_back(tag_slot(Tag::boolean, b ? 1 : 0)); }
  void uint(std::uint64_t u) {
    if (u <= low56)
      tokens_.push_back(tag_slot(Tag::uint, u));
    else
      wide(Tag::wide_uint, u);
  }
  // Negative integers only.
  void sint(std::int64_t i) {
    if (i >= -(std::int64_t{1} << 55))
      tokens_.push_back(tag_slot(Tag::sint, static_cast<std::uint64_t>(i) & low56));
    else
      wide(Tag::wide_sint, static_cast<std::uint64_t>(i));
  }
  // Non-finite values are null in the tree.
  void real(double d) {
    const auto bits = std::bit_cast<std::uint64_t>(d);
    if ((bits & 0xff) == 0)
      tokens_.push_back(tag_slot(Tag::real, bits >> 8));
    else
      wide(Tag::wide_real, bits);
  }
  void string(std::string_view s, bool readable) { text(Tag::string, s, readable); }
  void key(std::string_view s, bool readable) { text(Tag::key, s, readable); }
  void open_array() { enter(Tag::array); }
  void open_object() { enter(Tag::object); }
  void close() {
    const std::size_t at = open_.back().at;
    open_.pop_back();
    tokens_[at] |= make_slot(0, tokens_.size() - at);
  }

  Value build() {
    if (tokens_.empty()) return Value();
    // A short text is read as sixteen bytes from its start (see
    // PaddedText): two slots after the last token keep that in the tape.
    Slot* pad = tokens_.extend(2);
    pad[0] = pad[1] = 0;
    const Slot* at = tokens_.data();
    return build(at);
  }

 private:
  struct Open {
    std::size_t at;
    bool object;
  };

  // A member waiting to be built; prefix holds the key's first eight bytes
  // so that most comparisons are one integer compare.
  struct Pending {
    std::uint64_t prefix;
    const Slot* key;

    friend bool operator<(const Pending& a, const Pending& b) noexcept {
      if (a.prefix != b.prefix) return a.prefix < b.prefix;
      const std::string_view x = text_at(a.key), y = text_at(b.key);
      return x.size() > 8 && y.size() > 8 ? x.substr(8) < y.substr(8) : x.size() < y.size();
    }
    bool same_key(const Pending& b) const noexcept { return prefix == b.prefix && text_at(key) == text_at(b.key); }
  };

  // Reads eight bytes whatever the key's length: a key's token is always
  // followed by its value's.
  static std::uint64_t prefix_of(std::string_view key) noexcept {
    std::uint64_t w;
    std::memcpy(&w, key.data(), 8);
    if constexpr (little_endian) {
      if (key.size() < 8) w &= (std::uint64_t{1} << (8 * key.size())) - 1;
      w = __builtin_bswap64(w);
    } else {
      if (key.size() < 8) w &= ~(~std::uint64_t{0} >> (8 * key.size()));
    }
    return w;
  }

  void wide(Tag tag, std::uint64_t bits) {
    Slot* t = tokens_.extend(2);
    t[0] = make_slot(static_cast<unsigned>(tag) | 0x80, 0);
    t[1] = bits;
  }

  // tag is the short text's; the long one's follows it by two. readable:
  // fifteen bytes from s.data() can be read, whatever its size.
  [[gnu::always_inline]] void text(Tag tag, std::string_view s, bool readable) {
    const std::size_t n = s.size();
    if (n <= 15) {
      auto* bytes = reinterpret_cast<char*>(tokens_.extend(2));
      if (readable) {
        // One fixed-size copy; the bytes past the text are never read.
        std::memcpy(bytes + 1, s.data(), 15);
      } else {
        std::memset(bytes, 0, 16);
        std::memcpy(bytes + 1, s.data(), n);
      }
      bytes[0] = static_cast<char>(static_cast<unsigned>(tag) | n << 4);
      if (n < 8) tokens_.shrink_by(1);
    } else {
      const std::size_t slots = (n + 7) / 8;
      Slot* t = tokens_.extend(1 + slots);
      t[0] = tag_slot(static_cast<Tag>(static_cast<unsigned>(tag) + 2), n);
      t[slots] = 0;
      std::memcpy(t + 1, s.data(), n);
    }
  }

  void enter(Tag tag) {
    open_.push_back(Open{tokens_.size(), tag == Tag::object});
    tokens_.push_back(tag_slot(tag, 0));
  }

  // Constructs the value at at in its place: the commonest scalars
  // directly, the rest built there (build()'s result is not moved). at
  // moves past the value.
  void make(Value* place, const Slot*& at) {
    const Slot* t = at;
    const Slot s = *t;
    switch (tag_of(s)) {
      case Tag::boolean: at = t + 1; new (place) Value(payload_of(s) != 0); return;
      case Tag::uint: at = t + 1; new (place) Value(std::uint64_t{payload_of(s)}); return;
      case Tag::string:
      case Tag::long_string: at = skip(t); new (place) Value(PaddedText{text_at(t)}); return;
      default: new (place) Value(build(at)); return;
    }
  }

  // Recursion is bounded by the parse depth limit. at moves past the value.
  Value build(const Slot*& at) {
    const Slot* t = at;
    const Slot s = *t;
    at = t + 1;
    switch (tag_of(s)) {
      case Tag::null: return Value();
      case Tag::boolean: return Value(payload_of(s) != 0);
      case Tag::uint: return Value::from_uint(payload_of(s));
      case Tag::sint: return Value::from_int(static_cast<std::int64_t>(payload_of(s) << 8) >> 8);
      case Tag::real: return Value::from_double(std::bit_cast<double>(payload_of(s) << 8));
      case Tag::wide_uint: at = t + 2; return Value::from_uint(t[1]);
      case Tag::wide_sint: at = t + 2; return Value::from_int(static_cast<std::int64_t>(t[1]));
      case Tag::wide_real: at = t + 2; return Value::from_double(std::bit_cast<double>(t[1]));
      case Tag::string:
      case Tag::key:
      case Tag::long_string:
      case Tag::long_key: at = skip(t); return Value(PaddedText{text_at(t)});
      case Tag::array: {
        // Counted first, so that the block is made once, before the
        // elements, which are then made in their place.
        at = t + payload_of(s);
        std::size_t count = 0;
        for (const Slot* e = t + 1; e < at; e = skip(e)) ++count;
        const Slot* e = t + 1;
        return Value(Array::build(count, [this, &e](Value* place) { make(place, e); }));
      }
      case Tag::object: at = t + payload_of(s); return Value(object(t + 1, at));
    }
    return Value();
  }

  // Puts the members of the object whose tokens run from first to end
  // onto pending_, ordered by key; of a repeated key only the last stays.
  // Kept out of build(), which grows slower with it inside.
  [[gnu::noinline]] void sort_members(const Slot* first, const Slot* end) {
    const std::size_t base = pending_.size();
    for (const Slot* k = first; k < end;) {
      const std::string_view key = text_at(k);
      pending_.push_back(Pending{prefix_of(key), k});
      // The value's token starts at the first slot past the key's text.
      const auto used = static_cast<std::size_t>(key.data() + key.size() - reinterpret_cast<const char*>(k));
      k = skip(k + (used + 7) / 8);
    }
    const auto from = pending_.begin() + static_cast<std::ptrdiff_t>(base);
    if (pending_.size() - base <= 16) {
      // Stable and without stable_sort's temporary buffer.
      for (auto i = from + (from != pending_.end()); i < pending_.end(); ++i) {
        if (!(*i < *(i - 1))) continue;
        Pending moving = *i;
        auto j = i;
        do {
          *j = *(j - 1);
          --j;
        } while (j != from && moving < *(j - 1));
        *j = moving;
      }
    } else {
      std::stable_sort(from, pending_.end());
    }
    auto kept = from;
    for (auto i = from; i < pending_.end(); ++i)
      if (i + 1 == pending_.end() || !(i + 1)->same_key(*i)) *kept++ = *i;
    pending_.erase(kept, pending_.end());
  }

  // Orders the members by key (the last of a repeated key wins) before
  // building any of them, so that they are allocated in that order too,
  // after their object's block. The order is known here, so the object
  // takes the members as they come, checking nothing again.
  Object object(const Slot* first, const Slot* end) {
    const std::size_t base = pending_.size();
    sort_members(first, end);
    // pending_ may grow while the members are built (nested objects use
    // it above this one's entries): indices, not iterators.
    std::size_t k = base;
    Object built = Object::build_sorted(pending_.size() - base, [this, &k](Member* place) {
      const Slot* key = pending_[k++].key;
      const Slot* value_at = skip(key);
      make(&place->value, value_at);
      try {
        new (&place->key) Key(PaddedText{text_at(key)});
      } catch (...) {
        place->value.~Value();
        throw;
      }
    });
    pending_.resize(base);
    return built;
  }

  Tape tokens_;
  std::vector<Open> open_;
  std::vector<Pending, ScratchAllocator<Pending>> pending_;
};

// Compares a text with the tree it should read as while it is read,
// building nothing: each leaf is compared with its expected value as it
// arrives, each key is looked up in its expected object, and a container
// is judged when it closes, by its own differences and its count, so that
// nothing expected is left unread. A difference is noted and the read goes
// on, so that a text that fails to read further on fails as a load would.
//
// Within an object a member's result is kept by member, so that a key
// read again replaces it: the last of a repeated key counts, as in a load.
class Matcher {
 public:
  // root_keys, when given, gets the root's keys as read (for the layout
  // editor, which then finds a root member without reading up to it).
  Matcher(const Value& expected, const Input& in, std::vector<KeyAt>* root_keys) noexcept
      : root_(&expected), in_(&in), root_keys_(root_keys) {}
  Matcher(const Matcher&) = delete;
  Matcher& operator=(const Matcher&) = delete;

  // Whether the text read differs from the tree; final once the parse
  // succeeded.
  bool differs() const noexcept { return differs_; }

  std::size_t depth() const noexcept { return open_.size(); }
  bool in_object() const noexcept { return open_.back().object; }

  // Leaves are compared with what a load makes of them: a negative
  // integer apart from the others, and a non-finite double as null.
  void null() {
    const Value* e = next();
    done(e && e->is_null());
  }
  void boolean(bool b) {
    const Value* e = next();
    done(e && e->kind() == Value::Kind::boolean && e->as_bool() == b);
  }
  void uint(std::uint64_t u) {
    const Value* e = next();
    done(e && e->kind() == Value::Kind::uint && e->as_uint() == u);
  }
  void sint(std::int64_t i) {
    if (i >= 0) return uint(static_cast<std::uint64_t>(i));
    const Value* e = next();
    done(e && e->kind() == Value::Kind::sint && e->as_sint() == i);
  }
  void real(double d) {
    if (!std::isfinite(d)) return null();
    const Value* e = next();
    done(e && e->kind() == Value::Kind::real && e->as_real() == d);
  }
  void string(std::string_view s, bool) {
    const Value* e = next();
    done(e && e->is_string() && e->as_string() == s);
  }

  void key(std::string_view k, bool) {
    if (root_keys_ && open_.size() == 1) note_root_key(k);
    Open& o = open_.back();
    o.slot = none;
    if (!o.expect) return;  // the object differs as a whole already
    // A text in key order (as this library writes it) finds each member
    // next to the one before; the first key out of order ends the walk.
    const Value* v;
    if (o.walked < o.size && o.walk->key == k) {
      v = &o.walk->value;
      ++o.walk;
      ++o.walked;
    } else {
      o.walked = o.size;
      v = o.expect->find(k);
    }
    if (!v) {
      o.differs = true;  // a member the tree lacks, whatever follows
      return;
    }
    // A member is told by where its value lies. Members do not overlap, so
    // within the block of a flat object each has its own marks; an object
    // kept as a tree has its members elsewhere, in a table of their own.
    const std::uintptr_t from_first = reinterpret_cast<std::uintptr_t>(v) - o.first;
    if (from_first < o.size * sizeof(Member)) {
      const std::size_t index = from_first / sizeof(Member);
      const std::uint64_t bit = std::uint64_t{1} << (index % 64);
      std::uint64_t& seen = bits(o, false)[index / 64];
      if (seen & bit)
        bits(o, true)[index / 64] &= ~bit;  // read again: this value replaces the last one's result
      else
        ++o.count;
      seen |= bit;
      o.slot = index;
    } else {
      o.slot = elsewhere | find_elsewhere(o, v);
    }
    member_ = v;
  }

  void open_array() {
    const Value* e = next();
    const Array* a = e ? e->if_array() : nullptr;
    Open& o = open_.emplace_back();
    o.differs = a == nullptr;
    if (a) {
      o.item = a->begin();
      o.end = a->end();
    }
  }

  void open_object() {
    const Value* e = next();
    const Object* expect = e ? e->if_object() : nullptr;
    const std::size_t marks_at = marks_.size(), elsewhere_at = elsewhere_.size();
    Open& o = open_.emplace_back();
    o.object = true;
    o.differs = expect == nullptr;
    o.expect = expect;
    o.size = expect ? expect->size() : 0;
    if (o.size) {
      o.walk = expect->begin();
      o.first = reinterpret_cast<std::uintptr_t>(&o.walk->value);
    }
    o.marks = marks_at;
    o.elsewhere = elsewhere_at;
    if (o.size > 64) marks_.resize(marks_.size() + 2 * words(o.size));
  }

  void close() {
    const Open& o = open_.back();
    bool differs = o.differs;
    if (o.object) {
      const std::uint64_t* bad = o.size > 64 ? &marks_[o.marks + words(o.size)] : &o.bad;
      for (std::size_t w = 0, n = words(o.size); w < n; ++w) differs |= bad[w] != 0;
      for (std::size_t e = o.elsewhere; e < elsewhere_.size(); ++e) differs |= elsewhere_[e].differs;
      // Every member read was found, and counted once: the count tells
      // whether all are there.
      differs |= o.count != o.size;
      marks_.resize(o.marks);
      elsewhere_.resize(o.elsewhere);
    } else {
      differs |= o.item != o.end;
    }
    open_.pop_back();
    done(!differs);
  }

 private:
  static constexpr std::size_t none = ~std::size_t{0};
  static constexpr std::size_t elsewhere = std::size_t{1} << (sizeof(std::size_t) * 8 - 2);

  struct Open {
    bool object;
    bool differs;           // a member the tree lacks, an element that differs, or no such container expected
    const Object* expect;   // an object's expected members, when one is expected
    const Value* item;      // an array's next element expected
    const Value* end;       // and the end of its elements
    std::size_t size;       // an object's members expected
    std::size_t count;      // and how many of them were read
    Object::const_iterator walk;  // the member expected next in key order
    std::size_t walked;           // members walked so far; size once out of order
    std::uintptr_t first;   // where its first member's value lies
    std::size_t marks;      // where its marks begin in marks_
    std::size_t elsewhere;  // where its table of members found outside its block begins in elsewhere_
    std::size_t table;      // and its size, a power of two (0 until needed)
    std::size_t slot;       // the member being read: its index, elsewhere | its entry, or none
    // A bit per member: read, and read as something else; in marks_ (two
    // runs) beyond 64 members.
    std::uint64_t seen;
    std::uint64_t bad;
  };
  struct Elsewhere {
    const Value* at;  // null: a free entry
    bool differs;
  };

  // The entry of the member whose value is at v, in a table of the open
  // object's members found outside its block (open addressing, at most
  // half full); new ones are counted, a repeated one starts over.
  std::size_t find_elsewhere(Open& o, const Value* v) {
    if (o.table == 0) {
      // Nested objects have closed and given back theirs: this one's
      // table goes on top.
      o.table = std::bit_ceil(2 * o.size);
      elsewhere_.resize(o.elsewhere + o.table, Elsewhere{nullptr, false});
    }
    const std::uint64_t hash = (reinterpret_cast<std::uintptr_t>(v) >> 4) * 0x9E3779B97F4A7C15u;
    for (std::size_t k = static_cast<std::size_t>(hash >> 32) & (o.table - 1);; k = (k + 1) & (o.table - 1)) {
      Elsewhere& e = elsewhere_[o.elsewhere + k];
      if (e.at == v) {
        e.differs = false;
        return o.elsewhere + k;
      }
      if (!e.at) {
        e.at = v;
        ++o.count;
        return o.elsewhere + k;
      }
    }
  }

  // A key still in the input's buffer is the text's own bytes; one decoded
  // or gathered across buffers lies elsewhere.
  void note_root_key(std::string_view k) {
    if (k.data() >= in_->begin() && k.data() + k.size() <= in_->end())
      root_keys_->push_back(KeyAt{in_->offset(k.data()), k.size()});
    else
      root_keys_->push_back(KeyAt{unknown_place, k.size()});
  }

  static std::size_t words(std::size_t members) noexcept { return (members + 63) / 64; }
  std::uint64_t* bits(Open& o, bool bad) noexcept {
    if (o.size <= 64) return bad ? &o.bad : &o.seen;
    return &marks_[o.marks + (bad ? words(o.size) : 0)];
  }

  // The value the next one read should equal, or null when there is none.
  const Value* next() noexcept {
    if (open_.empty()) return root_;
    Open& o = open_.back();
    if (o.object) return o.slot == none ? nullptr : member_;
    return o.item != o.end ? o.item++ : nullptr;
  }

  // A value has been read whole: a difference goes to the container it is
  // in, by member in an object.
  void done(bool same) noexcept {
    if (same) return;
    if (open_.empty()) {
      differs_ = true;
      return;
    }
    Open& o = open_.back();
    if (!o.object)
      o.differs = true;
    else if (o.slot == none)
      return;  // a member the tree lacks, counted already
    else if (o.slot & elsewhere)
      elsewhere_[o.slot & ~elsewhere].differs = true;
    else
      bits(o, true)[o.slot / 64] |= std::uint64_t{1} << (o.slot % 64);
  }

  const Value* root_;
  const Input* in_;
  std::vector<KeyAt>* root_keys_;
  const Value* member_ = nullptr;  // the expected value of the key just read
  bool differs_ = false;
  std::vector<Open> open_;
  std::vector<std::uint64_t> marks_;
  std::vector<Elsewhere> elsewhere_;
};

constexpr std::uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u;

// The bytes of eight that end a run of plain ASCII in a string (a control
// character, '"', '\\' or a byte of a multi-byte character), each marked
// by its high bit. The lowest mark is exact: borrows only run upward, so a
// false mark stands above a true one.
constexpr std::uint64_t string_stops(std::uint64_t w) noexcept {
  constexpr auto zero_bytes = [](std::uint64_t v) { return (v - ones) & ~v; };
  return (((w - ones * 0x20) & ~w) | zero_bytes(w ^ (ones * '"')) | zero_bytes(w ^ (ones * '\\')) | w) & highs;
}

constexpr auto plain_byte = [] {
  // Plain ASCII inside a string: copied as it is.
  std::array<bool, 256> t{};
  for (int c = 0x20; c < 0x80; ++c) t[static_cast<std::size_t>(c)] = true;
  t['"'] = t['\\'] = false;
  return t;
}();

// Only big-endian machines scan strings a byte at a time with it.
[[maybe_unused]] inline bool is_plain(char c) noexcept { return plain_byte[static_cast<unsigned char>(c)]; }
inline bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }

// The length of the well-formed UTF-8 character at p (its lead byte is at
// least 0x80 and four bytes are readable), or 0.
inline int utf8_length(const char* p) noexcept {
  auto b = [p](int k) { return static_cast<unsigned char>(p[k]); };
  auto tail = [&b](int k) { return (b(k) & 0xC0) == 0x80; };
  unsigned c = b(0);
  if (c < 0xC2) return 0;
  if (c < 0xE0) return tail(1) ? 2 : 0;
  if (c < 0xF0) {
    unsigned lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
    return b(1) >= lo && b(1) <= hi && tail(2) ? 3 : 0;
  }
  if (c < 0xF5) {
    unsigned lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
    return b(1) >= lo && b(1) <= hi && tail(2) && tail(3) ? 4 : 0;
  }
  return 0;
}

// Number conversion, as the text stands: integers that fit stay integers,
// the rest goes through from_chars.
Value number_value(std::string_view text);

// Whether a number's text is refused as too big for a double: an integer
// part beyond about 1e308 digit by digit, or a positive exponent beyond
// 308 plus the fraction digits that count.
bool integer_too_big(std::string_view text);
bool exponent_too_big(std::string_view text);

// The grammar. What it reads goes to its sink: a TreeBuilder, or a
// Matcher that compares it with a tree as it comes. The sink is a member,
// so that the parsing loop reaches it and its own state through one
// pointer.
template <class Sink>
class Parser {
 public:
  template <class... Args>
  explicit Parser(Input& in, Args&&... args) : in_(in), sink_(std::forward<Args>(args)...) {}

  // On failure, error() and error_offset() say what and where.
  bool parse();
  Sink& sink() noexcept { return sink_; }
  Error error() const noexcept { return error_; }
  std::size_t error_offset() const noexcept { return error_at_; }

 private:
  bool fail(Error e, const char* at) noexcept { return fail_at(e, in_.offset(at)); }
  bool fail_at(Error e, std::size_t offset) noexcept {
    error_ = e;
    error_at_ = offset;
    return false;
  }

  // The byte at p, loading the next buffer when p is at the end (a '\0'
  // with p at end() after that is the end of the text).
  char peek(const char*& p) noexcept {
    if (*p == '\0' && p == in_.end() && in_.refill()) p = in_.begin();
    return *p;
  }
  bool at_end(const char* p) const noexcept { return p == in_.end() && in_.exhausted(); }

  [[gnu::always_inline]] const char* skip_space(const char* p) noexcept {
    for (;;) {
      for (;;) {
        char c = *p;
        if (c == ' ') {
          ++p;
        } else if (c == '\n') {
          // Indentation a word at a time, to its first other byte.
          ++p;
          for (;;) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            if (const std::uint64_t other = w ^ (ones * ' ')) {
              if constexpr (little_endian) p += std::countr_zero(other) / 8;
              break;
            }
            p += 8;
          }
        } else if (c == '\t' || c == '\r') {
          ++p;
        } else {
          break;
        }
      }
      if (*p != '\0' || p != in_.end() || !in_.refill()) return p;
      p = in_.begin();
    }
  }

  bool string(const char*& p, std::string_view& out);
  bool escape(const char*& p, bool& lone_low);
  bool utf8_slow(const char*& p);
  bool literal(const char*& p, std::string_view word);
  bool number(const char*& p);

  Input& in_;
  Sink sink_;
  std::string scratch_;  // a string's text when it is not one piece of the buffer
  std::string digits_;   // a number's text when it straddles two buffers
  Error error_ = Error::empty;
  std::size_t error_at_ = 0;
};

template <class Sink>
bool Parser<Sink>::parse() {
  if (!in_.refill()) return fail(Error::empty, in_.begin());
  const char* p = in_.begin();
  // A byte-order mark is no part of the text; it is only recognised whole
  // at the start of the first buffer, which holds it but for a tiny pipe write.
  if (in_.end() - p >= 3 && std::memcmp(p, "\xEF\xBB\xBF", 3) == 0) p += 3;
  p = skip_space(p);
  char c = *p;
  if (c == '\0' || c == ']' || c == '}' || c == ',' || c == ':') return fail(Error::empty, p);

value:
  switch (c) {
    case '[':
      if (sink_.depth() == max_parse_depth) return fail(Error::too_deep, p);
      sink_.open_array();
      p = skip_space(p + 1);
      c = *p;
      if (c != ']') goto value;
      ++p;
      sink_.close();
      goto next;
    case '{':
      if (sink_.depth() == max_parse_depth) return fail(Error::too_deep, p);
      sink_.open_object();
      p = skip_space(p + 1);
      c = *p;
      if (c == '"') goto key;
      if (c != '}') return fail(Error::miss_name, p);
      ++p;
      sink_.close();
      goto next;
    case '"': {
      std::string_view s;
      ++p;
      if (!string(p, s)) return false;
      sink_.string(s, s.data() != scratch_.data());
      goto next;
    }
    case 't':
      if (!literal(p, "true")) return false;
      sink_.boolean(true);
      goto next;
    case 'f':
      if (!literal(p, "false")) return false;
      sink_.boolean(false);
      goto next;
    case 'n':
      if (!literal(p, "null")) return false;
      sink_.null();
      goto next;
    default:
      if (!number(p)) return false;
      goto next;
  }

key: {
  std::string_view k;
  ++p;
  if (!string(p, k)) return false;
  sink_.key(k, k.data() != scratch_.data());
  p = skip_space(p);
  if (*p != ':') return fail(Error::miss_colon, p);
  p = skip_space(p + 1);
  c = *p;
  goto value;
}

next:
  p = skip_space(p);
  c = *p;
  if (sink_.depth() == 0) {
    if (!at_end(p)) return fail(Error::not_singular, p);
    return true;
  }
  if (sink_.in_object()) {
    if (c == ',') {
      p = skip_space(p + 1);
      if (*p != '"') return fail(Error::miss_name, p);
      goto key;
    }
    if (c != '}') return fail(Error::miss_comma_or_brace, p);
  } else {
    if (c == ',') {
      p = skip_space(p + 1);
      c = *p;
      goto value;
    }
    if (c != ']') return fail(Error::miss_comma_or_bracket, p);
  }
  ++p;
  sink_.close();
  goto next;
}

// p is past the opening quote; on success it is past the closing one and
// out holds the text, valid until the next read from the input.
template <class Sink>
bool Parser<Sink>::string(const char*& p, std::string_view& out) {
  const char* run = p;       // start of the part not yet in scratch_
  bool copying = false;      // whether scratch_ holds the part before run
  bool lone_low = false;
  for (;;) {
    for (;;) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      if (const std::uint64_t stops = string_stops(w)) {
        if constexpr (little_endian)
          p += std::countr_zero(stops) / 8;
        else
          while (is_plain(*p)) ++p;
        break;
      }
      p += 8;
    }
    auto c = static_cast<unsigned char>(*p);
    if (c == '"') {
      if (copying) {
        scratch_.append(run, p);
        out = scratch_;
      } else {
        out = std::string_view(run, static_cast<std::size_t>(p - run));
      }
      ++p;
      // An escaped low surrogate without its high one is refused once the
      // string is complete, just past its closing quote.
      if (lone_low) return fail(Error::bad_surrogate, p);
      return true;
    }
    if (c >= 0x80 && in_.end() - p >= 4) {
      int n = utf8_length(p);
      if (n == 0) return fail(Error::bad_encoding, p);
      p += n;
      continue;
    }
    // Everything else leaves the buffer's text behind.
    if (copying)
      scratch_.append(run, p);
    else
      scratch_.assign(run, p);
    copying = true;
    if (c == '\\') {
      if (!escape(p, lone_low)) return false;
    } else if (c >= 0x80) {
      if (!utf8_slow(p)) return false;
    } else if (c == '\0' && p == in_.end()) {
      if (!in_.refill()) return fail(Error::miss_quote, p);
      p = in_.begin();
    } else {
      return fail(c == '\0' ? Error::miss_quote : Error::bad_escape, p);
    }
    run = p;
  }
}

constexpr auto escape_letter = [] {
  std::array<char, 256> t{};
  t['"'] = '"';
  t['\\'] = '\\';
  t['/'] = '/';
  t['b'] = '\b';
  t['f'] = '\f';
  t['n'] = '\n';
  t['r'] = '\r';
  t['t'] = '\t';
  return t;
}();

// p is at the backslash; errors point there.
template <class Sink>
bool Parser<Sink>::escape(const char*& p, bool& lone_low) {
  const std::size_t at = in_.offset(p);
  ++p;
  char e = peek(p);
  if (char plain = escape_letter[static_cast<unsigned char>(e)]) {
    scratch_ += plain;
    ++p;
    return true;
  }
  if (e != 'u') return fail_at(Error::bad_escape, at);
  ++p;
  auto hex4 = [this, &p, at](std::uint32_t& cp) {
    cp = 0;
    for (int k = 0; k < 4; ++k) {
      char h = peek(p);
      unsigned d;
      if (is_digit(h))
        d = static_cast<unsigned>(h - '0');
      else if (h >= 'a' && h <= 'f')
        d = static_cast<unsigned>(h - 'a' + 10);
      else if (h >= 'A' && h <= 'F')
        d = static_cast<unsigned>(h - 'A' + 10);
      else
        return fail_at(Error::bad_hex, at);
      cp = cp << 4 | d;
      ++p;
    }
    return true;
  };
  std::uint32_t cp;
  if (!hex4(cp)) return false;
  if (cp >= 0xD800 && cp <= 0xDBFF) {
    if (peek(p) != '\\') return fail_at(Error::bad_surrogate, at);
    ++p;
    if (peek(p) != 'u') return fail_at(Error::bad_surrogate, at);
    ++p;
    std::uint32_t low;
    if (!hex4(low)) return false;
    if (low < 0xDC00 || low > 0xDFFF) return fail_at(Error::bad_surrogate, at);
    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
  } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
    lone_low = true;
  }
  io::append_utf8(scratch_, cp);
  return true;
}

// A multi-byte character near the buffer's end, a byte at a time; every
// byte it should have is taken before it is judged, and a fault points at
// its first byte.
template <class Sink>
bool Parser<Sink>::utf8_slow(const char*& p) {
  const std::size_t at = in_.offset(p);
  char first = *p++;
  char bytes[4] = {first, 0, 0, 0};
  auto lead = static_cast<unsigned char>(first);
  int n = lead >= 0xC2 && lead < 0xE0 ? 2 : lead >= 0xE0 && lead < 0xF0 ? 3 : lead >= 0xF0 && lead < 0xF5 ? 4 : 1;
  for (int k = 1; k < n; ++k) {
    bytes[k] = peek(p);
    if (!at_end(p)) ++p;
  }
  if (n == 1 || utf8_length(bytes) != n) return fail_at(Error::bad_encoding, at);
  scratch_.append(bytes, static_cast<std::size_t>(n));
  return true;
}

// p is at the first letter, which matched.
template <class Sink>
bool Parser<Sink>::literal(const char*& p, std::string_view word) {
  if (static_cast<std::size_t>(in_.end() - p) >= word.size() && std::memcmp(p, word.data(), word.size()) == 0) {
    p += word.size();
    return true;
  }
  ++p;
  for (char expected : word.substr(1)) {
    if (peek(p) != expected) return fail(Error::value_invalid, p);
    ++p;
  }
  return true;
}

// The grammar of a number over a cursor: the text in the buffer, or taken
// a byte at a time across buffers. Returns the error, if any, with the
// cursor where it was found.
struct NumberShape {
  bool minus = false;
  bool integral = true;        // no fraction, no exponent
  bool positive_exponent = false;
  std::size_t int_digits = 0;
  std::uint64_t int_value = 0;  // of the first 19 digits
  std::uint32_t exponent = 0;   // saturated
  // All digits, integer and fraction, while there are at most 19 of them.
  std::uint64_t significand = 0;
  std::size_t digits = 0;
  std::uint32_t fraction_digits = 0;
};

// Inlined into each parser's number(): called from two of them, it would
// otherwise become a call per number.
template <class Cursor>
[[gnu::always_inline]] inline bool scan_number(Cursor& s, NumberShape& shape, Error& error) {
  if (s.peek() == '-') {
    shape.minus = true;
    s.take();
  }
  char c = s.peek();
  if (c == '0') {
    s.take();
    shape.int_digits = 1;
  } else if (c >= '1' && c <= '9') {
    std::uint64_t v = 0;
    std::size_t n = 0;
    do {
      if (n < 19) v = v * 10 + static_cast<unsigned>(c - '0');
      ++n;
      s.take();
      c = s.peek();
    } while (is_digit(c));
    shape.int_value = v;
    shape.int_digits = n;
  } else {
    error = Error::value_invalid;
    return false;
  }
  if (s.peek() == '.') {
    s.take();
    shape.integral = false;
    if (!is_digit(s.peek())) {
      error = Error::miss_fraction;
      return false;
    }
    std::uint64_t v = shape.int_value;
    std::size_t n = shape.int_digits;
    do {
      if (++n <= 19) v = v * 10 + static_cast<unsigned>(s.peek() - '0');
      s.take();
    } while (is_digit(s.peek()));
    shape.significand = v;
    shape.digits = n;
    shape.fraction_digits = static_cast<std::uint32_t>(std::min<std::size_t>(n - shape.int_digits, 1u << 24));
  } else {
    shape.significand = shape.int_value;
    shape.digits = shape.int_digits;
  }
  c = s.peek();
  if (c == 'e' || c == 'E') {
    s.take();
    shape.integral = false;
    c = s.peek();
    bool negative = c == '-';
    if (c == '+' || c == '-') s.take();
    if (!is_digit(s.peek())) {
      error = Error::miss_exponent;
      return false;
    }
    std::uint32_t e = 0;
    do {
      e = std::min<std::uint32_t>(e * 10 + static_cast<unsigned>(s.peek() - '0'), 1u << 24);
      s.take();
    } while (is_digit(s.peek()));
    shape.exponent = e;
    shape.positive_exponent = !negative;
  }
  return true;
}

struct BufferCursor {
  const char* p;
  char peek() const noexcept { return *p; }
  void take() noexcept { ++p; }
};

// Most decimals in settings have few digits and a small exponent: the
// significand and the power of ten are then both exact doubles, and one
// multiplication or division rounds them as a full conversion would.
// Inlined, as scan_number is.
[[gnu::always_inline]] inline std::optional<double> exact_double(const NumberShape& shape) noexcept {
  static constexpr double powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                      1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  if (shape.digits > 19 || shape.significand > std::uint64_t{1} << 53) return std::nullopt;
  const long long e = (shape.positive_exponent ? 1LL : -1LL) * shape.exponent - shape.fraction_digits;
  if (e < -22 || e > 22) return std::nullopt;
  double d = static_cast<double>(shape.significand);
  d = e < 0 ? d / powers[-e] : d * powers[e];
  return shape.minus ? -d : d;
}

template <class Sink>
bool Parser<Sink>::number(const char*& p) {
  NumberShape shape;
  Error error = Error::value_invalid;
  BufferCursor fast{p};
  bool ok = scan_number(fast, shape, error);
  std::string_view text(p, static_cast<std::size_t>(fast.p - p));
  const std::size_t start = in_.offset(p);
  if (fast.p == in_.end() && !in_.exhausted()) {
    // The number may go on in the next buffer: again, a byte at a time.
    struct StreamCursor {
      Parser& parser;
      const char*& p;
      char peek() noexcept { return parser.peek(p); }
      void take() {
        parser.digits_ += *p;
        ++p;
      }
    } slow{*this, p};
    digits_.clear();
    shape = NumberShape();
    ok = scan_number(slow, shape, error);
    text = digits_;
  } else {
    p = fast.p;
  }
  if (shape.int_digits > 19 && integer_too_big(text)) return fail_at(Error::too_big, start);
  if (!ok) return fail(error, p);
  if (shape.positive_exponent && shape.exponent > 308 && exponent_too_big(text)) return fail_at(Error::too_big, start);
  if (shape.integral && shape.int_digits <= 19) {
    std::uint64_t v = shape.int_value;
    if (!shape.minus || v == 0) {
      sink_.uint(v);
      return true;
    }
    if (v <= std::uint64_t{1} << 63) {
      sink_.sint(static_cast<std::int64_t>(0 - v));
      return true;
    }
  }
  if (const auto d = exact_double(shape)) {
    sink_.real(*d);
    return true;
  }
  Value v = number_value(text);
  switch (v.kind()) {
    case Value::Kind::uint: sink_.uint(v.as_uint()); break;
    case Value::Kind::sint: sink_.sint(v.as_sint()); break;
    case Value::Kind::real: sink_.real(v.as_real()); break;
    default: sink_.null(); break;
  }
  return true;
}

// Whether a number's magnitude is at least 1 (its leading digit's power of
// ten, plus the exponent, is not negative).
bool overflows(std::string_view text) {
  std::size_t e = text.find_first_of("eE");
  std::string_view mantissa = text.substr(0, e);
  long long exponent = 0;
  if (e != std::string_view::npos) {
    std::string_view digits = text.substr(e + 1);
    const bool negative = !digits.empty() && digits.front() == '-';
    if (!digits.empty() && (digits.front() == '-' || digits.front() == '+')) digits.remove_prefix(1);
    for (char c : digits) exponent = std::min(exponent * 10 + (c - '0'), 1LL << 40);
    if (negative) exponent = -exponent;
  }
  std::size_t point = std::min(mantissa.find('.'), mantissa.size());
  std::size_t lead = mantissa.find_first_of("123456789");
  if (lead == std::string_view::npos) return false;
  long long magnitude = lead < point ? static_cast<long long>(point - lead) - 1
                                     : -static_cast<long long>(lead - point);
  return magnitude + exponent >= 0;
}

Value number_value(std::string_view text) {
  const char* first = text.data();
  const char* last = first + text.size();
  const bool minus = text.front() == '-';
  if (text.find_first_of(".eE") == std::string_view::npos) {
    if (minus) {
      std::int64_t i = 0;
      if (std::from_chars(first, last, i).ec == std::errc()) return Value::from_int(i);
    } else {
      std::uint64_t u = 0;
      if (std::from_chars(first, last, u).ec == std::errc()) return Value(u);
    }
  }
  double d = 0;
  if (std::from_chars(first, last, d).ec == std::errc()) return Value::from_double(d);
  // Out of range: beyond the largest double it is infinite (null in the
  // tree), below the smallest it is zero.
  return overflows(text) ? Value() : Value::from_double(minus ? -0.0 : 0.0);
}

// The integer part is gathered exactly while it fits 64 bits (2^63 with a
// minus), then as a double, digit by digit; a digit that would take that
// double past a tenth of the largest one is refused.
bool integer_too_big(std::string_view text) {
  const bool minus = text.front() == '-';
  const std::uint64_t limit = minus ? std::uint64_t{1} << 63 : ~std::uint64_t{0};
  std::uint64_t v = 0;
  double d = 0;
  bool wide = false;
  for (std::size_t k = minus ? 1 : 0; k < text.size() && is_digit(text[k]); ++k) {
    unsigned digit = static_cast<unsigned>(text[k] - '0');
    if (!wide && (v > limit / 10 || (v == limit / 10 && digit > limit % 10))) {
      wide = true;
      d = static_cast<double>(v);
    }
    if (!wide) {
      v = v * 10 + digit;
      continue;
    }
    if (d >= 1.7976931348623157e307) return true;
    d = d * 10 + digit;
  }
  return false;
}

// The exponent's limit is 308 plus the fraction digits taken into the
// significand: all of them while it stays below 2^53, then only while it
// has fewer than 17 significant digits.
bool exponent_too_big(std::string_view text) {
  std::size_t k = text.front() == '-' ? 1 : 0;
  const bool minus = k == 1;
  const std::uint64_t limit = minus ? std::uint64_t{1} << 63 : ~std::uint64_t{0};
  std::uint64_t v = 0;
  bool wide = false;
  int significant = 0;  // digits after the first nonzero one, as counted so far
  bool first = true;
  for (; k < text.size() && is_digit(text[k]); ++k) {
    unsigned digit = static_cast<unsigned>(text[k] - '0');
    if (wide) continue;
    if (v > limit / 10 || (v == limit / 10 && digit > limit % 10)) {
      wide = true;
      continue;
    }
    v = v * 10 + digit;
    if (!first) ++significant;
    first = false;
  }
  long long fraction = 0;  // fraction digits counted
  if (k < text.size() && text[k] == '.') {
    ++k;
    bool nonzero = v != 0;
    if (!wide) {
      for (; k < text.size() && is_digit(text[k]); ++k) {
        if (v > (std::uint64_t{1} << 53) - 1) break;
        v = v * 10 + static_cast<unsigned>(text[k] - '0');
        --fraction;
        if (v != 0) ++significant;
      }
      nonzero = v != 0;
    }
    for (; k < text.size() && is_digit(text[k]); ++k) {
      if (significant < 17) {
        nonzero = nonzero || text[k] != '0';
        --fraction;
        if (nonzero) ++significant;
      }
    }
  }
  if (k < text.size()) ++k;  // 'e' or 'E'
  if (k < text.size() && text[k] == '+') ++k;
  long long exponent = 0;
  for (; k < text.size(); ++k) exponent = std::min(exponent * 10 + (text[k] - '0'), 1LL << 40);
  return exponent > 308 - fraction;
}
// Only paid on failure: rereads the start of the file to turn the byte
// offset into a line and column.
// " at line L column C" of offset in text.
std::string line_and_column(std::string_view text, std::size_t offset) {
  auto pos = io::position_of(text, offset);
  return " at line " + std::to_string(pos.line) + " column " + std::to_string(pos.column);
}

std::string where(int fd, std::size_t offset) {
  std::string prefix;
  prefix.resize(offset);
  std::size_t got = 0;
  while (got < offset) {
    ssize_t n = ::pread(fd, prefix.data() + got, offset - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got < offset) return " at byte " + std::to_string(offset);  // pipes and the like
  return line_and_column(prefix, offset);
}

// The message of a parse that failed; locate turns the byte offset into
// its position text.
template <class Sink, class Locate>
std::string failure_text(const Parser<Sink>& parser, Locate&& locate) {
  return std::string(error_prefix) + std::string(message(parser.error())) + locate(parser.error_offset());
}

// One parse over either kind of input.
template <class Locate>
Result<Value> read_input(Input& in, std::size_t expected_bytes, Locate&& locate) {
  Parser<TreeBuilder> parser(in);
  parser.sink().expect_bytes(expected_bytes);
  bool ok = parser.parse();
  if (in.read_error() != 0) return type_failure(std::string(error_prefix) + os_error_text(in.read_error()));
  if (!ok) return type_failure(failure_text(parser, locate));
  return parser.sink().build();
}

}  // namespace

Result<Value> read(int fd) {
  Input in(fd);
  struct stat st {};
  std::size_t expected = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? static_cast<std::size_t>(st.st_size) : 0;
  return read_input(in, expected, [fd](std::size_t offset) { return where(fd, offset); });
}

Result<Value> parse(const std::string& text) {
  Input in{std::string_view(text)};
  return read_input(in, text.size(), [&text](std::size_t offset) { return line_and_column(text, offset); });
}

namespace {
Result<bool> match(const std::string& text, const Value& expected, std::vector<KeyAt>* root_keys) {
  Input in{std::string_view(text)};
  Parser<Matcher> parser(in, expected, in, root_keys);
  if (!parser.parse())
    return type_failure(failure_text(parser, [&text](std::size_t offset) { return line_and_column(text, offset); }));
  return !parser.sink().differs();
}
}  // namespace

Result<bool> matches(const std::string& text, const Value& expected) { return match(text, expected, nullptr); }

Result<bool> matches(const std::string& text, const Value& expected, std::vector<KeyAt>& keys) {
  keys.clear();
  return match(text, expected, &keys);
}

}  // namespace zub::json
