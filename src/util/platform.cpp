#include "util/platform.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

namespace {

[[maybe_unused]] bool set_cloexec(int fd) {
  int flags = fcntl(fd, F_GETFD);
  return flags >= 0 && fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0;
}

}  // namespace

std::optional<std::string> executable_path() {
#if defined(__APPLE__)
  uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::string path(size, '\0');
  if (_NSGetExecutablePath(path.data(), &size) != 0) return std::nullopt;
  path.resize(std::char_traits<char>::length(path.c_str()));
  return path;
#else
  std::string path(PATH_MAX, '\0');
  ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
  if (n <= 0) return std::nullopt;
  path.resize(static_cast<std::size_t>(n));
  return path;
#endif
}

std::string temp_dir() {
  const char* tmpdir = std::getenv("TMPDIR");
  if (tmpdir != nullptr && *tmpdir != '\0') return tmpdir;
#if defined(__APPLE__)
  char buffer[PATH_MAX];
  size_t n = confstr(_CS_DARWIN_USER_TEMP_DIR, buffer, sizeof buffer);
  if (n > 0 && n <= sizeof buffer) return buffer;
#endif
  return "/tmp";
}

int socket_cloexec(int domain, int type, int protocol) {
#if defined(SOCK_CLOEXEC)
  return ::socket(domain, type | SOCK_CLOEXEC, protocol);
#else
  int fd = ::socket(domain, type, protocol);
  if (fd >= 0 && !set_cloexec(fd)) {
    int err = errno;
    ::close(fd);
    errno = err;
    return -1;
  }
  return fd;
#endif
}

int accept_cloexec(int listener, sockaddr* addr, socklen_t* len) {
  for (;;) {
#if defined(__linux__)
    int fd = ::accept4(listener, addr, len, SOCK_CLOEXEC);
#else
    int fd = ::accept(listener, addr, len);
    if (fd >= 0) set_cloexec(fd);
#endif
    if (fd < 0 && errno == EINTR) continue;
    return fd;
  }
}

int pipe_cloexec(int fds[2]) {
#if defined(__linux__)
  return ::pipe2(fds, O_CLOEXEC);
#else
  if (::pipe(fds) != 0) return -1;
  if (!set_cloexec(fds[0]) || !set_cloexec(fds[1])) {
    int err = errno;
    ::close(fds[0]);
    ::close(fds[1]);
    errno = err;
    return -1;
  }
  return 0;
#endif
}

namespace {

/// posix_spawn's file actions and attributes, destroyed on every way out of spawn_child.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  bool actions_made = false;
  bool attr_made = false;

  SpawnSetup() = default;
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  ~SpawnSetup() {
    if (actions_made) posix_spawn_file_actions_destroy(&actions);
    if (attr_made) posix_spawnattr_destroy(&attr);
  }

  /// Records what the child gets: the three pipe ends as its standard streams, the working
  /// folder, SIGPIPE at its default action, no blocked signal, no other descriptor. Returns 0
  /// or the error of the first step that failed: a child started without one of them would
  /// run in the wrong folder, or with the wrong streams or signals.
  int prepare(const SpawnSpec& launch, int child_in, int child_out, int child_err) {
    if (int rc = posix_spawn_file_actions_init(&actions)) return rc;
    actions_made = true;
    if (int rc = posix_spawnattr_init(&attr)) return rc;
    attr_made = true;
    // dup2 clears close-on-exec on the three standard streams; every other descriptor of
    // ours is close-on-exec already, and on macOS the attribute below closes the rest too.
    if (int rc = posix_spawn_file_actions_adddup2(&actions, child_in, 0)) return rc;
    if (int rc = posix_spawn_file_actions_adddup2(&actions, child_out, 1)) return rc;
    if (int rc = posix_spawn_file_actions_adddup2(&actions, child_err, 2)) return rc;
#if defined(__linux__) && defined(__GLIBC__) && \
    (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    if (int rc = posix_spawn_file_actions_addclosefrom_np(&actions, 3)) return rc;
#endif
    if (!launch.cwd.empty()) {
      if (int rc = posix_spawn_file_actions_addchdir_np(&actions, launch.cwd.c_str())) return rc;
    }

    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    // The bridge blocks termination signals in its threads; an agent must not inherit that.
    sigset_t none;
    sigemptyset(&none);
    if (int rc = posix_spawnattr_setsigdefault(&attr, &defaults)) return rc;
    if (int rc = posix_spawnattr_setsigmask(&attr, &none)) return rc;
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
#if defined(__APPLE__)
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#endif
    return posix_spawnattr_setflags(&attr, flags);
  }
};

}  // namespace

SpawnResult spawn_child(const SpawnSpec& launch) {
  int in[2], out[2], err[2];
  if (pipe_cloexec(in) != 0) return {std::nullopt, errno};
  UniqueFd in_r(in[0]), in_w(in[1]);
  if (pipe_cloexec(out) != 0) return {std::nullopt, errno};
  UniqueFd out_r(out[0]), out_w(out[1]);
  if (pipe_cloexec(err) != 0) return {std::nullopt, errno};
  UniqueFd err_r(err[0]), err_w(err[1]);

  SpawnSetup setup;
  if (int rc = setup.prepare(launch, in_r.get(), out_w.get(), err_w.get())) {
    return {std::nullopt, rc};
  }

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(launch.program.c_str()));
  for (const auto& a : launch.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const auto& e : launch.env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  pid_t pid = -1;
  int rc = posix_spawn(&pid, launch.program.c_str(), &setup.actions, &setup.attr, argv.data(),
                       envp.data());
  if (rc != 0) return {std::nullopt, rc};

  SpawnedChild child;
  child.pid = pid;
  child.stdin_fd = std::move(in_w);
  child.stdout_fd = std::move(out_r);
  child.stderr_fd = std::move(err_r);
  return {std::move(child), 0};
}

bool child_exited(pid_t pid) {
  siginfo_t info{};
  for (;;) {
    info.si_pid = 0;
    int rc = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) return true;
    return info.si_pid != 0;
  }
}

int wait_child(pid_t pid) {
  int status = 0;
  for (;;) {
    pid_t rc = waitpid(pid, &status, 0);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
}

void raise_descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  rlim_t wanted = limit.rlim_max;
#if defined(__APPLE__)
  if (wanted > OPEN_MAX) wanted = OPEN_MAX;
#endif
  if (wanted != RLIM_INFINITY && wanted > 65536) wanted = 65536;
  if (limit.rlim_cur < wanted) {
    limit.rlim_cur = wanted;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}
