// The permission policy changed from the game, and the hook client (--hook) talking to a real
// bridge, over IPv4 and over IPv6, and on a port the system chose.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "harness/approval_support.h"
#include "harness/bridge_process.h"
#include "harness/http_client.h"

namespace {

using harness::BridgeOptions;
using harness::BridgeProcess;
using harness::decision;
using harness::HookRequest;
using harness::HttpConnection;
using harness::HttpResponse;
using harness::npc_post;
using harness::npc_row;
using harness::RunResult;
using harness::scripted_agent;
using harness::SseStream;
using harness::TempRoot;
using harness::wait_for_event;

// The value after `flag` in a launch's argument list, or nullopt when the flag is absent.
std::optional<std::string> argument(const Json& launch, const std::string& flag) {
  const Json& args = launch["args"];
  auto at = std::find(args.begin(), args.end(), Json(flag));
  if (at == args.end() || at + 1 == args.end()) return std::nullopt;
  return as_text(&*(at + 1));
}

// A GET of `path`'s JSON body; null when it fails.
Json get(std::uint16_t port, const std::string& path) {
  std::optional<HttpResponse> response = harness::http_request(port, "GET", path);
  return response ? response->json() : Json();
}

// A bridge under the "ask" policy whose agents are the harness's stand-in.
BridgeOptions asking() {
  BridgeOptions options;
  options.args = {"--permission-policy", "ask"};
  return options;
}

// Says `words` and waits for the turn's "result"; its text, or nullopt.
std::optional<std::string> talk(std::uint16_t port, SseStream& events, const std::string& npc,
                                const std::string& words) {
  std::optional<HttpResponse> said = npc_post(port, npc, "say", {{"text", words}});
  if (!said || said->status != 200) return std::nullopt;
  std::optional<Json> result = wait_for_event(events, "result");
  if (!result) return std::nullopt;
  return as_text(*result, "text");
}

TEST(PolicyChange, StopsAgentsKeepsTheirSessionsAndTellsEveryNpc) {
  TempRoot logs;
  std::string launch_log = logs.path() + "/launches.jsonl";
  BridgeProcess bridge(scripted_agent({"--permission-policy", "ask"}, launch_log));
  ASSERT_TRUE(bridge.start());
  SseStream smith;
  ASSERT_TRUE(smith.open(bridge.port(), "smith", 0));
  SseStream guard;  // an NPC without an agent
  ASSERT_TRUE(guard.open(bridge.port(), "guard", 0));

  std::optional<std::string> session = talk(bridge.port(), smith, "smith", "@session");
  ASSERT_TRUE(session);
  ASSERT_FALSE(session->empty());
  // A tool use waiting when the policy changes ends like any other stop.
  HookRequest waiting;
  ASSERT_TRUE(waiting.send(bridge.port(), Json{{"npc", "smith"}, {"tool_name", "Bash"},
                                               {"tool_input", {{"command", "echo hold"}}}}));
  ASSERT_TRUE(wait_for_event(smith, "permission_request", {{"detail", "echo hold"}}));

  std::optional<HttpResponse> changed =
      harness::http_request(bridge.port(), "POST", "/policy", Json{{"policy", "trust"}});
  ASSERT_TRUE(changed);
  EXPECT_EQ(changed->status, 200);
  EXPECT_EQ(changed->body, R"({"ok":true,"policy":"trust"})");
  std::optional<HttpResponse> refused = waiting.answer();
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->json(), decision("deny", "The conversation ended."));
  EXPECT_TRUE(bridge.wait_for_log("[bridge] policy    : trust (set from the game)"));

  // The agent went to sleep before the news; the NPC without an agent hears it too.
  std::optional<Json> told = wait_for_event(smith, "policy");
  ASSERT_TRUE(told);
  EXPECT_EQ(*told, (Json{{"seq", (*told)["seq"]}, {"type", "policy"}, {"npc", "smith"}, {"policy", "trust"}}));
  const std::vector<Json>& seen = smith.seen();
  auto asleep = std::find_if(seen.begin(), seen.end(), [](const Json& e) {
    return as_text(e, "type") == "state" && as_text(e, "value") == "asleep";
  });
  EXPECT_LT(asleep - seen.begin(), static_cast<std::ptrdiff_t>(seen.size()) - 1);
  EXPECT_TRUE(wait_for_event(guard, "policy", {{"policy", "trust"}}));
  EXPECT_EQ(as_text(npc_row(bridge.port(), "guard"), "state"), "asleep");

  EXPECT_EQ(get(bridge.port(), "/health")["permission_mode"], "bypassPermissions");
  EXPECT_EQ(get(bridge.port(), "/policy")["policy"], "trust");
  EXPECT_EQ(as_text(npc_row(bridge.port(), "smith"), "session_id"), *session);

