// Tool uses the player approves: an agent's tool use travelling through the hook to the game
// and back, answers without a reason, refusals, the time-out, stops while a request waits,
// several requests of one NPC at once; the permission policy changed from the game; and the
// agents' hook reaching the bridge over IPv6 and on a port the system chose.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "harness/approval_support.h"
#include "harness/demo_bridge.h"
#include "util/text.h"

namespace {

using harness::BridgeProcess;
using harness::decision;
using harness::DemoBridge;
using harness::HookRequest;
using harness::HttpConnection;
using harness::HttpResponse;
using harness::npc_post;
using harness::npc_row;
using harness::SseStream;
using harness::wait_for_event;

// Position in `events` of the first event of `type` whose members include `fields`, or the
// number of events.
std::size_t position(const std::vector<Json>& events, const std::string& type,
                     const Json& fields = Json::object()) {
  auto matches = [&](const Json& event) {
    if (as_text(event, "type") != type) return false;
    for (const auto& [key, value] : fields.items()) {
      const Json* member = field(event, key);
      if (member == nullptr || *member != value) return false;
    }
    return true;
  };
  return static_cast<std::size_t>(std::find_if(events.begin(), events.end(), matches) -
                                  events.begin());
}

// The event of `type` whose members include `fields`, whether it was read already or is still
// to come. For events whose order against others is not fixed (an answer's announcement races
// the agent's use of the answer).
std::optional<Json> find_event(SseStream& events, const std::string& type, const Json& fields) {
  std::size_t at = position(events.seen(), type, fields);
  if (at < events.seen().size()) return events.seen()[at];
  return wait_for_event(events, type, fields);
}

// A tool use put to the player: its "permission_request" event (null when the use never got
// that far) and the id of the tool use that the agent announced before it.
struct ToolUse {
  Json request;
  Json tool_id;
};

// Makes the NPC's agent use Bash for `command` and waits until the use is put to the player
// and the agent's announcement of the tool use has arrived too (in whichever order).
ToolUse ask_for_bash(std::uint16_t port, SseStream& events, const std::string& npc,
                     const std::string& command) {
  Json input = {{"command", command}};
  std::optional<HttpResponse> said =
      npc_post(port, npc, "say", {{"text", "@tool Bash " + dump_json(input)}});
  if (!said || said->status != 200) return {};
  std::optional<Json> request = wait_for_event(events, "permission_request", {{"detail", command}});
  if (!request) return {};
  std::optional<Json> started = find_event(events, "tool_start", {{"name", "Bash"}, {"detail", command}});
  if (!started) return {};
  return {*request, (*started)["id"]};
}

// POST /npc/ID/permission; the status and body, or 0 and null when nothing came back.
std::pair<int, Json> answer(std::uint16_t port, const std::string& npc, const Json& body) {
  std::optional<HttpResponse> response = npc_post(port, npc, "permission", body);
  if (!response) return {0, nullptr};
  return {response->status, response->json()};
}

const std::pair<int, Json> ACCEPTED = {200, {{"ok", true}}};
const std::pair<int, Json> NOT_PENDING = {409, {{"ok", false}}};

TEST(Approvals, ThePlayersAnswersReachTheAgent) {
  DemoBridge demo({"--permission-policy", "ask"});
  ASSERT_TRUE(demo.start());
  BridgeProcess& bridge = demo.bridge();
  SseStream events;
  ASSERT_TRUE(events.open(bridge.port(), "smith", 0));

  // Allowed with a reason: the tool use comes to the game after "tool_start", the NPC asks,
  // and once allowed the command really runs.
  ToolUse use = ask_for_bash(bridge.port(), events, "smith", "echo hi");
  ASSERT_TRUE(use.request.is_object());
  std::string rid = as_text(use.request, "request_id");
  EXPECT_EQ(rid.size(), 12u);
  EXPECT_EQ(rid.find_first_not_of("0123456789abcdef"), std::string::npos) << rid;
  EXPECT_EQ(as_text(use.request, "name"), "Bash");
  EXPECT_EQ(as_text(use.request, "category"), "exec");
  // The agent writes its tool use before it runs the hook, so the game must see "tool_start"
  // first: this catches a reader held up by file work at the start of a turn.
  std::size_t started = position(events.seen(), "tool_start", {{"id", use.tool_id}});
  std::size_t asking = position(events.seen(), "state", {{"value", "asking"}});
  std::size_t announced = position(events.seen(), "permission_request");
  EXPECT_LT(started, asking);
  EXPECT_LT(asking, announced);
  EXPECT_EQ(as_text(npc_row(bridge.port(), "smith"), "state"), "asking");

  EXPECT_EQ(answer(bridge.port(), "smith", {{"request_id", rid}, {"allow", true}, {"reason", "go"}}),
            ACCEPTED);
  EXPECT_TRUE(find_event(events, "permission_answered",
                         {{"request_id", rid}, {"allow", true}, {"reason", "go"}}));
  std::optional<Json> ended = find_event(events, "tool_end", {{"id", use.tool_id}});
  ASSERT_TRUE(ended);
  EXPECT_EQ((*ended)["ok"], true);
  EXPECT_EQ(trim(as_text(*ended, "output")), "hi");
  ASSERT_TRUE(wait_for_event(events, "result"));
  // The request was collected: a second answer finds nothing.
  EXPECT_EQ(answer(bridge.port(), "smith", {{"request_id", rid}, {"allow", false}}), NOT_PENDING);

  // Allowed without a reason: the event carries the empty reason as sent. Words said while
  // the NPC asks belong to the same turn: it keeps asking, and the turn's tool count goes on.
  use = ask_for_bash(bridge.port(), events, "smith", "echo again");
  ASSERT_TRUE(use.request.is_object());
  rid = as_text(use.request, "request_id");
  std::optional<HttpResponse> meanwhile = npc_post(bridge.port(), "smith", "say", {{"text", "@reply later"}});
  ASSERT_TRUE(meanwhile && meanwhile->status == 200);
  EXPECT_EQ(meanwhile->json()["state"], "asking");
  EXPECT_EQ(as_text(npc_row(bridge.port(), "smith"), "state"), "asking");
  EXPECT_EQ(answer(bridge.port(), "smith", {{"request_id", rid}, {"allow", true}}), ACCEPTED);
  EXPECT_TRUE(find_event(events, "permission_answered",
                         {{"request_id", rid}, {"allow", true}, {"reason", ""}}));
  ended = find_event(events, "tool_end", {{"id", use.tool_id}});
  ASSERT_TRUE(ended);
  EXPECT_EQ((*ended)["ok"], true);
  EXPECT_EQ(trim(as_text(*ended, "output")), "again");
  std::optional<Json> result = wait_for_event(events, "result");
  ASSERT_TRUE(result);
  EXPECT_EQ((*result)["tools"], 1);
  ASSERT_TRUE(wait_for_event(events, "result", {{"text", "later"}}));

  // Refused without a reason: the agent is told the player refused and the command never runs.
  std::string marker = bridge.root() + "/refused-command-ran";
  use = ask_for_bash(bridge.port(), events, "smith", "touch " + marker);
  ASSERT_TRUE(use.request.is_object());
  rid = as_text(use.request, "request_id");
  EXPECT_EQ(answer(bridge.port(), "smith", {{"request_id", rid}, {"allow", false}}), ACCEPTED);
  EXPECT_TRUE(find_event(events, "permission_answered",
                         {{"request_id", rid}, {"allow", false}, {"reason", ""}}));
  ended = find_event(events, "tool_end", {{"id", use.tool_id}});
  ASSERT_TRUE(ended);
  EXPECT_EQ((*ended)["ok"], false);
  EXPECT_EQ(as_text(*ended, "output"), "PreToolUse:Bash hook error: The player refused.");
  ASSERT_TRUE(wait_for_event(events, "result"));
  EXPECT_FALSE(std::filesystem::exists(marker));

  // Refused with a reason: the agent gets the player's words.
  use = ask_for_bash(bridge.port(), events, "smith", "echo no");
  ASSERT_TRUE(use.request.is_object());
  rid = as_text(use.request, "request_id");
  EXPECT_EQ(answer(bridge.port(), "smith",
                   {{"request_id", rid}, {"allow", false}, {"reason", "Not in my forge."}}),
            ACCEPTED);
  ended = find_event(events, "tool_end", {{"id", use.tool_id}});
  ASSERT_TRUE(ended);
  EXPECT_EQ(as_text(*ended, "output"), "PreToolUse:Bash hook error: Not in my forge.");
  ASSERT_TRUE(wait_for_event(events, "result"));

  // One agent served every turn (its hook and settings file: AgentLaunch).
  EXPECT_EQ(demo.launches().size(), 1u);

  // An NPC id that the shell would otherwise read as several words and a second command still
  // gets its tool uses put to the player.
  const std::string npc = "o'brien;touch${IFS}x&";
  SseStream odd;
  ASSERT_TRUE(odd.open(bridge.port(), npc, 0));
  use = ask_for_bash(bridge.port(), odd, npc, "echo hi");
  ASSERT_TRUE(use.request.is_object());
  EXPECT_EQ(as_text(use.request, "npc"), npc);
  EXPECT_EQ(answer(bridge.port(), npc, {{"request_id", use.request["request_id"]}, {"allow", true}}),
            ACCEPTED);
  ended = find_event(odd, "tool_end", {{"id", use.tool_id}});
  ASSERT_TRUE(ended);
  EXPECT_EQ((*ended)["ok"], true);
  EXPECT_FALSE(std::filesystem::exists(bridge.workspace() + "/x"));
}

TEST(Approvals, NobodyAnsweringInTimeRefuses) {
  DemoBridge demo({"--permission-policy", "ask", "--permission-timeout", "1"});
  ASSERT_TRUE(demo.start());
  BridgeProcess& bridge = demo.bridge();
  SseStream events;
  ASSERT_TRUE(events.open(bridge.port(), "smith", 0));
  ToolUse use = ask_for_bash(bridge.port(), events, "smith", "echo late");
  ASSERT_TRUE(use.request.is_object());
  std::string rid = as_text(use.request, "request_id");

  EXPECT_TRUE(find_event(events, "permission_answered",
                         {{"request_id", rid}, {"allow", false}, {"reason", "timeout"}}));
  std::optional<Json> ended = find_event(events, "tool_end", {{"id", use.tool_id}});
  ASSERT_TRUE(ended);
  EXPECT_EQ((*ended)["ok"], false);
  EXPECT_EQ(as_text(*ended, "output"), "PreToolUse:Bash hook error: Nobody answered in time.");
  ASSERT_TRUE(wait_for_event(events, "state", {{"value", "idle"}}));
  // Too late now.
  EXPECT_EQ(answer(bridge.port(), "smith", {{"request_id", rid}, {"allow", true}}), NOT_PENDING);
}

// Time-outs given on the command line: zero, and values that are not a usable number of
// seconds, refuse at once; and whatever the hook endpoint is sent, it answers with a decision.
class PermissionTimeout : public testing::TestWithParam<const char*> {};

TEST_P(PermissionTimeout, RefusesAtOnceAndAlwaysWithADecision) {
  DemoBridge demo({"--permission-policy", "ask", "--permission-timeout", GetParam()});
  ASSERT_TRUE(demo.start());
  BridgeProcess& bridge = demo.bridge();
  SseStream events;
  ASSERT_TRUE(events.open(bridge.port(), "smith", 0));
  // Without "tool_name" the tool is announced as "tool".
  HookRequest hook;
  ASSERT_TRUE(hook.send(bridge.port(), Json{{"npc", "smith"}, {"tool_input", {{"command", "ls"}}}}));
  std::optional<HttpResponse> decided = hook.answer();
  ASSERT_TRUE(decided);
  EXPECT_EQ(decided->status, 200);
  EXPECT_EQ(decided->json(), decision("deny", "Nobody answered in time."));
  std::optional<Json> request = wait_for_event(events, "permission_request", {{"name", "tool"}});
  ASSERT_TRUE(request);
  EXPECT_TRUE(wait_for_event(events, "permission_answered",
                             {{"request_id", (*request)["request_id"]}, {"allow", false},
                              {"reason", "timeout"}}));

  // Bodies that are no tool request at all still get a decision.
  for (const char* body : {"[1,2]", "not json", "", "{\"npc\":7,\"tool_name\":null}"}) {
    HookRequest odd;
    ASSERT_TRUE(odd.send_text(bridge.port(), body));
    decided = odd.answer();
    ASSERT_TRUE(decided) << body;
    EXPECT_EQ(decided->status, 200) << body;
    EXPECT_EQ(decided->json(), decision("deny", "Nobody answered in time.")) << body;
  }
  EXPECT_TRUE(bridge.running());
}

INSTANTIATE_TEST_SUITE_P(ZeroOrUnusable, PermissionTimeout, testing::Values("0", "-1", "nan", "-inf"));

TEST(Approvals, AnEndlessTimeOutWaitsForThePlayer) {
  DemoBridge demo({"--permission-policy", "ask", "--permission-timeout", "inf"});
  ASSERT_TRUE(demo.start());
  BridgeProcess& bridge = demo.bridge();
  SseStream events;
  ASSERT_TRUE(events.open(bridge.port(), "smith", 0));
  HookRequest hook;
  ASSERT_TRUE(hook.send(bridge.port(), Json{{"npc", "smith"}, {"tool_name", "Bash"},
                                            {"tool_input", {{"command", "ls"}}}}));
  std::optional<Json> request = wait_for_event(events, "permission_request");
  ASSERT_TRUE(request);
  EXPECT_EQ(answer(bridge.port(), "smith",
                   {{"request_id", (*request)["request_id"]}, {"allow", true}, {"reason", "yes"}}),
            ACCEPTED);
  std::optional<HttpResponse> decided = hook.answer();
  ASSERT_TRUE(decided);
  EXPECT_EQ(decided->json(), decision("allow", "yes"));
}

TEST(Approvals, StoppingTheAgentEndsTheWaitingRequests) {
  DemoBridge demo({"--permission-policy", "ask"});
  ASSERT_TRUE(demo.start());
  BridgeProcess& bridge = demo.bridge();
  SseStream events;
  ASSERT_TRUE(events.open(bridge.port(), "smith", 0));

  // Interrupt while the agent's own tool use and a second request both wait.
  Json from_agent = ask_for_bash(bridge.port(), events, "smith", "echo stopped").request;
  ASSERT_TRUE(from_agent.is_object());
  HookRequest hook;
  ASSERT_TRUE(hook.send(bridge.port(), Json{{"npc", "smith"}, {"tool_name", "Bash"},
                                            {"tool_input", {{"command", "echo direct"}}}}));
  std::optional<Json> direct = wait_for_event(events, "permission_request", {{"detail", "echo direct"}});
  ASSERT_TRUE(direct);
  std::optional<HttpResponse> stopped = npc_post(bridge.port(), "smith", "interrupt");
  ASSERT_TRUE(stopped);
  EXPECT_EQ(stopped->status, 200);
  std::optional<HttpResponse> decided = hook.answer();
  ASSERT_TRUE(decided);
  EXPECT_EQ(decided->status, 200);
  EXPECT_EQ(decided->json(), decision("deny", "The conversation ended."));
  EXPECT_TRUE(wait_for_event(events, "interrupted"));
  EXPECT_EQ(answer(bridge.port(), "smith", {{"request_id", from_agent["request_id"]}, {"allow", true}}),
            NOT_PENDING);
  EXPECT_EQ(answer(bridge.port(), "smith", {{"request_id", (*direct)["request_id"]}, {"allow", true}}),
            NOT_PENDING);

  // Putting the NPC to sleep ends a request too, also when no agent runs.
  HookRequest second;
  ASSERT_TRUE(second.send(bridge.port(), Json{{"npc", "smith"}, {"tool_name", "Write"},
                                              {"tool_input", {{"file_path", "notes.txt"}}}}));
  std::optional<Json> asked = wait_for_event(events, "permission_request", {{"name", "Write"}});
  ASSERT_TRUE(asked);
  std::optional<HttpResponse> slept = npc_post(bridge.port(), "smith", "sleep");
  ASSERT_TRUE(slept);
  EXPECT_EQ(slept->status, 200);
  decided = second.answer();
  ASSERT_TRUE(decided);
  EXPECT_EQ(decided->json(), decision("deny", "The conversation ended."));

  // Both waits have ended and the stops are done: the NPC is asleep, not asking, and no
  // answer was announced for the ended requests.
  Json row = npc_row(bridge.port(), "smith");
  EXPECT_EQ(as_text(row, "state"), "asleep");
  SseStream replay;
  ASSERT_TRUE(replay.open(bridge.port(), "smith", 0));
  std::optional<Json> last = replay.wait_for([&](const Json& e) { return e["seq"] == row["seq"]; });
  ASSERT_TRUE(last);
  EXPECT_EQ(position(replay.seen(), "permission_answered"), replay.seen().size());
}

TEST(Approvals, TwoRequestsOfOneNpcAreAnsweredSeparately) {
  DemoBridge demo({"--permission-policy", "ask"});
  ASSERT_TRUE(demo.start());
  BridgeProcess& bridge = demo.bridge();
  SseStream events;
  ASSERT_TRUE(events.open(bridge.port(), "smith", 0));
  // A turn that keeps the agent working while the requests wait.
  std::string go = bridge.root() + "/go";
  std::optional<HttpResponse> said = npc_post(bridge.port(), "smith", "say", {{"text", "@wait-file " + go}});
  ASSERT_TRUE(said);
  ASSERT_EQ(said->status, 200);

  HookRequest first;
  HookRequest second;
  ASSERT_TRUE(first.send(bridge.port(), Json{{"npc", "smith"}, {"tool_name", "Bash"},
                                             {"tool_input", {{"command", "echo first"}}}}));
  std::optional<Json> first_asked = wait_for_event(events, "permission_request", {{"detail", "echo first"}});
  ASSERT_TRUE(first_asked);
  ASSERT_TRUE(second.send(bridge.port(), Json{{"npc", "smith"}, {"tool_name", "Bash"},
                                              {"tool_input", {{"command", "echo second"}}}}));
  std::optional<Json> second_asked =
      wait_for_event(events, "permission_request", {{"detail", "echo second"}});
  ASSERT_TRUE(second_asked);
  Json first_id = (*first_asked)["request_id"];
  Json second_id = (*second_asked)["request_id"];
  EXPECT_NE(first_id, second_id);

  // An answer for another NPC, or for an id nobody asked with, decides nothing.
  EXPECT_EQ(answer(bridge.port(), "guard", {{"request_id", first_id}, {"allow", false}}), NOT_PENDING);
  EXPECT_EQ(answer(bridge.port(), "smith", {{"request_id", "000000000000"}, {"allow", true}}),
            NOT_PENDING);
  EXPECT_EQ(answer(bridge.port(), "smith", {{"allow", true}}), NOT_PENDING);

  // The second first; the first keeps waiting and is answered afterwards.
  EXPECT_EQ(answer(bridge.port(), "smith",
                   {{"request_id", second_id}, {"allow", false}, {"reason", "Not that one."}}),
            ACCEPTED);
  std::optional<HttpResponse> decided = second.answer();
  ASSERT_TRUE(decided);
  EXPECT_EQ(decided->json(), decision("deny", "Not that one."));
  EXPECT_EQ(answer(bridge.port(), "smith", {{"request_id", first_id}, {"allow", true}}), ACCEPTED);
  decided = first.answer();
  ASSERT_TRUE(decided);
  EXPECT_EQ(decided->json(), decision("allow", "Approved by the player."));
  EXPECT_TRUE(find_event(events, "permission_answered",
                         {{"request_id", first_id}, {"allow", true}, {"reason", ""}}));
  EXPECT_LT(position(events.seen(), "permission_answered", {{"request_id", second_id}}),
            position(events.seen(), "permission_answered", {{"request_id", first_id}}));
  EXPECT_EQ(answer(bridge.port(), "smith", {{"request_id", first_id}, {"allow", true}}), NOT_PENDING);

  // The agent's turn went on meanwhile and ends normally.
  EXPECT_EQ(as_text(npc_row(bridge.port(), "smith"), "state"), "working");
  std::ofstream(go) << "go";
  EXPECT_TRUE(wait_for_event(events, "state", {{"value", "idle"}}));
}

// A GET of `path`'s JSON body; null when it fails.
Json get(std::uint16_t port, const std::string& path) {
  std::optional<HttpResponse> response = harness::http_request(port, "GET", path);
  return response ? response->json() : Json();
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
  DemoBridge demo({"--permission-policy", "ask"});
  ASSERT_TRUE(demo.start());
  BridgeProcess& bridge = demo.bridge();
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
  std::vector<Json> launches = demo.launches();
  ASSERT_EQ(launches.size(), 2u);
  EXPECT_EQ(harness::launch_flag(launches[0], "--permission-mode"), "acceptEdits");
  EXPECT_TRUE(harness::launch_flag(launches[0], "--settings"));
  EXPECT_FALSE(harness::launch_flag(launches[0], "--resume"));
  EXPECT_EQ(harness::launch_flag(launches[1], "--permission-mode"), "bypassPermissions");
  EXPECT_EQ(harness::launch_flag(launches[1], "--resume"), session);
  EXPECT_FALSE(harness::launch_flag(launches[1], "--settings"));
  EXPECT_TRUE(launches[1]["settings"].is_null());
}

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
  std::vector<std::string> args = where.args;
  args.insert(args.end(), {"--permission-policy", "ask"});
  DemoBridge demo(args, {}, where.port);
  ASSERT_TRUE(demo.start());
  BridgeProcess& bridge = demo.bridge();
  ASSERT_NE(bridge.port(), 0) << "the banner must name the port really listened on";
  std::string port = std::to_string(bridge.port());
  SseStream events;
  ASSERT_TRUE(events.open_target(bridge.port(), "/npc/smith/events?since=0", where.address));

  HttpConnection game;
  ASSERT_TRUE(game.connect(bridge.port(), where.address));
  std::optional<HttpResponse> said =
      game.request("POST", "/npc/smith/say", Json{{"text", R"(@tool Bash {"command":"echo hi"})"}});
  ASSERT_TRUE(said);
  EXPECT_EQ(said->status, 200);
  Json request = events.wait_for_type("permission_request").value_or(Json());
  ASSERT_TRUE(request.is_object());
  EXPECT_EQ(as_text(request, "detail"), "echo hi");
  std::optional<HttpResponse> answered = game.request(
      "POST", "/npc/smith/permission", Json{{"request_id", request["request_id"]}, {"allow", true}});
  ASSERT_TRUE(answered);
  EXPECT_EQ(answered->status, 200);
  Json ended = events.wait_for_type("tool_end").value_or(Json());
  ASSERT_TRUE(ended.is_object());
  EXPECT_EQ(ended["ok"], true);

  std::vector<Json> launches = demo.launches();
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
