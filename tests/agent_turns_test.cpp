// What the game sees of an agent's turns: the reply as deltas, tool uses, results, failures,
// the session report, a permission mode the agent did not honour, an agent that dies, and
// words said while the agent is still busy.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "harness/scenario.h"

namespace {

using namespace std::chrono_literals;
using harness::is_state;
using harness::launch_flag;
using harness::of_type;
using harness::read_until;
using harness::read_until_type;
using harness::SseStream;
using harness::types_of;

constexpr auto WAIT = harness::SCENARIO_WAIT;

// The texts of the "delta" events, in order.
std::vector<std::string> delta_texts(const std::vector<Json>& events) {
  std::vector<std::string> out;
  for (const Json& e : of_type(events, "delta")) out.push_back(as_text(e, "text"));
  return out;
}

std::string joined(const std::vector<std::string>& pieces) {
  std::string out;
  for (const std::string& p : pieces) out += p;
  return out;
}

// Says `text` and reads events until the NPC is "idle" again after working (a launch passes
// through "idle" before the words are written).
std::vector<Json> run_turn(harness::DemoBridge& demo, SseStream& events, const std::string& npc,
                           const std::string& text) {
  bool working = false;
  return harness::say_and_read(demo, events, npc, text, [&](const Json& e) {
    working = working || is_state("working")(e);
    return working && is_state("idle")(e);
  });
}

class AgentTurns : public harness::Scenario {};

TEST_F(AgentTurns, ReplyTextArrivesExactlyOnceThenTheResult) {
  // Deltas completed by their assistant record: nothing repeated.
  std::vector<Json> turn = run_turn(demo, events, "smith", "@deltas Hel|lo\n@full Hello");
  EXPECT_EQ(delta_texts(turn), (std::vector<std::string>{"Hel", "lo"}));
  std::vector<std::string> types = types_of(turn);
  // A launch from "asleep": "idle", then "working" for the words, then the turn's events.
  ASSERT_GE(types.size(), 4u);
  EXPECT_EQ(types[0], "state");
  EXPECT_EQ(turn[0]["value"], "idle");
  EXPECT_EQ(types[1], "state");
  EXPECT_EQ(turn[1]["value"], "working");
  // "said" is pushed once the words are written, so the agent's first records may overtake it.
  std::vector<Json> said = of_type(turn, "said");
  ASSERT_EQ(said.size(), 1u);
  EXPECT_EQ(said[0]["text"], "@deltas Hel|lo\n@full Hello");
  auto end = std::find(types.begin(), types.end(), "message_end");
  auto result = std::find(types.begin(), types.end(), "result");
  ASSERT_NE(end, types.end());
  ASSERT_NE(result, types.end());
  EXPECT_LT(end, result);
  Json first_result = turn[static_cast<std::size_t>(result - types.begin())];
  EXPECT_EQ(first_result["text"], "Hello");
  EXPECT_EQ(first_result["turns"], 1);
  EXPECT_EQ(first_result["tools"], 0u);
  EXPECT_TRUE(first_result["cost"].is_number());
  EXPECT_GT(first_result["cost"].get<double>(), 0.0);
  EXPECT_TRUE(first_result["duration_ms"].is_number());
  for (const char* key : {"input_tokens", "output_tokens", "cache_write_tokens"}) {
    EXPECT_GT(first_result[key].get<double>(), 0.0) << key;
  }
  EXPECT_EQ(first_result["cache_read_tokens"], 0);

  // An assistant record without deltas: its whole text as one delta.
  turn = run_turn(demo, events, "smith", "@full Hello there");
  EXPECT_EQ(delta_texts(turn), (std::vector<std::string>{"Hello there"}));
  EXPECT_EQ(of_type(turn, "message_end").size(), 1u);

  // Deltas that disagree with the record: the record's text is sent whole.
  turn = run_turn(demo, events, "smith", "@deltas abc\n@full xyz");
  EXPECT_EQ(delta_texts(turn), (std::vector<std::string>{"abc", "xyz"}));

  // A streamed reply: the deltas add up to the reply.
  turn = run_turn(demo, events, "smith", "@reply Good day to you, traveller!");
  EXPECT_GT(delta_texts(turn).size(), 1u);
  EXPECT_EQ(joined(delta_texts(turn)), "Good day to you, traveller!");
  std::vector<Json> results = of_type(turn, "result");
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0]["text"], "Good day to you, traveller!");
  // The cost is the session's running total as the agent reports it.
  EXPECT_GT(results[0]["cost"].get<double>(), first_result["cost"].get<double>());
  EXPECT_GT(results[0]["cache_read_tokens"].get<double>(), 0.0);
  // One process served all four turns.
  EXPECT_EQ(demo.launches().size(), 1u);
}

