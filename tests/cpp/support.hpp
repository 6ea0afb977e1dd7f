// Helpers shared by the C++ tests: short tree builders, and temporary files
// and directories that are gone when the test ends.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "core/value.hpp"

namespace zub::support {

inline Value u(std::uint64_t v) { return Value(v); }
inline Value i(std::int64_t v) { return Value::from_int(v); }
inline Value f(double v) { return Value::from_double(v); }
inline Value s(std::string v) { return Value(std::move(v)); }
inline Value arr(std::vector<Value> items) { return Value(Array(std::move(items))); }
inline Value obj(std::vector<Member> members) { return Value(Object::from_unsorted(std::move(members))); }

inline std::string nested_arrays(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// A fresh directory, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/zub-test-XXXXXX";
    EXPECT_NE(::mkdtemp(name), nullptr);
    path_ = name;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }
  const std::string& path() const { return path_; }
  std::set<std::string> entries(const std::string& rel = "") const {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(rel.empty() ? path_ : *this / rel))
      names.insert(e.path().filename().string());
    return names;
  }

 private:
  std::string path_;
};

// An open descriptor on an unnamed file holding the given bytes, read from
// its start, as the readers get a configuration file.
class TempFile {
 public:
  explicit TempFile(std::string_view bytes) {
    char name[] = "/tmp/zub-file-XXXXXX";
    fd_ = ::mkstemp(name);
    EXPECT_GE(fd_, 0);
    ::unlink(name);
    EXPECT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    EXPECT_EQ(::lseek(fd_, 0, SEEK_SET), 0);
  }
  ~TempFile() { ::close(fd_); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buf;
  buf << in.rdbuf();
  return buf.str();
}

inline void spit(const std::string& path, const std::string& data) { std::ofstream(path, std::ios::binary) << data; }

inline mode_t mode_of(const std::string& path) {
  struct stat st;
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

}  // namespace zub::support
