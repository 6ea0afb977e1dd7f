// Where writers put their text: a sink takes it piece by piece, and TextOut
// hands it over a buffer at a time, so that a large document never exists
// whole in memory and the buffer being filled stays in cache.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace zub::io {

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

class TextOut {
 public:
  static constexpr std::size_t capacity = std::size_t{1} << 16;

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
    while (s.size() > static_cast<std::size_t>(end_ - at)) {
      auto part = static_cast<std::size_t>(end_ - at);
      put(s.data(), part);
      s.remove_prefix(part);
      flush();
    }
    put(s.data(), s.size());
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
  TextSink& sink_;
  std::unique_ptr<char[]> buffer_;
  char* end_ = nullptr;
  bool flushed_ = false;
};

}  // namespace zub::io
