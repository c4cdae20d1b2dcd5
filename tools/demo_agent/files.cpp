#include "files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "util/unique_fd.h"

FileRead read_file(const std::string& path, std::size_t limit) {
  FileRead out;
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  UniqueFd file(fd);
  if (!file.valid()) {
    out.error = errno;
    return out;
  }
  char buffer[8192];
  for (;;) {
    ssize_t n = ::read(file.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      out.error = errno;
      return out;
    }
    if (n == 0) break;
    std::size_t room = limit - out.bytes.size();
    if (static_cast<std::size_t>(n) > room) {
      out.bytes.append(buffer, room);
      out.truncated = true;
      break;
    }
    out.bytes.append(buffer, static_cast<std::size_t>(n));
  }
  out.ok = true;
  return out;
}
