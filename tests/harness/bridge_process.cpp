#include "harness/bridge_process.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <utility>

#include "util/platform.h"

extern char** environ;

namespace harness {

namespace {

// A test writing to a bridge that has gone must see an error, not die of SIGPIPE.
void ignore_sigpipe() {
  static const bool done = [] {
    ::signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  (void)done;
}

int decode_status(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

// This process's environment with `changes` applied, as "NAME=value" texts.
std::vector<std::string> environment_with(const EnvChanges& changes) {
  std::map<std::string, std::string> vars;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    std::string entry(*e);
    std::size_t eq = entry.find('=');
    if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [name, value] : changes) {
    if (value) {
      vars[name] = *value;
    } else {
      vars.erase(name);
    }
  }
  std::vector<std::string> out;
  for (const auto& [name, value] : vars) out.push_back(name + "=" + value);
  return out;
}

// HOME and TMPDIR inside `root`, no inherited model or Windows home, then the caller's changes.
EnvChanges isolated_env(const std::string& root, const EnvChanges& extra) {
  EnvChanges env = {{"HOME", root + "/home"},
                    {"TMPDIR", root + "/tmp"},
                    {"USERPROFILE", std::nullopt},
                    {"AGENT_MODEL", std::nullopt}};
  for (const auto& [name, value] : extra) env[name] = value;
  return env;
}

bool write_file(const std::string& path, const std::string& text, mode_t mode) {
  std::ofstream(path) << text;
  return ::chmod(path.c_str(), mode) == 0;
}

void write_everything(int fd, const std::string& bytes) {
  std::size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + off, bytes.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    off += static_cast<std::size_t>(n);
  }
}

}  // namespace

TempRoot::TempRoot() {
  std::string pattern = temp_dir() + "/bridge_e2e.XXXXXX";
  if (::mkdtemp(pattern.data()) != nullptr) {
    std::error_code ec;
    path_ = std::filesystem::canonical(pattern, ec).string();
    if (ec) path_ = pattern;
    for (const char* sub : {"home", "workspace", "state", "tmp", "bin"}) {
      std::filesystem::create_directories(path_ + "/" + sub, ec);
    }
  }
}

TempRoot::~TempRoot() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::uint16_t free_port() {
  UniqueFd fd(socket_cloexec(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (!fd.valid() || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return 0;
  }
  socklen_t length = sizeof address;
  if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

BridgeProcess::BridgeProcess(BridgeOptions options) : options_(std::move(options)) {
  ignore_sigpipe();
  if (options_.claude.empty() ||
      (options_.claude == "demo" && std::string(DEMO_AGENT_EXE).empty())) {
    claude_ = root() + "/bin/claude";
    write_file(claude_, "#!/bin/sh\ncat >/dev/null\nexit 0\n", 0755);
  } else if (options_.claude == "demo") {
    claude_ = DEMO_AGENT_EXE;
  } else {
    claude_ = options_.claude;
  }
}

BridgeProcess::~BridgeProcess() {
  // The orderly way first, so that the bridge stops its agents instead of orphaning them.
  if (running()) {
    if (options_.exit_with_stdin) {
      close_stdin();
    } else {
      signal(SIGTERM);
    }
    wait_for_exit(DEFAULT_WAIT);
  }
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    int raw = 0;
    while (::waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
    }
  }
  stop_reader();
}

bool BridgeProcess::spawn() {
  stop_reader();  // the reader of a run that has ended
  std::vector<std::string> args;
  if (!options_.bare) {
    args = {"--port",       std::to_string(port_), "--workspace", workspace(),
            "--state-file", state_file(),          "--claude",    claude_};
  }
  if (options_.exit_with_stdin) args.push_back("--exit-with-stdin");
  args.insert(args.end(), options_.args.begin(), options_.args.end());

  SpawnSpec launch{BRIDGE_EXE, args, environment_with(isolated_env(root(), options_.env)), root()};
  SpawnResult spawned = spawn_child(launch);
  if (!spawned.child) return false;
  pid_ = spawned.child->pid;
  status_.reset();
  stdin_ = std::move(spawned.child->stdin_fd);
  stdout_ = std::move(spawned.child->stdout_fd);
  stderr_ = std::move(spawned.child->stderr_fd);
  int wake[2];
  if (pipe_cloexec(wake) != 0) return false;
  wake_read_.reset(wake[0]);
  wake_write_.reset(wake[1]);
  {
    std::lock_guard<std::mutex> guard(lock_);
    lines_.clear();
    partial_.clear();
    stdout_bytes_.clear();
    stderr_bytes_.clear();
    output_closed_ = false;
  }
  reader_ = std::thread([this] { read_output(); });
  return true;
}

bool BridgeProcess::start(std::chrono::milliseconds timeout) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = options_.port ? *options_.port : free_port();
    if (!spawn()) return false;
    if (!options_.wait_for_banner) return true;
    std::string listening;
    {
      std::unique_lock<std::mutex> guard(lock_);
      changed_.wait_for(guard, timeout, [&] {
        for (const std::string& line : lines_) {
          if (line.find("listening : ") != std::string::npos) listening = line;
        }
        return !listening.empty() || output_closed_;
      });
    }
    if (!listening.empty()) {
      // "... listening : http://HOST:PORT": the port the bridge says it took.
      if (port_ == 0) {
        port_ = static_cast<std::uint16_t>(std::atoi(listening.c_str() + listening.rfind(':') + 1));
      }
      return true;
    }
    // Another process may have taken the free port between our look and the bridge's bind.
    bool port_taken = count_log("cannot listen on") > 0;
    if (!port_taken || options_.port || !wait_for_exit(timeout)) return false;
    stop_reader();
  }
  return false;
}

void BridgeProcess::read_output() {
  bool out_open = true, err_open = true;
  while (out_open || err_open) {
    pollfd fds[3] = {{out_open ? stdout_.get() : -1, POLLIN, 0},
                     {err_open ? stderr_.get() : -1, POLLIN, 0},
                     {wake_read_.get(), POLLIN, 0}};
    int ready = ::poll(fds, 3, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || fds[2].revents != 0) break;
    char buffer[8192];
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      std::lock_guard<std::mutex> guard(lock_);
      if (n <= 0) {
        (i == 0 ? out_open : err_open) = false;
        if (i == 1 && !partial_.empty()) lines_.push_back(std::exchange(partial_, ""));
      } else if (i == 0) {
        stdout_bytes_.append(buffer, static_cast<std::size_t>(n));
      } else {
        stderr_bytes_.append(buffer, static_cast<std::size_t>(n));
        partial_.append(buffer, static_cast<std::size_t>(n));
        std::size_t newline;
        while ((newline = partial_.find('\n')) != std::string::npos) {
          lines_.push_back(partial_.substr(0, newline));
          partial_.erase(0, newline + 1);
        }
      }
      changed_.notify_all();
    }
  }
  std::lock_guard<std::mutex> guard(lock_);
  output_closed_ = true;
  changed_.notify_all();
}

