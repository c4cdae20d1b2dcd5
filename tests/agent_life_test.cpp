// An agent's life as the game steers it, and the races where words, a process's end, a stop and
// a change meet: each widened with the stand-in agent's behaviour, never with bridge pauses.

#include <cerrno>
#include <future>

#include "harness/scenario.h"
#include "harness/transcript_files.h"

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
  // The agent of that launch was stopped and collected.
  void expect_gone(const Json& launched) {
    EXPECT_FALSE(process_alive(launch_pid(launched)));
    EXPECT_TRUE(zombie_children(demo.bridge().pid()).empty());
  }
  // POSTs `body` to /npc/smith/ACTION, expecting `status` and `answer`.
  void expect_post(const std::string& action, const Json& body, int status, const Json& answer) {
    HttpResponse response = demo.post("/npc/smith/" + action, body).value_or(HttpResponse{});
    EXPECT_EQ(response.status, status) << action;
    EXPECT_EQ(response.json(), answer) << action;
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
  std::erase(types, "usage");  // and the "asleep" state, read last, comes right after it
  EXPECT_EQ(types.size() >= 2 ? types[types.size() - 2] : "", "interrupted");
  EXPECT_TRUE(of_type(*stopped, "error").empty());
  expect_gone(nth_launch(demo, 1));
  // The same conversation goes on in a new process; so after a sleep.
  EXPECT_EQ(session_of(session_turn()), session);
  expect_post("sleep", Json::object(), 200, {{"ok", true}});
  expect_gone(nth_launch(demo, 2));
  EXPECT_EQ(session_of(session_turn()), session);

  // A model for an idle agent stops it before the answer (the pending case: AgentTurns).
  ASSERT_TRUE(events.wait_for(is_state("idle"), WAIT));
  expect_post("model", {{"model", "  haiku "}}, 200,
              {{"ok", true}, {"model", "haiku"}, {"pending", false}});
  expect_gone(nth_launch(demo, 3));
  std::vector<Json> changed = expect_next("model", {{"model", "haiku"}, {"pending", false}});
  EXPECT_LT(position(changed, "state", {{"value", "asleep"}}), changed.size());
  std::vector<Json> turn = session_turn();
  EXPECT_TRUE(is_event(of_type(turn, "session").at(0), "session",
                       {{"session_id", session}, {"resolved", "haiku"}}));

  // A missing folder changes nothing; a new one stops the agent and forgets the conversation.
  std::string forge = demo.scratch() + "/forge";
  ASSERT_TRUE(std::filesystem::create_directory(forge));
  ASSERT_EQ(demo.post("/npc/smith/workspace", {{"workspace", forge + "/nope"}})->status, 400);
  EXPECT_TRUE(process_alive(launch_pid(nth_launch(demo, 4))));
  expect_post("workspace", {{"workspace", forge}}, 200,
              {{"ok", true}, {"workspace", forge}, {"model", "haiku"}, {"is_default", false}});
  expect_gone(nth_launch(demo, 4));
  std::vector<Json> moved = expect_next("workspace", {{"workspace", forge}, {"is_default", false}});
  EXPECT_LT(position(moved, "state", {{"value", "asleep"}}), moved.size());
  std::string second = session_of(session_turn());
  EXPECT_NE(second, session);
  EXPECT_EQ(as_text(nth_launch(demo, 5), "cwd"), forge);
  // The same folder again keeps the agent running.
  ASSERT_EQ(demo.post("/npc/smith/workspace", {{"workspace", forge}})->status, 200);
  EXPECT_TRUE(process_alive(launch_pid(nth_launch(demo, 5))));

  // A new conversation, then back to the first one.
  EXPECT_EQ(demo.post("/npc/smith/new_session").value().json()["previous"]["session_id"], second);
  expect_next("session", {{"session_id", ""}, {"resumed", false}});
  std::string third = session_of(session_turn());
  EXPECT_NE(third, second);
  expect_post("session", {{"session_id", second}}, 200, {{"ok", true}, {"error", ""}});
  expect_gone(nth_launch(demo, 6));
  expect_next("session", {{"session_id", second}, {"resumed", true}});
  EXPECT_EQ(session_of(session_turn()), second);

  // (Another NPC taking a session in use: GameReference.)

  // Back to the default folder through the bind alias: the resumed conversation is forgotten.
  std::string home = demo.bridge().workspace();
  expect_post("bind", {{"workspace", ""}}, 200,
              {{"ok", true}, {"workspace", home}, {"model", "haiku"}, {"is_default", true}});
  expect_gone(nth_launch(demo, 7));
  turn = session_turn();
  EXPECT_TRUE(is_event(of_type(turn, "session").at(0), "session", {{"resumed", false}}));
  EXPECT_NE(session_of(turn), second);
  EXPECT_EQ(as_text(nth_launch(demo, 8), "cwd"), home);
}

