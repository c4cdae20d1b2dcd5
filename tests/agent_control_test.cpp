// What the game does to a running agent: interrupt it, put it to sleep, change its model,
// folder or conversation, and quit; that every stopped agent is really gone; and that an NPC
// stays who it is when its conversation goes on in a new process.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "harness/scenario.h"

namespace {

using namespace std::chrono_literals;
using harness::is_state;
using harness::launch_flag;
using harness::launch_pid;
using harness::of_type;
using harness::process_alive;
using harness::read_until;
using harness::read_until_type;
using harness::say_and_read;
using harness::SseStream;
using harness::session_of;
using harness::types_of;

constexpr auto WAIT = harness::SCENARIO_WAIT;

class AgentControl : public harness::Scenario {};

// Says a script that holds the turn open and waits until the agent has begun that turn (its
// "session" report), so that nothing of the turn's start arrives later.
void start_held_turn(harness::DemoBridge& demo, SseStream& events, const std::string& npc,
                     const std::string& script) {
  auto response = demo.say(npc, script);
  ASSERT_TRUE(response && response->status == 200) << script;
  // "said" and the agent's first record race each other: wait for both.
  bool said = false, session = false;
  auto begun = read_until(
      events,
      [&](const Json& e) {
        said = said || as_text(e, "type") == "said";
        session = session || as_text(e, "type") == "session";
        return said && session;
      },
      WAIT);
  ASSERT_TRUE(begun);
}

TEST_F(AgentControl, InterruptStopsTheAgentAndTheNextWordsResume) {
  std::string session = session_of(say_and_read(demo, events, "smith", "@reply hi"));
  ASSERT_FALSE(session.empty());
  start_held_turn(demo, events, "smith", "@wait-file " + demo.hold_path("never"));

  auto response = demo.post("/npc/smith/interrupt");
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 200);
  EXPECT_EQ(response->json(), Json({{"ok", true}}));
  auto stopped = read_until(events, is_state("asleep"), WAIT);
  ASSERT_TRUE(stopped);
  std::vector<std::string> types = types_of(*stopped);
  std::erase(types, "usage");
  auto interrupted = std::find(types.begin(), types.end(), "interrupted");
  ASSERT_NE(interrupted, types.end());
  EXPECT_EQ(std::vector<std::string>(interrupted, types.end()),
            (std::vector<std::string>{"interrupted", "state"}));
  EXPECT_TRUE(of_type(*stopped, "error").empty());
  pid_t first = launch_pid(demo.launches().at(0));
  EXPECT_FALSE(process_alive(first));
  EXPECT_TRUE(harness::zombie_children(demo.bridge().pid()).empty());

  // The same conversation goes on in a new process.
  std::vector<Json> turn = say_and_read(demo, events, "smith", "@session");
  EXPECT_TRUE(of_type(turn, "error").empty()) << "the stopped agent's end is not an error";
  ASSERT_EQ(of_type(turn, "result").size(), 1u);
  EXPECT_EQ(of_type(turn, "result")[0]["text"], session);
  auto launches = demo.wait_for_launches(2);
  ASSERT_EQ(launches.size(), 2u);
  EXPECT_EQ(launch_flag(launches[1], "--resume"), session);

  // Sleep stops it as well, keeping the session.
  auto slept = demo.post("/npc/smith/sleep");
  ASSERT_TRUE(slept && slept->status == 200);
  EXPECT_EQ(slept->json(), Json({{"ok", true}}));
  EXPECT_FALSE(process_alive(launch_pid(launches[1])));
  EXPECT_TRUE(harness::zombie_children(demo.bridge().pid()).empty());
  say_and_read(demo, events, "smith", "@reply awake");
  launches = demo.wait_for_launches(3);
  ASSERT_EQ(launches.size(), 3u);
  EXPECT_EQ(launch_flag(launches[2], "--resume"), session);
}

