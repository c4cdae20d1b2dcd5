// What the game does to a running agent: interrupt it, put it to sleep, change its model,
// folder or conversation; that every stopped agent is really gone; and that an NPC stays who
// it is when its conversation goes on in a new process.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "harness/scenario.h"

namespace {

using namespace harness;

constexpr auto WAIT = SCENARIO_WAIT;

class AgentControl : public Scenario {
 protected:
  // Says "@session", whose reply is the agent's session id; the turn's events.
  std::vector<Json> session_turn() {
    std::vector<Json> turn = say_and_read(demo, events, "smith", "@session");
    EXPECT_TRUE(of_type(turn, "error").empty()) << "a stopped agent's end is no error";
    return turn;
  }
  // Waits for the `count`th launch and returns it.
  Json launch(std::size_t count) {
    std::vector<Json> launches = demo.wait_for_launches(count);
    EXPECT_EQ(launches.size(), count);
    return launches.size() == count ? launches.back() : Json::object();
  }
  // The agent of that launch was stopped and collected.
  void expect_gone(const Json& launched) {
    EXPECT_FALSE(process_alive(launch_pid(launched)));
    EXPECT_TRUE(zombie_children(demo.bridge().pid()).empty());
  }
  // POSTs `body` to /npc/smith/ACTION, expecting `status` and `answer`.
  void expect_post(const std::string& action, const Json& body, int status, const Json& answer) {
    auto response = demo.post("/npc/smith/" + action, body);
    ASSERT_TRUE(response) << action;
    EXPECT_EQ(response->status, status) << action;
    EXPECT_EQ(response->json(), answer) << action;
  }
  // Reads through the next event of `type` and checks it has `fields`; the events read.
  std::vector<Json> expect_next(const std::string& type, const Json& fields) {
    auto read = read_until_type(events, type, WAIT);
    EXPECT_TRUE(read && is_event(read->back(), type, fields)) << type << " " << fields;
    return read.value_or(std::vector<Json>{});
  }
};

TEST_F(AgentControl, StopsAndChangesKeepOrForgetTheConversation) {
  std::string session = session_of(session_turn());
  ASSERT_FALSE(session.empty());

  // An interrupt while a turn is held open: the NPC falls asleep with no error.
  ASSERT_EQ(demo.say("smith", "@wait-file " + demo.hold_path("never"))->status, 200);
  ASSERT_TRUE(events.wait_for_type("session", WAIT));  // its start is all in ("said" came first)
  expect_post("interrupt", Json::object(), 200, {{"ok", true}});
  auto stopped = read_until(events, is_state("asleep"), WAIT);
  ASSERT_TRUE(stopped);
  std::vector<std::string> types = types_of(*stopped);
  std::erase(types, "usage");
  auto interrupted = std::find(types.begin(), types.end(), "interrupted");
  EXPECT_EQ(std::vector<std::string>(interrupted, types.end()),
            (std::vector<std::string>{"interrupted", "state"}));
  EXPECT_TRUE(of_type(*stopped, "error").empty());
  expect_gone(launch(1));
  // The same conversation goes on in a new process; so after a sleep.
  EXPECT_EQ(session_of(session_turn()), session);
  EXPECT_EQ(launch_flag(launch(2), "--resume"), session);
  expect_post("sleep", Json::object(), 200, {{"ok", true}});
  expect_gone(launch(2));
  EXPECT_EQ(session_of(session_turn()), session);
  EXPECT_EQ(launch_flag(launch(3), "--resume"), session);

  // A model for an idle agent stops it before the answer (the pending case: AgentTurns).
  ASSERT_TRUE(events.wait_for(is_state("idle"), WAIT));
  expect_post("model", {{"model", "  haiku "}}, 200,
              {{"ok", true}, {"model", "haiku"}, {"pending", false}});
  expect_gone(launch(3));
  std::vector<Json> changed = expect_next("model", {{"model", "haiku"}, {"pending", false}});
  ASSERT_EQ(of_type(changed, "state").size(), 1u);
  EXPECT_EQ(of_type(changed, "state")[0]["value"], "asleep");
  std::vector<Json> turn = session_turn();
  EXPECT_TRUE(is_event(of_type(turn, "session").at(0), "session",
                       {{"session_id", session}, {"resolved", "haiku"}}));
  EXPECT_EQ(launch_flag(launch(4), "--model"), "haiku");

  // A missing folder changes nothing; a new one stops the agent and forgets the conversation.
  std::string forge = demo.scratch() + "/forge";
  ASSERT_TRUE(std::filesystem::create_directory(forge));
  expect_post("workspace", {{"workspace", forge + "/nope"}}, 400,
              {{"error", "no such directory: " + forge + "/nope"}});
  EXPECT_TRUE(process_alive(launch_pid(launch(4))));
  expect_post("workspace", {{"workspace", forge}}, 200,
              {{"ok", true}, {"workspace", forge}, {"model", "haiku"}, {"is_default", false}});
  expect_gone(launch(4));
  std::vector<Json> moved = expect_next("workspace", {{"workspace", forge}, {"is_default", false}});
  EXPECT_LT(position(moved, "state", {{"value", "asleep"}}), moved.size());
  std::string second = session_of(session_turn());
  EXPECT_NE(second, session);
  EXPECT_EQ(as_text(launch(5), "cwd"), forge);
  EXPECT_FALSE(launch_flag(launch(5), "--resume"));
  // The same folder again keeps the agent running.
  ASSERT_EQ(demo.post("/npc/smith/workspace", {{"workspace", forge}})->status, 200);
  EXPECT_TRUE(process_alive(launch_pid(launch(5))));

  // A new conversation, then back to the first one.
  auto fresh = demo.post("/npc/smith/new_session");
  ASSERT_TRUE(fresh && fresh->status == 200);
  EXPECT_EQ(fresh->json()["previous"]["session_id"], second);
  EXPECT_GE(fresh->json()["previous"]["messages"].get<std::uint64_t>(), 2u);
  expect_next("session", {{"session_id", ""}, {"resumed", false}});
  std::string third = session_of(session_turn());
  EXPECT_NE(third, second);
  EXPECT_FALSE(launch_flag(launch(6), "--resume"));
  expect_post("session", {{"session_id", second}}, 200, {{"ok", true}, {"error", ""}});
  expect_gone(launch(6));
  auto announced = expect_next("session", {{"session_id", second}, {"resumed", true}});
  EXPECT_GE(announced.back()["messages"].get<std::uint64_t>(), 2u);
  EXPECT_EQ(session_of(session_turn()), second);
  EXPECT_EQ(launch_flag(launch(7), "--resume"), second);

  // Another NPC may not take a session in use, nor one that never existed; a free one it may.
  struct Case {
    std::string id;
    int status;
    Json body;
  };
  for (const Case& c :
       {Case{second, 409, {{"ok", false}, {"error", "smith is using that session"}}},
        Case{"no-such-session", 409, {{"ok", false}, {"error", "no transcript with that id"}}},
        Case{third, 200, {{"ok", true}, {"error", ""}}}}) {
    auto taken = demo.post("/npc/bob/session", {{"session_id", c.id}});
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->status, c.status) << c.id;
    EXPECT_EQ(taken->json(), c.body) << c.id;
  }

