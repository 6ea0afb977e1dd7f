#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "drivers/file_io.hpp"
#include "support.hpp"

// Every fsync of the process, recorded by the path its descriptor names,
// then passed on to the kernel: the save path must flush the new text
// before the rename and the directory after it.
static std::vector<std::string> fsynced;

extern "C" int fsync(int fd) {
  std::error_code ec;
  fsynced.push_back(std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ec).string());
  return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace zub::io {
namespace {

namespace fs = std::filesystem;
using namespace support;

class Umask {
 public:
  explicit Umask(mode_t mask) : old_(::umask(mask)) {}
  ~Umask() { ::umask(old_); }

 private:
  mode_t old_;
};

// ---------------------------------------------------------------- text helpers

TEST(FileIo, Utf8Validation) {
  const std::pair<std::string, bool> cases[] = {
      {"", true},
      {"plain ascii", true},
      {std::string("nul\0inside", 10), true},
      {"\xc2\x80", true},                  // U+0080, smallest two-byte
      {"\xdf\xbf", true},                  // U+07FF
      {"\xe0\xa0\x80", true},              // U+0800, smallest three-byte
      {"\xed\x9f\xbf", true},              // U+D7FF, just below the surrogates
      {"\xee\x80\x80", true},              // U+E000, just above
      {"\xef\xbf\xbf", true},              // U+FFFF
      {"\xf0\x90\x80\x80", true},          // U+10000, smallest four-byte
      {"\xf4\x8f\xbf\xbf", true},          // U+10FFFF, the last
      {"\xc0\xaf", false},                 // overlong '/'
      {"\xc1\xbf", false},                 // overlong U+007F
      {"\xe0\x9f\xbf", false},             // overlong U+07FF
      {"\xf0\x8f\xbf\xbf", false},         // overlong U+FFFF
      {"\xed\xa0\x80", false},             // U+D800
      {"\xed\xbf\xbf", false},             // U+DFFF
      {"\xed\xa0\xbd\xed\xb8\x80", false}, // surrogate pair spelled out (CESU-8)
      {"\xf4\x90\x80\x80", false},         // U+110000
      {"\xf8\x88\x80\x80\x80", false},     // five-byte form
      {"\xff", false},
      {"\x80", false},                     // lone continuation
      {"a\xbf" "b", false},
      {"\xc3", false},                     // truncated at the end
      {"\xe2\x82", false},
      {"\xf0\x9f\x98", false},
      {"\xe2\x82" "a", false},             // truncated before ASCII
      {"\xc3" "\xc3\xa9", false},          // lead byte where a continuation belongs
  };
  for (const auto& [text, valid] : cases) {
    EXPECT_EQ(is_valid_utf8(text), valid) << testing::PrintToString(text);
    // ASCII runs are checked a word at a time: the same inside them, at
    // every offset from a word's start.
    for (std::size_t pad = 0; pad < 9; ++pad) {
      const std::string padded = std::string(pad, 'x') + text + std::string(17, 'y');
      EXPECT_EQ(is_valid_utf8(padded), valid) << pad << " " << testing::PrintToString(text);
    }
  }
}

TEST(FileIo, PositionOf) {
  struct Case {
    std::string text;
    std::size_t offset, line, column;
  };
  const Case cases[] = {
      {"", 0, 1, 1},
      {"abc", 0, 1, 1},
      {"abc", 2, 1, 3},
      {"abc", 3, 1, 4},
      {"a\nb", 1, 1, 2},
      {"a\nb", 2, 2, 1},
      {"a\n\n\nb", 4, 4, 1},
      {"a\r\nb", 3, 2, 1},           // CR is an ordinary column
      {"\xc3\xa9\xe2\x82\xac" "x", 5, 1, 3},  // columns count characters
      {"\xf0\x9f\x98\x80" "x\ny", 5, 1, 3},
      {"ab\ncd", 99, 2, 3},          // clamped to the end
  };
  for (const auto& c : cases) {
    auto pos = position_of(c.text, c.offset);
    EXPECT_EQ(pos.line, c.line) << testing::PrintToString(c.text) << " @" << c.offset;
    EXPECT_EQ(pos.column, c.column) << testing::PrintToString(c.text) << " @" << c.offset;
  }
}

// ---------------------------------------------------------------- directories

TEST(FileIo, CreateParentDirs) {
  TempDir dir;
  Umask mask(022);
  ASSERT_TRUE(create_parent_dirs(dir / "a/b/c/settings.json").ok());
  EXPECT_TRUE(fs::is_directory(dir / "a/b/c"));
  EXPECT_FALSE(fs::exists(dir / "a/b/c/settings.json"));
  EXPECT_EQ(mode_of(dir / "a"), 0755u);
  EXPECT_EQ(mode_of(dir / "a/b/c"), 0755u);

  // Existing directories, trailing and doubled slashes, bare names.
  EXPECT_TRUE(create_parent_dirs(dir / "a/b/c/other.json").ok());
  EXPECT_TRUE(create_parent_dirs(dir / "a//b/d/").ok());
  EXPECT_TRUE(fs::is_directory(dir / "a/b"));
  EXPECT_TRUE(create_parent_dirs("settings.json").ok());
  EXPECT_TRUE(create_parent_dirs("/").ok());
}

TEST(FileIo, CreateParentDirsThroughAFile) {
  TempDir dir;
  spit(dir / "file", "x");
  struct Case {
    std::string path;
    int err;
  };
  // The file is the parent itself, or an ancestor further up.
  const Case cases[] = {{dir / "file/settings.json", EEXIST}, {dir / "file/sub/settings.json", ENOTDIR}};
  for (const auto& c : cases) {
    auto r = create_parent_dirs(c.path);
    ASSERT_FALSE(r.ok()) << c.path;
    EXPECT_EQ(r.failure().kind, ErrorKind::io_error);
    EXPECT_EQ(r.failure().os_errno, c.err) << c.path << ": " << r.failure().message;
  }
  EXPECT_EQ(slurp(dir / "file"), "x");
}

// ---------------------------------------------------------------- replace_file

TEST(FileIo, ReplaceNewFileFollowsUmask) {
  for (mode_t mask : {mode_t{022}, mode_t{077}, mode_t{0}}) {
    TempDir dir;
    Umask set(mask);
    ASSERT_TRUE(replace_file(dir / "new.json", "{}").ok());
    EXPECT_EQ(slurp(dir / "new.json"), "{}");
    EXPECT_EQ(mode_of(dir / "new.json"), 0666u & ~mask);
    EXPECT_EQ(dir.entries(), std::set<std::string>{"new.json"});
  }
}

TEST(FileIo, ReplaceExistingKeepsMode) {
  TempDir dir;
  Umask mask(022);
  for (mode_t mode : {mode_t{0600}, mode_t{0640}, mode_t{0604}, mode_t{0777}}) {
    std::string path = dir / "settings.json";
    spit(path, "old content that is longer than the new one");
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    ASSERT_TRUE(replace_file(path, "new").ok());
    EXPECT_EQ(slurp(path), "new");
    EXPECT_EQ(mode_of(path), mode);
  }
  ASSERT_TRUE(replace_file(dir / "settings.json", "").ok());
  EXPECT_EQ(slurp(dir / "settings.json"), "");
  EXPECT_EQ(dir.entries(), std::set<std::string>{"settings.json"});
}

TEST(FileIo, ReplaceFollowsSymlinks) {
  TempDir dir;
  fs::create_directory(dir / "real");
  spit(dir / "real/target.json", "old");
  ASSERT_EQ(::chmod((dir / "real/target.json").c_str(), 0640), 0);
  struct Case {
    std::string link;
    std::string points_to;
  };
  const Case cases[] = {
      {dir / "absolute.json", dir / "real/target.json"},
      {dir / "relative.json", "real/target.json"},
      {dir / "chain.json", "relative.json"},  // a link to a link
  };
  for (const auto& c : cases) fs::create_symlink(c.points_to, c.link);
  int n = 0;
  for (const auto& c : cases) {
    std::string data = "content " + std::to_string(n++);
    ASSERT_TRUE(replace_file(c.link, data).ok()) << c.link;
    EXPECT_TRUE(fs::is_symlink(c.link)) << c.link;
    EXPECT_EQ(fs::read_symlink(c.link).string(), c.points_to);
    EXPECT_EQ(slurp(dir / "real/target.json"), data);
    EXPECT_EQ(mode_of(dir / "real/target.json"), 0640u);
  }
  EXPECT_EQ(dir.entries(), (std::set<std::string>{"absolute.json", "chain.json", "real", "relative.json"}));
  EXPECT_EQ(dir.entries("real"), std::set<std::string>{"target.json"});

  // A dangling link creates its target.
  fs::create_symlink("real/fresh.json", dir / "dangling.json");
  ASSERT_TRUE(replace_file(dir / "dangling.json", "made").ok());
  EXPECT_TRUE(fs::is_symlink(dir / "dangling.json"));
  EXPECT_EQ(slurp(dir / "real/fresh.json"), "made");
}

TEST(FileIo, ReplaceFailuresLeaveNothingBehind) {
  TempDir dir;
  fs::create_directory(dir / "a_directory");
  fs::create_symlink("loop2", dir / "loop1");
  fs::create_symlink("loop1", dir / "loop2");
  struct Case {
    std::string path;
    int err;
  };
  const Case cases[] = {
      {dir / "a_directory", EISDIR},
      {dir / "missing_dir/settings.json", ENOENT},
      {dir / "loop1", ELOOP},
  };
  for (const auto& c : cases) {
    auto r = replace_file(c.path, "data");
    ASSERT_FALSE(r.ok()) << c.path;
    EXPECT_EQ(r.failure().kind, ErrorKind::io_error);
    EXPECT_EQ(r.failure().os_errno, c.err) << c.path << ": " << r.failure().message;
  }
  EXPECT_EQ(dir.entries(), (std::set<std::string>{"a_directory", "loop1", "loop2"}));
  EXPECT_TRUE(fs::is_empty(dir / "a_directory"));

  auto nul = replace_file(dir / std::string("a\0b", 3), "data");
  ASSERT_FALSE(nul.ok());
  EXPECT_EQ(nul.failure().message, nul_in_path_text);
}

// Missing directories are made when asked, for the path as given only: a
// link into a missing directory fails as before and makes nothing.
TEST(FileIo, ReplaceMakesMissingDirectoriesOfThePathOnly) {
  TempDir dir;
  fs::create_symlink("absent/target.json", dir / "link.json");
  spit(dir / "file", "");
  struct Case {
    std::string path;
    int err;  // 0: saved
  };
  const Case cases[] = {
      {dir / "a/b/settings.json", 0},
      {dir / "a/b/settings.json", 0},  // now there
      {dir / "link.json", ENOENT},
      {dir / "file/sub/settings.json", ENOTDIR},
  };
  for (const auto& c : cases) {
    auto r = replace_file(c.path, [](TextSink& sink) -> Result<void> {
      sink.put("{}");
      return {};
    }, TempFile::unnamed_where_possible, MissingDirs::create);
    if (c.err == 0) {
      ASSERT_TRUE(r.ok()) << c.path << ": " << r.failure().message;
      EXPECT_EQ(slurp(c.path), "{}");
    } else {
      ASSERT_FALSE(r.ok()) << c.path;
      EXPECT_EQ(r.failure().os_errno, c.err) << c.path << ": " << r.failure().message;
    }
  }
  EXPECT_EQ(dir.entries(), (std::set<std::string>{"a", "file", "link.json"}));
  EXPECT_EQ(dir.entries("a/b"), std::set<std::string>{"settings.json"});
}

// A text that cannot be made fails the save after the temporary file
// exists: the old file stays, and nothing else does.
TEST(FileIo, FailedTextLeavesNoTemporary) {
  TempDir dir;
  spit(dir / "settings.json", "old");
  const TextProducer half = [](TextSink& sink) -> Result<void> {
    sink.put("partial");
    return type_failure("cannot hold this");
  };
  for (const std::string name : {"settings.json", "new.json"}) {
    auto r = replace_file(dir / name, half);
    ASSERT_FALSE(r.ok()) << name;
    EXPECT_EQ(r.failure().message, "cannot hold this");
  }
  EXPECT_EQ(slurp(dir / "settings.json"), "old");
  EXPECT_EQ(dir.entries(), std::set<std::string>{"settings.json"});
}

TEST(FileIo, ReplaceFlushesTheTextThenTheDirectory) {
  TempDir dir;
  // A new file, then the same one existing.
  for (const std::string name : {"new.json", "new.json"}) {
    fsynced.clear();
    ASSERT_TRUE(replace_file(dir / name, "{}").ok()) << name;
    ASSERT_EQ(fsynced.size(), 2u) << name;
    // The temporary, beside the target and under its own name, then the directory.
    EXPECT_EQ(fs::path(fsynced[0]).parent_path(), dir.path()) << fsynced[0];
    EXPECT_NE(fs::path(fsynced[0]).filename(), fs::path(name).filename()) << fsynced[0];
    EXPECT_EQ(fsynced[1], dir.path()) << name;
  }
  if (::geteuid() == 0) return;
  // A directory that refuses new files: the file is rewritten in place, and flushed.
  ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
  fsynced.clear();
  EXPECT_TRUE(replace_file(dir / "new.json", "[]").ok());
  EXPECT_EQ(fsynced, std::vector<std::string>{dir / "new.json"});
  ::chmod(dir.path().c_str(), 0755);
}

// ---------------------------------------------------------------- open_config

TEST(FileIo, OpenConfig) {
  TempDir dir;
  for (const std::string& missing : {dir / "absent.json", dir / "absent_dir/x.json"}) {
    auto r = open_config(missing);
    ASSERT_TRUE(r.ok()) << missing << ": " << r.failure().message;
    EXPECT_FALSE(r->has_value()) << missing;
  }

  spit(dir / "present.json", "{\"a\": 1}");
  auto present = open_config(dir / "present.json");
  ASSERT_TRUE(present.ok());
  ASSERT_TRUE(present->has_value());
  auto text = read_all((*present)->get());
  ASSERT_TRUE(text.ok());
  EXPECT_EQ(*text, "{\"a\": 1}");

  auto nul = open_config(std::string("settings\0.json", 14));
  ASSERT_FALSE(nul.ok());
  EXPECT_EQ(nul.failure().kind, ErrorKind::os_error);
  EXPECT_EQ(nul.failure().message, "Failed to open config file: file name contained an unexpected NUL byte");

  spit(dir / "file", "");
  auto through_file = open_config(dir / "file/x.json");
  ASSERT_FALSE(through_file.ok());
  EXPECT_EQ(through_file.failure().kind, ErrorKind::os_error);
  EXPECT_EQ(through_file.failure().message.rfind("Failed to open config file: Not a directory (os error 20)", 0), 0u)
      << through_file.failure().message;
}

TEST(FileIo, ReadTextFile) {
  TempDir dir;
  spit(dir / "good", "h\xc3\xa9");
  spit(dir / "bad", "h\xe9");
  auto good = read_text_file(dir / "good");
  ASSERT_TRUE(good.ok());
  EXPECT_EQ(*good, "h\xc3\xa9");
  auto bad = read_text_file(dir / "bad");
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.failure().kind, ErrorKind::io_error);
  auto missing = read_text_file(dir / "missing");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.failure().os_errno, ENOENT);
}

}  // namespace
}  // namespace zub::io

