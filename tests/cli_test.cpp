// The bridge from outside: its command line (the banner and a taken port: GameReference;
// --exit-with-stdin and --reset-workspaces: GameRestarts); the hook client (--hook): one request,
// one decision line printed, status 0 whatever happens; and HTTP on the wire: the loopback guard,
// and the bounds that keep a hostile client from exhausting memory.

#include <gtest/gtest.h>

#include <cerrno>

#include "config/parse.h"
#include "harness/demo_bridge.h"
#include "util/json.h"
#include "util/os_error.h"
#include "util/platform.h"

namespace {

using harness::BridgeProcess;
using harness::HttpConnection;
using harness::HttpResponse;
using harness::PeerEnd;
using harness::RunResult;

// A path no endpoint answers: the router's 404 shows the request was read and routed.
const std::string UNKNOWN = "/no-such-endpoint";

TEST(CommandLine, HelpAndUsageErrorsByteForByte) {
  const std::string usage(usage_text());
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out, err;
  };
  for (const Case& c : std::vector<Case>{
           {{"-h"}, 0, usage, ""},
           {{"--bogus", "--help"}, 2, "", "error: unknown option --bogus\n\n" + usage + "\n"},
           {{"--hook", "--bridge", "http://127.0.0.1:1"}, 2, "", "error: --hook needs --npc\n"}}) {
    SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
    RunResult run = harness::run_bridge(c.args);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
  }
}

TEST(CommandLine, WithoutExitWithStdinOnlyASignalEndsTheBridge) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    BridgeProcess bridge({.exit_with_stdin = false});
    ASSERT_TRUE(bridge.start());
    bridge.close_stdin();
    // Still serving after the close; then the signal ends it the normal way.
    EXPECT_EQ(harness::http_request(bridge.port(), "GET", UNKNOWN).value().status, 404);
    bridge.signal(sig);
    EXPECT_EQ(bridge.wait_for_exit(), 0);
    EXPECT_EQ(bridge.count_log("the game closed our stdin"), 0u);
    EXPECT_EQ(bridge.count_log("[bridge] bye"), 1u);
  }
}

// A listener on 127.0.0.1 that answers one connection, on a thread, with a canned reply once it
// has read one request (head and Content-Length body). (A bridge on "::1": SettingsHook.)
class StandInBridge {
 public:
  explicit StandInBridge(std::string reply) {
    std::uint16_t port = 0;
    listener_ = harness::loopback_socket(port, true);
    url = "http://127.0.0.1:" + std::to_string(port);
    server_ = std::thread([this, reply = std::move(reply)] {
      UniqueFd client(accept_cloexec(listener_.get(), nullptr, nullptr));
      auto complete = [&] {
        std::size_t blank = request_.find("\r\n\r\n");
        std::size_t at = request_.find("Content-Length: ");
        std::size_t length = at == std::string::npos ? 0 : std::stoul(request_.substr(at + 16));
        return blank != std::string::npos && request_.size() >= blank + 4 + length;
      };
      char chunk[4096];
      ssize_t n = 0;
      while (client.valid() && !complete() && (n = read(client.get(), chunk, sizeof chunk)) > 0)
        request_.append(chunk, static_cast<std::size_t>(n));
      if (client.valid()) write_fully(client.get(), reply);
    });
  }
  ~StandInBridge() { request(); }

  /// The request received; call after the hook has ended.
  const std::string& request() {
    if (server_.joinable()) server_.join();
    return request_;
  }

  std::string url;

 private:
  UniqueFd listener_;
  std::thread server_;
  std::string request_;
};

const std::string TOOL_REQUEST =
    R"({"tool_name":"Bash","tool_input":{"command":"ls -la"},"npc":"someone else"})";
const std::string ALLOW = dump_json(harness::decision("allow", "ok"));

// The refusal line the hook prints for `reason`.
std::string refusal(const std::string& reason) {
  return dump_json(harness::decision("deny", reason)) + "\n";
}

std::string unreachable(const std::string& why) {
  return refusal("Nobody was around to approve this (" + why + ").");
}

void expect_printed(const std::string& url, const std::string& line,
                    const std::string& input = TOOL_REQUEST) {
  RunResult run = harness::run_bridge({"--hook", "--bridge", url, "--npc", "smith"}, {}, input);
  EXPECT_EQ(run.status, 0) << url;
  EXPECT_EQ(run.out, line) << url;
  EXPECT_EQ(run.err, "") << url;
}

