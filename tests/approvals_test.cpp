// Tool uses the player approves: from the agent through the hook to the game and back.

#include <filesystem>
#include <regex>

#include "harness/scenario.h"

namespace {

using namespace harness;

// A tool use put to the player: its "permission_request" (null if none) and the agent's id of it.
struct ToolUse {
  Json request;
  Json tool_id;
};

// Makes the agent use Bash for `command`; waits for the request and the tool_start, in any order.
ToolUse ask_for_bash(DemoBridge& demo, SseStream& events, const std::string& npc,
                     const std::string& command) {
  demo.say(npc, "@tool Bash " + dump_json(Json{{"command", command}}));
  std::optional<Json> request = wait_for_event(events, "permission_request", {{"detail", command}});
  if (!request) return {};
  auto started = find_event(events, "tool_start", {{"name", "Bash"}, {"detail", command}});
  return started ? ToolUse{*request, (*started)["id"]} : ToolUse{};
}

// What a hook posts for a tool use of `npc`.
Json hook_body(const std::string& command, const std::string& npc = "smith") {
  return {{"npc", npc}, {"tool_name", "Bash"}, {"tool_input", {{"command", command}}}};
}

// POST /npc/ID/permission; the status and body, or 0 and null when nothing came back.
std::pair<int, Json> answer(DemoBridge& demo, const std::string& npc, const Json& body) {
  HttpResponse response = demo.post("/npc/" + npc + "/permission", body).value_or(HttpResponse{});
  return {response.status, response.json()};
}

// The hook's request was answered with 200 and this decision.
void expect_decided(HookRequest& hook, const std::string& word, const std::string& reason) {
  HttpResponse decided = hook.read_response().value_or(HttpResponse{});
  EXPECT_EQ(decided.status, 200);
  EXPECT_EQ(decided.json(), decision(word, reason));
}

const std::pair<int, Json> ACCEPTED = {200, {{"ok", true}}};
const std::pair<int, Json> NOT_PENDING = {409, {{"ok", false}}};

// Under a time-out without end: only the player's answers decide here.
class Approvals : public Scenario {
 protected:
  Approvals() : Scenario({"--permission-policy", "ask", "--permission-timeout", "inf"}) {}
};

// (An allowed tool use and a refusal with a reason as a game sees them: GameReference.)
TEST_F(Approvals, ThePlayersAnswersReachTheAgent) {
  std::string marker = demo.bridge().root() + "/refused-command-ran";
  ToolUse use = ask_for_bash(demo, events, "smith", "touch " + marker);
  ASSERT_TRUE(use.request.is_object());
  Json rid = use.request["request_id"];
  EXPECT_TRUE(std::regex_match(as_text(use.request, "request_id"), std::regex("[0-9a-f]{12}")));
  // The agent writes its tool use before it runs the hook: a reader held up by file work at the
  // start of a turn would let the request overtake it.
  std::size_t asking = position(events.seen(), "state", {{"value", "asking"}});
  EXPECT_LT(position(events.seen(), "tool_start", {{"id", use.tool_id}}), asking);
  EXPECT_LT(asking, position(events.seen(), "permission_request", {{"request_id", rid}}));
  // Words said while the NPC asks: it keeps asking, and the turn's tool count goes on.
  auto said = demo.say("smith", "@reply later");
  ASSERT_TRUE(said && said->status == 200);
  EXPECT_EQ(said->json()["state"], "asking");
  // And a model asked for meanwhile waits for the turn's end, as while it works.
  EXPECT_EQ(demo.post("/npc/smith/model", {{"model", "haiku"}}).value().json()["pending"], true);
  // Refused with a reason: announced as sent, the agent hears it, and the command never runs.
  EXPECT_EQ(answer(demo, "smith", {{"request_id", rid}, {"allow", false}, {"reason", "No."}}),
            ACCEPTED);
  EXPECT_TRUE(find_event(events, "permission_answered",
                         {{"request_id", rid}, {"allow", false}, {"reason", "No."}}));
  EXPECT_TRUE(find_event(
      events, "tool_end",
      {{"id", use.tool_id}, {"ok", false}, {"output", "PreToolUse:Bash hook error: No."}}));
  EXPECT_TRUE(wait_for_event(events, "result", {{"tools", 1}}));
  EXPECT_TRUE(wait_for_event(events, "result", {{"text", "later"}}));
  EXPECT_FALSE(std::filesystem::exists(marker));

  // An NPC id the shell would read as several words and a second command still gets asked;
  // refused without a reason, the agent hears the player's refusal.
  const std::string npc = "o'brien;touch${IFS}x&";
  SseStream odd;
  ASSERT_TRUE(odd.open(demo.port(), npc, 0));
  use = ask_for_bash(demo, odd, npc, "echo hi");
  ASSERT_TRUE(use.request.is_object());
  EXPECT_EQ(answer(demo, npc, {{"request_id", use.request["request_id"]}, {"allow", false}}),
            ACCEPTED);
  EXPECT_TRUE(find_event(odd, "permission_answered", {{"allow", false}, {"reason", ""}}));
  EXPECT_TRUE(find_event(odd, "tool_end",
                         {{"id", use.tool_id},
                          {"ok", false},
                          {"output", "PreToolUse:Bash hook error: The player refused."}}));
  EXPECT_FALSE(std::filesystem::exists(demo.bridge().workspace() + "/x"));
}

// Nobody answers in time: a second, and values that are not a usable number of seconds, which
// refuse at once. Whatever the hook endpoint is sent, it answers with a decision.
class PermissionTimeout : public Scenario, public testing::WithParamInterface<const char*> {
 protected:
  PermissionTimeout()
      : Scenario({"--permission-policy", "ask", "--permission-timeout", GetParam()}) {}
};

TEST_P(PermissionTimeout, NobodyAnsweringInTimeRefuses) {
  ToolUse use = ask_for_bash(demo, events, "smith", "echo late");
  ASSERT_TRUE(use.request.is_object());
  Json rid = use.request["request_id"];
  EXPECT_TRUE(find_event(events, "permission_answered",
                         {{"request_id", rid}, {"allow", false}, {"reason", "timeout"}}));
  ASSERT_TRUE(wait_for_event(events, "state", {{"value", "idle"}}));
  EXPECT_EQ(answer(demo, "smith", {{"request_id", rid}, {"allow", true}}), NOT_PENDING);

  // Without "tool_name" the tool is announced as "tool"; bodies that are no tool request at
  // all. All are sent before any answer is read, so they wait out the time together.
  std::vector<std::string> bodies = {R"({"npc":"smith","tool_input":{"command":"ls"}})", "[1,2]",
                                     "not json", "", R"({"npc":7,"tool_name":null})"};
  std::vector<HookRequest> hooks(bodies.size());
  for (std::size_t i = 0; i < bodies.size(); ++i)
    ASSERT_TRUE(hooks[i].send_text(demo.port(), bodies[i]));
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    SCOPED_TRACE(bodies[i]);
    expect_decided(hooks[i], "deny", "Nobody answered in time.");
  }
  EXPECT_TRUE(wait_for_event(events, "permission_request", {{"name", "tool"}}));
}

