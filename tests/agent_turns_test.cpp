// What the game sees of an agent's turns: the reply as deltas, tool uses, results, failures,
// the session report, a permission mode the agent did not honour, an agent that dies, and
// words said while the agent is still busy.

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "harness/scenario.h"

namespace {

using namespace harness;

constexpr auto WAIT = SCENARIO_WAIT;

// The texts of the "delta" events, in order.
std::vector<std::string> delta_texts(const std::vector<Json>& events) {
  std::vector<std::string> out;
  for (const Json& e : of_type(events, "delta")) out.push_back(as_text(e, "text"));
  return out;
}

// Says `text` and reads events until the NPC is "idle" again after working (a launch passes
// through "idle" before the words are written).
std::vector<Json> run_turn(DemoBridge& demo, SseStream& events, const std::string& npc,
                           const std::string& text) {
  bool working = false;
  return say_and_read(demo, events, npc, text, [&](const Json& e) {
    working = working || is_state("working")(e);
    return working && is_state("idle")(e);
  });
}

class AgentTurns : public Scenario {};

TEST_F(AgentTurns, RepliesToolsFailuresSessionReportsAndTheAgentsEnd) {
  ASSERT_EQ(demo.post("/npc/smith/model", {{"model", "opus"}})->status, 200);

  // Deltas completed by their assistant record: nothing repeated. A launch from "asleep":
  // "idle", then "working" for the words, then the turn's events.
  std::vector<Json> turn = run_turn(demo, events, "smith", "@deltas Hel|lo\n@full Hello");
  EXPECT_EQ(delta_texts(turn), (std::vector<std::string>{"Hel", "lo"}));
  std::vector<Json> states = of_type(turn, "state");
  ASSERT_GE(states.size(), 2u);
  EXPECT_TRUE(is_state("idle")(states[0]));
  EXPECT_TRUE(is_state("working")(states[1]));
  // "said" is pushed once the words are written, so the agent's first records may overtake it.
  EXPECT_EQ(of_type(turn, "said").at(0)["text"], "@deltas Hel|lo\n@full Hello");
  EXPECT_LT(position(turn, "message_end"), position(turn, "result"));
  Json result = of_type(turn, "result").at(0);
  EXPECT_TRUE(is_event(result, "result", {{"text", "Hello"}, {"turns", 1}, {"tools", 0}}));
  for (const char* key : {"cost", "input_tokens", "output_tokens", "duration_ms"}) {
    EXPECT_TRUE(result[key].is_number()) << key;
  }
  std::string session = session_of(turn);
  EXPECT_FALSE(session.empty());
  EXPECT_TRUE(is_event(of_type(turn, "session").at(0), "session",
                       {{"model", "opus"}, {"resolved", "opus"}, {"resumed", false}}));

  // Tools the agent uses, each "tool_end" after its "tool_start"; the second turn's session
  // report describes the transcript of the first.
  std::string todo = demo.bridge().workspace() + "/todo.txt";
  std::ofstream(todo) << "buy nails";
  Json bash_input = {{"command", "exit 4"}, {"description", "fail on purpose"}};
  turn = run_turn(demo, events, "smith",
                  "@tool Read " + dump_json(Json{{"file_path", todo}}) + "\n@tool Bash " +
                      dump_json(bash_input));
  std::vector<Json> starts = of_type(turn, "tool_start");
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_TRUE(is_event(
      starts[1], "tool_start",
      {{"name", "Bash"}, {"category", "exec"}, {"detail", "exit 4"}, {"note", "fail on purpose"}}));
  EXPECT_EQ(of_type(turn, "tool_end").size(), 2u);
  EXPECT_LT(
      position(turn, "tool_end", {{"id", starts[0]["id"]}, {"ok", true}, {"output", "buy nails"}}),
      position(turn, "tool_start", {{"id", starts[1]["id"]}}));
  EXPECT_LT(position(turn, "tool_start", {{"id", starts[1]["id"]}}),
            position(turn, "tool_end",
                     {{"id", starts[1]["id"]}, {"ok", false}, {"output", "Exit code 4"}}));
  EXPECT_TRUE(is_event(of_type(turn, "result").at(0), "result",
                       {{"tools", 2}, {"turns", 3}, {"text", "Bash failed: Exit code 4"}}));
  Json report = of_type(turn, "session").at(0);
  EXPECT_TRUE(is_event(report, "session",
                       {{"session_id", session}, {"label", "@deltas Hel|lo @full Hello"}}))
      << report;
  EXPECT_GE(report["messages"].get<std::uint64_t>(), 2u);
  EXPECT_GT(report["bytes"].get<std::uint64_t>(), 0u);

  // Failed turns are errors, not the NPC speaking; the agent keeps running. An agent in another
  // mode than the policy asked for is reported; a sub-agent's records are not the NPC's.
  for (const auto& [script, message] : std::vector<std::pair<std::string, std::string>>{
           {"@fail-errors A|B", "A; B"},
           {"@api-error API Error: 529 Overloaded", "API Error: 529 Overloaded"}}) {
    turn = run_turn(demo, events, "smith", script);
    ASSERT_EQ(of_type(turn, "error").size(), 1u) << script;
    EXPECT_EQ(of_type(turn, "error")[0]["message"], message);
    EXPECT_EQ(position(turn, "result"), turn.size()) << script;
    EXPECT_EQ(position(turn, "delta"), turn.size()) << script;
  }
  turn = run_turn(demo, events, "smith", "@mode plan\n@subagent\n@reply mine");
  ASSERT_EQ(of_type(turn, "policy_downgraded").size(), 1u);
  EXPECT_TRUE(
      is_event(of_type(turn, "policy_downgraded")[0], "policy_downgraded",
               {{"wanted", "auto"}, {"actual", "plan"}, {"policy", "auto"}, {"model", "opus"}}));
  EXPECT_EQ(delta_texts(turn), (std::vector<std::string>{"mine"}));
  EXPECT_EQ(position(turn, "tool_start"), turn.size());
  // The cost is the session's running total as the agent reports it; one process served all.
  EXPECT_GT(of_type(turn, "result").at(0)["cost"].get<double>(), result["cost"].get<double>());
  EXPECT_EQ(demo.launches().size(), 1u);

  // An agent that exits is reported with its last standard-error line, else its exit code (a
  // later agent is not blamed with its predecessor's words); the bridge collects it.
  for (const auto& [script, message] : std::vector<std::pair<std::string, std::string>>{
           {"@stderr boom\n@exit 3", "boom"}, {"@exit 3", "exit code 3"}}) {
    turn = say_and_read(demo, events, "smith", script, is_state("asleep"));
    ASSERT_EQ(of_type(turn, "error").size(), 1u) << script;
    EXPECT_EQ(of_type(turn, "error")[0]["message"], message);
    EXPECT_EQ(position(turn, "result"), turn.size()) << script;
    EXPECT_FALSE(process_alive(launch_pid(demo.launches().back())));
    EXPECT_TRUE(zombie_children(demo.bridge().pid()).empty());
  }
  // The next words start a new agent.
  EXPECT_EQ(of_type(run_turn(demo, events, "smith", "@reply back"), "result").size(), 1u);
  EXPECT_EQ(demo.launches().size(), 3u);
}

TEST_F(AgentTurns, WordsSaidDuringATurnGetTheirOwnReplyBeforeTheNpcIsIdle) {
  auto first = demo.say("smith", "@wait-file " + demo.hold_path("go") + "\n@reply first");
  ASSERT_TRUE(first && first->status == 200);
  ASSERT_TRUE(events.wait_for_type("said", WAIT));
  auto second = demo.say("smith", "@reply second");
  ASSERT_TRUE(second && second->status == 200);
  EXPECT_EQ(second->json()["state"], "working");
  // A model asked for meanwhile waits for the last of the two replies.
  auto model = demo.post("/npc/smith/model", {{"model", "haiku"}});
  ASSERT_TRUE(model);
  EXPECT_EQ(model->json(), Json({{"ok", true}, {"model", "haiku"}, {"pending", true}}));
  auto pending = events.wait_for_type("model", WAIT);
  ASSERT_TRUE(pending);
  EXPECT_TRUE(
      is_event(*pending, "model", {{"model", "haiku"}, {"pending", true}, {"current", ""}}));
  EXPECT_TRUE(process_alive(launch_pid(demo.wait_for_launches(1).at(0))));
  demo.release("go");

  auto rest = read_until(
      events,
      [](const Json& e) {
        return is_event(e, "model", {{"pending", false}});
      },
      WAIT);
  ASSERT_TRUE(rest);
  std::vector<Json> results = of_type(*rest, "result");
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0]["text"], "first");
  EXPECT_EQ(results[1]["text"], "second");
  // Working from the first word to the last result; then idle, asleep, and the model change.
  std::vector<std::string> changes;
  for (const Json& e : *rest) {
    std::string type = as_text(e, "type");
    if (type == "result") changes.push_back(type);
    if (type == "state") changes.push_back(as_text(e, "value"));
    if (type == "model") changes.push_back(type);
  }
  EXPECT_EQ(changes, (std::vector<std::string>{"result", "result", "idle", "asleep", "model"}));
  EXPECT_EQ(rest->back(), Json({{"seq", rest->back()["seq"]},
                                {"type", "model"},
                                {"npc", "smith"},
                                {"model", "haiku"},
                                {"pending", false},
                                {"current", "haiku"},
                                {"resolved", ""}}));

  run_turn(demo, events, "smith", "@reply third");
  auto launches = demo.wait_for_launches(2);
  ASSERT_EQ(launches.size(), 2u);
  EXPECT_EQ(launch_flag(launches[1], "--model"), "haiku");
  EXPECT_FALSE(process_alive(launch_pid(launches[0])));
}

