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

SpawnResult spawn_child(const SpawnSpec& launch) {
  int in[2], out[2], err[2];
  if (pipe_cloexec(in) != 0) return {std::nullopt, errno};
  UniqueFd in_r(in[0]), in_w(in[1]);
  if (pipe_cloexec(out) != 0) return {std::nullopt, errno};
  UniqueFd out_r(out[0]), out_w(out[1]);
  if (pipe_cloexec(err) != 0) return {std::nullopt, errno};
  UniqueFd err_r(err[0]), err_w(err[1]);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  // dup2 clears close-on-exec on the three standard streams; every other descriptor of ours
  // is close-on-exec already, and on macOS the attribute below closes the rest as well.
  posix_spawn_file_actions_adddup2(&actions, in_r.get(), 0);
  posix_spawn_file_actions_adddup2(&actions, out_w.get(), 1);
  posix_spawn_file_actions_adddup2(&actions, err_w.get(), 2);
#if defined(__linux__) && defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
  if (!launch.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, launch.cwd.c_str());

  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &none);
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
#if defined(__APPLE__)
  flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#endif
  posix_spawnattr_setflags(&attr, flags);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(launch.program.c_str()));
  for (const auto& a : launch.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const auto& e : launch.env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  pid_t pid = -1;
  int rc = posix_spawn(&pid, launch.program.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
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
