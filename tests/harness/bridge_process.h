// Runs the built bridge for end-to-end tests: each instance gets its own temporary root with a
// HOME, a workspace folder, a state file path, a TMPDIR and a stand-in `claude`, and a free
// loopback port. Standard error is captured line by line so tests can wait for log lines.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "util/unique_fd.h"

namespace harness {

using namespace std::chrono_literals;

/// Generous upper bound for anything a test waits for; sanitizer builds are slow.
inline constexpr std::chrono::milliseconds DEFAULT_WAIT = 10s;

/// Environment changes for a child: a value sets the variable, nullopt removes it.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

/// How to start a bridge.
struct BridgeOptions {
  std::vector<std::string> args;  // extra arguments, after the ones the harness adds
  EnvChanges env;                 // applied after the harness's own HOME/TMPDIR settings
  // The agent CLI: empty gives the stand-in script (reads its stdin, exits); "demo" gives the
  // demo agent when it was built (the stand-in otherwise); any other text is used as a path.
  std::string claude;
  bool exit_with_stdin = true;        // so a bridge never outlives a crashed test
  // A fixed port instead of a free one (no retry then); 0 lets the bridge's system choose, and
  // the port is then read from the "listening : " line.
  std::optional<std::uint16_t> port;
  bool wait_for_banner = true;        // start() returns once "listening : " was logged
  bool bare = false;  // the command line is `args` alone: no port, folders or CLI of the harness
};

/// A temporary folder tree, removed with its contents when dropped.
class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

/// A loopback port that was free a moment ago (bound to port 0, then released).
std::uint16_t free_port();

/// One running bridge process. Not thread-safe except for the log accessors.
class BridgeProcess {
 public:
  explicit BridgeProcess(BridgeOptions options = {});
  /// Ends a process still running the way the game would (stdin closed, or SIGTERM without
  /// --exit-with-stdin), then with SIGKILL if it does not exit in time, and reaps it.
  ~BridgeProcess();
  BridgeProcess(const BridgeProcess&) = delete;
  BridgeProcess& operator=(const BridgeProcess&) = delete;

  /// Starts the process; with wait_for_banner, waits for the "listening : " line and retries on
  /// another port when the chosen one was taken meanwhile. False (with the log kept) otherwise.
  /// Once the process has ended, starts it again (a restart: same root, new log).
  bool start(std::chrono::milliseconds timeout = DEFAULT_WAIT);

  std::uint16_t port() const { return port_; }
  pid_t pid() const { return pid_; }
  const std::string& root() const { return root_.path(); }
  std::string home() const { return root() + "/home"; }
  std::string workspace() const { return root() + "/workspace"; }
  std::string state_file() const { return root() + "/state/bridge_state.json"; }
  std::string tmp() const { return root() + "/tmp"; }
  const std::string& claude_path() const { return claude_; }

  /// Waits until a line of standard error contains `needle`; true when one does.
  bool wait_for_log(std::string_view needle, std::chrono::milliseconds timeout = DEFAULT_WAIT);
  /// The lines of standard error so far (without their line feeds).
  std::vector<std::string> log_lines() const;
  /// How many lines so far contain `needle`.
  std::size_t count_log(std::string_view needle) const;
  /// Everything written to standard output, and to standard error, so far.
  std::string stdout_text() const;
  std::string stderr_text() const;

  /// The exit status once the process ends (128 + signal number when a signal ended it), or
  /// nullopt when it is still running after `timeout`.
  std::optional<int> wait_for_exit(std::chrono::milliseconds timeout = DEFAULT_WAIT);
  bool running();

  /// Writes `bytes` to the bridge's standard input (blocking until it took them all).
  void write_stdin(const std::string& bytes);
  /// Closes the bridge's standard input, as the game does when it quits.
  void close_stdin();
  void signal(int sig);

 private:
  bool spawn();
  void read_output();
  void stop_reader();

  BridgeOptions options_;
  TempRoot root_;
  std::string claude_;
  std::uint16_t port_ = 0;
  pid_t pid_ = -1;
  std::optional<int> status_;
  UniqueFd stdin_;
  UniqueFd stdout_;
  UniqueFd stderr_;
  UniqueFd wake_write_;
  UniqueFd wake_read_;
  std::thread reader_;

  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;  // guarded by lock_
  std::string partial_;             // guarded by lock_: stderr bytes after the last line feed
  std::string stdout_bytes_;        // guarded by lock_
  std::string stderr_bytes_;        // guarded by lock_
  bool output_closed_ = false;      // guarded by lock_
};

/// What one run of the binary gave.
struct RunResult {
  int status = -1;  // 128 + signal number when a signal ended it; -1 when it could not start
  std::string out;
  std::string err;
  bool timed_out = false;
};

/// Runs the built binary once with `args`, feeding `input` to its standard input, and collects
/// its output. HOME and TMPDIR point into a fresh temporary root unless `env` says otherwise.
/// Killed after `timeout`.
RunResult run_bridge(const std::vector<std::string>& args, const EnvChanges& env = {},
                     const std::string& input = "", std::chrono::milliseconds timeout = 30s);

}  // namespace harness
