// The TOML 1.1 reader: one pass over the text, leaves built as values in
// place, tables kept open (with how and where each was defined) until the
// end of the document, then turned into objects. docs/toml_reader.md has
// the design.
#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "drivers/file_io.hpp"
#include "drivers/formats.hpp"
#include "drivers/parse_error.hpp"
#include "drivers/text_out.hpp"
#include "drivers/toml_read.hpp"

namespace zub::toml {

namespace {

constexpr std::string_view datetime_key = "$__toml_private_datetime";
constexpr std::uint32_t none = UINT32_MAX;

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
constexpr bool is_bare_byte(unsigned c) noexcept {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}
// One load per byte: keys are most of a document's bytes.
constexpr struct BareTable {
  bool at[256];
  constexpr BareTable() : at() {
    for (unsigned c = 0; c < 256; ++c) at[c] = is_bare_byte(c);
  }
} bare_table;
constexpr bool is_bare(char c) noexcept { return bare_table.at[static_cast<unsigned char>(c)]; }

// The end of the run of bare-key bytes from p: sixteen at a time where
// SSE2 is there (every x86-64), since keys are most of a document's bytes.
const char* bare_run(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
  const auto within = [](__m128i x, char low, char high) {  // low <= x <= high, unsigned
    const __m128i span = _mm_set1_epi8(static_cast<char>(high - low));
    const __m128i shifted = _mm_sub_epi8(x, _mm_set1_epi8(low));
    return _mm_cmpeq_epi8(_mm_max_epu8(shifted, span), span);
  };
  for (; end - p >= 16; p += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i letter = within(_mm_or_si128(x, _mm_set1_epi8(0x20)), 'a', 'z');
    const __m128i digit = within(x, '0', '9');
    const __m128i mark = _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('_')), _mm_cmpeq_epi8(x, _mm_set1_epi8('-')));
    const auto bare = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(letter, digit), mark)));
    if (bare != 0xFFFF) return p + std::countr_one(bare);
  }
#endif
  while (p < end && is_bare(*p)) ++p;
  return p;
}
constexpr bool is_control(unsigned char c) noexcept { return (c < 0x20 && c != '\t') || c == 0x7f; }
// What may follow a number, a date-time or a word.
constexpr bool is_delimiter(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '#' || c == ',' || c == ']' || c == '}';
}

int hex_digit(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The offset of the first byte that is not valid UTF-8, or text.size().
std::size_t first_invalid_utf8(std::string_view text) noexcept {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // the second byte's range
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;  // overlong
      if (c == 0xED) hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;  // beyond U+10FFFF
    } else {
      return i;
    }
    if (i + len > n || s[i + 1] < lo || s[i + 1] > hi) return i;
    for (std::size_t k = 2; k < len; ++k)
      if ((s[i + k] & 0xC0) != 0x80) return i;
    i += len;
  }
  return n;
}

std::uint64_t hash_key(std::string_view key, std::uint64_t seed) noexcept {
  std::uint64_t h = seed ^ key.size();
  const char* p = key.data();
  std::size_t n = key.size();
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    h = (h ^ w) * 0xFF51AFD7ED558CCDull;
    h ^= h >> 32;
  }
  std::uint64_t tail = 0;
  std::memcpy(&tail, p, n);
  // The last mix reaches every bit: the index uses the low ones.
  h = (h ^ tail) * 0xC4CEB9FE1A85EC53ull;
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  return h ^ (h >> 33);
}

// How a table came to be; it decides what may add to it later.
enum class Made : unsigned char {
  on_the_way,     // a header or a dotted key went through it: may still be defined once
  by_header,      // [name] or an element of [[name]]
  by_dotted_key,  // a.b = 1 defines a; more dotted keys may add to it in the same section only
};

enum class Holds : unsigned char { value, table, tables };

// Per member of an open table: where its key was first written, and for a
// table or an array of tables which one.
struct Slot {
  std::size_t offset;
  std::uint32_t child;  // tables_ index (table) or lists_ index (tables)
  Holds holds;
};

struct Table {
  explicit Table(std::uint64_t hash_seed) noexcept : seed(hash_seed) {}

  std::vector<Member> members;  // a value in place; a table's is filled in at the end
  std::vector<Slot> slots;      // beside members (comparing: beside seen)
  // Comparing, no members are made. Where expect's members lie in one
  // block (most objects), per member the key that named it (its position in
  // slots + 1, 0 for none yet); else per key read the member it names, and
  // once many, an open-addressing index of them (position + 1).
  std::span<const Member> block;
  std::vector<std::uint32_t> seen_at;
  std::vector<const Value*> seen;
  std::vector<std::uint32_t> seen_index;
  // Open addressing, once large: the hash's high half beside the member's
  // position + 1, so that most probes settle without touching the member.
  std::vector<std::uint64_t> index;
  std::size_t level = 1;             // in the tree, the root being 1
  std::size_t offset = 0;            // where it was defined (or first named)
  std::uint32_t section = 0;         // the section whose dotted keys made it
  const Object* expect = nullptr;    // when comparing: the object it must read as
  Made made = Made::on_the_way;
  std::uint64_t seed;  // of the index's hash

  // While keys arrive in ascending order (files written sorted, patterned
  // keys), a new key needs one comparison with the last and a lookup a
  // binary search; the hash index is built when the order first breaks.
  bool ascending = true;

  static constexpr std::size_t indexed_from = 12;

  // For reuse by a later table: empty, its vectors keeping their room.
  void reset(std::uint64_t hash_seed) noexcept {
    members.clear();
    slots.clear();
    block = {};
    seen_at.clear();
    seen.clear();
    seen_index.clear();
    index.clear();
    level = 1;
    offset = 0;
    section = 0;
    expect = nullptr;
    made = Made::on_the_way;
    seed = hash_seed;
    ascending = true;
  }

  static bool same(std::string_view k, std::string_view key) noexcept {
    return k.size() == key.size() && std::memcmp(k.data(), key.data(), key.size()) == 0;
  }

  std::uint32_t find(std::string_view key) const noexcept {
    if (ascending) {
      if (members.empty() || std::string_view(members.back().key) < key) return none;
      auto at = std::lower_bound(members.begin(), members.end(), key,
                                 [](const Member& m, std::string_view k) { return std::string_view(m.key) < k; });
      return same(at->key, key) ? static_cast<std::uint32_t>(at - members.begin()) : none;
    }
    if (index.empty()) {
      for (std::size_t i = 0; i < members.size(); ++i)
        if (same(members[i].key, key)) return static_cast<std::uint32_t>(i);
      return none;
    }
    const std::uint64_t h = hash_key(key, seed);
    const std::uint64_t tag = h & 0xFFFFFFFF00000000ull;
    const std::size_t mask = index.size() - 1;
    for (std::size_t at = h & mask;; at = (at + 1) & mask) {
      const std::uint64_t e = index[at];
      if (e == 0) return none;
      if ((e & 0xFFFFFFFF00000000ull) != tag) continue;
      const auto pos = static_cast<std::uint32_t>(e) - 1;
      if (same(members[pos].key, key)) return pos;
    }
  }