namespace zub::io {
namespace {

// While the text is written the temporary file is unnamed, or named and
// open to its owner alone whatever the target's mode; then the target has
// its mode, and a temporary file a killed save left (its lock free) is gone.
TEST(FileIo, TemporaryFileIsPrivateAndLeftoversGo) {
  Umask mask(022);
  const std::string stale = ".s.json.zub-0123456789abcdef.tmp";
  for (TempFile how : {TempFile::unnamed_where_possible, TempFile::named}) {
    for (mode_t mode : {mode_t{0644}, mode_t{0600}, mode_t{0660}, mode_t{0}}) {  // 0: a new file
      TempDir dir;
      const std::string path = dir / "s.json";
      if (mode != 0) {
        spit(path, "old");
        ASSERT_EQ(::chmod(path.c_str(), mode), 0);
      }
      spit(dir / stale, "half");
      std::set<std::string> seen;
      mode_t seen_modes = 0;
      auto saved = replace_file(path, [&](TextSink& sink) -> Result<void> {
        for (const auto& name : dir.entries()) {
          if (name == "s.json" || name == stale) continue;
          seen.insert(name);
          seen_modes |= mode_of(dir / name);
        }
        sink.put("new");
        return {};
      }, how);
      ASSERT_TRUE(saved.ok()) << saved.failure().message;
      EXPECT_EQ(seen.size(), how == TempFile::named ? 1u : 0u) << mode;
      EXPECT_EQ(seen_modes & 077, 0u) << mode;
      EXPECT_EQ(slurp(path), "new");
      EXPECT_EQ(mode_of(path), mode != 0 ? mode : 0644u);
      EXPECT_EQ(dir.entries(), std::set<std::string>{"s.json"});
    }
  }
}

}  // namespace
}  // namespace zub::io
