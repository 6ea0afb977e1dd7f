#include "drivers/file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

namespace zub::io {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

namespace {

bool has_nul(std::string_view s) { return s.find('\0') != std::string_view::npos; }

int open_retrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do fd = ::open(path, flags | O_CLOEXEC, mode);
  while (fd < 0 && errno == EINTR);
  return fd;
}

bool is_dir(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The path less its last component, trailing slashes ignored; empty for a
// bare file name, nullopt for the root itself.
std::optional<std::string> parent_of(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (path.empty() || path == "/") return std::nullopt;
  auto slash = path.rfind('/');
  if (slash == std::string_view::npos) return std::string();
  auto parent = path.substr(0, slash);
  while (parent.size() > 1 && parent.back() == '/') parent.remove_suffix(1);
  if (parent.empty()) return std::string("/");
  return std::string(parent);
}

// Writes to a descriptor and keeps the first failure; once a write has
// failed, the rest of the text is dropped.
class FdSink final : public TextSink {
 public:
  explicit FdSink(int fd) noexcept : fd_(fd) {}
  void put(std::string_view piece) override {
    if (error_ != 0) return;
    while (!piece.empty()) {
      ssize_t n = ::write(fd_, piece.data(), piece.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        error_ = errno;
        return;
      }
      piece.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  int error() const noexcept { return error_; }

 private:
  int fd_;
  int error_ = 0;
};

Result<void> produce_into(int fd, const TextProducer& produce) {
  FdSink sink(fd);
  auto produced = produce(sink);
  if (sink.error() != 0) return io_failure(sink.error());
  return produced;
}

// For writing over the file itself: the whole text first, so that a writer
// that fails halfway leaves the file as it was.
Result<std::string> produce_text(const TextProducer& produce) {
  std::string text;
  StringSink sink(text);
  if (auto produced = produce(sink); !produced) return std::move(produced).failure();
  return text;
}

Result<void> write_text(int fd, std::string_view text) {
  FdSink sink(fd);
  sink.put(text);
  if (sink.error() != 0) return io_failure(sink.error());
  return {};
}

int fsync_retrying(int fd) {
  int rc;
  do rc = ::fsync(fd);
  while (rc < 0 && errno == EINTR);
  return rc;
}

// Follows symbolic links so that the link stays and its target is replaced.
Result<std::string> resolve_links(const std::string& path) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    std::vector<char> buf(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
    ssize_t n = ::readlink(current.c_str(), buf.data(), buf.size());
    if (n < 0) return io_failure(errno);
    std::string target(buf.data(), static_cast<std::size_t>(n));
    if (!target.empty() && target.front() != '/') {
      auto parent = parent_of(current);
      if (parent && !parent->empty()) target = *parent + (parent->back() == '/' ? "" : "/") + target;
    }
    current = std::move(target);
  }
  return io_failure(ELOOP);
}

std::string temp_name_for(const std::string& target, unsigned attempt) {
  auto parent = parent_of(target);
  std::string_view name = target;
  if (auto slash = name.rfind('/'); slash != std::string_view::npos) name.remove_prefix(slash + 1);
  std::string dir = parent && !parent->empty() ? *parent : std::string(".");
  if (dir.back() != '/') dir += '/';
  return dir + "." + std::string(name) + ".zub-" + std::to_string(::getpid()) + "-" +
         std::to_string(attempt) + ".tmp";
}

}  // namespace

Result<std::optional<UniqueFd>> open_config(const std::string& path) {
  static const std::string prefix = "Failed to open config file: ";
  if (has_nul(path)) return Failure{ErrorKind::os_error, prefix + std::string(nul_in_path_text)};
  int fd = open_retrying(path.c_str(), O_RDONLY);
  if (fd < 0) {
    if (errno == ENOENT) return std::optional<UniqueFd>();
    return Failure{ErrorKind::os_error, prefix + os_error_text(errno)};
  }
  return std::optional<UniqueFd>(UniqueFd(fd));
}

Result<std::string> read_all(int fd) {
  std::string out;
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
    out.reserve(static_cast<std::size_t>(st.st_size));
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return io_failure(errno);
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

Result<std::string> read_text_file(const std::string& path) {
  if (has_nul(path)) return io_failure_text(std::string(nul_in_path_text));
  UniqueFd fd(open_retrying(path.c_str(), O_RDONLY));
  if (!fd) return io_failure(errno);
  auto text = read_all(fd.get());
  if (!text) return text;
  if (!is_valid_utf8(*text)) return io_failure_text("stream did not contain valid UTF-8");
  return text;
}

bool is_valid_utf8(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    // Runs of ASCII, most of any settings file, eight bytes at a time.
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      if (word & 0x8080808080808080ull) break;
      p += 8;
    }
    if (p == end) break;
    unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    std::size_t len;
    std::uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) < len) return false;
    for (std::size_t i = 1; i < len; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, surrogates and values beyond U+10FFFF are invalid.
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
        (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
      return false;
    p += len;
  }
  return true;
}

Position position_of(std::string_view text, std::size_t offset) noexcept {
  if (offset > text.size()) offset = text.size();
  Position pos{1, 1};
  for (std::size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++pos.line;
      pos.column = 1;
    } else if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      ++pos.column;  // columns count characters, not UTF-8 continuation bytes
    }
  }
  return pos;
}