TEST_F(AgentTurns, ToolUsesBecomeToolStartAndToolEnd) {
  std::string workspace = demo.bridge().workspace();
  std::filesystem::create_directories(workspace + "/notes");
  std::ofstream(workspace + "/notes/todo.txt") << "buy nails";

  Json read_input = {{"file_path", workspace + "/notes/todo.txt"}};
  Json bash_input = {{"command", "exit 4"}, {"description", "fail on purpose"}};
  std::vector<Json> turn =
      run_turn(demo, events, "smith",
               "@tool Read " + dump_json(read_input) + "\n@tool Bash " + dump_json(bash_input));

  std::vector<Json> starts = of_type(turn, "tool_start");
  std::vector<Json> ends = of_type(turn, "tool_end");
  ASSERT_EQ(starts.size(), 2u);
  ASSERT_EQ(ends.size(), 2u);
  EXPECT_EQ(starts[0]["name"], "Read");
  EXPECT_EQ(starts[0]["category"], "read");
  EXPECT_EQ(starts[0]["detail"], "notes/todo.txt");
  EXPECT_EQ(starts[0]["note"], "");
  EXPECT_FALSE(as_text(starts[0], "id").empty());
  EXPECT_EQ(ends[0]["id"], starts[0]["id"]);
  EXPECT_EQ(ends[0]["ok"], true);
  EXPECT_EQ(ends[0]["output"], "buy nails");

  EXPECT_EQ(starts[1]["name"], "Bash");
  EXPECT_EQ(starts[1]["category"], "exec");
  EXPECT_EQ(starts[1]["detail"], "exit 4");
  EXPECT_EQ(starts[1]["note"], "fail on purpose");
  EXPECT_EQ(ends[1]["id"], starts[1]["id"]);
  EXPECT_EQ(ends[1]["ok"], false);
  EXPECT_EQ(ends[1]["output"], "Exit code 4");

  // Each tool_end follows its tool_start.
  std::vector<std::string> types = types_of(turn);
  std::vector<std::string> tool_order;
  for (const std::string& t : types) {
    if (t == "tool_start" || t == "tool_end") tool_order.push_back(t);
  }
  EXPECT_EQ(tool_order,
            (std::vector<std::string>{"tool_start", "tool_end", "tool_start", "tool_end"}));

  std::vector<Json> results = of_type(turn, "result");
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0]["tools"], 2u);
  EXPECT_EQ(results[0]["turns"], 3);
  EXPECT_EQ(results[0]["text"], "Bash failed: Exit code 4");
}

TEST_F(AgentTurns, FailedTurnsBecomeErrorsAndTheNpcStaysAwake) {
  struct Case {
    std::string script;
    std::string message;
  };
  for (const Case& c : {Case{"@fail Out of ideas", "Out of ideas"},
                        Case{"@fail-errors A|B", "A; B"},
                        Case{"@api-error API Error: 529 Overloaded", "API Error: 529 Overloaded"}}) {
    SCOPED_TRACE(c.script);
    std::vector<Json> turn = run_turn(demo, events, "smith", c.script);
    std::vector<Json> errors = of_type(turn, "error");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0]["message"], c.message);
    EXPECT_TRUE(of_type(turn, "result").empty());
    // The API error is the agent's failure, not the NPC speaking.
    EXPECT_TRUE(of_type(turn, "delta").empty());
    EXPECT_TRUE(of_type(turn, "message_end").empty());
  }
  // A failed turn leaves the agent running.
  EXPECT_EQ(demo.launches().size(), 1u);
  EXPECT_TRUE(harness::process_alive(harness::launch_pid(demo.launches()[0])));
}

TEST_F(AgentTurns, SessionReportsAndIgnoredRecords) {
  ASSERT_EQ(demo.post("/npc/smith/model", {{"model", "opus"}})->status, 200);

  std::vector<Json> turn = run_turn(demo, events, "smith", "@reply hello there, smith");
  std::vector<Json> sessions = of_type(turn, "session");
  ASSERT_EQ(sessions.size(), 1u);
  std::string session_id = as_text(sessions[0], "session_id");
  EXPECT_FALSE(session_id.empty());
  EXPECT_EQ(sessions[0]["model"], "opus");
  EXPECT_EQ(sessions[0]["resolved"], "opus");
  EXPECT_EQ(sessions[0]["resumed"], false);
  for (const char* key : {"messages", "bytes"}) {
    EXPECT_TRUE(sessions[0][key].is_number_unsigned()) << key;
  }
  for (const char* key : {"label", "started"}) EXPECT_TRUE(sessions[0][key].is_string()) << key;
  EXPECT_TRUE(of_type(turn, "policy_downgraded").empty());

  // The second turn's report describes the transcript of the first.
  turn = run_turn(demo, events, "smith", "@reply again");
  sessions = of_type(turn, "session");
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(sessions[0]["session_id"], session_id);
  EXPECT_GE(sessions[0]["messages"].get<std::uint64_t>(), 2u);
  EXPECT_GT(sessions[0]["bytes"].get<std::uint64_t>(), 0u);
  EXPECT_EQ(sessions[0]["label"], "@reply hello there, smith");
  EXPECT_FALSE(as_text(sessions[0], "started").empty());

  // An agent that runs in another mode than the policy asked for.
  turn = run_turn(demo, events, "smith", "@mode plan\n@reply planning");
  std::vector<Json> downgraded = of_type(turn, "policy_downgraded");
  ASSERT_EQ(downgraded.size(), 1u);
  EXPECT_EQ(downgraded[0]["wanted"], "auto");
  EXPECT_EQ(downgraded[0]["actual"], "plan");
  EXPECT_EQ(downgraded[0]["policy"], "auto");
  EXPECT_EQ(downgraded[0]["model"], "opus");

  // A sub-agent's records are not the NPC's: no delta, message or tool event of theirs.
  turn = run_turn(demo, events, "smith", "@subagent\n@reply mine");
  EXPECT_EQ(joined(delta_texts(turn)), "mine");
  EXPECT_EQ(of_type(turn, "message_end").size(), 1u);
  EXPECT_TRUE(of_type(turn, "tool_start").empty());
  EXPECT_TRUE(of_type(turn, "tool_end").empty());
}

