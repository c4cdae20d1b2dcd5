// What the fuzz targets share: the entry point, the property check, reading lines, scratch files.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

#include "util/fd_io.h"
#include "util/json.h"
#include "util/platform.h"
#include "util/text.h"

/// Defines libFuzzer's entry point; the body that follows gets the input as `input`.
#define FUZZ_TARGET(input)                                                            \
  static void fuzz_one(std::string_view input);                                       \
  extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) { \
    fuzz_one(std::string_view(reinterpret_cast<const char*>(data), size));            \
    return 0;                                                                         \
  }                                                                                   \
  static void fuzz_one(std::string_view input)

/// Stops the run (libFuzzer keeps the input as a crash) when `condition` is false.
#define FUZZ_CHECK(condition)                                                                     \
  ((condition) ? (void)0                                                                          \
               : (std::fprintf(stderr, "%s:%d: property does not hold: %s\n", __FILE__, __LINE__, \
                               #condition),                                                       \
                  std::abort()))

/// Splits off the text up to the first `end` (which is dropped); `rest` keeps the others.
inline std::string_view take_line(std::string_view& rest, char end = '\n') {
  std::size_t found = rest.find(end);
  std::string_view line = rest.substr(0, found);
  rest = found == std::string_view::npos ? std::string_view() : rest.substr(found + 1);
  return line;
}

/// The record as the bridge reads an agent's output line, or nothing for a line it skips.
inline std::optional<Json> record_of(std::string_view line) {
  std::string text = trim(to_valid_utf8(line));
  if (text.empty() || text.front() != '{') return std::nullopt;
  return parse_json(text);
}

/// Writes `bytes` as the whole file at `path`, created with the permission bits `mode`.
inline void write_file(const std::string& path, std::string_view bytes, mode_t mode = 0600) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  FUZZ_CHECK(fd >= 0 && write_fully(fd, bytes) == 0);
  ::close(fd);
}

/// A fresh folder for this process, removed when it exits normally (libFuzzer ends a timed run
/// with exit()). Canonical, so paths compare as text; in memory where the system has such a
/// folder, since the state file's fsyncs would otherwise set the pace of a fuzz run.
inline const std::string& scratch_dir() {
  // Never destroyed: the exit handler below still needs it after static destructors ran.
  static const std::string* dir = [] {
    std::string pattern =
        (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : temp_dir()) + "/bridge_fuzz.XXXXXX";
    FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(*dir, ignored);
    });
    return new std::string(std::filesystem::canonical(pattern).string());
  }();
  return *dir;
}
