// What the fuzz targets share: a check that stops the run when a property of a reader does
// not hold, a scratch folder per process, and the fuzz input as text.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "util/platform.h"

/// Stops the run (libFuzzer keeps the input as a crash) when `condition` is false.
#define FUZZ_CHECK(condition) \
  ((condition) ? (void)0 : fuzz_check_failed(#condition, __FILE__, __LINE__))

[[noreturn]] inline void fuzz_check_failed(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: property does not hold: %s\n", file, line, what);
  std::fflush(stderr);
  std::abort();
}

inline std::string_view input_text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

/// Splits off the text up to the first line feed (which is dropped); `rest` keeps the others.
inline std::string_view take_line(std::string_view& rest) {
  std::size_t newline = rest.find('\n');
  std::string_view line = rest.substr(0, newline);
  rest = newline == std::string_view::npos ? std::string_view() : rest.substr(newline + 1);
  return line;
}

/// Writes `bytes` as the whole file at `path`.
inline void write_file(const std::string& path, std::string_view bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
  ::close(fd);
}

/// A fresh folder for this process (in memory where possible), removed when it exits
/// normally (libFuzzer ends a timed run with exit()). Canonical, so paths compare as text.
inline const std::string& scratch_dir() {
  // Never destroyed: the exit handler below still needs it after static destructors ran.
  static const std::string* dir = [] {
    // In memory where the system has such a folder: the state file's fsyncs would otherwise
    // set the pace of a fuzz run.
    std::error_code no_shm;
    std::string parent = std::filesystem::is_directory("/dev/shm", no_shm) ? "/dev/shm" : temp_dir();
    std::string pattern = parent + "/bridge_fuzz.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(*dir, ignored);
    });
    return new std::string(std::filesystem::canonical(pattern).string());
  }();
  return *dir;
}