TEST_F(AgentControl, ModelChangeWaitsForTheTurnButStopsAnIdleAgentAtOnce) {
  start_held_turn(demo, events, "smith", "@wait-file " + demo.hold_path("go") + "\n@reply slow");
  pid_t first = launch_pid(demo.wait_for_launches(1).at(0));
  auto model = demo.post("/npc/smith/model", {{"model", "  opus "}});
  ASSERT_TRUE(model);
  EXPECT_EQ(model->status, 200);
  EXPECT_EQ(model->json(), Json({{"ok", true}, {"model", "opus"}, {"pending", true}}));
  auto pending = events.wait_for_type("model", WAIT);
  ASSERT_TRUE(pending);
  EXPECT_EQ((*pending)["model"], "opus");
  EXPECT_EQ((*pending)["pending"], true);
  EXPECT_EQ((*pending)["current"], "");
  EXPECT_TRUE(process_alive(first)) << "the running turn is not disturbed";

  demo.release("go");
  auto applied = read_until_type(events, "model", WAIT);
  ASSERT_TRUE(applied);
  std::vector<std::string> types = types_of(*applied);
  std::erase(types, "usage");
  auto result = std::find(types.begin(), types.end(), "result");
  ASSERT_NE(result, types.end());
  EXPECT_EQ(std::vector<std::string>(result, types.end()),
            (std::vector<std::string>{"result", "state", "state", "model"}));
  EXPECT_EQ(applied->back(), Json({{"seq", applied->back()["seq"]},
                                   {"type", "model"},
                                   {"npc", "smith"},
                                   {"model", "opus"},
                                   {"pending", false},
                                   {"current", "opus"},
                                   {"resolved", ""}}));
  EXPECT_EQ((*applied)[applied->size() - 2]["value"], "asleep");
  EXPECT_FALSE(process_alive(first));

  std::vector<Json> turn = say_and_read(demo, events, "smith", "@reply on opus");
  auto launches = demo.wait_for_launches(2);
  ASSERT_EQ(launches.size(), 2u);
  EXPECT_EQ(launch_flag(launches[1], "--model"), "opus");
  ASSERT_EQ(of_type(turn, "session").size(), 1u);
  EXPECT_EQ(of_type(turn, "session")[0]["resolved"], "opus");

  // Idle: the agent is stopped before the answer.
  ASSERT_TRUE(events.wait_for(is_state("idle"), WAIT));
  model = demo.post("/npc/smith/model", {{"model", "haiku"}});
  ASSERT_TRUE(model);
  EXPECT_EQ(model->json(), Json({{"ok", true}, {"model", "haiku"}, {"pending", false}}));
  EXPECT_FALSE(process_alive(launch_pid(launches[1])));
  auto stopped = read_until_type(events, "model", WAIT);
  ASSERT_TRUE(stopped);
  EXPECT_EQ(stopped->back()["model"], "haiku");
  EXPECT_EQ(stopped->back()["pending"], false);
  EXPECT_EQ(of_type(*stopped, "state").size(), 1u);
  EXPECT_EQ(of_type(*stopped, "state")[0]["value"], "asleep");
  say_and_read(demo, events, "smith", "@reply on haiku");
  launches = demo.wait_for_launches(3);
  ASSERT_EQ(launches.size(), 3u);
  EXPECT_EQ(launch_flag(launches[2], "--model"), "haiku");
}

