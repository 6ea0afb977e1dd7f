#include "drivers/file_io.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
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

Result<void> replace_file(const std::string& path, std::string_view data, TempFile temp, MissingDirs missing_dirs) {
  return replace_file(path, [data](TextSink& sink) -> Result<void> {
    sink.put(data);
    return {};
  }, temp, missing_dirs);
}

namespace {

class DiscardSink final : public TextSink {
 public:
  void put(std::string_view) override {}
};

// Where the file lives: the target with its links resolved, split into its
// directory ("." for a bare name) and its last component.
struct Target {
  std::string path;
  std::string dir;
  std::string name;
};

Target split(std::string path) {
  auto parent = parent_of(path);
  std::string dir = parent && !parent->empty() ? *parent : std::string(".");
  auto slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return Target{std::move(path), std::move(dir), std::move(name)};
}

constexpr std::size_t random_chars = 16;

// Temporary names: ".NAME.zub-" + 16 hex digits from the kernel's random
// source + ".tmp", in the target's directory. Nobody can guess the next
// one, so nobody can plant it.
Result<std::string> temp_name(const Target& t) {
  unsigned char bytes[random_chars / 2];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return io_failure(errno);
    }
    got += static_cast<std::size_t>(n);
  }
  static constexpr char hex[] = "0123456789abcdef";
  std::string name = "." + t.name + ".zub-";
  for (unsigned char b : bytes) {
    name += hex[b >> 4];
    name += hex[b & 15];
  }
  return name + ".tmp";
}