Result<void> create_parent_dirs(const std::string& path) {
  auto parent = parent_of(path);
  if (!parent || parent->empty()) return {};
  if (has_nul(*parent)) return io_failure_text(std::string(nul_in_path_text));
  // Walk up to the first ancestor that exists, then create downwards, the
  // way a recursive mkdir does; a component that exists as a directory
  // (perhaps made by someone else meanwhile) is accepted.
  std::vector<std::string> missing;
  std::string current = *parent;
  for (;;) {
    if (::mkdir(current.c_str(), 0777) == 0) break;
    int err = errno;
    if (err != ENOENT) {
      if (is_dir(current)) break;
      return io_failure(err);
    }
    auto up = parent_of(current);
    if (!up || up->empty()) return io_failure(err);
    missing.push_back(std::move(current));
    current = std::move(*up);
  }
  while (!missing.empty()) {
    const std::string& dir = missing.back();
    if (::mkdir(dir.c_str(), 0777) != 0 && !is_dir(dir)) return io_failure(errno);
    missing.pop_back();
  }
  return {};
}

Result<void> replace_file(const std::string& path, std::string_view data) {
  return replace_file(path, [data](TextSink& sink) -> Result<void> {
    sink.put(data);
    return {};
  });
}

namespace {

class DiscardSink final : public TextSink {
 public:
  void put(std::string_view) override {}
};

Result<void> replace_file_once(const std::string& path, const TextProducer& produce) {
  if (has_nul(path)) return io_failure_text(std::string(nul_in_path_text));
  auto resolved = resolve_links(path);
  if (!resolved) return std::move(resolved).failure();
  const std::string& target = *resolved;

  // An existing file must be writable: a read-only file refuses the save
  // just as an in-place write would, and keeps its content.
  UniqueFd existing(open_retrying(target.c_str(), O_WRONLY));
  struct stat st {};
  bool exists = false;
  if (existing) {
    if (::fstat(existing.get(), &st) != 0) return io_failure(errno);
    exists = true;
    if (!S_ISREG(st.st_mode)) {
      // Devices, pipes and the like cannot be renamed over: write in place.
      auto text = produce_text(produce);
      if (!text) return std::move(text).failure();
      return write_text(existing.get(), *text);
    }
  } else if (errno != ENOENT) {
    return io_failure(errno);
  }

  UniqueFd tmp;
  std::string tmp_path;
  for (unsigned attempt = 0; attempt < 100 && !tmp; ++attempt) {
    tmp_path = temp_name_for(target, attempt);
    tmp = UniqueFd(open_retrying(tmp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666));
    if (!tmp && errno != EEXIST) break;
  }
  if (!tmp) {
    int err = errno;
    if (exists && (err == EACCES || err == EPERM || err == EROFS)) {
      // The directory refuses new files but the file itself may be written.
      auto text = produce_text(produce);
      if (!text) return std::move(text).failure();
      if (::ftruncate(existing.get(), 0) != 0) return io_failure(errno);
      auto written = write_text(existing.get(), *text);
      if (!written) return written;
      if (fsync_retrying(existing.get()) != 0 && errno != EINVAL) return io_failure(errno);
      return {};
    }
    return io_failure(err);
  }

  struct TempGuard {
    const std::string& path;
    bool armed = true;
    ~TempGuard() {
      if (armed) ::unlink(path.c_str());
    }
  } guard{tmp_path};

  if (exists) {
    // Keep the owner where the process may set it, and always the mode.
    if (st.st_uid != ::geteuid() || st.st_gid != ::getegid())
      (void)::fchown(tmp.get(), st.st_uid, st.st_gid);
    if (::fchmod(tmp.get(), st.st_mode & 07777) != 0) return io_failure(errno);
  }
  if (auto written = produce_into(tmp.get(), produce); !written) return written;
  if (fsync_retrying(tmp.get()) != 0) return io_failure(errno);
  if (::close(tmp.release()) != 0) return io_failure(errno);
  if (::rename(tmp_path.c_str(), target.c_str()) != 0) return io_failure(errno);
  guard.armed = false;

  // The rename itself is durable only once the directory is flushed.
  auto parent = parent_of(target);
  std::string dir = parent && !parent->empty() ? *parent : std::string(".");
  UniqueFd dir_fd(open_retrying(dir.c_str(), O_RDONLY | O_DIRECTORY));
  if (dir_fd) (void)fsync_retrying(dir_fd.get());
  return {};
}

}  // namespace

Result<void> replace_file(const std::string& path, const TextProducer& produce) {
  bool produced = false;
  auto replaced = replace_file_once(path, [&](TextSink& sink) {
    produced = true;
    return produce(sink);
  });
  if (!replaced && !produced) {
    // A tree the format cannot hold is reported as such even where the file
    // cannot be written either, as when the text is made before the file.
    DiscardSink discard;
    if (auto text = produce(discard); !text) return text;
  }
  return replaced;
}

}  // namespace zub::io
