#include "report.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "util/os_error.h"
#include "util/paths.h"
#include "util/unique_fd.h"

std::vector<int> open_descriptors() {
  std::vector<int> fds;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) dir = ::opendir("/dev/fd");
  if (dir == nullptr) return fds;
  int own = ::dirfd(dir);
  while (dirent* entry = ::readdir(dir)) {
    char* end = nullptr;
    long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == own) continue;
    fds.push_back(static_cast<int>(fd));
  }
  ::closedir(dir);
  std::sort(fds.begin(), fds.end());
  return fds;
}

Json launch_report(const std::vector<std::string>& args) {
  return Json{{"args", args},
              {"cwd", current_dir()},
              {"env_api_key", std::getenv("ANTHROPIC_API_KEY") != nullptr},
              {"fds", open_descriptors()},
              {"pid", static_cast<long long>(::getpid())}};
}

void append_launch_log(const std::string& path, Json report, const Json& settings) {
  report["settings"] = settings;
  std::string line = dump_json(report) + "\n";
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  UniqueFd file(fd);
  int err = file.valid() ? 0 : errno;
  std::size_t done = 0;
  while (file.valid() && done < line.size()) {
    ssize_t n = ::write(file.get(), line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n < 0 ? errno : EIO;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (err != 0) {
    std::string note = "cannot write launch log " + path + ": " + os_error_text(err) + "\n";
    [[maybe_unused]] ssize_t ignored = ::write(STDERR_FILENO, note.data(), note.size());
  }
}