bool is_temp_name(std::string_view entry, std::string_view name) {
  constexpr std::string_view tag = ".zub-", end = ".tmp";
  if (entry.size() != 1 + name.size() + tag.size() + random_chars + end.size() || entry[0] != '.') return false;
  entry.remove_prefix(1);
  if (!entry.starts_with(name)) return false;
  entry.remove_prefix(name.size());
  if (!entry.starts_with(tag) || !entry.ends_with(end)) return false;
  entry = entry.substr(tag.size(), random_chars);
  return entry.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

// The file-creation mask, read without changing it: umask() would race
// with other threads creating files.
mode_t creation_mask() {
  UniqueFd fd(open_retrying("/proc/self/status", O_RDONLY));
  if (fd) {
    auto status = read_all(fd.get());
    auto at = status ? status->find("\nUmask:\t") : std::string::npos;
    if (at != std::string::npos) return static_cast<mode_t>(std::strtoul(status->c_str() + at + 8, nullptr, 8));
  }
  mode_t mask = ::umask(022);
  ::umask(mask);
  return mask;
}

// A saver holds an exclusive lock on its temporary file from creation to
// rename, and the kernel drops it when the process dies: a temporary file
// whose lock can be taken belongs to no save in progress.
// Where the file system has no locks (some network file systems), saves
// take none and no sweep removes anything.
enum class Lock { held, busy, unsupported };
Lock try_lock(int fd) {
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return Lock::held;
  return errno == EWOULDBLOCK ? Lock::busy : Lock::unsupported;
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Removes what killed saves of this target left behind. Best effort: a
// file another user's save left is not ours to open and stays. Reads the
// directory through the descriptor the save already holds (its offset is
// still at the start), with no stream to open, check and close around it.
void sweep_stale(int dfd, const Target& t) {
  constexpr std::size_t buffer_size = 32768;
  const auto buffer = std::make_unique_for_overwrite<char[]>(buffer_size);
  for (;;) {
    const ssize_t got = ::getdents64(dfd, buffer.get(), buffer_size);
    if (got <= 0) return;
    for (ssize_t at = 0; at < got;) {
      // The kernel's record: inode, offset, record length, type, then the name.
      const char* record = buffer.get() + at;
      unsigned short length;
      std::memcpy(&length, record + offsetof(struct dirent64, d_reclen), sizeof length);
      at += length;
      const char* name = record + offsetof(struct dirent64, d_name);
      if (!is_temp_name(name, t.name)) continue;
      UniqueFd fd(::openat(dfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
      struct stat held, named;
      if (!fd || try_lock(fd.get()) != Lock::held || ::fstat(fd.get(), &held) != 0 ||
          ::fstatat(dfd, name, &named, AT_SYMLINK_NOFOLLOW) != 0 || !same_file(held, named) ||
          !S_ISREG(named.st_mode))
        continue;
      (void)::unlinkat(dfd, name, 0);
    }
  }
}

// The target's directory, open for the whole save: the temporary file is
// made, linked and renamed relative to it, the directory is flushed and
// swept through it, and its path is walked once. A directory the process
// may search but not read is held as a path only, which cannot be flushed
// or read: the save goes on without either, as it did when they failed.
struct Dir {
  UniqueFd fd;
  bool readable = false;
};

Result<Dir> open_dir(const Target& t) {
  Dir dir;
  dir.fd = UniqueFd(open_retrying(t.dir.c_str(), O_RDONLY | O_DIRECTORY));
  if (dir.fd) {
    dir.readable = true;
    return dir;
  }
  if (errno != EACCES) return io_failure(errno);
  dir.fd = UniqueFd(open_retrying(t.dir.c_str(), O_PATH | O_DIRECTORY));
  if (!dir.fd) return io_failure(errno);
  return dir;
}

// The temporary file: unnamed (O_TMPFILE) until just before the rename
// where the file system allows, else under a random name from the start.
struct Temp {
  UniqueFd fd;
  int dir = -1;      // the directory's descriptor, which outlives this
  std::string name;  // in that directory; empty while unnamed
  bool linked = false;
  ~Temp() {
    if (linked) ::unlinkat(dir, name.c_str(), 0);
  }
};

int openat_retrying(int dir, const char* name, int flags, mode_t mode) {
  int fd;
  do fd = ::openat(dir, name, flags | O_CLOEXEC, mode);
  while (fd < 0 && errno == EINTR);
  return fd;
}

bool tmpfile_unsupported(int err) { return err == EOPNOTSUPP || err == EISDIR || err == EINVAL; }

// Opens the temporary file with mode, which gives nobody else access.
// The lock is taken before the file has a name anyone could find.
Result<void> create_temp(Temp& tmp, const Target& t, mode_t mode, bool unnamed) {
  if (unnamed) {
    tmp.fd = UniqueFd(openat_retrying(tmp.dir, ".", O_TMPFILE | O_WRONLY, mode));
    if (tmp.fd) {
      (void)try_lock(tmp.fd.get());  // nobody else can reach it yet
      return {};
    }
    if (!tmpfile_unsupported(errno)) return io_failure(errno);
  }
  for (int attempt = 0; attempt < 16; ++attempt) {
    auto name = temp_name(t);
    if (!name) return std::move(name).failure();
    UniqueFd fd(openat_retrying(tmp.dir, name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, mode));
    if (!fd) {
      if (errno == EEXIST) continue;
      return io_failure(errno);
    }
    tmp.name = std::move(*name);
    tmp.linked = true;
    // A sweep may have found the file before the lock was taken: start over
    // under another name if the lock is taken or the name is gone.
    struct stat held, named;
    if (try_lock(fd.get()) != Lock::busy && ::fstat(fd.get(), &held) == 0 &&
        ::fstatat(tmp.dir, tmp.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && same_file(held, named)) {
      tmp.fd = std::move(fd);
      return {};
    }
    tmp.linked = false;
  }
  return io_failure(EEXIST);
}

enum class Naming { done, failed, unsupported };

// Links an unnamed temporary file under a random name, for the rename.
Naming name_temp(Temp& tmp, const Target& t, Failure& failure) {
  const std::string self = "/proc/self/fd/" + std::to_string(tmp.fd.get());
  for (int attempt = 0; attempt < 16; ++attempt) {
    auto name = temp_name(t);
    if (!name) {
      failure = std::move(name).failure();
      return Naming::failed;
    }
    int rc = ::linkat(AT_FDCWD, self.c_str(), tmp.dir, name->c_str(), AT_SYMLINK_FOLLOW);
    if (rc != 0 && errno == ENOENT)  // no /proc: the privileged form may still work
      rc = ::linkat(tmp.fd.get(), "", tmp.dir, name->c_str(), AT_EMPTY_PATH);
    if (rc == 0) {
      tmp.name = std::move(*name);
      tmp.linked = true;
      return Naming::done;
    }
    if (errno == EEXIST) continue;
    if (errno == ENOENT || errno == EPERM) return Naming::unsupported;
    failure = io_failure(errno);
    return Naming::failed;
  }
  failure = io_failure(EEXIST);
  return Naming::failed;
}

// Owner and group as far as the process may set them: a member of the
// file's group who is not its owner keeps at least the group.
void keep_owner(int fd, const struct stat& st) {
  if (st.st_uid == ::geteuid() && st.st_gid == ::getegid()) return;
  if (::fchown(fd, st.st_uid, st.st_gid) != 0) (void)::fchown(fd, static_cast<uid_t>(-1), st.st_gid);
}

// Extended attributes, POSIX ACLs among them. Best effort: an attribute
// the process may not set (trusted.*, a security label) is left out.
void copy_xattrs(int from, int to) {
  std::vector<char> names, value;
  for (;;) {
    ssize_t size = ::flistxattr(from, nullptr, 0);
    if (size <= 0) return;
    names.resize(static_cast<std::size_t>(size));
    size = ::flistxattr(from, names.data(), names.size());
    if (size >= 0) {
      names.resize(static_cast<std::size_t>(size));
      break;
    }
    if (errno != ERANGE) return;  // grown meanwhile: ask again
  }
  for (std::size_t at = 0; at < names.size();) {
    const char* name = names.data() + at;
    at += std::strlen(name) + 1;
    ssize_t size = ::fgetxattr(from, name, nullptr, 0);
    if (size < 0) continue;
    value.resize(static_cast<std::size_t>(size));
    size = ::fgetxattr(from, name, value.data(), value.size());
    if (size >= 0) (void)::fsetxattr(to, name, value.data(), static_cast<std::size_t>(size), 0);
  }
}

// For a file the process may write but not replace: the whole text first,
// then over the old content. Not crash-safe, but the only way left.
Result<void> rewrite_in_place(int fd, const TextProducer& produce) {
  auto text = produce_text(produce);
  if (!text) return std::move(text).failure();
  if (::ftruncate(fd, 0) != 0) return io_failure(errno);
  if (auto written = write_text(fd, *text); !written) return written;
  if (fsync_retrying(fd) != 0 && errno != EINVAL) return io_failure(errno);
  return {};
}

bool refused(int err) { return err == EACCES || err == EPERM || err == EROFS; }

// The target, opened for writing if it exists. Opening without following a
// final symbolic link tells a plain file (by far the usual case) apart
// without a look beforehand; a link is resolved, then its target opened.
struct Existing {
  Target target;
  UniqueFd fd;
  bool through_link = false;
};

Result<Existing> open_existing(const std::string& path) {
  Existing e;
  int fd = open_retrying(path.c_str(), O_WRONLY | O_NOFOLLOW);
  if (fd < 0 && errno == ELOOP) {
    auto resolved = resolve_links(path);
    if (!resolved) return std::move(resolved).failure();
    e.through_link = true;
    e.target = split(std::move(*resolved));
    fd = open_retrying(e.target.path.c_str(), O_WRONLY);
  } else {
    e.target = split(path);
  }
  if (fd < 0 && errno != ENOENT) return io_failure(errno);
  e.fd = UniqueFd(fd);
  return e;
}

Result<void> replace_file_once(const std::string& path, const TextProducer& produce, bool& unnamed,
                               MissingDirs missing_dirs, bool& dirs_failed) {
  if (has_nul(path)) return io_failure_text(std::string(nul_in_path_text));
  auto opened = open_existing(path);
  if (!opened) return std::move(opened).failure();
  const Target& target = opened->target;
  // An existing file must be writable: a read-only file refuses the save
  // just as an in-place write would, and keeps its content.
  const UniqueFd& existing = opened->fd;
  struct stat st {};
  if (existing) {
    if (::fstat(existing.get(), &st) != 0) return io_failure(errno);
    // Devices, pipes and the like cannot be renamed over: write in place.
    if (!S_ISREG(st.st_mode)) {
      auto text = produce_text(produce);
      if (!text) return std::move(text).failure();
      return write_text(existing.get(), *text);
    }
  }
  auto dir = open_dir(target);
  // Missing directories are made only for the path as given: a link's
  // target directory is not ours to create.
  if (!dir && dir.failure().os_errno == ENOENT && missing_dirs == MissingDirs::create && !opened->through_link) {
    if (auto made = create_parent_dirs(path); !made) {
      dirs_failed = true;
      return made;
    }
    dir = open_dir(target);
  }
  if (!dir) return std::move(dir).failure();
  const mode_t final_mode = existing ? st.st_mode & 07777 : 0666 & ~creation_mask();

  // Private until the content is complete: nobody else can open the file
  // and keep a descriptor to read what is written later.
  Temp tmp;
  tmp.dir = dir->fd.get();
  if (auto made = create_temp(tmp, target, 0600 & final_mode, unnamed); !made) {
    // The directory refuses new files but the file itself may be written.
    if (existing && refused(made.failure().os_errno)) return rewrite_in_place(existing.get(), produce);
    return made;
  }
  if (auto written = produce_into(tmp.fd.get(), produce); !written) return written;
  if (fsync_retrying(tmp.fd.get()) != 0) return io_failure(errno);
  if (existing) {
    keep_owner(tmp.fd.get(), st);
    copy_xattrs(existing.get(), tmp.fd.get());
  }
  // After the owner: a change of owner clears the set-id bits.
  if (::fchmod(tmp.fd.get(), final_mode) != 0) return io_failure(errno);
  if (!tmp.linked) {
    Failure failure{ErrorKind::io_error, {}};
    switch (name_temp(tmp, target, failure)) {
      case Naming::done: break;
      case Naming::failed: return failure;
      case Naming::unsupported: unnamed = false; return failure;
    }
  }
  // Both names relative to the directory held open: the file lands in the
  // directory it was made in, even if a link on the way is changed meanwhile.
  if (::renameat(tmp.dir, tmp.name.c_str(), tmp.dir, target.name.c_str()) != 0) {
    int err = errno;
    // A sticky directory lets only the file's owner replace it.
    if (existing && refused(err)) return rewrite_in_place(existing.get(), produce);
    return io_failure(err);
  }
  tmp.linked = false;

  // The rename itself is durable only once the directory is flushed.
  if (dir->readable) {
    (void)fsync_retrying(dir->fd.get());
    sweep_stale(dir->fd.get(), target);
  }
  return {};
}

}  // namespace

Result<void> replace_file(const std::string& path, const TextProducer& produce, TempFile temp,
                          MissingDirs missing_dirs) {
  bool produced = false, dirs_failed = false;
  const auto counting = [&](TextSink& sink) {
    produced = true;
    return produce(sink);
  };
  bool unnamed = temp == TempFile::unnamed_where_possible;
  auto replaced = replace_file_once(path, counting, unnamed, missing_dirs, dirs_failed);
  // Unnamed files that cannot be given a name (no /proc): once more, named
  // from the start.
  if (!replaced && !unnamed && temp == TempFile::unnamed_where_possible)
    replaced = replace_file_once(path, counting, unnamed, missing_dirs, dirs_failed);
  // A directory that could not be made is reported first, as when it is
  // made before the save.
  if (!replaced && !produced && !dirs_failed) {
    // A tree the format cannot hold is reported as such even where the file
    // cannot be written either, as when the text is made before the file.
    DiscardSink discard;
    if (auto text = produce(discard); !text) return text;
  }
  return replaced;
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace zub::io
