#include "command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

#include "util/platform.h"

extern char** environ;

namespace {

std::atomic<pid_t> current_child{0};

using Clock = std::chrono::steady_clock;

int millis_left(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), 1 << 30));
}

// Reads what is available into `sink` (dropping bytes past `limit`); false at end or error.
bool drain(int fd, std::string& sink, std::size_t limit, bool& cut) {
  char buffer[8192];
  ssize_t n;
  do {
    n = ::read(fd, buffer, sizeof buffer);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return n < 0 && errno == EAGAIN;
  std::size_t room = limit > sink.size() ? limit - sink.size() : 0;
  std::size_t keep = std::min(room, static_cast<std::size_t>(n));
  sink.append(buffer, keep);
  if (keep < static_cast<std::size_t>(n)) cut = true;
  return true;
}

int exit_code(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

pid_t running_child() { return current_child.load(); }

CommandRun run_shell(const std::string& command, const std::string& input, const std::string& cwd,
                     std::chrono::milliseconds timeout, std::size_t output_limit) {
  CommandRun run;
  SpawnSpec launch;
  launch.program = "/bin/sh";
  launch.args = {"-c", command};
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) launch.env.emplace_back(*e);
  launch.cwd = cwd;
  SpawnResult spawned = spawn_child(launch);
  if (!spawned.child) {
    run.spawn_error = spawned.error;
    return run;
  }
  run.started = true;
  SpawnedChild& child = *spawned.child;
  current_child.store(child.pid);
  Clock::time_point deadline = Clock::now() + timeout;

  UniqueFd& in = child.stdin_fd;
  if (input.empty()) {
    in.reset();
  } else {
    ::fcntl(in.get(), F_SETFL, ::fcntl(in.get(), F_GETFL) | O_NONBLOCK);
  }
  std::size_t written = 0;
  bool errors_cut = false;

  while (child.stdout_fd.valid() || child.stderr_fd.valid()) {
    std::vector<pollfd> fds;
    if (in.valid()) fds.push_back({in.get(), POLLOUT, 0});
    if (child.stdout_fd.valid()) fds.push_back({child.stdout_fd.get(), POLLIN, 0});
    if (child.stderr_fd.valid()) fds.push_back({child.stderr_fd.get(), POLLIN, 0});
    int ready = ::poll(fds.data(), fds.size(), millis_left(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;  // out of time (or poll failed): the child is killed below
    for (const pollfd& p : fds) {
      if (p.revents == 0) continue;
      if (in.valid() && p.fd == in.get()) {
        ssize_t n = ::write(in.get(), input.data() + written, input.size() - written);
        if (n > 0) written += static_cast<std::size_t>(n);
        // A child that stops reading (EPIPE) simply gets no more input.
        if ((n < 0 && errno != EINTR && errno != EAGAIN) || written == input.size()) in.reset();
      } else if (child.stdout_fd.valid() && p.fd == child.stdout_fd.get()) {
        if (!drain(p.fd, run.output, output_limit, run.output_cut)) child.stdout_fd.reset();
      } else if (child.stderr_fd.valid() && p.fd == child.stderr_fd.get()) {
        if (!drain(p.fd, run.errors, output_limit, errors_cut)) child.stderr_fd.reset();
      }
    }
  }
  in.reset();

  // Both streams ended (or time ran out): wait for the exit until the deadline.
  int status = 0;
  for (;;) {
    pid_t done = ::waitpid(child.pid, &status, WNOHANG);
    if (done < 0 && errno == EINTR) continue;
    if (done == child.pid) {
      run.exit_status = exit_code(status);
      break;
    }
    if (done < 0) break;
    if (millis_left(deadline) == 0) {
      run.timed_out = true;
      ::kill(child.pid, SIGKILL);
      while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  current_child.store(0);
  return run;
}
