// Unit-test helpers that change process-wide things (environment, working folder, files) for
// one test and undo the change when the test ends. Only tests include this header.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "util/paths.h"
#include "util/platform.h"
#include "util/unique_fd.h"

/// Sets or removes environment variables; the destructor puts every old value back.
class ScopedEnv {
 public:
  using Value = std::optional<std::string>;  // nullopt: not set
  ScopedEnv() = default;
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) put(it->first, it->second);
  }
  void set(const std::string& name, const Value& value) {
    const char* old = ::getenv(name.c_str());
    saved_.emplace_back(name, old ? Value(old) : std::nullopt);
    put(name, value);
  }
  void unset(const std::string& name) { set(name, std::nullopt); }

 private:
  static void put(const std::string& name, const Value& value) {
    value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
  }
  std::vector<std::pair<std::string, Value>> saved_;
};

/// Changes the working folder; the destructor goes back.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string& dir) : old_(current_dir()) {
    EXPECT_EQ(::chdir(dir.c_str()), 0) << dir;
  }
  ScopedCwd(const ScopedCwd&) = delete;
  ScopedCwd& operator=(const ScopedCwd&) = delete;
  ~ScopedCwd() { EXPECT_EQ(::chdir(old_.c_str()), 0) << old_; }

 private:
  std::string old_;
};

/// A fresh folder under the temporary folder, removed with its contents by the destructor.
/// Its path is canonical, so paths built from it compare as plain text.
class TempDir {
 public:
  TempDir() {
    std::string pattern = temp_dir() + "/bridge_test.XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) path_ = std::filesystem::canonical(pattern);
    EXPECT_FALSE(path_.empty()) << "mkdtemp failed under " << temp_dir();
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  /// The path of `name` inside the folder.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

/// A TempDir that is HOME (and the only home: USERPROFILE is unset) while it lives.
class ScratchHome : public TempDir {
 public:
  ScratchHome() {
    env_.set("HOME", path());
    env_.unset("USERPROFILE");
  }

 private:
  ScopedEnv env_;
};

/// Both ends of a connected local stream socket.
inline std::pair<UniqueFd, UniqueFd> socket_pair() {
  int fds[2];
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

/// Writes a small shell script at `path` with the permission bits `mode`.
inline void write_script(const std::string& path, mode_t mode) {
  std::ofstream(path) << "#!/bin/sh\nexit 0\n";
  EXPECT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

/// The whole file as bytes; empty when it cannot be read.
inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/// Writes `text` as the whole file at `path`, creating the folders on the way.
inline void write_file(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}
