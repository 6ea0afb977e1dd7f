// File access for the format drivers. Every handle is owned by a UniqueFd
// and closed on every path; failures come back as Failure values.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/result.hpp"
#include "drivers/text_out.hpp"

namespace zub::io {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();

  int get() const noexcept { return fd_; }
  int release() noexcept {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  explicit operator bool() const noexcept { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

inline constexpr std::string_view nul_in_path_text = "file name contained an unexpected NUL byte";

// Opens the configuration file read-only. A file that does not exist (or
// whose directory does not) gives an empty optional; any other failure is
// OSError "Failed to open config file: ...".
Result<std::optional<UniqueFd>> open_config(const std::string& path);

// Reads everything from an open descriptor (standard I/O failures).
Result<std::string> read_all(int fd);

// Reads the whole file by path into a string that must be valid UTF-8.
Result<std::string> read_text_file(const std::string& path);

bool is_valid_utf8(std::string_view text) noexcept;

// Appends the UTF-8 encoding of a code point (at most U+10FFFF).
void append_utf8(std::string& out, std::uint32_t cp);

// Line and column (both from 1) of a byte offset in a text.
struct Position {
  std::size_t line;
  std::size_t column;
};
Position position_of(std::string_view text, std::size_t offset) noexcept;

// Creates the parent directory of path and its missing ancestors (0o777
// before the umask).
Result<void> create_parent_dirs(const std::string& path);

// Writes a whole text into the sink. The sink's own write errors are
// reported by whoever owns the sink, so a producer fails only for reasons
// of its own.
using TextProducer = std::function<Result<void>(TextSink&)>;

// Replaces the file's content with what produce writes, so that a crash at
// any moment leaves either the old or the new content: a temporary file in
// the same directory (unnamed where the file system allows, so that a
// killed save leaves nothing), private until its content is written and
// flushed, then given the target's mode, owner and group (the group alone
// where the owner cannot be kept) and extended attributes, renamed over
// the target, and the directory flushed. Follows symbolic links; a hard
// link of the target keeps the old content. Rewrites in place when the
// file is writable but the directory refuses the temporary file or the
// rename (a sticky directory). Removes temporary files that killed saves
// of the same target left behind.
// The temporary file starts unnamed where the file system allows; named
// is what a file system without O_TMPFILE gets.
enum class TempFile { unnamed_where_possible, named };
// Whether a missing directory of the path fails the save (ENOENT) or is
// made first, as create_parent_dirs makes it; made only when the save
// finds it missing, so that a save into an existing directory does not pay
// for the look.
enum class MissingDirs { fail, create };
Result<void> replace_file(const std::string& path, const TextProducer& produce,
                          TempFile temp = TempFile::unnamed_where_possible, MissingDirs missing_dirs = MissingDirs::fail);
Result<void> replace_file(const std::string& path, std::string_view data,
                          TempFile temp = TempFile::unnamed_where_possible, MissingDirs missing_dirs = MissingDirs::fail);

}  // namespace zub::io
