// Reading files through close-on-exec descriptors, so that no tool or hook child inherits one.
#pragma once

#include <cstddef>
#include <string>

/// The first `limit` bytes of a file, whether more followed, or the errno value of the failure.
struct FileRead {
  bool ok = false;
  std::string bytes;
  bool truncated = false;
  int error = 0;
};
FileRead read_file(const std::string& path, std::size_t limit);
