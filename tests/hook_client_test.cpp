// The permission hook client (--hook): one request to the bridge, one decision line printed,
// status 0 whatever happens. A stand-in bridge in the test records the exact request bytes.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "harness/bridge_process.h"
#include "harness/http_client.h"
#include "util/os_error.h"
#include "util/platform.h"
#include "util/unique_fd.h"

namespace {

using harness::run_bridge;
using harness::RunResult;

// A listener on a loopback address that answers at most one connection with a canned reply.
class StandInBridge {
 public:
  // `host` is a numeric loopback address; valid() is false when it cannot be bound.
  explicit StandInBridge(const std::string& host = "127.0.0.1") {
    bool v6 = host == "::1";
    listener_.reset(socket_cloexec(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0));
    if (!listener_.valid()) return;
    int bound;
    if (v6) {
      sockaddr_in6 address{};
      address.sin6_family = AF_INET6;
      inet_pton(AF_INET6, host.c_str(), &address.sin6_addr);
      bound = bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    } else {
      sockaddr_in address{};
      address.sin_family = AF_INET;
      inet_pton(AF_INET, host.c_str(), &address.sin_addr);
      bound = bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    if (bound != 0 || listen(listener_.get(), 8) != 0) {
      listener_.reset();
      return;
    }
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                     : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  }
  ~StandInBridge() {
    if (server_.joinable()) server_.join();
  }

  bool valid() const { return listener_.valid(); }
  std::uint16_t port() const { return port_; }

  /// Accepts one connection on a thread, reads one request (head and Content-Length body),
  /// sends `reply` and closes.
  void answer_once(std::string reply) {
    server_ = std::thread([this, reply = std::move(reply)] {
      UniqueFd client(accept_cloexec(listener_.get(), nullptr, nullptr));
      if (!client.valid()) return;
      std::string bytes;
      char chunk[4096];
      auto complete = [&] {
        std::size_t blank = bytes.find("\r\n\r\n");
        if (blank == std::string::npos) return false;
        std::size_t at = bytes.find("Content-Length: ");
        std::size_t length = at == std::string::npos ? 0 : std::stoul(bytes.substr(at + 16));
        return bytes.size() >= blank + 4 + length;
      };
      while (!complete()) {
        ssize_t n = read(client.get(), chunk, sizeof chunk);
        if (n <= 0) break;
        bytes.append(chunk, static_cast<std::size_t>(n));
      }
      request_ = bytes;
      std::size_t off = 0;
      while (off < reply.size()) {
        ssize_t n = write(client.get(), reply.data() + off, reply.size() - off);
        if (n <= 0) break;
        off += static_cast<std::size_t>(n);
      }
    });
  }

  /// The request received; call after the hook has ended.
  const std::string& request() {
    if (server_.joinable()) server_.join();
    return request_;
  }

  /// True when a connection is waiting that nobody accepted (the hook connected after all).
  bool connection_pending() {
    int flags = fcntl(listener_.get(), F_GETFL);
    fcntl(listener_.get(), F_SETFL, flags | O_NONBLOCK);
    UniqueFd client(accept_cloexec(listener_.get(), nullptr, nullptr));
    fcntl(listener_.get(), F_SETFL, flags);
    return client.valid();
  }

 private:
  UniqueFd listener_;
  std::uint16_t port_ = 0;
  std::thread server_;
  std::string request_;
};

const std::string TOOL_REQUEST =
    R"({"tool_name":"Bash","tool_input":{"command":"ls -la"},"npc":"someone else"})";
const std::string ALLOW =
    R"({"hookSpecificOutput":{"hookEventName":"PreToolUse","permissionDecision":"allow","permissionDecisionReason":"ok"}})";

std::string reply_200(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The refusal line the hook prints for `reason`.
std::string refusal(const std::string& reason) {
  return R"({"hookSpecificOutput":{"hookEventName":"PreToolUse","permissionDecision":"deny","permissionDecisionReason":)" +
         dump_json(Json(reason)) + "}}\n";
}

std::string unreachable(const std::string& why) {
  return refusal("Nobody was around to approve this (" + why + ").");
}

RunResult hook(const std::string& url, const std::string& input = TOOL_REQUEST,
               const std::string& npc = "smith") {
  return run_bridge({"--hook", "--bridge", url, "--npc", npc}, {}, input);
}

void expect_printed(const RunResult& run, const std::string& line) {
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, line);
  EXPECT_EQ(run.err, "");
}

// Surrounding white space of the answer is dropped, nothing else is touched; trailing slashes
// of the URL are ignored, and a bracketed IPv6 bridge works.
TEST(HookClient, ForwardsTheRequestAndPrintsTheDecision) {
  struct Case {
    std::string host;
    std::string tail;
  };
  for (const Case& c : {Case{"127.0.0.1", ""}, Case{"127.0.0.1", "//"}, Case{"::1", ""}}) {
    SCOPED_TRACE(c.host + c.tail);
    StandInBridge bridge(c.host);
    if (!bridge.valid() && c.host == "::1") continue;  // no ::1 on this machine
    ASSERT_TRUE(bridge.valid());
    bridge.answer_once(reply_200("  " + ALLOW + "\n"));
    std::string host_port =
        (c.host == "::1" ? "[::1]" : c.host) + ":" + std::to_string(bridge.port());
    expect_printed(hook("http://" + host_port + c.tail), ALLOW + "\n");
    std::string body = R"({"npc":"smith","tool_input":{"command":"ls -la"},"tool_name":"Bash"})";
    EXPECT_EQ(bridge.request(), "POST /hook/permission HTTP/1.1\r\nHost: " + host_port +
                                    "\r\nContent-Type: application/json\r\nContent-Length: " +
                                    std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
                                    body);
  }
}

TEST(HookClient, UnreadableToolRequestsAreRefusedWithoutContactingTheBridge) {
  StandInBridge bridge;
  ASSERT_TRUE(bridge.valid());
  std::string url = "http://127.0.0.1:" + std::to_string(bridge.port());
  for (const std::string& input : {std::string(""), std::string("[1,2]"), std::string("{\"a\":"),
                                   std::string("\"text\""), std::string("{\"a\":\"\xff\"}")}) {
    RunResult run = hook(url, input);
    expect_printed(run, refusal("The bridge could not read the tool request."));
  }
  EXPECT_FALSE(bridge.connection_pending());
}

TEST(HookClient, UnusableUrlsAreRefusedWithTheReason) {
  expect_printed(hook("HTTP://127.0.0.1:8787"), unreachable("bridge URL must be http://"));
  expect_printed(hook("https://127.0.0.1:8787"), unreachable("bridge URL must be http://"));
  expect_printed(hook("http://127.0.0.1"), unreachable("invalid socket address"));
  expect_printed(hook("http://127.0.0.1:65536"), unreachable("invalid port value"));
  expect_printed(hook("http://127.0.0.1:8787/hook"), unreachable("invalid port value"));
  expect_printed(hook("http://127.0.0.1:"), unreachable("invalid port value"));
}

TEST(HookClient, NothingListeningIsRefusedAtOnce) {
  std::uint16_t port = harness::free_port();
  ASSERT_NE(port, 0);
  auto started = std::chrono::steady_clock::now();
  RunResult run = hook("http://127.0.0.1:" + std::to_string(port));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(6));
  expect_printed(run, unreachable(os_error_text(ECONNREFUSED)));
}

TEST(HookClient, BadRepliesAreRefusedWithTheReason) {
  struct Case {
    std::string reply;
    std::string reason;
  } cases[] = {
      {"HTTP/1.1 404 Not Found\r\nContent-Length: 21\r\n\r\n{\"error\":\"not found\"}",
       "HTTP Error 404"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n{}", "malformed response from the bridge"},
      {"", "malformed response from the bridge"},
      {"\r\n\r\n", "HTTP Error "},
  };
  for (const Case& c : cases) {
    StandInBridge bridge;
    ASSERT_TRUE(bridge.valid());
    bridge.answer_once(c.reply);
    RunResult run = hook("http://127.0.0.1:" + std::to_string(bridge.port()));
    expect_printed(run, unreachable(c.reason));
  }
}

}  // namespace