  void add(std::string&& key, Value&& value, Slot slot) {
    if (ascending && !members.empty() && !(members.back().key < key)) ascending = false;
    members.push_back(Member{std::move(key), std::move(value)});
    slots.push_back(slot);
    const std::size_t n = members.size();
    if (ascending || n < indexed_from) return;
    if (index.size() < 2 * n) {
      std::size_t size = 32;
      while (size < 4 * n) size *= 2;
      index.assign(size, 0);
      for (std::size_t i = 0; i < n; ++i) place(i);
    } else {
      place(n - 1);
    }
  }

  // Comparing: the object the table must read as.
  void set_expect(const Object& object) noexcept {
    expect = &object;
    block = object.block_members();
  }

  // Comparing: the position in slots of the key that named `want` (at
  // in_block in the block, if there is one), or none.
  std::uint32_t find_seen(const Value* want, std::uint32_t in_block) const noexcept {
    if (!block.empty()) return in_block < seen_at.size() ? seen_at[in_block] - 1 : none;  // 0 - 1 is none
    if (seen_index.empty()) {
      for (std::size_t i = 0; i < seen.size(); ++i)
        if (seen[i] == want) return static_cast<std::uint32_t>(i);
      return none;
    }
    const std::size_t mask = seen_index.size() - 1;
    for (std::size_t at = pointer_hash(want) & mask;; at = (at + 1) & mask) {
      const std::uint32_t e = seen_index[at];
      if (e == 0) return none;
      if (seen[e - 1] == want) return e - 1;
    }
  }

  void add_seen(const Value* want, std::uint32_t in_block, Slot slot) {
    if (slots.empty()) slots.reserve(expect->size());  // every key read is one expected: room for them at once
    slots.push_back(slot);
    if (!block.empty()) {
      if (seen_at.empty()) seen_at.assign(block.size(), 0);
      seen_at[in_block] = static_cast<std::uint32_t>(slots.size());
      return;
    }
    if (seen.empty()) seen.reserve(expect->size());
    seen.push_back(want);
    const std::size_t n = seen.size();
    if (n < indexed_from) return;
    if (seen_index.size() < 2 * n) {
      std::size_t size = 32;
      while (size < 4 * n) size *= 2;
      seen_index.assign(size, 0);
      for (std::size_t i = 0; i < n; ++i) place_seen(i);
    } else {
      place_seen(n - 1);
    }
  }

  static std::size_t pointer_hash(const Value* v) noexcept {
    const auto h = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(v)) * 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>(h >> 32);
  }

  void place_seen(std::size_t i) noexcept {
    const std::size_t mask = seen_index.size() - 1;
    std::size_t at = pointer_hash(seen[i]) & mask;
    while (seen_index[at]) at = (at + 1) & mask;
    seen_index[at] = static_cast<std::uint32_t>(i + 1);
  }

  void place(std::size_t i) noexcept {
    const std::uint64_t h = hash_key(members[i].key, seed);
    const std::size_t mask = index.size() - 1;
    std::size_t at = h & mask;
    while (index[at]) at = (at + 1) & mask;
    index[at] = (h & 0xFFFFFFFF00000000ull) | (i + 1);
  }
};

struct KeyPart {
  std::string text;
  std::size_t offset;
  // Comparing, a bare key is not copied: its length in the text, else 0.
  std::size_t bare = 0;
};