TEST_F(AgentTurns, AnAgentThatExitsReportsWhyAndFallsAsleep) {
  struct Case {
    std::string npc;
    std::string script;
    std::string message;
  };
  std::size_t launched = 0;
  for (const Case& c : {Case{"talker", "@stderr boom\n@exit 3", "boom"},
                        Case{"quiet", "@exit 3", "exit code 3"}}) {
    SCOPED_TRACE(c.npc);
    SseStream events;
    ASSERT_TRUE(harness::open_events(events, demo.port(), c.npc));
    auto response = demo.say(c.npc, c.script);
    ASSERT_TRUE(response && response->status == 200);
    auto turn = read_until(events, is_state("asleep"), WAIT);
    ASSERT_TRUE(turn);
    std::vector<Json> errors = of_type(*turn, "error");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0]["message"], c.message);
    EXPECT_TRUE(of_type(*turn, "result").empty());

    auto launches = demo.wait_for_launches(++launched);
    ASSERT_EQ(launches.size(), launched);
    EXPECT_FALSE(harness::process_alive(harness::launch_pid(launches.back())));
    // The bridge collected its child.
    EXPECT_TRUE(harness::zombie_children(demo.bridge().pid()).empty());
  }

  // The next words start a new agent.
  SseStream events;
  ASSERT_TRUE(harness::open_events(events, demo.port(), "quiet"));
  std::vector<Json> turn = run_turn(demo, events, "quiet", "@reply back again");
  EXPECT_EQ(of_type(turn, "result").size(), 1u);
  EXPECT_EQ(demo.launches().size(), 3u);

  // A later agent of the same NPC that dies silently is not blamed with its predecessor's
  // last words.
  SseStream talker;
  ASSERT_TRUE(harness::open_events(talker, demo.port(), "talker"));
  auto response = demo.say("talker", "@exit 4");
  ASSERT_TRUE(response && response->status == 200);
  auto error = talker.wait_for_type("error", WAIT);
  ASSERT_TRUE(error);
  EXPECT_EQ((*error)["message"], "exit code 4");
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
  demo.release("go");

  auto rest = read_until(
      events, [](const Json& e) { return as_text(e, "type") == "model" && e["pending"] == false; },
      WAIT);
  ASSERT_TRUE(rest);
  std::vector<Json> results = of_type(*rest, "result");
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0]["text"], "first");
  EXPECT_EQ(results[1]["text"], "second");
  // Working from the first word to the last result; then idle, and only then the model change.
  std::vector<std::string> after_last_result;
  bool past = false;
  for (const Json& e : *rest) {
    if (e == results[1]) {
      past = true;
      continue;
    }
    std::string type = as_text(e, "type");
    if (!past) {
      EXPECT_FALSE(type == "state") << e;
      EXPECT_FALSE(type == "model" && e["pending"] == false) << e;
    } else if (type == "state" || type == "model") {
      after_last_result.push_back(type + ":" + (type == "state" ? as_text(e, "value") : ""));
    }
  }
  EXPECT_EQ(after_last_result, (std::vector<std::string>{"state:idle", "state:asleep", "model:"}));
  EXPECT_EQ(rest->back()["model"], "haiku");
  EXPECT_EQ(rest->back()["current"], "haiku");
  EXPECT_EQ(rest->back()["resolved"], "");

  run_turn(demo, events, "smith", "@reply third");
  auto launches = demo.wait_for_launches(2);
  ASSERT_EQ(launches.size(), 2u);
  EXPECT_EQ(launch_flag(launches[1], "--model"), "haiku");
  EXPECT_FALSE(harness::process_alive(harness::launch_pid(launches[0])));
}

TEST(RememberedSession, WithoutTranscriptStartsANewConversation) {
  harness::DemoBridge demo;
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
  ASSERT_TRUE(harness::open_events(events, demo.port(), "smith"));

  std::vector<Json> turn = run_turn(demo, events, "smith", "@reply hello");
  EXPECT_TRUE(of_type(turn, "error").empty());
  ASSERT_EQ(of_type(turn, "result").size(), 1u);
  std::vector<Json> sessions = of_type(turn, "session");
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_NE(sessions[0]["session_id"], lost);

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
