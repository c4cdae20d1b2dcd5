// quillhaven-bridge: start-up, the serving loop and shutdown, and the permission hook client.
//
// Serve mode: the listener, one detached thread per connection, the watchers of standard input
// and termination signals, and the orderly shutdown that stops every NPC's agent. Hook mode:
// one request to the running bridge on behalf of the agent CLI, one decision line printed.

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <functional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "agent/control.h"
#include "agent/npc.h"
#include "agent/permissions.h"
#include "agent/usage_ticker.h"
#include "config/config.h"
#include "config/parse.h"
#include "config/policy.h"
#include "http/connection.h"
#include "http/respond.h"
#include "store/state_file.h"
#include "util/json.h"
#include "util/log.h"
#include "util/os_error.h"
#include "util/platform.h"
#include "util/process_exit.h"
#include "util/text.h"
#include "util/unique_fd.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Process start, in every mode

// Writing to a client or an agent that has gone must fail with an error, not end the process.
void ignore_sigpipe() {
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  sigaction(SIGPIPE, &action, nullptr);
}

// A closed descriptor 0, 1 or 2 would be handed out to the first socket or pipe we open, and
// diagnostics would then land on a client's connection. /dev/null stands in for each one.
void ensure_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int opened;
    do {
      opened = open("/dev/null", O_RDWR | O_CLOEXEC);
    } while (opened < 0 && errno == EINTR);
    // open() hands out the lowest free number, which is `fd` itself; anything else is useless.
    if (opened > 2) close(opened);
  }
}

[[noreturn]] void print_and_exit(const Invocation& outcome) {
  if (outcome.status == 0) {
    std::fwrite(outcome.message.data(), 1, outcome.message.size(), stdout);
  } else {
    std::string line = outcome.message + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
  }
  exit_process(outcome.status);
}

// ---------------------------------------------------------------------------------------------
// Hook mode

constexpr int HOOK_CONNECT_TIMEOUT_MS = 5000;
constexpr int HOOK_RECEIVE_TIMEOUT_S = 280;
constexpr const char* HOOK_PATH = "/hook/permission";

// What a step of the hook gives: the text it produced, or the error text that becomes the
// refusal's reason.
struct HookStep {
  bool ok = false;
  std::string text;
};
HookStep succeeded(std::string text) { return {true, std::move(text)}; }
HookStep failed(std::string error) { return {false, std::move(error)}; }

[[noreturn]] void print_decision_and_exit(const std::string& line) {
  std::string out = line + "\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
  exit_process(0);
}

[[noreturn]] void refuse(const std::string& reason) {
  print_decision_and_exit(dump_json(hook_decision("deny", reason)));
}

// All of standard input, or nullopt on a read error.
std::optional<std::string> read_all_stdin() {
  std::string text;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return text;
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

// "host:port" split at its last colon; the port must be 1 to 5 digits up to 65535. A bracketed
// IPv6 host ("[::1]:8787") loses its brackets.
HookStep split_host_port(const std::string& host_port, std::string& host) {
  std::size_t colon = host_port.rfind(':');
  if (colon == std::string::npos) return failed("invalid socket address");
  std::string port = host_port.substr(colon + 1);
  bool digits = !port.empty() && port.size() <= 5 &&
                port.find_first_not_of("0123456789") == std::string::npos;
  if (!digits || std::stoul(port) > 65535) return failed("invalid port value");
  host = host_port.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  return succeeded(port);
}

// Connects a blocking socket to `address` within `timeout_ms`; 0 or the errno value.
int connect_with_timeout(int fd, const addrinfo& address, int timeout_ms) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return errno;
  if (connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) return errno;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return ETIMEDOUT;
      pollfd waiting{fd, POLLOUT, 0};
      int ready = poll(&waiting, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) return errno;
      if (ready == 0) return ETIMEDOUT;
      break;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    if (error != 0) return error;
  }
  if (fcntl(fd, F_SETFL, flags) != 0) return errno;
  return 0;
}

// Everything the bridge sends until it closes the connection, or the errno value.
int read_until_close(int fd, std::string& reply) {
  char buffer[16384];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    reply.append(buffer, static_cast<std::size_t>(n));
  }
}

