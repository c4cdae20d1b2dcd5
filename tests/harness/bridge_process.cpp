#include "harness/bridge_process.h"

#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "util/platform.h"

extern char** environ;

namespace harness {

namespace {

// This process's environment with HOME and TMPDIR inside `root`, no inherited model or Windows
// home, and then `changes` applied, as "NAME=value" texts.
std::vector<std::string> environment_for(const std::string& root, const EnvChanges& changes) {
  EnvChanges vars;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    std::string entry(*e);
    std::size_t eq = entry.find('=');
    if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  vars["HOME"] = root + "/home";
  vars["TMPDIR"] = root + "/tmp";
  vars["USERPROFILE"] = vars["AGENT_MODEL"] = std::nullopt;
  for (const auto& [name, value] : changes) vars[name] = value;
  std::vector<std::string> out;
  for (const auto& [name, value] : vars)
    if (value) out.push_back(name + "=" + *value);
  return out;
}

std::size_t count_in(const std::vector<std::string>& lines, std::string_view needle) {
  std::size_t n = 0;
  for (const std::string& line : lines) n += line.find(needle) != std::string::npos;
  return n;
}

}  // namespace

std::vector<std::string> lines_of(const std::string& text, bool ended) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  if (ended && start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

TempRoot::TempRoot() {
  std::string pattern = temp_dir() + "/bridge_e2e.XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return;
  path_ = std::filesystem::canonical(pattern).string();
  for (const char* sub : {"home", "workspace", "state", "tmp", "bin"})
    std::filesystem::create_directories(path_ + "/" + sub);
}

TempRoot::~TempRoot() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

UniqueFd loopback_socket(std::uint16_t& port, bool listening, int family) {
  sockaddr_in four{};
  four.sin_family = AF_INET;
  four.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sockaddr_in6 six{};
  six.sin6_family = AF_INET6;
  six.sin6_addr = in6addr_loopback;
  bool v6 = family == AF_INET6;
  auto* any = v6 ? reinterpret_cast<sockaddr*>(&six) : reinterpret_cast<sockaddr*>(&four);
  socklen_t length = v6 ? sizeof six : sizeof four;
  UniqueFd fd(socket_cloexec(family, SOCK_STREAM, 0));
  if (!fd.valid() || ::bind(fd.get(), any, length) != 0 ||
      (listening && ::listen(fd.get(), 8) != 0) || ::getsockname(fd.get(), any, &length) != 0) {
    return UniqueFd();
  }
  port = ntohs(v6 ? six.sin6_port : four.sin_port);
  return fd;
}

BridgeProcess::BridgeProcess(BridgeOptions options) : options_(std::move(options)) {
  // A test writing to a bridge that has gone must see an error, not die of SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  claude_ = options_.claude == "demo" ? DEMO_AGENT_EXE : options_.claude;
  if (claude_.empty()) {
    claude_ = root() + "/bin/claude";
    std::ofstream(claude_) << "#!/bin/sh\ncat >/dev/null\nexit 0\n";
    ::chmod(claude_.c_str(), 0755);
  }
}

BridgeProcess::~BridgeProcess() {
  // The orderly way first, so that the bridge stops its agents instead of orphaning them.
  if (running()) {
    options_.exit_with_stdin ? close_stdin() : signal(SIGTERM);
    if (!wait_for_exit()) signal(SIGKILL);
    wait_for_exit();
  }
  stop_reader();
}

bool BridgeProcess::start(std::chrono::milliseconds timeout) {
  stop_reader();  // the reader of a run that has ended
  std::vector<std::string> args;
  if (!options_.bare) {
    // Port 0: the system chooses, so no other process can take it first; the banner names it.
    args = {"--port",       "0",          "--workspace", workspace(),
            "--state-file", state_file(), "--claude",    claude_};
    if (options_.exit_with_stdin) args.push_back("--exit-with-stdin");
  }
  args.insert(args.end(), options_.args.begin(), options_.args.end());
  SpawnResult spawned =
      spawn_child({BRIDGE_EXE, args, environment_for(root(), options_.env), root()});
  int wake[2];
  if (!spawned.child || pipe_cloexec(wake) != 0) return false;
  pid_ = spawned.child->pid;
  status_.reset();
  stdin_ = std::move(spawned.child->stdin_fd);
  stdout_ = std::move(spawned.child->stdout_fd);
  stderr_ = std::move(spawned.child->stderr_fd);
  wake_read_.reset(wake[0]);
  wake_write_.reset(wake[1]);
  std::unique_lock<std::mutex> guard(lock_);
  out_.clear();
  err_.clear();
  closed_ = false;
  reader_ = std::thread([this] { read_output(); });
  if (options_.bare) return true;
  std::string listening;
  changed_.wait_for(guard, timeout, [&] {
    for (const std::string& line : lines_of(err_, closed_))
      if (line.find("listening : ") != std::string::npos) listening = line;
    return !listening.empty() || closed_;
  });
  // "... listening : http://HOST:PORT"
  if (!listening.empty()) port_ = std::atoi(listening.c_str() + listening.rfind(':') + 1);
  return !listening.empty();
}

void BridgeProcess::read_output() {
  pollfd fds[3] = {
      {stdout_.get(), POLLIN, 0}, {stderr_.get(), POLLIN, 0}, {wake_read_.get(), POLLIN, 0}};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    int ready = ::poll(fds, 3, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || fds[2].revents != 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      char buffer[8192];
      ssize_t n = read_some(fds[i].fd, buffer, sizeof buffer);
      std::lock_guard<std::mutex> guard(lock_);
      if (n > 0) (i == 0 ? out_ : err_).append(buffer, static_cast<std::size_t>(n));
      if (n <= 0) fds[i].fd = -1;  // poll skips it from now on
      changed_.notify_all();
    }
  }
  std::lock_guard<std::mutex> guard(lock_);
  closed_ = true;
  changed_.notify_all();
}

void BridgeProcess::stop_reader() {
  if (reader_.joinable()) {
    write_fully(wake_write_.get(), "x");
    reader_.join();
  }
  for (UniqueFd* fd : {&stdin_, &stdout_, &stderr_, &wake_read_, &wake_write_}) fd->reset();
}

bool BridgeProcess::wait_for_log(std::string_view needle, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock_);
  return changed_.wait_for(guard, timeout,
                           [&] { return count_in(lines_of(err_, closed_), needle) > 0; });
}