  // The next words relaunch the agent under the new policy, in the same conversation.
  EXPECT_EQ(talk(bridge.port(), smith, "smith", "@session"), session);
  std::vector<Json> launches = harness::read_launches(launch_log);
  ASSERT_EQ(launches.size(), 2u);
  EXPECT_EQ(argument(launches[0], "--permission-mode"), "acceptEdits");
  EXPECT_TRUE(argument(launches[0], "--settings"));
  EXPECT_FALSE(argument(launches[0], "--resume"));
  EXPECT_EQ(argument(launches[1], "--permission-mode"), "bypassPermissions");
  EXPECT_EQ(argument(launches[1], "--resume"), session);
  EXPECT_FALSE(argument(launches[1], "--settings"));
  EXPECT_TRUE(launches[1]["settings"].is_null());
}

TEST(PolicyChange, OnlyTheExactNamesAreAccepted) {
  BridgeProcess bridge(asking());
  ASSERT_TRUE(bridge.start());
  struct Case {
    std::string body;
    std::string answer;
  } refused[] = {
      {R"({"policy":"Ask"})", R"({"error":"unknown policy 'Ask'","ok":false})"},
      {R"({})", R"({"error":"unknown policy ''","ok":false})"},
      {R"(["trust"])", R"({"error":"unknown policy ''","ok":false})"},
      {R"({"policy":true})", R"({"error":"unknown policy 'True'","ok":false})"},
      {R"({"policy":"trusted"})", R"({"error":"unknown policy 'trusted'","ok":false})"},
  };
  for (const Case& c : refused) {
    HttpConnection connection;
    ASSERT_TRUE(connection.connect(bridge.port()));
    ASSERT_TRUE(connection.send_raw("POST /policy HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                                    std::to_string(c.body.size()) + "\r\n\r\n" + c.body));
    std::optional<HttpResponse> response = connection.read_response();
    ASSERT_TRUE(response) << c.body;
    EXPECT_EQ(response->status, 400) << c.body;
    EXPECT_EQ(response->body, c.answer);
  }
  // Nothing changed.
  EXPECT_EQ(get(bridge.port(), "/policy")["policy"], "ask");
  EXPECT_EQ(get(bridge.port(), "/health")["permission_mode"], "acceptEdits");
  EXPECT_EQ(bridge.count_log("(set from the game)"), 0u);

  std::optional<HttpResponse> trimmed =
      harness::http_request(bridge.port(), "POST", "/policy", Json{{"policy", " trust "}});
  ASSERT_TRUE(trimmed);
  EXPECT_EQ(trimmed->status, 200);
  EXPECT_EQ(trimmed->body, R"({"ok":true,"policy":"trust"})");
  EXPECT_EQ(get(bridge.port(), "/health")["permission_mode"], "bypassPermissions");
  std::optional<HttpResponse> automatic =
      harness::http_request(bridge.port(), "POST", "/policy", Json{{"policy", "auto"}});
  ASSERT_TRUE(automatic);
  EXPECT_EQ(automatic->status, 200);
  EXPECT_EQ(get(bridge.port(), "/health")["permission_mode"], "auto");
  EXPECT_EQ(bridge.count_log("[bridge] policy    : auto (set from the game)"), 1u);
}

const std::string ALLOW_LINE =
    R"({"hookSpecificOutput":{"hookEventName":"PreToolUse","permissionDecision":"allow","permissionDecisionReason":"Go ahead."}})"
    "\n";
const std::string DENY_LINE =
    R"({"hookSpecificOutput":{"hookEventName":"PreToolUse","permissionDecision":"deny","permissionDecisionReason":"The player refused."}})"
    "\n";

TEST(HookClientWithBridge, PrintsThePlayersDecision) {
  BridgeProcess bridge(asking());
  ASSERT_TRUE(bridge.start());
  SseStream events;
  ASSERT_TRUE(events.open(bridge.port(), "smith", 0));
  std::string url = "http://127.0.0.1:" + std::to_string(bridge.port());

  struct Case {
    std::string command;
    Json answer;
    std::string printed;
  } cases[] = {
      {"echo hi", {{"allow", true}, {"reason", "Go ahead."}}, ALLOW_LINE},
      {"rm -rf /", {{"allow", false}}, DENY_LINE},
  };
  for (const Case& c : cases) {
    // The CLI's own description of the tool use; the "npc" it may carry is replaced.
    Json input = {{"hook_event_name", "PreToolUse"}, {"session_id", "s-1"}, {"tool_name", "Bash"},
                  {"tool_input", {{"command", c.command}}}, {"npc", "someone else"}};
    RunResult run;
    std::thread client([&] {
      run = harness::run_bridge({"--hook", "--bridge", url, "--npc", "smith"}, {}, dump_json(input));
    });
    std::optional<Json> request = wait_for_event(events, "permission_request", {{"detail", c.command}});
    if (request) {
      Json body = c.answer;
      body["request_id"] = (*request)["request_id"];
      std::optional<HttpResponse> answered = npc_post(bridge.port(), "smith", "permission", body);
      EXPECT_TRUE(answered && answered->status == 200);
    }
    client.join();  // without an answer the bridge's time-out or the run's limit ends it
    ASSERT_TRUE(request) << c.command;
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, c.printed);
    EXPECT_EQ(run.err, "");
  }
}

// An event stream read through an HttpConnection to any loopback address (the harness's stream
// reader knows only 127.0.0.1).
class AddressedStream {
 public:
  bool open(std::uint16_t port, const std::string& address, const std::string& npc) {
    if (!connection_.connect(port, address)) return false;
    auto deadline = std::chrono::steady_clock::now() + harness::DEFAULT_WAIT;
    std::string host = address.find(':') == std::string::npos ? address : "[" + address + "]";
    if (!connection_.send_raw("GET /npc/" + npc + "/events?since=0 HTTP/1.1\r\nHost: " + host +
                              ":" + std::to_string(port) + "\r\n\r\n") ||
        !connection_.fill_until("\r\n\r\n", deadline)) {
      return false;
    }
    std::string head = connection_.take(connection_.pending().find("\r\n\r\n") + 4);
    return head.compare(0, 12, "HTTP/1.1 200") == 0;
  }

  /// The next event of `type`; null when none arrives in time.
  Json wait_for_type(const std::string& type) {
    auto deadline = std::chrono::steady_clock::now() + harness::DEFAULT_WAIT;
    while (connection_.fill_until("\n\n", deadline)) {
      std::string frame = connection_.take(connection_.pending().find("\n\n") + 2);
      if (frame.compare(0, 6, "data: ") != 0) continue;
      std::optional<Json> event = parse_json(frame.substr(6));
      if (event && as_text(*event, "type") == type) return *event;
    }
    return nullptr;
  }

 private:
  HttpConnection connection_;
};

// Where a bridge listens, and how its agents' hook must name it.
struct Listening {
  std::string name;
  std::vector<std::string> args;       // the bridge's listening options
  std::optional<std::uint16_t> port;   // 0: the system chooses (the harness reads the banner)
  std::string address;                 // what the game connects to
  std::string url_host;                // the host in the hook's bridge URL
};

void PrintTo(const Listening& where, std::ostream* out) { *out << where.name; }

class SettingsHook : public testing::TestWithParam<Listening> {};

TEST_P(SettingsHook, TheAgentsHookReachesTheBridgeWhereItListens) {
  const Listening& where = GetParam();
  if (where.address == "::1" && !harness::ipv6_loopback_available()) {
    GTEST_SKIP() << "no ::1 on this machine";
  }
  TempRoot logs;
  std::string launch_log = logs.path() + "/launches.jsonl";
  std::vector<std::string> args = where.args;
  args.insert(args.end(), {"--permission-policy", "ask"});
  BridgeOptions options = scripted_agent(args, launch_log);
  options.port = where.port;
  BridgeProcess bridge(options);
  ASSERT_TRUE(bridge.start());
  ASSERT_NE(bridge.port(), 0) << "the banner must name the port really listened on";
  std::string port = std::to_string(bridge.port());
  AddressedStream events;
  ASSERT_TRUE(events.open(bridge.port(), where.address, "smith"));

  HttpConnection game;
  ASSERT_TRUE(game.connect(bridge.port(), where.address));
  std::optional<HttpResponse> said =
      game.request("POST", "/npc/smith/say", Json{{"text", R"(@tool Bash {"command":"echo hi"})"}});
  ASSERT_TRUE(said);
  EXPECT_EQ(said->status, 200);
  Json request = events.wait_for_type("permission_request");
  ASSERT_TRUE(request.is_object());
  EXPECT_EQ(as_text(request, "detail"), "echo hi");
  std::optional<HttpResponse> answered = game.request(
      "POST", "/npc/smith/permission", Json{{"request_id", request["request_id"]}, {"allow", true}});
  ASSERT_TRUE(answered);
  EXPECT_EQ(answered->status, 200);
  Json ended = events.wait_for_type("tool_end");
  ASSERT_TRUE(ended.is_object());
  EXPECT_EQ(ended["ok"], true);

  std::vector<Json> launches = harness::read_launches(launch_log);
  ASSERT_EQ(launches.size(), 1u);
  std::string command = as_text(launches[0]["settings"]["hooks"]["PreToolUse"][0]["hooks"][0], "command");
  std::string expected = " --hook --bridge http://" + where.url_host + ":" + port + " --npc smith";
  ASSERT_GE(command.size(), expected.size());
  EXPECT_EQ(command.substr(command.size() - expected.size()), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Listeners, SettingsHook,
    testing::Values(Listening{"Ipv6", {"--host", "::1"}, std::nullopt, "::1", "[::1]"},
                    Listening{"PortTheSystemChose", {}, 0, "127.0.0.1", "127.0.0.1"}),
    [](const testing::TestParamInfo<Listening>& info) { return info.param.name; });

}  // namespace