// One request to the bridge at `host_port`; the raw reply bytes, or the error text.
HookStep exchange_with_bridge(const std::string& host_port, const std::string& body) {
  std::string host;
  HookStep port = split_host_port(host_port, host);
  if (!port.ok) return port;

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  int rc = getaddrinfo(host.c_str(), port.text.c_str(), &hints, &found);
  if (rc != 0) {
    std::string detail = rc == EAI_SYSTEM ? os_error_text(errno) : gai_strerror(rc);
    return failed("failed to lookup address information: " + detail);
  }
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(found, freeaddrinfo);
  if (found == nullptr) return failed("no address for the bridge");

  UniqueFd fd(socket_cloexec(found->ai_family, found->ai_socktype, found->ai_protocol));
  if (!fd.valid()) return failed(os_error_text(errno));
  if (int error = connect_with_timeout(fd.get(), *found, HOOK_CONNECT_TIMEOUT_MS)) {
    return failed(os_error_text(error));
  }
  timeval timeout{};
  timeout.tv_sec = HOOK_RECEIVE_TIMEOUT_S;
  if (setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
    return failed(os_error_text(errno));
  }

  std::string request =
      std::string("POST ") + HOOK_PATH + " HTTP/1.1\r\nHost: " + host_port +
      "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
      "\r\nConnection: close\r\n\r\n" + body;
  errno = 0;
  if (!write_all(fd.get(), request)) return failed(os_error_text(errno != 0 ? errno : EPIPE));
  std::string reply;
  if (int error = read_until_close(fd.get(), reply)) return failed(os_error_text(error));
  return succeeded(std::move(reply));
}

// The decision line inside a reply of status 200, or the error text.
HookStep interpret_reply(const std::string& raw) {
  std::string reply = to_valid_utf8(raw);
  std::size_t blank = reply.find("\r\n\r\n");
  if (blank == std::string::npos) return failed("malformed response from the bridge");
  std::vector<std::string> head = split_whitespace(std::string_view(reply).substr(0, blank));
  std::string status = head.size() >= 2 ? head[1] : "";
  if (status != "200") return failed("HTTP Error " + status);
  return succeeded(trim(std::string_view(reply).substr(blank + 4)));
}

// The PreToolUse hook: forwards the tool request with the NPC id to the bridge and prints its
// decision. Whatever fails, prints a refusal instead; always exits with status 0.
[[noreturn]] void run_hook(const std::string& url, const std::string& npc_id) {
  const std::string unreadable = "The bridge could not read the tool request.";
  std::optional<std::string> input = read_all_stdin();
  if (!input || !is_valid_utf8(*input)) refuse(unreadable);
  std::optional<Json> request = parse_json(*input);
  if (!request || !request->is_object()) refuse(unreadable);
  (*request)["npc"] = npc_id;
  std::string body = dump_json(*request);

  HookStep result = failed("bridge URL must be http://");
  const std::string scheme = "http://";
  if (url.compare(0, scheme.size(), scheme) == 0) {
    std::string host_port = url.substr(scheme.size());
    while (!host_port.empty() && host_port.back() == '/') host_port.pop_back();
    result = exchange_with_bridge(host_port, body);
    if (result.ok) result = interpret_reply(result.text);
  }
  if (!result.ok) refuse("Nobody was around to approve this (" + result.text + ").");
  print_decision_and_exit(result.text);
}

// ---------------------------------------------------------------------------------------------
// Serve mode

// Set by the SIGINT/SIGTERM handler (its only action), read by the signal watcher.
std::atomic<bool> shutdown_requested{false};

constexpr int LISTEN_BACKLOG = 128;
constexpr auto SIGNAL_POLL = std::chrono::milliseconds(100);
// A persistent accept failure (out of descriptors) is retried after this pause, not in a spin.
constexpr auto ACCEPT_RETRY_PAUSE = std::chrono::milliseconds(10);

void on_termination_signal(int) { shutdown_requested.store(true); }

// Starts `body` on a detached thread; false, with the reason logged, when none can be started.
bool start_detached(const std::string& what, std::function<void()> body) {
  try {
    std::thread(std::move(body)).detach();
    return true;
  } catch (const std::system_error& e) {
    bridge_log("cannot start " + what + ": " + os_error_text(e.code().value()));
  } catch (const std::exception& e) {
    bridge_log("cannot start " + what + ": " + e.what());
  }
  return false;
}

// Stops every NPC's agent in parallel (keeping their sessions), then ends the process.
[[noreturn]] void shutdown() {
  std::vector<NpcHandle> npcs = snapshot_npcs();
  std::vector<std::thread> stops;
  stops.reserve(npcs.size());
  for (const NpcHandle& npc : npcs) {
    try {
      stops.emplace_back([npc] { stop_agent(*npc, true); });
    } catch (const std::exception&) {
      stop_agent(*npc, true);  // no thread to spare: stop this one here
    }
  }
  for (std::thread& stop : stops) stop.join();
  bridge_log("bye");
  exit_process(0);
}

