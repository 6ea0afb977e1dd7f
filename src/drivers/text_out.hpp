// Where writers put their text: a sink takes it piece by piece, and TextOut
// hands it over a buffer at a time, so that a large document never exists
// whole in memory and the buffer being filled stays in cache.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace zub::io {

// Whether any of the eight bytes in x is a control character (below 0x20)
// or one of the given bytes. Exact for the word as a whole, not per byte,
// which is all a writer needs to copy plain text a word at a time.
template <unsigned char... Specials>
constexpr bool word_has_special(std::uint64_t x) noexcept {
  constexpr std::uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u;
  constexpr auto has_zero = [](std::uint64_t v) { return (v - ones) & ~v & highs; };
  return (((x - ones * 0x20) & ~x) | (has_zero(x ^ (ones * Specials)) | ... | 0)) & highs;
}

// The end of the run of plain bytes that starts at `in`, words first, then
// byte by byte with `special`.
template <unsigned char... Specials, class Special>
const char* skip_plain(const char* in, const char* end, Special special) noexcept {
  for (std::uint64_t word; end - in >= 8; in += 8) {
    std::memcpy(&word, in, 8);
    if (word_has_special<Specials...>(word)) break;
  }
  while (in != end && !special(static_cast<unsigned char>(*in))) ++in;
  return in;
}

class TextSink {
 public:
  virtual ~TextSink() = default;
  virtual void put(std::string_view piece) = 0;
};

// Collects the pieces into one string.
class StringSink final : public TextSink {
 public:
  explicit StringSink(std::string& out) noexcept : out_(out) {}
  void put(std::string_view piece) override { out_.append(piece); }

 private:
  std::string& out_;
};

// The text a streaming writer produces, as one string.
template <class Write>
std::string collect_text(Write&& write) {
  std::string text;
  StringSink sink(text);
  write(sink);
  return text;
}

class TextOut {
 public:
  // Large enough that a settings file of a few hundred KB goes to the file
  // in one write: each write into the page cache cost more than the buffer
  // staying in the faster caches saved.
  static constexpr std::size_t capacity = std::size_t{1} << 18;

  explicit TextOut(TextSink& sink) : sink_(sink), buffer_(std::make_unique_for_overwrite<char[]>(capacity)) {
    at = buffer_.get();
    end_ = at + capacity;
  }
  TextOut(const TextOut&) = delete;
  TextOut& operator=(const TextOut&) = delete;

  // Where the next byte goes. Hot loops write through it directly, after
  // ensure() has made room for what they write.
  char* at;

  // The buffer's end, fixed for the object's life.
  char* limit() const noexcept { return end_; }

  void ensure(std::size_t n) {
    if (static_cast<std::size_t>(end_ - at) < n) flush();
  }

  // Unchecked: the caller made room.
  void put(const char* s, std::size_t n) noexcept {
    std::memcpy(at, s, n);
    at += n;
  }

  void append(std::string_view s) {
    if (s.size() <= static_cast<std::size_t>(end_ - at)) [[likely]]
      put(s.data(), s.size());
    else
      append_in_parts(s);
  }

  void append(const char* s, std::size_t n) { append(std::string_view(s, n)); }

  void append(std::size_t n, char c) {
    for (;;) {
      std::size_t part = std::min(n, static_cast<std::size_t>(end_ - at));
      std::memset(at, c, part);
      at += part;
      n -= part;
      if (n == 0) return;
      flush();
    }
  }

  TextOut& operator+=(std::string_view s) {
    append(s);
    return *this;
  }
  TextOut& operator+=(char c) {
    ensure(1);
    *at++ = c;
    return *this;
  }

  bool empty() const noexcept { return !flushed_ && at == buffer_.get(); }

  // Hands over what the buffer holds; the writer calls it once at the end.
  void flush() {
    if (at != buffer_.get()) {
      sink_.put(std::string_view(buffer_.get(), static_cast<std::size_t>(at - buffer_.get())));
      flushed_ = true;
    }
    at = buffer_.get();
  }

 private:
  void append_in_parts(std::string_view s) {
    while (s.size() > static_cast<std::size_t>(end_ - at)) {
      auto part = static_cast<std::size_t>(end_ - at);
      put(s.data(), part);
      s.remove_prefix(part);
      flush();
    }
    put(s.data(), s.size());
  }

  TextSink& sink_;
  std::unique_ptr<char[]> buffer_;
  char* end_ = nullptr;
  bool flushed_ = false;
};

}  // namespace zub::io