class AgentLife : public Scenario {};

// The player speaks while an agent's end is still being reported (a child of it holds its
// standard error open): the old report must leave the agent launched for the words alone.
TEST_F(AgentLife, TheEndOfAnAgentDoesNotStopItsSuccessor) {
  ASSERT_EQ(demo.say("smith", "@stderr last words\n@hold-stderr 3000\n@exit 1")->status, 200);
  // Collected means the bridge is reporting its end: the words come while it does.
  pid_t old = launch_pid(nth_launch(demo, 1));
  ASSERT_GT(old, 0);
  ASSERT_TRUE(eventually([&] { return ::kill(old, 0) != 0 && errno == ESRCH; }, WAIT));

  EXPECT_EQ(demo.say("smith", "hello again")->status, 200);
  ASSERT_TRUE(wait_for_event(events, "result", {{"text", "You said: hello again"}}, WAIT))
      << "the successor's turn never ended";
  // The old process is reported once, with its last words, maybe late, never on its successor.
  EXPECT_EQ(find_event(events, "error", Json::object()).value_or(Json())["message"], "last words");
  EXPECT_EQ(of_type(events.seen(), "error").size(), 1u);
  EXPECT_EQ(state_of(), "idle");
  EXPECT_TRUE(process_alive(launch_pid(demo.launches().back())));
}

// A workspace change stops an agent that ignores SIGTERM (killed after five seconds): words said
// meanwhile start the next agent in the new folder, and the NPC's state says that one runs.
TEST_F(AgentLife, WordsSaidDuringAWorkspaceChangeGoToTheNewFolder) {
  std::string elsewhere = demo.scratch() + "/elsewhere";
  std::filesystem::create_directories(elsewhere);
  std::string noted = demo.hold_path("sigterm-noted");

  ASSERT_EQ(demo.say("smith", "@hang " + noted)->status, 200);
  ASSERT_TRUE(wait_for_file(noted + ".hanging", WAIT));
  pid_t hung = launch_pid(demo.launches().at(0));

  auto began = std::chrono::steady_clock::now();
  auto change = std::async(std::launch::async, [&] {
    return demo.post("/npc/smith/workspace", {{"workspace", elsewhere}}, WAIT);
  });
  ASSERT_TRUE(wait_for_file(noted, WAIT)) << "the stop never began";
  auto said = std::async(std::launch::async, [&] { return demo.say("smith", "@session"); });

  auto changed = change.get();
  EXPECT_GE(std::chrono::steady_clock::now() - began, 4500ms);
  ASSERT_TRUE(changed && changed->status == 200);
  EXPECT_FALSE(process_alive(hung));
  ASSERT_EQ(said.get().value_or(HttpResponse{}).status, 200);
  ASSERT_TRUE(read_until_type(events, "result", WAIT));

  EXPECT_EQ(as_text(nth_launch(demo, 2), "cwd"), elsewhere);
  ASSERT_TRUE(read_until(events, is_state("idle"), WAIT));
  EXPECT_EQ(state_of(), "idle");
  EXPECT_EQ(npc_row(demo.port(), "smith")["workspace"], elsewhere);
  EXPECT_TRUE(zombie_children(demo.bridge().pid()).empty());
}

// A quitting game closes stdin and sends SIGTERM at once: shutdown runs once, stops every agent
// (waiting out the one that ignores SIGTERM), launches nothing more, and exits with status 0.
TEST_F(AgentLife, ShutdownRequestedTwiceLeavesNoAgentBehind) {
  // Busy until a file appears that never does: only a stop ends this one.
  SseStream guard;
  ASSERT_TRUE(open_events(guard, demo.port(), "guard"));
  ASSERT_EQ(demo.say("guard", "@wait-file " + demo.hold_path("never"))->status, 200);
  ASSERT_TRUE(guard.wait_for_type("session", WAIT));
  ASSERT_EQ(demo.say("smith", "@hang")->status, 200);
  pid_t agent = launch_pid(nth_launch(demo, 2));
  ASSERT_TRUE(wait_for_sigterm_ignored(agent, WAIT));

  demo.bridge().close_stdin();
  demo.bridge().signal(SIGTERM);
  ASSERT_TRUE(demo.bridge().wait_for_log("the game closed our stdin", WAIT));
  // Words said while shutting down start nothing.
  demo.say("smith", "anyone there?");

  EXPECT_EQ(demo.bridge().wait_for_exit(WAIT), 0);
  EXPECT_FALSE(process_alive(agent)) << "the agent was left running";
  EXPECT_FALSE(process_alive(launch_pid(demo.launches().at(0))));
  EXPECT_EQ(demo.launches().size(), 2u);
}