TEST(RememberedSession, WithoutTranscriptStartsANewConversation) {
  DemoBridge demo;
  const std::string lost = "0b5e7a1c-0000-4000-8000-00000000dead";
  Json remembered = {{"smith",
                      {{"model", ""},
                       {"persona", "You are Brom."},
                       {"session_id", lost},
                       {"workspace", demo.bridge().workspace()},
                       {"workspace_source", "default"}}}};
  std::ofstream(demo.bridge().state_file()) << dump_json_indented(remembered);
  ASSERT_TRUE(demo.start());
  SseStream events;
  ASSERT_TRUE(open_events(events, demo.port(), "smith"));

  std::vector<Json> turn = run_turn(demo, events, "smith", "@reply hello");
  EXPECT_TRUE(of_type(turn, "error").empty());
  EXPECT_EQ(of_type(turn, "result").size(), 1u);
  EXPECT_NE(session_of(turn), lost);
  auto launches = demo.wait_for_launches(1);
  ASSERT_EQ(launches.size(), 1u);
  EXPECT_FALSE(launch_flag(launches[0], "--resume"));
  EXPECT_TRUE(launch_flag(launches[0], "--append-system-prompt"));
  // Standard error is read apart from the stream: wait for the line before counting.
  std::string dropped = "npc=smith session " + lost + " has no transcript";
  EXPECT_TRUE(demo.bridge().wait_for_log(dropped));
  EXPECT_EQ(demo.bridge().count_log(dropped), 1u);
}

}  // namespace
