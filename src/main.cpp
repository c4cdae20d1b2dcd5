// quillhaven-bridge: start-up, the serving loop and shutdown.
//
// Serve mode: the listener, one detached thread per connection, the watchers of standard input
// and termination signals, and the orderly shutdown that stops every NPC's agent. Hook mode
// (hook/hook_client.h): one request to the running bridge on behalf of the agent CLI.

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <mutex>
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
#include "agent/usage_ticker.h"
#include "config/config.h"
#include "config/parse.h"
#include "config/policy.h"
#include "hook/hook_client.h"
#include "http/connection.h"
#include "http/playground.h"
#include "store/state_file.h"
#include "util/fd_io.h"
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
// Serve mode

constexpr int LISTEN_BACKLOG = 128;
// A persistent accept failure (out of descriptors) is retried after this pause, not in a spin.
constexpr auto ACCEPT_RETRY_PAUSE = std::chrono::milliseconds(10);

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

std::mutex shutdown_lock;  // held by the one shutdown that runs, until the process ends

// Stops every NPC's agent (keeping their sessions), then ends the process. Runs once: a second
// request (standard input closed and a signal together, as when a game quits) waits here until
// the first has stopped every agent and ended the process, so none is left behind.
[[noreturn]] void shutdown() {
  shutdown_lock.lock();  // never released: the process ends while it is held
  stop_every_agent();
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

// SIGINT and SIGTERM are blocked in every thread (threads inherit the mask of the thread that
// starts them) and taken by the signal watcher alone: no handler runs at an arbitrary point.
sigset_t termination_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

// The game closing our standard input is the normal way to end the bridge.
void watch_stdin() {
  char buffer[4096];
  while (read_some(STDIN_FILENO, buffer, sizeof buffer) > 0) {
  }
  bridge_log("the game closed our stdin; shutting down");
  shutdown();
}

// Waits for SIGINT or SIGTERM and shuts down.
void watch_signals() {
  sigset_t set = termination_signals();
  int signal = 0;
  while (sigwait(&set, &signal) != 0) {
  }
  shutdown();
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
  // Before the first thread starts, so that every thread inherits it.
  sigset_t signals = termination_signals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  const Config& settings = config();
  raise_descriptor_limit();
  if (invocation.reset_workspaces) forget_workspaces();
  int listener = open_listener(settings);
  // With --port 0 the system chose the port: the banner and every agent's hook must name it.
  store_bound_port(bound_port(listener, settings.port));
  // Without the watchers the game could not stop the bridge; better not to run at all.
  if (invocation.exit_with_stdin && !start_detached("the stdin watcher", watch_stdin)) {
    exit_process(1);
  }
  start_detached("the usage ticker", [] { usage_ticker(); });
  if (!start_detached("the signal watcher", watch_signals)) exit_process(1);
  log_banner(settings);
  bridge_log("playground: " + playground_url(settings.host, settings.port));
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
