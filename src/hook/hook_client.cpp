#include "hook/hook_client.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>

#include "hook/decision.h"
#include "util/fd_io.h"
#include "util/json.h"
#include "util/os_error.h"
#include "util/platform.h"
#include "util/process_exit.h"
#include "util/text.h"
#include "util/unique_fd.h"

namespace {

constexpr int CONNECT_TIMEOUT_MS = 5000;
constexpr int RECEIVE_TIMEOUT_S = 280;
constexpr const char* HOOK_PATH = "/hook/permission";
// A tool request carries at most a whole file the tool wants to write; the bridge refuses
// bodies past its own bound anyway.
constexpr std::size_t MAX_INPUT_BYTES = 64u << 20;
constexpr std::size_t MAX_REPLY_BYTES = 16u << 20;

HookStep succeeded(std::string text) { return {true, std::move(text)}; }
HookStep failed(std::string error) { return {false, std::move(error)}; }

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

std::string refusal(const std::string& reason) { return dump_json(hook_decision("deny", reason)); }

}  // namespace

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
  if (int error = connect_with_timeout(fd.get(), *found, CONNECT_TIMEOUT_MS)) {
    return failed(os_error_text(error));
  }
  timeval timeout{};
  timeout.tv_sec = RECEIVE_TIMEOUT_S;
  if (setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
    return failed(os_error_text(errno));
  }

  std::string request = "POST ";
  request += HOOK_PATH;
  request += " HTTP/1.1\r\nHost: ";
  request += host_port;
  request += "\r\nContent-Type: application/json\r\nContent-Length: ";
  request += std::to_string(body.size());
  request += "\r\nConnection: close\r\n\r\n";
  request += body;
  if (int error = write_fully(fd.get(), request)) return failed(os_error_text(error));
  std::string reply;
  if (int error = read_to_end(fd.get(), reply, MAX_REPLY_BYTES)) return failed(os_error_text(error));
  return succeeded(std::move(reply));
}

std::string hook_answer(std::string_view input, const std::string& url, const std::string& npc_id,
                        const BridgeExchange& exchange) {
  const std::string unreadable = "The bridge could not read the tool request.";
  if (!is_valid_utf8(input)) return refusal(unreadable);
  std::optional<Json> request = parse_json(input);
  if (!request || !request->is_object()) return refusal(unreadable);
  (*request)["npc"] = npc_id;
  std::string body = dump_json(*request);

  HookStep result = failed("bridge URL must be http://");
  const std::string scheme = "http://";
  if (url.compare(0, scheme.size(), scheme) == 0) {
    std::string host_port = url.substr(scheme.size());
    while (!host_port.empty() && host_port.back() == '/') host_port.pop_back();
    result = exchange(host_port, body);
    if (result.ok) result = interpret_reply(result.text);
  }
  if (!result.ok) return refusal("Nobody was around to approve this (" + result.text + ").");
  return result.text;
}

void run_hook(const std::string& url, const std::string& npc_id) {
  std::string input;
  std::string line;
  if (read_to_end(STDIN_FILENO, input, MAX_INPUT_BYTES) != 0) {
    line = refusal("The bridge could not read the tool request.");
  } else {
    line = hook_answer(input, url, npc_id, exchange_with_bridge);
  }
  line += "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  exit_process(0);
}