  // Back to the default folder through the bind alias: the resumed conversation is forgotten,
  // and "resumed" with it.
  auto back = demo.post("/npc/smith/bind", {{"workspace", ""}});
  ASSERT_TRUE(back && back->status == 200);
  EXPECT_EQ(back->json()["workspace"], demo.bridge().workspace());
  EXPECT_EQ(back->json()["is_default"], true);
  expect_gone(launch(7));
  turn = session_turn();
  EXPECT_TRUE(is_event(of_type(turn, "session").at(0), "session", {{"resumed", false}}));
  EXPECT_NE(session_of(turn), second);
  EXPECT_EQ(as_text(launch(8), "cwd"), demo.bridge().workspace());
  EXPECT_FALSE(launch_flag(launch(8), "--resume"));
}

TEST(AgentCharacter, ADemoNpcStaysInCharacterAcrossASleepAndARestart) {
  // Demo mode: the NPC answers in character.
  DemoBridge demo({}, {{"QUILLHAVEN_DEMO_SCRIPTED", std::nullopt}});
  ASSERT_TRUE(demo.start());
  const std::string persona = "You are Brom, the village smith of Quillhaven. You speak gruffly.";
  ASSERT_EQ(demo.post("/npc/brom/bind", {{"persona", persona}})->status, 200);

  // The first answer of every agent process begins with who it is; the smith greets from his
  // forge, where the innkeeper would welcome to his inn.
  auto expect_in_character = [&] {
    SseStream events;
    ASSERT_TRUE(open_events(events, demo.port(), "brom"));
    std::vector<Json> turn = say_and_read(demo, events, "brom", "Hello there!");
    std::string answer = turn.empty() ? "" : as_text(turn.back(), "text");
    EXPECT_EQ(answer.rfind("*Brom looks up.* ", 0), 0u) << answer;
    EXPECT_TRUE(answer.find("forge") != std::string::npos ||
                answer.find("sparks") != std::string::npos)
        << answer;
  };
  expect_in_character();
  ASSERT_EQ(demo.post("/npc/brom/sleep")->status, 200);
  expect_in_character();
  demo.bridge().close_stdin();
  ASSERT_EQ(demo.bridge().wait_for_exit(WAIT), 0);
  ASSERT_TRUE(demo.start());
  expect_in_character();
  // The persona came with the first launch only; the others resumed its conversation.
  EXPECT_FALSE(launch_flag(demo.launches().back(), "--append-system-prompt"));
  EXPECT_TRUE(launch_flag(demo.launches().back(), "--resume"));
}

}  // namespace