// Saves of the same NPC racing each other: the file ends with the NPC's newest values.
TEST_F(AgentLife, ConcurrentChangesLeaveTheNewestValuesInTheStateFile) {
  auto bind_many = [&](const std::string& prefix) {
    for (int i = 0; i < 30; ++i)
      demo.post("/npc/smith/bind", {{"model", prefix + std::to_string(i)}, {"persona", prefix}});
  };
  for (int round = 0; round < 3; ++round) {
    std::thread a(bind_many, "a"), b(bind_many, "b"), c(bind_many, "c");
    for (std::thread* t : {&a, &b, &c}) t->join();
    Json stored =
        parse_json(read_text_file(demo.bridge().state_file()).value_or("")).value_or(Json());
    EXPECT_EQ(stored["smith"]["model"], npc_row(demo.port(), "smith")["model"])
        << "round " << round;
  }
}

// The agent stops reading its input and floods its output while the player says something
// long: the bridge must keep reading the agent while it waits to write, so both go through.
TEST_F(AgentLife, ALongSayToABusyAgentNeitherStallsNorLosesIt) {
  ASSERT_EQ(demo.say("smith", "@deaf-flood 3000")->status, 200);
  ASSERT_TRUE(read_until_type(events, "session", WAIT));

  // A megabyte of words; the agent answers them briefly.
  std::string long_words = "@reply heard you\n" + std::string(1 << 20, 'w');
  // The answer waits until the agent takes the words in, after its flood: slow under sanitizers.
  EXPECT_EQ(demo.post("/npc/smith/say", Json{{"text", long_words}}, 2 * WAIT).value().status, 200);
  ASSERT_TRUE(wait_for_event(events, "result", {{"text", "heard you"}}, WAIT))
      << "the long words were never answered";
  for (const Json& e : of_type(events.seen(), "error")) ADD_FAILURE() << e.dump();
  EXPECT_GE(of_type(events.seen(), "delta").size(), 3000u);
}

// A stream behind a reply written at full speed gets every event once, in order; the agent runs on.
class StreamBacklog : public Scenario {};

TEST_F(StreamBacklog, AStreamThatStopsReadingDuringAFloodStillGetsEveryEvent) {
  // 60,000 deltas of 100 characters make about 10 MB of frames: thirty times the events the
  // log keeps for anyone, and more than the socket buffers take from a client that reads nothing.
  SseStream stalled;
  ASSERT_TRUE(open_events(stalled, demo.port(), "smith"));
  ASSERT_EQ(demo.say("smith", "@flood 60000").value_or(HttpResponse{}).status, 200);
  // Sanitizer builds relay a flood slowly: a bound well past the usual one.
  constexpr auto FLOOD_WAIT = std::chrono::minutes(2);
  auto live = read_until_type(events, "result", FLOOD_WAIT);
  ASSERT_TRUE(live);
  // The agent finished its turn while `stalled` read nothing.
  auto late = read_until_type(stalled, "result", FLOOD_WAIT);
  ASSERT_TRUE(late);
  for (const std::vector<Json>* turn : {&*live, &*late}) {
    EXPECT_GE(of_type(*turn, "delta").size(), 60000u);
    for (std::size_t i = 1; i < turn->size(); ++i)
      ASSERT_EQ((*turn)[i]["seq"], (*turn)[i - 1]["seq"].get<std::uint64_t>() + 1) << "at " << i;
  }
}

// A runaway agent's endless line is dropped without the bridge growing, the game told; NPC goes on.
TEST_F(AgentLife, AnOversizedOutputLineIsDroppedAndTheNpcGoesOn) {
  ASSERT_EQ(demo.say("smith", "@long-line 100000000\n@reply still here")->status, 200);
  ASSERT_TRUE(wait_for_event(events, "result", {{"text", "still here"}}, WAIT));
  std::vector<Json> errors = of_type(events.seen(), "error");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0]["message"],
            "The agent wrote a line longer than 16777216 bytes; it was dropped.");

  ASSERT_EQ(demo.say("smith", "and now?")->status, 200);
  ASSERT_TRUE(wait_for_event(events, "result", {{"text", "You said: and now?"}}, WAIT));
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define BRIDGE_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define BRIDGE_SANITIZED 1
#endif
#if defined(__linux__) && !defined(BRIDGE_SANITIZED)
  // The line was 100 MB; the bridge held at most its bound (a sanitizer's memory would blur it).
  std::ifstream status("/proc/" + std::to_string(demo.bridge().pid()) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmHWM:")) {
      EXPECT_LT(std::stol(line.substr(6)), 80 * 1024) << line;
    }
  }
#endif
}

}  // namespace
