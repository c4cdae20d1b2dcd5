// Runs the built bridge for end-to-end tests, each in a temporary root of its own (HOME, workspace,
// state file, TMPDIR, a stand-in `claude`) on a port the system chose, its output captured.
#pragma once

#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "util/fd_io.h"
#include "util/unique_fd.h"

namespace harness {

using namespace std::chrono_literals;

/// Generous upper bound for anything a test waits for; sanitizer builds are slow.
inline constexpr std::chrono::milliseconds DEFAULT_WAIT = 10s;

/// Environment changes for a child: a value sets the variable, nullopt removes it.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

struct BridgeOptions {
  std::vector<std::string> args{};  // after the ones the harness adds
  EnvChanges env{};                 // applied after the harness's own HOME/TMPDIR settings
  // "" gives a stand-in that reads its stdin and exits, "demo" the demo agent, else a path.
  std::string claude{};
  bool exit_with_stdin = true;  // so a bridge never outlives a crashed test
  // The command line is `args` alone (no port, folders, CLI or banner wait of the harness).
  bool bare = false;
};

/// A temporary folder tree (home, workspace, state, tmp, bin), removed when dropped.
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

/// A socket bound to a port the system chose on the loopback address of `family` (AF_INET or
/// AF_INET6), listening when asked, and that port; an invalid one on failure.
UniqueFd loopback_socket(std::uint16_t& port, bool listening = false, int family = AF_INET);

/// The complete lines of `text` without their line feeds, and the unfinished last one when
/// the text has `ended`.
std::vector<std::string> lines_of(const std::string& text, bool ended = true);

/// Polls `done` until it holds; false when it still does not after `timeout`.
template <class Done>
bool eventually(Done done, std::chrono::milliseconds timeout = DEFAULT_WAIT) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

/// One running bridge process. Only the log accessors are thread-safe.
class BridgeProcess {
 public:
  explicit BridgeProcess(BridgeOptions options = {});
  /// Ends it the way the game would (stdin closed, or SIGTERM), then with SIGKILL, and reaps it.
  ~BridgeProcess();
  BridgeProcess(const BridgeProcess&) = delete;
  BridgeProcess& operator=(const BridgeProcess&) = delete;

  /// Starts (or, once ended, restarts) the process; unless bare, waits for "listening : ".
  bool start(std::chrono::milliseconds timeout = DEFAULT_WAIT);

  std::uint16_t port() const { return port_; }
  pid_t pid() const { return pid_; }
  const std::string& root() const { return root_.path(); }
  std::string home() const { return root() + "/home"; }
  std::string workspace() const { return root() + "/workspace"; }
  std::string state_file() const { return root() + "/state/bridge_state.json"; }
  std::string tmp() const { return root() + "/tmp"; }
  const std::string& claude_path() const { return claude_; }

  /// Waits until a line of standard error contains `needle`.
  bool wait_for_log(std::string_view needle, std::chrono::milliseconds timeout = DEFAULT_WAIT);
  /// The complete lines of standard error so far, without their line feeds.
  std::vector<std::string> log_lines() const;
  std::size_t count_log(std::string_view needle) const;
  std::string output(bool standard_error) const {  // everything written so far
    std::lock_guard<std::mutex> guard(lock_);
    return standard_error ? err_ : out_;
  }

  /// The exit status (128 + signal number for a signal), or nullopt while it still runs.
  std::optional<int> wait_for_exit(std::chrono::milliseconds timeout = DEFAULT_WAIT);
  bool running();

  void write_stdin(const std::string& bytes) { write_fully(stdin_.get(), bytes); }
  void close_stdin() { stdin_.reset(); }  // as the game does when it quits
  void signal(int sig) {
    if (pid_ > 0 && !status_) ::kill(pid_, sig);
  }

 private:
  void read_output();
  void stop_reader();

  BridgeOptions options_;
  TempRoot root_;
  std::string claude_;
  std::uint16_t port_ = 0;
  pid_t pid_ = -1;
  std::optional<int> status_;
  UniqueFd stdin_, stdout_, stderr_, wake_read_, wake_write_;
  std::thread reader_;

  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::string out_, err_;  // guarded by lock_
  bool closed_ = false;    // guarded by lock_: both output streams ended
};

struct RunResult {
  int status = -1;  // 128 + signal number for a signal; -1 when it could not start
  std::string out;
  std::string err;
};

/// Runs the binary once with `args` alone and `input` on its standard input, in a fresh root
/// for HOME and TMPDIR unless `env` says otherwise; killed after `timeout`.
RunResult run_bridge(const std::vector<std::string>& args, const EnvChanges& env = {},
                     const std::string& input = "", std::chrono::milliseconds timeout = 30s);

}  // namespace harness
