// What differs between macOS and Linux, kept in one place: the executable's own path, the
// per-user temporary folder, close-on-exec sockets and pipes, and process spawning.
// Every descriptor made here is close-on-exec from birth.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "util/unique_fd.h"

/// The path of the running executable as the OS reports it (not canonicalised), or nullopt.
std::optional<std::string> executable_path();

/// TMPDIR when set and not empty, else the platform's per-user temporary folder, else "/tmp".
std::string temp_dir();

/// socket(2), close-on-exec. Returns -1 with errno set on failure.
int socket_cloexec(int domain, int type, int protocol);

/// accept(2), close-on-exec, retried on EINTR. Returns -1 with errno set on failure.
int accept_cloexec(int listener, sockaddr* addr, socklen_t* len);

/// pipe(2) with both ends close-on-exec. Returns 0, or -1 with errno set.
int pipe_cloexec(int fds[2]);

/// What to start: the program, its arguments (without argv[0], which is the program), the
/// whole environment as "NAME=value" texts, and the working folder.
struct SpawnSpec {
  std::string program;
  std::vector<std::string> args;
  std::vector<std::string> env;
  std::string cwd;
};

/// A started child: its pid and the parent's ends of its three standard streams.
struct SpawnedChild {
  pid_t pid = -1;
  UniqueFd stdin_fd;
  UniqueFd stdout_fd;
  UniqueFd stderr_fd;
};

/// Starts the child with posix_spawn: three new pipes as its standard streams, the working
/// folder, SIGPIPE at its default action, no blocked signal, and no other descriptor of ours.
/// On failure no child runs and the errno value is returned: a failed exec, a working folder
/// that cannot be entered, or any step of preparing the spawn.
struct SpawnResult {
  std::optional<SpawnedChild> child;
  int error = 0;
};
SpawnResult spawn_child(const SpawnSpec& launch);

/// Whether the child has exited, without collecting it, so that its owner can still wait for
/// it. A failed question counts as exited.
bool child_exited(pid_t pid);

/// Collects the child, blocking until it exits. Its exit code, or -1 when it was ended by a
/// signal or cannot be waited for.
int wait_child(pid_t pid);

/// Raises the soft limit of open descriptors to the hard limit (as far as the OS allows), so
/// that a thousand event streams do not run the bridge out of descriptors.
void raise_descriptor_limit();