std::vector<std::string> BridgeProcess::log_lines() const {
  std::lock_guard<std::mutex> guard(lock_);
  return lines_of(err_, closed_);
}

std::size_t BridgeProcess::count_log(std::string_view needle) const {
  return count_in(log_lines(), needle);
}

std::optional<int> BridgeProcess::wait_for_exit(std::chrono::milliseconds timeout) {
  if (pid_ <= 0 || status_) return status_;
  {
    // The process closes its output as it ends; then collect it.
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, timeout, [&] { return closed_; });
  }
  eventually([&] { return !running(); }, timeout);
  return status_;
}

bool BridgeProcess::running() {
  int raw = 0;
  if (!status_ && pid_ > 0 && ::waitpid(pid_, &raw, WNOHANG) == pid_)
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
  return pid_ > 0 && !status_;
}

RunResult run_bridge(const std::vector<std::string>& args, const EnvChanges& env,
                     const std::string& input, std::chrono::milliseconds timeout) {
  BridgeProcess process({.args = args, .env = env, .exit_with_stdin = false, .bare = true});
  if (!process.start()) return {};
  process.write_stdin(input);
  process.close_stdin();
  if (!process.wait_for_exit(timeout)) process.signal(SIGKILL);
  return {process.wait_for_exit(timeout).value_or(-1), process.output(false), process.output(true)};
}

}  // namespace harness