// The answer loses only its surrounding white space; trailing slashes of the URL are ignored.
TEST(HookClient, ForwardsTheRequestAndPrintsTheDecision) {
  for (const std::string tail : {"", "//"}) {
    std::string body = "  " + ALLOW + "\n";
    StandInBridge bridge("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                         std::to_string(body.size()) + "\r\n\r\n" + body);
    expect_printed(bridge.url + tail, ALLOW + "\n");
    std::string sent = R"({"npc":"smith","tool_input":{"command":"ls -la"},"tool_name":"Bash"})";
    EXPECT_EQ(bridge.request(), "POST /hook/permission HTTP/1.1\r\nHost: " + bridge.url.substr(7) +
                                    "\r\nContent-Type: application/json\r\nContent-Length: " +
                                    std::to_string(sent.size()) + "\r\nConnection: close\r\n\r\n" +
                                    sent);
  }
}

TEST(HookClient, EveryFailureIsARefusalThatSaysWhy) {
  // Tool requests it cannot read are refused without contacting the bridge (where nothing
  // listens, so a contact would be refused for that reason instead).
  std::uint16_t free = 0;
  harness::loopback_socket(free);  // closed at once: nothing listens there
  std::string nobody = "http://127.0.0.1:" + std::to_string(free);
  for (const std::string input : {"", "[1,2]", "{\"a\":", "\"text\"", "{\"a\":\"\xff\"}"})
    expect_printed(nobody, refusal("The bridge could not read the tool request."), input);

  // URLs that name no usable bridge, and a port nothing listens on (refused at once).
  auto started = std::chrono::steady_clock::now();
  expect_printed(nobody, unreachable(os_error_text(ECONNREFUSED)));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(6));
  for (const auto& [url, reason] : std::vector<std::pair<std::string, std::string>>{
           {"https://127.0.0.1:8787", "bridge URL must be http://"},
           {"http://127.0.0.1", "invalid socket address"},
           {"http://127.0.0.1:65536", "invalid port value"},
           {"http://127.0.0.1:", "invalid port value"}}) {
    expect_printed(url, unreachable(reason));
  }

  // Answers that are no decision.
  for (const auto& [reply, reason] : std::vector<std::pair<std::string, std::string>>{
           {"HTTP/1.1 404 Not Found\r\nContent-Length: 21\r\n\r\n{\"error\":\"not found\"}",
            "HTTP Error 404"},
           {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n{}", "malformed response from the bridge"},
           {"", "malformed response from the bridge"},
           {"\r\n\r\n", "HTTP Error "}}) {
    StandInBridge bridge(reply);
    expect_printed(bridge.url, unreachable(reason));
  }
}

TEST(HttpWire, ForeignRequestsAreForbiddenAndOversizedOnesDropped) {
  BridgeProcess bridge;
  ASSERT_TRUE(bridge.start());
  std::string port = std::to_string(bridge.port());
  std::string say = "POST /npc/smith/say HTTP/1.1\r\n";
  std::string body = "Content-Length: 13\r\n\r\n{\"text\":\"hi\"}";
  HttpConnection c;
  ASSERT_TRUE(c.connect(bridge.port()));
  // Every Host and every Origin must pass, also a foreign one before a good one. (Which names
  // pass, and the headers kept: LoopbackGuard, ReadRequest.)
  for (const std::string& headers :
       {"Host: evil.example:" + port + "\r\nHost: 127.0.0.1:" + port + "\r\n",
        std::string("Origin: http://evil.example\r\nOrigin: http://localhost\r\n")}) {
    ASSERT_TRUE(c.send_raw(say + headers + body));
    auto response = c.read_response();
    ASSERT_TRUE(response) << headers;
    EXPECT_EQ(response->status, 403) << headers;
    EXPECT_EQ(response->reason, "Forbidden");
    EXPECT_EQ(response->body, "{\"error\":\"forbidden\"}") << headers;
  }
  // The connection lives on and serves the game's own form; no refused request made an NPC.
  ASSERT_TRUE(c.send_raw("GET /npcs HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n\r\n"));
  HttpResponse listing = c.read_response().value();
  EXPECT_EQ(listing.status, 200);
  EXPECT_EQ(listing.body, "{\"npcs\":[]}");

  // Oversized requests are dropped with their connection (the bounds: connection_test.cpp).
  for (const std::string& request :
       {"POST " + UNKNOWN + " HTTP/1.1\r\nContent-Length: 2147483648\r\n\r\n",
        "GET " + UNKNOWN + " HTTP/1.1\r\nX-Long: " + std::string(1 << 20, 'a') + "\r\n\r\n"}) {
    HttpConnection c;
    ASSERT_TRUE(c.connect(bridge.port()));
    c.send_raw(request);  // may fail part-way: the bridge hangs up early
    EXPECT_EQ(c.wait_for_close(), PeerEnd::Closed);
  }
  EXPECT_EQ(harness::http_request(bridge.port(), "GET", UNKNOWN).value().status, 404);
}

}  // namespace