// The listening socket on the configured host and port: every resolved address is tried in
// order. On failure writes the start-up error and exits with status 1.
int open_listener(const Config& settings) {
  std::string port = std::to_string(settings.port);
  std::string error = "could not resolve to any addresses";
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  int rc = getaddrinfo(settings.host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0) {
    error = "failed to lookup address information: " +
            std::string(rc == EAI_SYSTEM ? os_error_text(errno) : gai_strerror(rc));
    found = nullptr;
  }
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(found, freeaddrinfo);
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    UniqueFd fd(socket_cloexec(a->ai_family, a->ai_socktype, a->ai_protocol));
    int on = 1;
    if (fd.valid() && setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
        bind(fd.get(), a->ai_addr, a->ai_addrlen) == 0 && listen(fd.get(), LISTEN_BACKLOG) == 0) {
      return fd.release();
    }
    error = os_error_text(errno);
  }
  std::string message = "error: cannot listen on " + settings.host + ":" + port + " (" + error +
                        ").\nAnother agent bridge is probably already running. Stop it (pkill -f "
                        "quillhaven-bridge) or pass --port.\n";
  std::fwrite(message.data(), 1, message.size(), stderr);
  exit_process(1);
}

// The port `listener` is bound to, or `fallback` when the system does not say.
std::uint16_t bound_port(int listener, std::uint16_t fallback) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) return fallback;
  if (address.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
  }
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
  }
  return fallback;
}

void install_signal_handlers() {
  struct sigaction action {};
  action.sa_handler = on_termination_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// The game closing our standard input is the normal way to end the bridge.
void watch_stdin() {
  char buffer[4096];
  for (;;) {
    ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
  }
  bridge_log("the game closed our stdin; shutting down");
  shutdown();
}

// Acts on a termination signal on an ordinary thread, within about SIGNAL_POLL.
void watch_signals() {
  for (;;) {
    if (shutdown_requested.load()) shutdown();
    std::this_thread::sleep_for(SIGNAL_POLL);
  }
}

void log_banner(const Config& settings) {
  std::string policy = current_policy();
  PermissionMode mode = permission_mode_for(policy);
  std::string models;
  for (const std::string& model : settings.models) {
    if (!models.empty()) models += ",";
    models += model;
  }
  bridge_log("claude    : " + settings.claude);
  bridge_log("workspace : " + settings.workspace);
  bridge_log("policy    : " + policy + "  (--permission-mode " + mode.mode +
             ", ask in-game: " + (mode.hook ? settings.ask_tools : std::string("nothing")) + ")");
  bridge_log("models    : " + models + " (default: " +
             (settings.model.empty() ? std::string("CLI default") : settings.model) + ")");
  bridge_log("listening : http://" + settings.host + ":" + std::to_string(settings.port));
}

// Gives every accepted connection its own thread, forever.
[[noreturn]] void accept_loop(int listener) {
  for (;;) {
    int fd = accept_cloexec(listener, nullptr, nullptr);
    if (fd < 0) {
      bridge_log("accept failed: " + os_error_text(errno));
      std::this_thread::sleep_for(ACCEPT_RETRY_PAUSE);
      continue;
    }
    if (!try_begin_connection()) {
      close(fd);
      continue;
    }
    bool started = start_detached("a connection thread", [fd] {
      serve_connection(fd);
      end_connection();
    });
    if (!started) {
      close(fd);
      end_connection();
    }
  }
}

[[noreturn]] void serve(const Invocation& invocation) {
  const Config& settings = config();
  raise_descriptor_limit();
  if (invocation.reset_workspaces) forget_workspaces();
  int listener = open_listener(settings);
  // With --port 0 the system chose the port: the banner and every agent's hook must name it.
  store_bound_port(bound_port(listener, settings.port));
  install_signal_handlers();
  // Without the watchers the game could not stop the bridge; better not to run at all.
  if (invocation.exit_with_stdin && !start_detached("the stdin watcher", watch_stdin)) {
    exit_process(1);
  }
  start_detached("the usage ticker", [] { usage_ticker(); });
  if (!start_detached("the signal watcher", watch_signals)) exit_process(1);
  log_banner(settings);
  accept_loop(listener);
}

}  // namespace

int main(int argc, char** argv) {
  ignore_sigpipe();
  ensure_standard_descriptors();
  std::vector<std::string> args(argv + 1, argv + argc);
  Invocation invocation = parse(args);
  switch (invocation.kind) {
    case Invocation::Kind::Exit:
      print_and_exit(invocation);
    case Invocation::Kind::Hook:
      run_hook(invocation.bridge_url, invocation.npc_id);
    case Invocation::Kind::Serve:
      serve(invocation);
  }
  exit_process(70);
}
