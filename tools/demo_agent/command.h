// Running one shell command as a child, for the Bash tool and the PreToolUse hook.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>

/// What became of a command: it could not start, it finished, or it ran out of time and was
/// killed. Output past the limit is read and dropped, so a chatty child never blocks.
struct CommandRun {
  bool started = false;
  int spawn_error = 0;  // errno value when it could not start
  bool timed_out = false;
  int exit_status = -1;     // the exit code; -1 when ended by a signal or not known
  std::string output;       // standard output, at most `output_limit` bytes
  std::string errors;       // standard error, at most `output_limit` bytes
  bool output_cut = false;  // standard output had more than `output_limit` bytes
};

/// Runs `/bin/sh -c command` in `cwd` with this process's environment, writes `input` to its
/// standard input and then closes it, and collects both output streams until the child exits
/// or `timeout` passes (then the child is killed with SIGKILL). One command at a time.
CommandRun run_shell(const std::string& command, const std::string& input, const std::string& cwd,
                     std::chrono::milliseconds timeout, std::size_t output_limit);

/// The process id of the command now running, or 0. Read by the SIGTERM handler so that the
/// child does not outlive the agent.
pid_t running_child();