// Reads a document into a tree or, given the tree it should read as, only
// compares: the same rules and checks, but leaves are compared where they
// are read and no container is built, and the first difference ends it.
class Reader {
 public:
  // reuse: tables a previous read left, to be used again.
  explicit Reader(std::string_view text, const Value* expect = nullptr, std::vector<Table>* reuse = nullptr)
      : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()), text_(text),
        seed_(hash_key(std::string_view(reinterpret_cast<const char*>(&begin_), sizeof begin_),
                       reinterpret_cast<std::uintptr_t>(this))),
        expect_(expect), tables_(reuse ? *reuse : own_tables_) {}

  // Comparing: where the lookups of a read before found their members, and
  // where this read's are to go.
  void predict(std::span<const std::uint32_t> predicted, std::vector<std::uint32_t>& recorded) noexcept {
    predicted_ = predicted;
    recorded_ = &recorded;
  }

  Result<Value> run() {
    if (!start()) return io::parse_failure(prefix, text_, error_);
    if (!document()) return io::parse_failure(prefix, text_, error_);
    return finish(0);
  }

  // Whether the text reads as the expected tree (a text that does not read
  // at all does not).
  bool matches(Sections* record) {
    if (record) {
      // Room for the tables at once, as many as the headers the record held
      // last (a text much like this one) and a quarter more: growing by
      // doubling would copy every table and fault fresh pages each time.
      const std::size_t expected = record->headers.size() + record->headers.size() / 4 + 1;
      if (tables_.capacity() < expected) tables_.reserve(expected);
      record->clear();
      if (text_.size() <= UINT32_MAX) record_ = record;
    }
    if (!expect_->is_object() || !start()) return false;
    tables_[0].set_expect(expect_->as_object());
    if (!document()) return false;
    // Every key read was found where expected and none is read twice, so
    // equal counts leave nothing expected unread.
    for (std::uint32_t i = 0; i < live_; ++i)
      if (tables_[i].slots.size() != tables_[i].expect->size()) return false;
    for (std::size_t i = 0; i < lists_.size(); ++i)
      if (lists_[i].size() != list_expect_[i]->size()) return false;
    if (record_) {
      record_->end = statement_end_;
      record_->size = text_.size() - bom_;
      record_->complete = true;
    }
    return true;
  }

  static constexpr std::string_view prefix = "TOML parse error: ";

 private:
  const char* begin_;
  const char* p_;
  const char* end_;
  std::string_view text_;
  // Hash seed: the addresses of this load, which address space layout
  // randomisation makes differ from process to process, so that keys made
  // to collide in one process do not collide in another.
  std::uint64_t seed_;
  io::ParseError error_;
  bool failed_ = false;
  // Comparing: the tree the text should read as, and per array of tables
  // the array it should read as.
  const Value* expect_ = nullptr;
  std::vector<const Array*> list_expect_;
  const Value* found_ = nullptr;  // comparing: what the key of the last find() names there
  std::uint32_t found_at_ = none;  // and where in its table's block, if it has one
  // Comparing, where each lookup found its member in its table's block, in
  // the order of the lookups: those of the read before, tried first, and
  // those of this read.
  std::span<const std::uint32_t> predicted_;
  std::vector<std::uint32_t>* recorded_ = nullptr;
  std::size_t lookups_ = 0;

  // Open tables; [0] is the root. An inline table and the tables its
  // dotted keys make are built on top and dropped once it is closed.
  std::vector<Table> own_tables_;
  std::vector<Table>& tables_;
  std::uint32_t live_ = 0;  // tables_[0, live_) are open; the rest wait for reuse
  std::vector<std::vector<std::uint32_t>> lists_;  // arrays of tables: their elements
  std::uint32_t current_ = 0;                       // the table the current section adds to
  std::uint32_t section_ = 0;                       // the current section's number
  std::uint32_t sections_ = 0;                      // sections and inline tables so far
  const char* section_key_ = nullptr;  // the current section header's key
  std::vector<KeyPart> key_;
  std::size_t key_parts_ = 0;
  std::string digits_;
  std::string string_;  // a string value as it is read
  // Comparing, where the headers go when asked for: after the byte order
  // mark, and the end of the last statement's line.
  Sections* record_ = nullptr;
  std::size_t bom_ = 0;
  std::uint32_t statement_end_ = 0;

  bool start() {
    // Files arrive checked already; this is for everyone else.
    if (!io::is_valid_utf8(text_)) return fail(begin_ + first_invalid_utf8(text_), "invalid UTF-8");
    if (end_ - p_ >= 3 && std::memcmp(p_, "\xEF\xBB\xBF", 3) == 0) p_ = begin_ + (bom_ = 3);  // a byte order mark
    live_ = 0;
    open_table();
    return true;
  }

  // A new open table: one a previous table (of this read or an earlier one
  // given to reuse) left, emptied with its vectors' room kept, else a new one.
  std::uint32_t open_table() {
    const std::uint32_t id = live_++;
    if (id < tables_.size())
      tables_[id].reset(seed_);
    else
      tables_.emplace_back(seed_);
    return id;
  }

  bool comparing() const noexcept { return expect_ != nullptr; }

  // Comparing: the text reads as something else; stops the read.
  bool differ() noexcept {
    failed_ = true;
    return false;
  }

  // Comparing: what a key of table t should hold, or null; found_at_ says
  // where in the table's block. A sync reads a text much like the one the
  // sync before read (most often one value differs), so its lookups come in
  // the same order: each first tries where the same lookup found its member
  // then, one comparison instead of a search.
  const Value* expected(std::uint32_t t, std::string_view key) noexcept {
    const Table& table = tables_[t];
    const std::size_t n = lookups_++;
    const Member* m = nullptr;
    if (n < predicted_.size()) {
      const std::uint32_t at = predicted_[n];
      if (at < table.block.size() && KeyProbe(key).matches(table.block[at].key)) m = &table.block[at];
    }
    if (!m) m = table.expect->find_member(key);
    found_at_ = m && !table.block.empty() ? static_cast<std::uint32_t>(m - table.block.data()) : none;
    if (recorded_) recorded_->push_back(found_at_);
    return m ? &m->value : nullptr;
  }

  // Where a key of table t was read already, or none. Comparing, a key is
  // known by the member of the expected object it names (a key not there
  // ends the read when it is added), and found_ keeps that member for the
  // add that follows a none.
  std::uint32_t find(std::uint32_t t, std::string_view key) {
    if (!comparing()) return tables_[t].find(key);
    found_ = expected(t, key);
    return found_ ? tables_[t].find_seen(found_, found_at_) : none;
  }

  // Comparing, want is the expected member the key names, at its place in
  // the table's block.
  void add(std::uint32_t t, std::string&& key, Value&& value, Slot slot, const Value* want, std::uint32_t at) {
    if (comparing())
      tables_[t].add_seen(want, at, slot);
    else
      tables_[t].add(std::move(key), std::move(value), slot);
  }

  // Errors.

  std::size_t offset(const char* at) const noexcept { return static_cast<std::size_t>(at - begin_); }

  bool fail(const char* at, std::string message) {
    error_ = {std::move(message), offset(at)};
    failed_ = true;
    return false;
  }

  std::size_t line_of(std::size_t at) const noexcept { return io::position_of(text_, at).line; }
  std::string line_text(std::size_t at) const { return "line " + std::to_string(line_of(at)); }

  // What stands at p, for "expected ..., found ...".
  std::string found(const char* p) const {
    if (p >= end_) return "the end of the file";
    if (*p == '\n' || (*p == '\r' && p + 1 < end_ && p[1] == '\n')) return "the end of the line";
    const auto c = static_cast<unsigned char>(*p);
    if (is_bare(*p)) {
      const char* q = p;
      while (q < end_ && is_bare(*q) && q - p < 40) ++q;
      return "`" + std::string(p, q) + "`";
    }
    if (is_control(c)) {
      static constexpr char hex[] = "0123456789ABCDEF";
      return std::string("the control character U+00") + hex[c >> 4] + hex[c & 15];
    }
    std::size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    if (n > static_cast<std::size_t>(end_ - p)) n = 1;
    return "`" + std::string(p, n) + "`";
  }

  // The text of a value from start to the next delimiter, cut short.
  std::string token(const char* start) const {
    const char* q = start;
    while (q < end_ && !is_delimiter(*q) && q - start < 40) ++q;
    while (q > start && q < end_ && (static_cast<unsigned char>(*q) & 0xC0) == 0x80) --q;
    return "`" + std::string(start, q) + (q < end_ && !is_delimiter(*q) ? "...`" : "`");
  }

  bool too_deep(const char* at) {
    return fail(at, "nesting beyond " + std::to_string(max_parse_depth) + " levels");
  }

  // The current section's header, dotted: read again from the text, since
  // only an error message needs it.
  std::string section_path() {
    const std::vector<KeyPart> saved = key_;
    const std::size_t saved_parts = key_parts_;
    const char* saved_at = p_;
    p_ = section_key_;
    std::string path = key() ? dotted(key_parts_) : std::string();
    key_ = saved;
    key_parts_ = saved_parts;
    p_ = saved_at;
    return path;
  }

  std::string dotted(std::size_t parts) const {
    std::string out;
    for (std::size_t i = 0; i < parts; ++i) {
      if (i) out += '.';
      const std::string_view k = name(key_[i]);
      bool bare = !k.empty();
      for (char c : k) bare = bare && is_bare(c);
      out += bare ? std::string(k) : "\"" + std::string(k) + "\"";
    }
    return out;
  }

  // Layout.

  // The hot loops step a local pointer: p_ is a member, which the compiler
  // would otherwise store back on every byte (a char may alias it).
  void skip_blanks() noexcept {
    const char* q = p_;
    while (q < end_ && (*q == ' ' || *q == '\t')) ++q;
    p_ = q;
  }

  // A comment from its '#' to the end of the line (not included).
  bool comment() {
    ++p_;
    for (;;) {
      p_ = io::skip_plain<0x7f>(p_, end_, [](unsigned char c) { return c < 0x20 || c == 0x7f; });
      if (p_ == end_ || *p_ == '\n') return true;
      if (*p_ == '\t') {
        ++p_;
        continue;
      }
      if (*p_ == '\r' && p_ + 1 < end_ && p_[1] == '\n') return true;
      return fail(p_, found(p_) + " is not allowed in a comment");
    }
  }

  // A line break (LF or CRLF) at p_, taken; false if there is none.
  bool newline() noexcept {
    if (p_ < end_ && *p_ == '\n') {
      ++p_;
      return true;
    }
    if (end_ - p_ >= 2 && p_[0] == '\r' && p_[1] == '\n') {
      p_ += 2;
      return true;
    }
    return false;
  }

  // Blanks, an optional comment, then a line break or the end of the file.
  bool line_end(const char* after) {
    skip_blanks();
    if (p_ < end_ && *p_ == '#' && !comment()) return false;
    if (p_ == end_ || newline()) return true;
    if (*p_ == '\r') return fail(p_, "a carriage return must be followed by a line feed");
    return fail(p_, std::string("expected the end of the line after ") + after + ", found " + found(p_));
  }

  // Blanks, line breaks and comments, as arrays and inline tables allow.
  bool skip_space() {
    for (;;) {
      skip_blanks();
      if (p_ == end_) return true;
      if (*p_ == '#') {
        if (!comment()) return false;
      } else if (!newline()) {
        if (*p_ == '\r') return fail(p_, "a carriage return must be followed by a line feed");
        return true;
      }
    }
  }

  // Document.

  bool document() {
    for (;;) {
      const char* line = p_;
      skip_blanks();
      if (p_ == end_) return true;
      const char c = *p_;
      if (c == '#' || c == '\n' || c == '\r') {
        if (!line_end("a comment")) return false;
        continue;
      }
      if (c == '[') {
        if (record_) record_->headers.push_back({mark(line), statement_end_});
        if (!header() || !line_end("the table header")) return false;
      } else {
        if (!key_value(current_, section_) || !line_end("the value")) return false;
      }
      if (record_) statement_end_ = mark(p_);
    }
  }

  std::uint32_t mark(const char* at) const noexcept { return static_cast<std::uint32_t>(offset(at) - bom_); }

  std::string_view name(const KeyPart& part) const noexcept {
    return part.bare ? std::string_view(begin_ + part.offset, part.bare) : std::string_view(part.text);
  }

  // A dotted key into key_ (key_parts_ parts).
  bool key() {
    key_parts_ = 0;
    for (;;) {
      if (key_parts_ == key_.size()) key_.emplace_back();
      KeyPart& part = key_[key_parts_++];
      part.offset = offset(p_);
      if (p_ == end_) return fail(p_, "expected a key, found the end of the file");
      const char c = *p_;
      if (is_bare(c)) {
        const char* start = p_;
        p_ = bare_run(p_, end_);
        if (comparing())
          part.bare = static_cast<std::size_t>(p_ - start);
        else
          part.text.assign(start, p_);
      } else if (c == '"' || c == '\'') {
        part.bare = 0;
        if (end_ - p_ >= 3 && p_[1] == c && p_[2] == c) return fail(p_, "a key cannot be a multi-line string");
        part.text.clear();
        if (!(c == '"' ? basic_string(part.text) : literal_string(part.text))) return false;
      } else {
        return fail(p_, "expected a key, found " + found(p_));
      }
      // Every part is a level; deeper keys could never load.
      if (key_parts_ > max_parse_depth) return too_deep(begin_ + part.offset);
      skip_blanks();
      if (p_ == end_ || *p_ != '.') return true;
      ++p_;
      skip_blanks();
    }
  }

  // The new table's index; comparing, none when the expected tree has no
  // object there.
  std::uint32_t new_table(std::uint32_t parent, std::size_t part, Made made, std::uint32_t section) {
    const Value* want = nullptr;
    std::uint32_t want_at = none;
    if (comparing()) {
      want = found_;  // the find() of this key that gave none
      want_at = found_at_;
      if (!want || !want->is_object()) return none;
    }
    const std::size_t level = tables_[parent].level + 1;
    const std::uint32_t id = open_table();
    Table& t = tables_[id];
    if (want) t.set_expect(want->as_object());
    t.level = level;
    t.offset = key_[part].offset;
    t.made = made;
    t.section = section;
    add(parent, std::move(key_[part].text), Value(), Slot{key_[part].offset, id, Holds::table}, want, want_at);
    return id;
  }

  // What a key already holds, in words, for the redefinition errors.
  std::string holder(std::uint32_t t, std::uint32_t pos, std::size_t parts) const {
    const Slot& s = tables_[t].slots[pos];
    const std::string name = dotted(parts);
    const std::string where = " (" + line_text(s.offset) + ")";
    if (s.holds == Holds::tables) return "`" + name + "` is an array of tables" + where;
    if (s.holds == Holds::table) return "`" + name + "` is already a table" + where;
    if (comparing()) return "`" + name + "` already holds a value" + where;  // no members made
    const Value& v = tables_[t].members[pos].value;
    if (v.is_object() && !(v.as_object().size() == 1 && v.as_object().begin()->key == datetime_key))
      return "`" + name + "` is an inline table" + where + ", which cannot be extended";
    return "`" + name + "` already holds a value" + where;
  }

  bool header() {
    const char* start = p_;
    const bool array = end_ - p_ >= 2 && p_[1] == '[';
    p_ += array ? 2 : 1;
    skip_blanks();
    section_key_ = p_;
    if (!key()) return false;
    if (array) {
      if (end_ - p_ < 2 || p_[0] != ']' || p_[1] != ']')
        return fail(p_, "expected `]]` to close the array-of-tables header, found " + found(p_));
      p_ += 2;
    } else if (p_ == end_ || *p_ != ']') {
      return fail(p_, "expected `]` to close the table header, found " + found(p_));
    } else {
      ++p_;
    }
    section_ = ++sections_;
    std::uint32_t t = 0;
    for (std::size_t i = 0; i + 1 < key_parts_; ++i) {
      const std::uint32_t pos = find(t, name(key_[i]));
      if (pos == none) {
        if (tables_[t].level + 1 > max_parse_depth) return too_deep(begin_ + key_[i].offset);
        if ((t = new_table(t, i, Made::on_the_way, 0)) == none) return differ();
        continue;
      }
      const Slot& s = tables_[t].slots[pos];
      if (s.holds == Holds::value)
        return fail(begin_ + key_[i].offset, "cannot define table [" + dotted(key_parts_) + "]: " + holder(t, pos, i + 1));
      t = s.holds == Holds::table ? s.child : lists_[s.child].back();
    }
    const std::size_t last = key_parts_ - 1;
    const std::uint32_t pos = find(t, name(key_[last]));
    const std::size_t level = tables_[t].level + (array ? 2 : 1);
    if (pos == none) {
      if (level > max_parse_depth) return too_deep(begin_ + key_[last].offset);
      if (!array) {
        if ((current_ = new_table(t, last, Made::by_header, 0)) == none) return differ();
        tables_[current_].offset = offset(start);
        return true;
      }
      const Value* want = found_;  // the find() of this key that gave none
      const std::uint32_t want_at = found_at_;
      if (comparing()) {
        if (!want || !want->is_array()) return differ();
        list_expect_.push_back(&want->as_array());
      }
      const auto list = static_cast<std::uint32_t>(lists_.size());
      lists_.emplace_back();
      add(t, std::move(key_[last].text), Value(), Slot{key_[last].offset, list, Holds::tables}, want, want_at);
      return open_element(list, level, start);
    }
    const Slot s = tables_[t].slots[pos];
    if (array) {
      if (s.holds != Holds::tables)
        return fail(start, "cannot define an array of tables [[" + dotted(key_parts_) + "]]: " + holder(t, pos, key_parts_));
      return open_element(s.child, level, start);
    }
    if (s.holds != Holds::table)
      return fail(start, "cannot define table [" + dotted(key_parts_) + "]: " + holder(t, pos, key_parts_));
    Table& existing = tables_[s.child];
    if (existing.made == Made::by_header)
      return fail(start, "table [" + dotted(key_parts_) + "] is defined twice (first at " + line_text(existing.offset) + ")");
    if (existing.made == Made::by_dotted_key)
      return fail(start, "table [" + dotted(key_parts_) + "] was already defined by dotted keys (" +
                             line_text(existing.offset) + ")");
    existing.made = Made::by_header;
    existing.offset = offset(start);
    current_ = s.child;
    return true;
  }

  bool open_element(std::uint32_t list, std::size_t level, const char* start) {
    if (level > max_parse_depth) return too_deep(start);
    const Object* expect = nullptr;
    if (comparing()) {
      const Array& want = *list_expect_[list];
      const std::size_t i = lists_[list].size();
      if (i >= want.size() || !want[i].is_object()) return differ();
      expect = &want[i].as_object();
    }
    current_ = open_table();
    Table& t = tables_[current_];
    t.level = level;
    t.offset = offset(start);
    t.made = Made::by_header;
    if (expect) t.set_expect(*expect);
    lists_[list].push_back(current_);
    return true;
  }

  // key = value into table t, dotted keys adding tables on the way.
  bool key_value(std::uint32_t t, std::uint32_t section) {
    // Tables are named from the root where the section's header says where.
    const bool in_section = t == current_;
    if (!key()) return false;
    if (p_ == end_ || *p_ != '=')
      return fail(p_, "expected `=` after the key `" + dotted(key_parts_) + "`, found " + found(p_));
    ++p_;
    skip_blanks();
    for (std::size_t i = 0; i + 1 < key_parts_; ++i) {
      const std::uint32_t pos = find(t, name(key_[i]));
      if (pos == none) {
        if (tables_[t].level + 1 > max_parse_depth) return too_deep(begin_ + key_[i].offset);
        if ((t = new_table(t, i, Made::by_dotted_key, section)) == none) return differ();
        continue;
      }
      const Slot& s = tables_[t].slots[pos];
      if (s.holds != Holds::table)
        return fail(begin_ + key_[i].offset, "cannot add `" + dotted(key_parts_) + "`: " + holder(t, pos, i + 1));
      Table& sub = tables_[s.child];
      if (sub.made == Made::by_header || (sub.made == Made::by_dotted_key && sub.section != section))
        return fail(begin_ + key_[i].offset, "cannot add `" + dotted(key_parts_) + "` with a dotted key: table [" +
                                                 (in_section && section_key_ ? section_path() + "." : "") +
                                                 dotted(i + 1) + "] is already defined (" + line_text(sub.offset) + ")");
      if (sub.made == Made::on_the_way) {
        sub.made = Made::by_dotted_key;
        sub.section = section;
        sub.offset = key_[i].offset;
      }
      t = s.child;
    }
    KeyPart& last = key_[key_parts_ - 1];
    if (const std::uint32_t pos = find(t, name(last)); pos != none) {
      const Slot& s = tables_[t].slots[pos];
      if (s.holds == Holds::value)
        return fail(begin_ + last.offset, "duplicate key `" + dotted(key_parts_) + "` (first defined at " +
                                              line_text(s.offset) + ")");
      return fail(begin_ + last.offset, "cannot set `" + dotted(key_parts_) + "`: " + holder(t, pos, key_parts_));
    }
    // The value may hold inline tables, which reuse key_.
    const Value* want = comparing() ? found_ : nullptr;  // the find() just above gave none
    const std::uint32_t want_at = found_at_;
    if (comparing() && !want) return differ();
    const std::size_t at = last.offset;
    if (comparing()) {  // no member made: the key's buffer stays for the next key
      Value scratch;
      if (!value(scratch, tables_[t].level + 1, want)) return false;
      tables_[t].add_seen(want, want_at, Slot{at, 0, Holds::value});
      return true;
    }
    std::string name = std::move(last.text);
    Value v;
    if (!value(v, tables_[t].level + 1, nullptr)) return false;
    add(t, std::move(name), std::move(v), Slot{at, 0, Holds::value}, want, want_at);
    return true;
  }

  // Values.

  // level: where the value sits in the tree, if it is a container.
  // Comparing, want is what it should read as: a string or a container is
  // compared as read, and out is left alone.
  bool value(Value& out, std::size_t level, const Value* want) {
    if (p_ == end_) return fail(p_, "expected a value, found the end of the file");
    bool read;
    switch (*p_) {
      case '"':
      case '\'': {
        const char q = *p_;
        if (comparing() && !(end_ - p_ >= 3 && p_[1] == q && p_[2] == q)) {
          // Most strings hold no escape: compared where they lie.
          const char* run = q == '"' ? io::skip_plain<'"', '\\', 0x7f>(p_ + 1, end_, [](unsigned char c) {
            return c == '"' || c == '\\' || c < 0x20 || c == 0x7f;
          })
                                     : io::skip_plain<'\'', 0x7f>(p_ + 1, end_, [](unsigned char c) {
                                         return c == '\'' || (c < 0x20 && c != '\t') || c == 0x7f;
                                       });
          if (run < end_ && *run == q) {
            const std::string_view s(p_ + 1, static_cast<std::size_t>(run - p_ - 1));
            p_ = run + 1;
            return (want->kind() == Value::Kind::string && want->as_string() == s) || differ();
          }
        }
        std::string built;
        std::string& s = comparing() ? string_ : built;
        s.clear();
        const bool multi = end_ - p_ >= 3 && p_[1] == q && p_[2] == q;
        if (!(q == '"' ? (multi ? multi_line_basic(s) : basic_string(s))
                       : (multi ? multi_line_literal(s) : literal_string(s))))
          return false;
        if (comparing())
          return (want->kind() == Value::Kind::string && want->as_string() == s) || differ();
        out = Value(std::move(s));
        return true;
      }
      case '[':
        return array(out, level, want);
      case '{':
        return inline_table(out, level, want);
      case '+':
      case '-':
      case '0': case '1': case '2': case '3': case '4':
      case '5': case '6': case '7': case '8': case '9':
        read = number_or_date(out, level);
        break;
      default:
        read = word(out);
        break;
    }
    return read && (!comparing() || out == *want || differ());
  }

  // true, false, inf, nan, or a word that was meant as a string.
  bool word(Value& out) {
    const char* start = p_;
    p_ = bare_run(p_, end_);
    const std::string_view w(start, static_cast<std::size_t>(p_ - start));
    if (w == "true" || w == "false") {
      out = Value(w == "true");
      return delimited(start, "a boolean");
    }
    if (w == "inf" || w == "nan") {
      out = Value();  // not finite: null in the tree
      return delimited(start, "a float");
    }
    p_ = start;
    if (w.empty() || w == "True" || w == "False" || w == "TRUE" || w == "FALSE")
      return fail(start, "expected a value, found " + found(start) +
                             (w.empty() ? "" : " (booleans are lower case: true or false)"));
    return fail(start, "expected a value, found `" + std::string(w) + "` (a string needs quotes: \"" +
                           std::string(w) + "\")");
  }

  // After a number, date or word: what may follow a value.
  bool delimited(const char* start, const char* what) {
    if (p_ == end_ || is_delimiter(*p_)) return true;
    return fail(start, std::string("invalid ") + what + " " + token(start));
  }

  bool array(Value& out, std::size_t level, const Value* want) {
    if (level > max_parse_depth) return too_deep(p_);
    const Array* expect = nullptr;
    if (comparing()) {
      if (!want->is_array()) return differ();
      expect = &want->as_array();
    }
    const char* open = p_++;
    Array items;
    std::size_t n = 0;  // items compared
    Value scratch;
    for (;;) {
      if (!skip_space()) return false;
      if (p_ == end_) return fail(open, "unterminated array: no closing `]` before the end of the file");
      if (*p_ == ']') break;
      if (expect) {
        if (n == expect->size()) return differ();
        if (!value(scratch, level + 1, &(*expect)[n++])) return false;
      } else if (!value(items.emplace_back(), level + 1, nullptr)) {
        return false;
      }
      if (!skip_space()) return false;
      if (p_ == end_) return fail(open, "unterminated array: no closing `]` before the end of the file");
      if (*p_ == ']') break;
      if (*p_ != ',') return fail(p_, "expected `,` or `]` after an array element, found " + found(p_));
      ++p_;
    }
    ++p_;
    if (expect) return n == expect->size() || differ();
    out = Value(std::move(items));
    return true;
  }

  bool inline_table(Value& out, std::size_t level, const Value* want) {
    if (level > max_parse_depth) return too_deep(p_);
    if (comparing() && !want->is_object()) return differ();
    const char* open = p_++;
    // A fresh table above the live ones; its slot is reused by the next.
    const std::size_t saved_lists = lists_.size();
    const std::uint32_t t = open_table();
    tables_[t].level = level;
    tables_[t].offset = offset(open);
    if (comparing()) tables_[t].set_expect(want->as_object());
    const std::uint32_t section = ++sections_;
    for (bool first = true;; first = false) {
      if (!skip_space()) return false;
      if (p_ == end_) return fail(open, "unterminated inline table: no closing `}` before the end of the file");
      if (*p_ == '}' && first) break;
      if (!key_value(t, section) || !skip_space()) return false;
      if (p_ == end_) return fail(open, "unterminated inline table: no closing `}` before the end of the file");
      if (*p_ == '}') break;
      if (*p_ != ',') return fail(p_, "expected `,` or `}` after an inline table entry, found " + found(p_));
      ++p_;
      if (!skip_space()) return false;
      if (p_ < end_ && *p_ == '}') break;  // a trailing comma
    }
    ++p_;
    if (comparing()) {
      // It and the tables its dotted keys made: every key read was expected.
      for (std::size_t i = t; i < live_; ++i)
        if (tables_[i].slots.size() != tables_[i].expect->size()) return differ();
    } else {
      out = finish(t);
    }
    live_ = t;  // it and its tables wait for reuse
    lists_.resize(saved_lists);
    if (comparing()) list_expect_.resize(saved_lists);
    return true;
  }

  // Strings.

  bool unterminated(const char* open, const char* at, const char* quote) {
    const bool line_break = at < end_;
    return fail(open, std::string("unterminated string: no closing ") + quote + " before the end of the " +
                          (line_break ? "line (a string in one quote cannot span lines; use three for a "
                                        "multi-line string)"
                                      : "file"));
  }

  bool basic_string(std::string& out) {
    const char* open = p_++;
    for (;;) {
      const char* run = io::skip_plain<'"', '\\', 0x7f>(
          p_, end_, [](unsigned char c) { return c == '"' || c == '\\' || c < 0x20 || c == 0x7f; });
      out.append(p_, run);
      p_ = run;
      if (p_ == end_) return unterminated(open, p_, "`\"`");
      const char c = *p_;
      if (c == '"') {
        ++p_;
        return true;
      }
      if (c == '\\') {
        if (!escape(out)) return false;
      } else if (c == '\t') {
        out += c;
        ++p_;
      } else if (c == '\n' || c == '\r') {
        return unterminated(open, p_, "`\"`");
      } else {
        return fail(p_, found(p_) + " must be escaped in a string");
      }
    }
  }

  bool escape(std::string& out) {
    const char* at = p_++;
    if (p_ == end_) return fail(at, "unterminated string: it ends in a backslash");
    const char c = *p_++;
    switch (c) {
      case 'b': out += '\b'; return true;
      case 't': out += '\t'; return true;
      case 'n': out += '\n'; return true;
      case 'f': out += '\f'; return true;
      case 'r': out += '\r'; return true;
      case 'e': out += '\x1b'; return true;
      case '"': out += '"'; return true;
      case '\\': out += '\\'; return true;
      case 'x': return code_point(out, at, 2);
      case 'u': return code_point(out, at, 4);
      case 'U': return code_point(out, at, 8);
      default:
        break;
    }
    const std::string shown = static_cast<unsigned char>(c) > 0x20 && static_cast<unsigned char>(c) < 0x7f
                                  ? "invalid escape `\\" + std::string(1, c) + "`"
                                  : "invalid escape: a backslash before " + found(p_ - 1);
    return fail(at, shown + " (escapes are \\b \\t \\n \\f \\r \\e \\\" \\\\ \\xHH \\uHHHH "
                    "\\UHHHHHHHH)");
  }

  bool code_point(std::string& out, const char* at, int digits) {
    std::uint32_t cp = 0;
    for (int k = 0; k < digits; ++k) {
      const int d = p_ < end_ ? hex_digit(*p_) : -1;
      if (d < 0)
        return fail(at, "invalid escape: \\" + std::string(1, at[1]) + " needs " + std::to_string(digits) +
                            " hexadecimal digits");
      cp = cp * 16 + static_cast<std::uint32_t>(d);
      ++p_;
    }
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return fail(at, "invalid escape `" + std::string(at, p_) + "`: not a Unicode scalar value");
    io::append_utf8(out, cp);
    return true;
  }

  // Closing quotes of a multi-line string: up to two more belong to it.
  // Returns false when q does not close it (fewer than three).
  bool closes(char q, std::string& out, bool& too_many) {
    std::size_t n = 0;
    while (p_ + n < end_ && p_[n] == q) ++n;
    if (n < 3) {
      out.append(n, q);
      p_ += n;
      return false;
    }
    too_many = n > 5;
    out.append(n - 3, q);
    p_ += n;
    return true;
  }

  void trim_first_newline() noexcept { newline(); }

  bool multi_line_basic(std::string& out) {
    const char* open = p_;
    p_ += 3;
    trim_first_newline();
    for (;;) {
      const char* run = io::skip_plain<'"', '\\', 0x7f>(
          p_, end_, [](unsigned char c) { return c == '"' || c == '\\' || c < 0x20 || c == 0x7f; });
      out.append(p_, run);
      p_ = run;
      if (p_ == end_) return fail(open, "unterminated multi-line string: no closing `\"\"\"` before the end of the file");
      const char c = *p_;
      if (c == '"') {
        bool too_many = false;
        if (closes('"', out, too_many)) return too_many ? fail(p_ - 1, "too many quotes after a multi-line string") : true;
      } else if (c == '\\') {
        // A backslash at the end of a line trims the break and the blanks after it.
        const char* q = p_ + 1;
        while (q < end_ && (*q == ' ' || *q == '\t')) ++q;
        if (q < end_ && (*q == '\n' || (*q == '\r' && q + 1 < end_ && q[1] == '\n'))) {
          p_ = q;
          for (;;) {
            if (p_ < end_ && (*p_ == ' ' || *p_ == '\t'))
              ++p_;
            else if (!newline())
              break;
          }
        } else if (!escape(out)) {
          return false;
        }
      } else if (!tab_or_line_break(out)) {
        return fail(p_, found(p_) + " must be escaped in a string");
      }
    }
  }

  // A tab or a line break inside a multi-line string, kept as written.
  bool tab_or_line_break(std::string& out) {
    if (*p_ == '\t' || *p_ == '\n') {
      out += *p_++;
      return true;
    }
    if (*p_ == '\r' && p_ + 1 < end_ && p_[1] == '\n') {
      out += "\r\n";
      p_ += 2;
      return true;
    }
    return false;
  }

  bool literal_string(std::string& out) {
    const char* open = p_++;
    const char* run = io::skip_plain<'\'', 0x7f>(
        p_, end_, [](unsigned char c) { return c == '\'' || (c < 0x20 && c != '\t') || c == 0x7f; });
    out.append(p_, run);
    p_ = run;
    if (p_ == end_ || *p_ == '\n' || *p_ == '\r') return unterminated(open, p_, "`'`");
    if (*p_ != '\'') return fail(p_, found(p_) + " is not allowed in a literal string");
    ++p_;
    return true;
  }

  bool multi_line_literal(std::string& out) {
    const char* open = p_;
    p_ += 3;
    trim_first_newline();
    for (;;) {
      const char* run = io::skip_plain<'\'', 0x7f>(
          p_, end_, [](unsigned char c) { return c == '\'' || c < 0x20 || c == 0x7f; });
      out.append(p_, run);
      p_ = run;
      if (p_ == end_) return fail(open, "unterminated multi-line string: no closing `'''` before the end of the file");
      const char c = *p_;
      if (c == '\'') {
        bool too_many = false;
        if (closes('\'', out, too_many)) return too_many ? fail(p_ - 1, "too many quotes after a multi-line string") : true;
      } else if (!tab_or_line_break(out)) {
        return fail(p_, found(p_) + " is not allowed in a literal string");
      }
    }
  }

  // Numbers.

  // Digits of the given base with single underscores between them, into
  // digits_; false (and p_ unmoved) when there are none.
  bool digit_run(int base) {
    const char* start = p_;
    if (base == 10) {
      // Plain decimal digits, the usual case, appended as one run.
      const char* q = p_;
      while (q < end_ && is_digit(*q)) ++q;
      digits_.append(p_, q);
      p_ = q;
    }
    while (p_ < end_) {
      const char c = *p_;
      const int d = hex_digit(c);
      if (d >= 0 && d < base) {
        digits_ += c;
        ++p_;
      } else if (c == '_' && p_ > start && p_ + 1 < end_ && hex_digit(p_[1]) >= 0 && hex_digit(p_[1]) < base) {
        ++p_;
      } else {
        break;
      }
    }
    return p_ > start;
  }

  bool bad_number(const char* start) { return fail(start, "invalid number " + token(start)); }

  bool number_or_date(Value& out, std::size_t level) {
    const char* s = p_;
    const std::size_t left = static_cast<std::size_t>(end_ - s);
    if (left >= 5 && is_digit(s[0]) && is_digit(s[1]) && is_digit(s[2]) && is_digit(s[3]) && s[4] == '-')
      return date_time(out, level);
    if (left >= 3 && is_digit(s[0]) && is_digit(s[1]) && s[2] == ':') return date_time(out, level);
    digits_.clear();
    bool negative = false;
    if (*p_ == '+' || *p_ == '-') {
      negative = *p_ == '-';
      ++p_;
      if (end_ - p_ >= 3 && (std::memcmp(p_, "inf", 3) == 0 || std::memcmp(p_, "nan", 3) == 0)) {
        p_ += 3;
        out = Value();
        return delimited(s, "float");
      }
    }
    if (!negative && s[0] == '0' && left >= 2 && (s[1] == 'x' || s[1] == 'o' || s[1] == 'b') && p_ == s)
      return prefixed_integer(out, s);
    {  // Plain decimal digits, the usual number: no copy, no conversion call.
      const char* q = p_;
      std::uint64_t n = 0;
      while (q < end_ && is_digit(*q) && q - p_ < 18) n = n * 10 + static_cast<unsigned>(*q++ - '0');
      const bool leading_zero = q - p_ > 1 && *p_ == '0';  // (a sign may end the text)
      if (q > p_ && (q == end_ || is_delimiter(*q)) && !leading_zero) {
        p_ = q;
        out = negative ? Value::from_int(static_cast<std::int64_t>(0 - n)) : Value(n);
        return true;
      }
      // A fraction of at most 18 digits in all that make at most 2^53: both
      // they and the power of ten are exact doubles, so one division rounds
      // correctly (Python writes many floats in 16 or 17 digits).
      if (q > p_ && !leading_zero && q - p_ < 19 && end_ - q > 1 && *q == '.' && is_digit(q[1])) {
        const char* f = ++q;
        while (q < end_ && is_digit(*q) && q - p_ <= 19) n = n * 10 + static_cast<unsigned>(*q++ - '0');
        if (q - p_ <= 19 && n <= (std::uint64_t{1} << 53) && (q == end_ || is_delimiter(*q))) {
          static constexpr double tens[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,
                                            1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18};
          const double d = static_cast<double>(n) / tens[q - f];
          p_ = q;
          out = Value::from_double(negative ? -d : d);
          return true;
        }
      }
    }
    const char* int_start = p_;
    if (!digit_run(10)) return bad_number(s);
    if (digits_.size() > 1 && digits_[0] == '0')
      return fail(int_start, "invalid number " + token(s) + ": leading zeros are not allowed");
    bool is_float = false;
    if (p_ < end_ && *p_ == '.') {
      ++p_;
      digits_ += '.';
      if (!digit_run(10)) return bad_number(s);
      is_float = true;
    }
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
      ++p_;
      digits_ += 'e';
      if (p_ < end_ && (*p_ == '+' || *p_ == '-')) digits_ += *p_++;
      if (!digit_run(10)) return bad_number(s);
      is_float = true;
    }
    if (p_ < end_ && !is_delimiter(*p_)) return bad_number(s);
    if (is_float) return to_double(out, s, negative);
    std::uint64_t n = 0;
    auto [end, ec] = std::from_chars(digits_.data(), digits_.data() + digits_.size(), n);
    const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
    if (ec != std::errc() || n > limit)
      return fail(s, "integer " + token(s) + " is out of the 64-bit range");
    out = negative ? Value::from_int(static_cast<std::int64_t>(0 - n)) : Value(n);
    return true;
  }

  bool to_double(Value& out, const char* s, bool negative) {
    double d = 0;
    auto [end, ec] = std::from_chars(digits_.data(), digits_.data() + digits_.size(), d);
    if (ec == std::errc::result_out_of_range) {
      // Too small rounds to zero; too large is refused.
      const std::size_t e = digits_.find('e');
      if (e == std::string::npos || digits_[e + 1] != '-')
        return fail(s, "float " + token(s) + " is out of the 64-bit range");
      d = 0;
    } else if (ec != std::errc()) {
      return bad_number(s);
    }
    out = Value::from_double(negative ? -d : d);
    return true;
  }

  bool prefixed_integer(Value& out, const char* s) {
    const int base = s[1] == 'x' ? 16 : s[1] == 'o' ? 8 : 2;
    p_ += 2;
    if (!digit_run(base) || (p_ < end_ && !is_delimiter(*p_))) return bad_number(s);
    std::uint64_t n = 0;
    auto [end, ec] = std::from_chars(digits_.data(), digits_.data() + digits_.size(), n, base);
    if (ec != std::errc() || n > (std::uint64_t{1} << 63) - 1)
      return fail(s, "integer " + token(s) + " is out of the 64-bit range");
    out = Value(n);
    return true;
  }

  // Dates and times.

  // n digits at p_ as a number, or -1.
  int fixed_digits(int n) noexcept {
    if (end_ - p_ < n) return -1;
    int v = 0;
    for (int k = 0; k < n; ++k) {
      if (!is_digit(p_[k])) return -1;
      v = v * 10 + (p_[k] - '0');
    }
    p_ += n;
    return v;
  }

  bool field(int& v, int digits, int lo, int hi, const char* start, const char* name, const char* form) {
    const char* at = p_;
    v = fixed_digits(digits);
    if (v < 0) return fail(at, "invalid date-time " + token(start) + ": expected " + form);
    if (v < lo || v > hi)
      return fail(at, std::string(name) + " " + std::string(at, p_) + " is out of range (" +
                          (lo < 10 ? "0" : "") + std::to_string(lo) + " to " + std::to_string(hi) + ")");
    return true;
  }

  bool take(char c) noexcept {
    if (p_ < end_ && *p_ == c) {
      ++p_;
      return true;
    }
    return false;
  }

  bool date_time(Value& out, std::size_t level) {
    const char* start = p_;
    std::string text;
    int v = 0;
    bool date = false;
    if (end_ - p_ >= 5 && p_[4] == '-') {
      int year = 0, month = 0;
      constexpr const char* form = "YYYY-MM-DD";
      if (!field(year, 4, 0, 9999, start, "year", form) || !take('-') ||
          !field(month, 2, 1, 12, start, "month", form) || !take('-') ||
          !field(v, 2, 1, 31, start, "day", form))
        return failed_ ? false : fail(p_, "invalid date: expected YYYY-MM-DD");
      static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
      const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
      if (v > days[month - 1] + (month == 2 && leap ? 1 : 0))
        return fail(p_ - 2, "day " + std::string(p_ - 2, p_) + " does not exist in " + std::string(start, p_ - 3));
      text.assign(start, p_);
      date = true;
      // A time follows a 'T', or a blank when a time really comes next.
      const bool t = p_ < end_ && (*p_ == 'T' || *p_ == 't');
      const bool blank = end_ - p_ >= 4 && *p_ == ' ' && is_digit(p_[1]) && is_digit(p_[2]) && p_[3] == ':';
      if (!t && !blank) return finish_date_time(out, text, start, level);
      ++p_;
      text += 'T';
    }
    constexpr const char* form = "HH:MM:SS";
    if (!field(v, 2, 0, 23, start, "hour", form) || !take(':') || !field(v, 2, 0, 59, start, "minute", form))
      return failed_ ? false : fail(p_, "invalid time: expected HH:MM:SS");
    text.append(p_ - 5, p_);
    // Seconds are optional; written out, so that every reader takes the text.
    if (take(':')) {
      if (!field(v, 2, 0, 60, start, "second", form)) return false;
      text.append(p_ - 3, p_);
      if (take('.')) {
        const char* frac = p_;
        while (p_ < end_ && is_digit(*p_)) ++p_;
        if (p_ == frac) return fail(frac, "invalid time: expected digits after the decimal point");
        text.append(frac - 1, p_);
      }
    } else {
      text += ":00";
    }
    if (date && p_ < end_) {
      if (*p_ == 'Z' || *p_ == 'z') {
        ++p_;
        text += 'Z';
      } else if (*p_ == '+' || *p_ == '-') {
        const char* sign = p_++;
        constexpr const char* offset_form = "+HH:MM";
        if (!field(v, 2, 0, 23, start, "offset hour", offset_form) || !take(':') ||
            !field(v, 2, 0, 59, start, "offset minute", offset_form))
          return failed_ ? false : fail(p_, "invalid offset: expected +HH:MM");
        text.append(sign, p_);
      }
    }
    return finish_date_time(out, text, start, level);
  }

  bool finish_date_time(Value& out, std::string& text, const char* start, std::size_t level) {
    if (!delimited(start, "date-time")) return false;
    if (level > max_parse_depth) return too_deep(start);
    std::vector<Member> one;
    one.push_back(Member{Key(datetime_key), Value(std::move(text))});
    out = Value(Object::from_unsorted(std::move(one)));
    return true;
  }

  // The tree.

  // An open table as an object, its tables first turned into values. The
  // recursion follows the tables' nesting, which the depth limit bounds.
  Value finish(std::uint32_t t) {
    for (std::size_t i = 0; i < tables_[t].members.size(); ++i) {
      const Slot s = tables_[t].slots[i];
      if (s.holds == Holds::table) {
        Value v = finish(s.child);
        tables_[t].members[i].value = std::move(v);
      } else if (s.holds == Holds::tables) {
        Array items;
        items.reserve(lists_[s.child].size());
        for (const std::uint32_t e : lists_[s.child]) items.push_back(finish(e));
        tables_[t].members[i].value = Value(std::move(items));
      }
    }
    std::vector<Member>& members = tables_[t].members;
    // A large table out of order is put in order here, each member moved
    // once, rather than by moving members through every step of a sort.
    if (members.size() > 64 && !tables_[t].ascending) {
      std::vector<std::uint32_t> order(members.size());
      for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
      std::sort(order.begin(), order.end(),
                [&](std::uint32_t a, std::uint32_t b) { return members[a].key < members[b].key; });
      std::vector<Member> sorted;
      sorted.reserve(members.size());
      for (const std::uint32_t i : order) sorted.push_back(std::move(members[i]));
      members = std::move(sorted);
    }
    return Value(Object::from_unsorted(std::move(members)));
  }

};

}  // namespace

Result<Value> read(std::string_view text) { return Reader(text).run(); }

struct ReadMemory::Tables {
  std::vector<Table> open;
  // Where the lookups of the last read found their members, in order, and
  // this read's.
  std::vector<std::uint32_t> predicted, recorded;
};

void ReadMemory::Free::operator()(Tables* tables) const noexcept { std::default_delete<Tables>()(tables); }

bool reads_as(std::string_view text, const Value& tree, Sections* record, ReadMemory* memory) {
  if (!memory) return Reader(text, &tree).matches(record);
  if (!memory->tables_) memory->tables_.reset(std::make_unique<ReadMemory::Tables>().release());
  ReadMemory::Tables& kept = *memory->tables_;
  std::swap(kept.predicted, kept.recorded);
  kept.recorded.clear();
  Reader reader(text, &tree, &kept.open);
  reader.predict(kept.predicted, kept.recorded);
  return reader.matches(record);
}

}  // namespace zub::toml