TEST_F(AgentControl, WorkspaceChangeStopsTheAgentAndForgetsTheSession) {
  std::string other = demo.scratch() + "/forge";
  ASSERT_TRUE(std::filesystem::create_directory(other));

  std::string session = session_of(say_and_read(demo, events, "smith", "@reply hi"));
  ASSERT_FALSE(session.empty());
  pid_t first = launch_pid(demo.wait_for_launches(1).at(0));

  auto missing = demo.post("/npc/smith/workspace", {{"workspace", other + "/nope"}});
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 400);
  EXPECT_EQ(missing->json(), Json({{"error", "no such directory: " + other + "/nope"}}));
  EXPECT_TRUE(process_alive(first));

  auto moved = demo.post("/npc/smith/workspace", {{"workspace", other}});
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->status, 200);
  EXPECT_EQ(moved->json(),
            Json({{"ok", true}, {"workspace", other}, {"model", ""}, {"is_default", false}}));
  EXPECT_FALSE(process_alive(first));
  auto announced = read_until_type(events, "workspace", WAIT);
  ASSERT_TRUE(announced);
  EXPECT_EQ(announced->back()["workspace"], other);
  EXPECT_EQ(announced->back()["is_default"], false);
  ASSERT_FALSE(of_type(*announced, "state").empty());
  EXPECT_EQ(of_type(*announced, "state").back()["value"], "asleep");

  std::string second_session = session_of(say_and_read(demo, events, "smith", "@reply moved"));
  auto launches = demo.wait_for_launches(2);
  ASSERT_EQ(launches.size(), 2u);
  EXPECT_EQ(as_text(launches[1], "cwd"), other);
  EXPECT_FALSE(launch_flag(launches[1], "--resume"));
  EXPECT_NE(second_session, session);

  // The same folder again keeps the agent running.
  auto same = demo.post("/npc/smith/workspace", {{"workspace", other}});
  ASSERT_TRUE(same && same->status == 200);
  EXPECT_TRUE(process_alive(launch_pid(launches[1])));

  // Back to the default folder, through the bind alias.
  auto back = demo.post("/npc/smith/bind", {{"workspace", ""}});
  ASSERT_TRUE(back);
  EXPECT_EQ(back->status, 200);
  EXPECT_EQ(back->json()["workspace"], demo.bridge().workspace());
  EXPECT_EQ(back->json()["is_default"], true);
  EXPECT_FALSE(process_alive(launch_pid(launches[1])));
  say_and_read(demo, events, "smith", "@reply home");
  launches = demo.wait_for_launches(3);
  ASSERT_EQ(launches.size(), 3u);
  EXPECT_EQ(as_text(launches[2], "cwd"), demo.bridge().workspace());
  EXPECT_FALSE(launch_flag(launches[2], "--resume"));

  // A folder in the player's home, written with a tilde.
  ASSERT_TRUE(std::filesystem::create_directory(demo.bridge().home() + "/guild"));
  auto home = demo.post("/npc/smith/workspace", {{"workspace", "~/guild"}});
  ASSERT_TRUE(home && home->status == 200);
  EXPECT_EQ(home->json()["workspace"], demo.bridge().home() + "/guild");
  say_and_read(demo, events, "smith", "@reply guild");
  launches = demo.wait_for_launches(4);
  ASSERT_EQ(launches.size(), 4u);
  EXPECT_EQ(as_text(launches[3], "cwd"), demo.bridge().home() + "/guild");
}

TEST_F(AgentControl, NewSessionAndResumingAChosenSession) {
  std::string first = session_of(say_and_read(demo, events, "smith", "@reply the first talk"));
  ASSERT_FALSE(first.empty());

  auto fresh = demo.post("/npc/smith/new_session");
  ASSERT_TRUE(fresh);
  EXPECT_EQ(fresh->status, 200);
  EXPECT_EQ(fresh->json()["ok"], true);
  EXPECT_EQ(fresh->json()["previous"]["session_id"], first);
  EXPECT_GE(fresh->json()["previous"]["messages"].get<std::uint64_t>(), 2u);
  auto announced = read_until_type(events, "session", WAIT);
  ASSERT_TRUE(announced);
  EXPECT_EQ(announced->back()["session_id"], "");
  EXPECT_EQ(announced->back()["resumed"], false);

  std::vector<Json> turn = say_and_read(demo, events, "smith", "@session");
  std::string second = as_text(of_type(turn, "result").at(0), "text");
  EXPECT_NE(second, first);
  auto launches = demo.wait_for_launches(2);
  ASSERT_EQ(launches.size(), 2u);
  EXPECT_FALSE(launch_flag(launches[1], "--resume"));

  // Back to the first conversation.
  auto resumed = demo.post("/npc/smith/session", {{"session_id", first}});
  ASSERT_TRUE(resumed);
  EXPECT_EQ(resumed->status, 200);
  EXPECT_EQ(resumed->json(), Json({{"ok", true}, {"error", ""}}));
  EXPECT_FALSE(process_alive(launch_pid(launches[1])));
  announced = read_until_type(events, "session", WAIT);
  ASSERT_TRUE(announced);
  EXPECT_EQ(announced->back()["session_id"], first);
  EXPECT_EQ(announced->back()["resumed"], true);
  EXPECT_GE(announced->back()["messages"].get<std::uint64_t>(), 2u);
  turn = say_and_read(demo, events, "smith", "@session");
  EXPECT_EQ(of_type(turn, "result").at(0)["text"], first);
  launches = demo.wait_for_launches(3);
  ASSERT_EQ(launches.size(), 3u);
  EXPECT_EQ(launch_flag(launches[2], "--resume"), first);

  // Another NPC may not take a session in use, nor one that never existed; a free one it may.
  auto taken = demo.post("/npc/bob/session", {{"session_id", first}});
  ASSERT_TRUE(taken);
  EXPECT_EQ(taken->status, 409);
  EXPECT_EQ(taken->json(), Json({{"ok", false}, {"error", "smith is using that session"}}));
  auto unknown = demo.post("/npc/bob/session", {{"session_id", "no-such-session"}});
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->status, 409);
  EXPECT_EQ(unknown->json(), Json({{"ok", false}, {"error", "no transcript with that id"}}));
  auto free_one = demo.post("/npc/bob/session", {{"session_id", second}});
  ASSERT_TRUE(free_one);
  EXPECT_EQ(free_one->status, 200);

  // A new folder forgets the resumed conversation, and "resumed" with it.
  std::string forge = demo.scratch() + "/forge";
  ASSERT_TRUE(std::filesystem::create_directory(forge));
  ASSERT_EQ(demo.post("/npc/smith/workspace", {{"workspace", forge}})->status, 200);
  turn = say_and_read(demo, events, "smith", "@session");
  std::vector<Json> sessions = of_type(turn, "session");
  ASSERT_FALSE(sessions.empty());
  EXPECT_NE(sessions.back()["session_id"], first);
  EXPECT_EQ(sessions.back()["resumed"], false);
}