void BridgeProcess::stop_reader() {
  if (reader_.joinable()) {
    write_everything(wake_write_.get(), "x");
    reader_.join();
  }
  stdin_.reset();
  stdout_.reset();
  stderr_.reset();
  wake_read_.reset();
  wake_write_.reset();
}

bool BridgeProcess::wait_for_log(std::string_view needle, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock_);
  return changed_.wait_for(guard, timeout, [&] {
    for (const std::string& line : lines_) {
      if (line.find(needle) != std::string::npos) return true;
    }
    return false;
  });
}

std::vector<std::string> BridgeProcess::log_lines() const {
  std::lock_guard<std::mutex> guard(lock_);
  return lines_;
}

std::size_t BridgeProcess::count_log(std::string_view needle) const {
  std::lock_guard<std::mutex> guard(lock_);
  std::size_t n = 0;
  for (const std::string& line : lines_) n += line.find(needle) != std::string::npos;
  return n;
}

std::string BridgeProcess::stdout_text() const {
  std::lock_guard<std::mutex> guard(lock_);
  return stdout_bytes_;
}

std::string BridgeProcess::stderr_text() const {
  std::lock_guard<std::mutex> guard(lock_);
  return stderr_bytes_;
}

std::optional<int> BridgeProcess::wait_for_exit(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  if (pid_ <= 0) return std::nullopt;
  // The process closes its output as it ends; then collect it.
  {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, timeout, [&] { return output_closed_; });
  }
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int raw = 0;
    pid_t rc = ::waitpid(pid_, &raw, WNOHANG);
    if (rc == pid_) {
      status_ = decode_status(raw);
      return status_;
    }
    if (rc < 0 && errno != EINTR) return std::nullopt;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(2ms);
  }
}

bool BridgeProcess::running() {
  if (status_ || pid_ <= 0) return false;
  int raw = 0;
  pid_t rc = ::waitpid(pid_, &raw, WNOHANG);
  if (rc == pid_) status_ = decode_status(raw);
  return !status_;
}

void BridgeProcess::write_stdin(const std::string& bytes) { write_everything(stdin_.get(), bytes); }

void BridgeProcess::close_stdin() { stdin_.reset(); }

void BridgeProcess::signal(int sig) {
  if (pid_ > 0 && !status_) ::kill(pid_, sig);
}

RunResult run_bridge(const std::vector<std::string>& args, const EnvChanges& env,
                     const std::string& input, std::chrono::milliseconds timeout) {
  BridgeOptions options;
  options.bare = true;
  options.args = args;
  options.env = env;
  options.exit_with_stdin = false;
  options.wait_for_banner = false;
  BridgeProcess process(options);
  RunResult result;
  if (!process.start()) return result;
  process.write_stdin(input);
  process.close_stdin();
  std::optional<int> status = process.wait_for_exit(timeout);
  if (!status) {
    result.timed_out = true;
    process.signal(SIGKILL);
    status = process.wait_for_exit(timeout);
  }
  result.status = status.value_or(-1);
  result.out = process.stdout_text();
  result.err = process.stderr_text();
  return result;
}

}  // namespace harness