INSTANTIATE_TEST_SUITE_P(ASecondZeroOrUnusable, PermissionTimeout,
                         testing::Values("1", "0", "-1", "nan", "-inf"));

// Two tool uses wait at once: each is answered on its own; the NPC asks until both are answered.
TEST_F(Approvals, TwoRequestsOfOneNpcAreAnsweredSeparately) {
  // A turn that keeps the agent working while the requests wait.
  ASSERT_EQ(demo.say("smith", "@wait-file " + demo.hold_path("go"))->status, 200);
  ASSERT_TRUE(wait_for_event(events, "state", {{"value", "working"}}));

  // Sends the hook's request for `command` and waits until it is put to the player; its id.
  auto ask = [&](HookRequest& hook, const std::string& command) {
    EXPECT_TRUE(hook.send(demo.port(), hook_body(command)));
    auto asked = wait_for_event(events, "permission_request", {{"detail", command}});
    return asked.value_or(Json())["request_id"];
  };
  HookRequest first, second;
  Json first_id = ask(first, "echo first");
  Json second_id = ask(second, "echo second");
  ASSERT_TRUE(first_id.is_string() && second_id.is_string());

  // An answer for another NPC decides nothing.
  EXPECT_EQ(answer(demo, "guard", {{"request_id", first_id}, {"allow", false}}), NOT_PENDING);

  // The second first; the first keeps waiting, and the NPC keeps asking.
  EXPECT_EQ(answer(demo, "smith",
                   {{"request_id", second_id}, {"allow", false}, {"reason", "Not that one."}}),
            ACCEPTED);
  expect_decided(second, "deny", "Not that one.");
  ASSERT_TRUE(wait_for_event(events, "permission_answered", {{"request_id", second_id}}));
  EXPECT_EQ(state_of(), "asking");
  EXPECT_EQ(answer(demo, "smith", {{"request_id", first_id}, {"allow", true}}), ACCEPTED);
  expect_decided(first, "allow", "Approved by the player.");
  EXPECT_TRUE(wait_for_event(events, "permission_answered",
                             {{"request_id", first_id}, {"allow", true}, {"reason", ""}}));

  // "asking" once, and back to "working" only once both were answered (that state may come
  // before the answer's announcement); the turn ends normally.
  auto back = [&] { return of_type(events.seen(), "state").back()["value"] == "working"; };
  while (!back() && events.next_event(SCENARIO_WAIT)) {
  }
  ASSERT_TRUE(back());
  std::vector<Json> seen = of_type(events.seen(), "state");
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ(seen[seen.size() - 2]["value"], "asking");
  demo.release("go");
  EXPECT_TRUE(wait_for_event(events, "state", {{"value", "idle"}}));
}