TEST_F(AgentControl, AnAgentIgnoringSigtermIsKilledAfterFiveSeconds) {
  start_held_turn(demo, events, "smith", "@hang");
  pid_t agent = launch_pid(demo.wait_for_launches(1).at(0));
  ASSERT_TRUE(harness::wait_for_sigterm_ignored(agent, WAIT));

  auto began = std::chrono::steady_clock::now();
  auto slept = demo.post("/npc/smith/sleep", Json::object(), 60s);
  auto took = std::chrono::steady_clock::now() - began;
  ASSERT_TRUE(slept);
  EXPECT_EQ(slept->status, 200);
  EXPECT_GE(took, 4500ms);
  EXPECT_LT(took, 15s);
  EXPECT_FALSE(process_alive(agent));
  EXPECT_TRUE(harness::zombie_children(demo.bridge().pid()).empty());
  auto stopped = read_until(events, is_state("asleep"), WAIT);
  ASSERT_TRUE(stopped);
  EXPECT_TRUE(of_type(*stopped, "error").empty());
}

TEST(AgentCharacter, ADemoNpcStaysInCharacterAcrossASleepAndARestart) {
  // Demo mode: the NPC answers in character.
  harness::DemoBridge demo({}, {{"QUILLHAVEN_DEMO_SCRIPTED", std::nullopt}});
  harness::BridgeProcess& bridge = demo.bridge();
  ASSERT_TRUE(demo.start());
  const std::string persona = "You are Brom, the village smith of Quillhaven. You speak gruffly.";
  auto bound =
      harness::http_request(bridge.port(), "POST", "/npc/brom/bind", Json{{"persona", persona}});
  ASSERT_TRUE(bound && bound->status == 200);

  // Greets the NPC and gives its answer. The first answer of every agent process begins with
  // who it is; the smith greets from his forge, where the innkeeper would welcome to his inn.
  auto greet = [&] {
    SseStream events;
    EXPECT_TRUE(harness::open_events(events, bridge.port(), "brom"));
    auto said = harness::http_request(bridge.port(), "POST", "/npc/brom/say",
                                      Json{{"text", "Hello there!"}});
    EXPECT_TRUE(said && said->status == 200);
    auto turn = read_until_type(events, "result", WAIT);
    return turn ? as_text(turn->back(), "text") : std::string();
  };
  auto in_character = [](const std::string& answer) {
    bool smith = answer.find("forge") != std::string::npos ||
                 answer.find("sparks") != std::string::npos;
    return answer.rfind("*Brom looks up.* ", 0) == 0 && smith;
  };

  EXPECT_PRED1(in_character, greet());
  auto slept = harness::http_request(bridge.port(), "POST", "/npc/brom/sleep", Json::object());
  ASSERT_TRUE(slept && slept->status == 200);
  EXPECT_PRED1(in_character, greet());
  bridge.close_stdin();
  ASSERT_EQ(bridge.wait_for_exit(WAIT), 0);
  ASSERT_TRUE(bridge.start());
  EXPECT_PRED1(in_character, greet());

  // Only the first launch was given the persona; the others resumed its conversation.
  std::vector<Json> launches = demo.launches();
  ASSERT_EQ(launches.size(), 3u);
  EXPECT_EQ(launch_flag(launches[0], "--append-system-prompt"), persona);
  for (std::size_t i = 1; i < 3; ++i) {
    EXPECT_FALSE(launch_flag(launches[i], "--append-system-prompt"));
    EXPECT_TRUE(launch_flag(launches[i], "--resume"));
  }
}

}  // namespace