TEST_F(Approvals, APolicyChangeStopsAgentsKeepsTheirSessionsAndTellsEveryNpc) {
  std::uint16_t port = demo.port();
  // A sleep ends a waiting request also when the NPC has no agent.
  SseStream guard;
  ASSERT_TRUE(open_events(guard, port, "guard"));
  HookRequest unattended;
  ASSERT_TRUE(unattended.send(port, hook_body("echo guard", "guard")));
  ASSERT_TRUE(wait_for_event(guard, "permission_request", {{"detail", "echo guard"}}));
  ASSERT_EQ(npc_post(port, "guard", "sleep")->status, 200);
  expect_decided(unattended, "deny", "The conversation ended.");
  EXPECT_EQ(position(guard.seen(), "permission_answered"), guard.seen().size());

  std::string session = session_of(say_and_read(demo, events, "smith", "@session"));
  ASSERT_FALSE(session.empty());
  // A tool use waiting when the policy changes ends like any other stop.
  HookRequest waiting;
  ASSERT_TRUE(waiting.send(port, hook_body("echo hold")));
  ASSERT_TRUE(wait_for_event(events, "permission_request", {{"detail", "echo hold"}}));

  // (Its answers, its log line and the views of it: GameRestarts.)
  ASSERT_EQ(demo.post("/policy", {{"policy", "trust"}})->status, 200);
  expect_decided(waiting, "deny", "The conversation ended.");

  // The agent went to sleep before the news; the NPC without an agent hears it too.
  ASSERT_TRUE(wait_for_event(events, "policy", {{"npc", "smith"}, {"policy", "trust"}}));
  EXPECT_LT(position(events.seen(), "state", {{"value", "asleep"}}), events.seen().size() - 1);
  EXPECT_TRUE(wait_for_event(guard, "policy", {{"policy", "trust"}}));

  // The next words relaunch the agent under the new policy, in the same conversation.
  EXPECT_EQ(session_of(say_and_read(demo, events, "smith", "@session")), session);
  EXPECT_EQ(launch_args(nth_launch(demo, 2)),
            base_agent_args("bypassPermissions", {"--resume", session, "--name", "npc:smith"}));
}

// The hook of an agent of a bridge on "::1" names it in brackets, and reaches it.
TEST(SettingsHook, TheAgentsHookReachesABridgeOnIpv6) {
  if (!ipv6_loopback_available()) GTEST_SKIP() << "no ::1 on this machine";
  DemoBridge demo({"--host", "::1", "--permission-policy", "ask"});
  ASSERT_TRUE(demo.start());
  SseStream events;
  ASSERT_TRUE(events.open_target(demo.port(), "/npc/smith/events?since=0", "::1"));
  HttpConnection game;
  ASSERT_TRUE(game.connect(demo.port(), "::1"));
  Json said = {{"text", R"(@tool Bash {"command":"echo hi"})"}};
  ASSERT_EQ(game.request("POST", "/npc/smith/say", said).value().status, 200);
  EXPECT_TRUE(wait_for_event(events, "permission_request", {{"detail", "echo hi"}}));
  std::string command =
      as_text(demo.launches().at(0)["settings"]["hooks"]["PreToolUse"][0]["hooks"][0], "command");
  EXPECT_TRUE(command.ends_with(" --hook --bridge http://[::1]:" + std::to_string(demo.port()) +
                                " --npc smith"))
      << command;
}

}  // namespace
