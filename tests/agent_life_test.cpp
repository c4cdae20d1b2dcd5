// An NPC's agent: how the bridge starts it, what the game sees of its turns, its life as the game
// steers it, and the races where words, a process's end, a stop and a change meet: each widened
// with the stand-in agent's behaviour, never with bridge pauses.

#include <cerrno>
#include <future>
#include <regex>

#include "agent/launch.h"
#include "harness/scenario.h"
#include "harness/transcript_files.h"

namespace {

using namespace harness;

constexpr auto WAIT = SCENARIO_WAIT;

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

// Says `text` to `npc`, read on a stream of its own; the turn's launch (the `count`th) and session.
std::pair<Json, std::string> launched_turn(DemoBridge& demo, const std::string& npc,
                                           const std::string& text, std::size_t count) {
  SseStream events;
  EXPECT_TRUE(open_events(events, demo.port(), npc));
  std::string session = session_of(say_and_read(demo, events, npc, text));
  return {nth_launch(demo, count), session};
}

class AgentTurns : public Scenario {};

// (How each record becomes events: src/agent/translate_test.cpp.)
TEST_F(AgentTurns, RepliesToolsSessionReportsAndTheAgentsEnd) {
  ASSERT_EQ(demo.post("/npc/smith/model", {{"model", "opus"}})->status, 200);

  // A launch from "asleep": "idle", then "working" for the words, then the turn's events.
  std::vector<Json> turn = run_turn(demo, events, "smith", "@deltas Hel|lo\n@full Hello");
  EXPECT_LT(position(turn, "state", {{"value", "idle"}}),
            position(turn, "state", {{"value", "working"}}));
  // "said" is pushed once the words are written, so the agent's first records may overtake it.
  EXPECT_EQ(of_type(turn, "said").at(0)["text"], "@deltas Hel|lo\n@full Hello");
  EXPECT_TRUE(is_event(of_type(turn, "result").at(0), "result",
                       {{"text", "Hello"}, {"turns", 1}, {"tools", 0}}));
  std::string session = session_of(turn);
  EXPECT_TRUE(is_event(of_type(turn, "session").at(0), "session",
                       {{"model", "opus"}, {"resolved", "opus"}, {"resumed", false}}));

  // A failing tool; an agent in another mode than the policy's (reported); a sub-agent's records
  // (not the NPC's); the session report describes the first turn's transcript.
  Json bash_input = {{"command", "exit 4"}, {"description", "fail on purpose"}};
  turn =
      run_turn(demo, events, "smith", "@mode plan\n@subagent\n@tool Bash " + dump_json(bash_input));
  std::vector<Json> starts = of_type(turn, "tool_start");
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_LT(position(turn, "tool_start", {{"detail", "exit 4"}, {"note", "fail on purpose"}}),
            position(turn, "tool_end",
                     {{"id", starts[0]["id"]}, {"ok", false}, {"output", "Exit code 4"}}));
  EXPECT_EQ(of_type(turn, "tool_end").size(), 1u);
  EXPECT_TRUE(is_event(of_type(turn, "result").at(0), "result",
                       {{"tools", 1}, {"text", "Bash failed: Exit code 4"}}));
  EXPECT_EQ(joined_deltas(turn), "Bash failed: Exit code 4");
  Json report = of_type(turn, "session").at(0);
  EXPECT_TRUE(is_event(report, "session",
                       {{"session_id", session}, {"label", "@deltas Hel|lo @full Hello"}}))
      << report;
  EXPECT_GE(report["messages"].get<std::uint64_t>(), 2u);
  EXPECT_GT(report["bytes"].get<std::uint64_t>(), 0u);
  ASSERT_EQ(of_type(turn, "policy_downgraded").size(), 1u);
  EXPECT_TRUE(
      is_event(of_type(turn, "policy_downgraded")[0], "policy_downgraded",
               {{"wanted", "auto"}, {"actual", "plan"}, {"policy", "auto"}, {"model", "opus"}}));
  EXPECT_EQ(demo.launches().size(), 1u);

  // An agent that exits is reported with its last standard-error line, else its exit code (a
  // later agent is not blamed with its predecessor's words). (Collected: AgentLife.)
  for (const auto& [script, message] : std::vector<std::pair<std::string, std::string>>{
           {"@stderr boom\n@exit 3", "boom"}, {"@exit 3", "exit code 3"}}) {
    turn = say_and_read(demo, events, "smith", script, is_state("asleep"));
    ASSERT_EQ(of_type(turn, "error").size(), 1u) << script;
    EXPECT_EQ(of_type(turn, "error")[0]["message"], message);
    EXPECT_EQ(position(turn, "result"), turn.size()) << script;
  }
}

TEST_F(AgentTurns, WordsSaidDuringATurnGetTheirOwnReplyBeforeTheNpcIsIdle) {
  ASSERT_EQ(demo.say("smith", "@wait-file " + demo.hold_path("go") + "\n@reply first")->status,
            200);
  ASSERT_TRUE(events.wait_for_type("said", WAIT));
  auto second = demo.say("smith", "@reply second");
  ASSERT_TRUE(second && second->status == 200);
  EXPECT_EQ(second->json()["state"], "working");
  // A model asked for meanwhile waits for the last of the two replies.
  EXPECT_EQ(demo.post("/npc/smith/model", {{"model", "haiku"}}).value().json(),
            Json({{"ok", true}, {"model", "haiku"}, {"pending", true}}));
  EXPECT_TRUE(is_event(events.wait_for_type("model", WAIT).value_or(Json()), "model",
                       {{"model", "haiku"}, {"pending", true}, {"current", ""}}));
  EXPECT_TRUE(process_alive(launch_pid(demo.wait_for_launches(1).at(0))));
  demo.release("go");

  auto applied = [](const Json& e) { return is_event(e, "model", {{"pending", false}}); };
  auto rest = read_until(events, applied, WAIT);
  ASSERT_TRUE(rest);
  EXPECT_LT(position(*rest, "result", {{"text", "first"}}),
            position(*rest, "result", {{"text", "second"}}));
  // Working from the first word to the last result; then idle, asleep, and the model change.
  std::vector<std::string> changes;
  for (const Json& e : *rest) {
    std::string type = as_text(e, "type");
    if (type == "result" || type == "model") changes.push_back(type);
    if (type == "state") changes.push_back(as_text(e, "value"));
  }
  EXPECT_EQ(changes, (std::vector<std::string>{"result", "result", "idle", "asleep", "model"}));
  EXPECT_TRUE(is_event(rest->back(), "model", {{"current", "haiku"}, {"resolved", ""}}));
}

TEST(AgentLaunch, AutoPolicyCommandLineFollowsModelSessionAndPersona) {
  DemoBridge demo({}, {{"ANTHROPIC_API_KEY", "sk-secret"}});
  // A remembered conversation whose transcript is gone.
  const std::string lost = "0b5e7a1c-0000-4000-8000-00000000dead";
  Json brom = *parse_json(R"({"model":"","persona":"You are Brom.","workspace_source":"default"})");
  brom.update({{"session_id", lost}, {"workspace", demo.bridge().workspace()}});
  std::ofstream(demo.bridge().state_file()) << dump_json(Json{{"brom", brom}});
  ASSERT_TRUE(demo.start());

  // Nothing is started for a missing workspace folder (503), nor for no text (400: GameReference).
  std::string folder = demo.scratch() + "/tower";
  ASSERT_TRUE(std::filesystem::create_directory(folder));
  ASSERT_EQ(demo.post("/npc/mage/workspace", {{"workspace", folder}})->status, 200);
  ASSERT_TRUE(std::filesystem::remove(folder));
  SseStream mage;
  ASSERT_TRUE(open_events(mage, demo.port(), "mage"));
  EXPECT_EQ(demo.say("mage", "hello")->status, 503);
  EXPECT_TRUE(find_event(mage, "error", {{"message", "Workspace no longer exists: " + folder}}));
  EXPECT_EQ(demo.post("/npc/smith/say", {{"text", nullptr}})->status, 400);
  EXPECT_TRUE(demo.launches().empty());

  // Other values are said as text; the answer's "seq" is the newest event once they were said.
  SseStream events;
  ASSERT_TRUE(open_events(events, demo.port(), "smith"));
  auto said = demo.post("/npc/smith/say", {{"text", 42}});
  ASSERT_TRUE(said && said->status == 200);
  std::vector<Json> turn = read_until_type(events, "result", WAIT).value_or(std::vector<Json>{});
  ASSERT_FALSE(turn.empty());
  EXPECT_EQ(turn.back()["text"], "You said: 42");
  Json words = find_event(events, "said", {{"text", "42"}}).value_or(Json::object());
  EXPECT_GE(said->json()["seq"].get<std::uint64_t>(), words.value("seq", UINT64_MAX));

  // Plain: no settings file (one is written only for the agent it is passed to), no key.
  Json first = demo.wait_for_launches(1).at(0);
  std::string session = session_of(turn);
  ASSERT_FALSE(session.empty());
  EXPECT_EQ(launch_args(first), base_agent_args("auto", {"--name", "npc:smith"}));
  EXPECT_EQ(first["env_api_key"], false);
  // The bridge holds a listener, an event stream and pipes of its own: none may leak.
  EXPECT_EQ(first["fds"], Json::array({0, 1, 2}));

  // A persona and a model; the kept session is resumed, so the persona is not passed.
  ASSERT_EQ(demo.post("/npc/smith/workspace", {{"persona", "You are Brom."}})->status, 200);
  ASSERT_EQ(demo.post("/npc/smith/model", {{"model", "sonnet"}})->status, 200);
  EXPECT_EQ(
      launch_args(launched_turn(demo, "smith", "@reply again", 2).first),
      base_agent_args("auto", {"--model", "sonnet", "--resume", session, "--name", "npc:smith"}));

  // A new conversation: the persona instead of --resume.
  ASSERT_EQ(demo.post("/npc/smith/new_session")->status, 200);
  EXPECT_EQ(launch_args(launched_turn(demo, "smith", "@reply anew", 3).first),
            base_agent_args("auto", {"--model", "sonnet", "--append-system-prompt", "You are Brom.",
                                     "--name", "npc:smith"}));

  // The lost conversation starts anew, with the persona, and the loss is logged once.
  EXPECT_EQ(
      launch_args(launched_turn(demo, "brom", "@reply hello", 4).first),
      base_agent_args("auto", {"--append-system-prompt", "You are Brom.", "--name", "npc:brom"}));
  // Standard error is read apart from the stream: wait for the line before counting.
  std::string dropped = "npc=brom session " + lost + " has no transcript";
  EXPECT_TRUE(demo.bridge().wait_for_log(dropped));
  EXPECT_EQ(demo.bridge().count_log(dropped), 1u);
}

// A launch under "trust" is checked where the game changes the policy to it (approvals).
TEST(AgentLaunch, AskPolicyInstallsTheHookThroughASettingsFileAndKeepApiKeyPassesTheKey) {
  DemoBridge demo({"--permission-policy", "ask", "--keep-api-key"},
                  {{"ANTHROPIC_API_KEY", "sk-secret"}});
  ASSERT_TRUE(demo.start());
  std::string self = std::filesystem::canonical(BRIDGE_EXE).string();
  std::string bridge_url = " --hook --bridge http://127.0.0.1:" + std::to_string(demo.port());

  // Ids needing quotes in the hook command or encoding in the file name, or too long for one.
  std::size_t launched = 0;
  for (const auto& [id, quoted] : std::vector<std::pair<std::string, std::string>>{
           {"smith", "smith"},
           {"it's", "'it'\"'\"'s'"},
           {std::string(300, 'x'), std::string(300, 'x')}}) {
    SCOPED_TRACE(id.substr(0, 20));
    Json launch = launched_turn(demo, id, "@reply hello", ++launched).first;
    EXPECT_EQ(launch["env_api_key"], true);
    std::vector<std::string> args = launch_args(launch);
    ASSERT_EQ(args.size(), 13u);
    std::string path = args[10];
    EXPECT_EQ(args, base_agent_args("acceptEdits", {"--settings", path, "--name", "npc:" + id}));

    // One plain file in TMPDIR: npc-<encoded id>-<12 hex>.settings.json.
    std::string prefix = demo.bridge().tmp() + "/npc-" + encode_npc_id_for_file(id) + "-";
    ASSERT_EQ(path.rfind(prefix, 0), 0u) << path;
    EXPECT_TRUE(
        std::regex_match(path.substr(prefix.size()), std::regex("[0-9a-f]{12}\\.settings\\.json")))
        << path;

    std::string command = shell_quote(self) + bridge_url + " --npc " + quoted;
    std::string expected = R"({"hooks":{"PreToolUse":[{"hooks":[{"command":)" +
                           dump_json(Json(command)) +
                           R"(,"timeout":300,"type":"command"}],"matcher":"Bash"}]}})";
    // The file exists while its agent runs, byte for byte.
    EXPECT_EQ(read_text_file(path), expected);

    // Stopping the agent removes its file.
    ASSERT_EQ(demo.post("/npc/" + id + "/sleep")->status, 200);
    EXPECT_FALSE(std::filesystem::exists(path));
  }

  // An empty tool pattern asks about nothing: no hook.
  ASSERT_EQ(demo.post("/npc/smith/workspace", {{"ask_tools", ""}})->status, 200);
  auto [launch, session] = launched_turn(demo, "smith", "@reply again", ++launched);
  EXPECT_EQ(launch_args(launch),
            base_agent_args("acceptEdits", {"--resume", session, "--name", "npc:smith"}));
}

// An agent that closes its standard input but lives on; then a program that can no longer be
// run at all (executable when the bridge checked it at start-up, not when the player speaks).
TEST(SayEndpointAgent, ThatStoppedReadingOrCannotBeStartedGives503) {
  TempRoot bin;
  std::string claude = bin.path() + "/claude", ready = bin.path() + "/closed";
  std::ofstream(claude) << "#!/bin/sh\nexec 0<&-\n: > '" << ready << "'\nexec sleep 60\n";
  ASSERT_EQ(::chmod(claude.c_str(), 0755), 0);
  BridgeProcess bridge({.claude = claude});
  ASSERT_TRUE(bridge.start());
  auto say = [&](const std::string& npc, const std::string& text) {
    return npc_post(bridge.port(), npc, "say", {{"text", text}}).value();
  };

  SseStream events;
  ASSERT_TRUE(open_events(events, bridge.port(), "smith"));
  // The first words may still reach the pipe before the agent closes it; when they do not,
  // they are the ones refused (and that agent is retired).
  HttpResponse response = say("smith", "a");
  ASSERT_TRUE(wait_for_file(ready, WAIT));
  if (response.status == 200) response = say("smith", "b");
  EXPECT_EQ(response.status, 503);
  EXPECT_EQ(response.json()["ok"], false);
  EXPECT_EQ(events.wait_for_type("error", WAIT).value_or(Json())["message"],
            "Lost the agent process: Broken pipe (os error 32)");

  ASSERT_EQ(::chmod(claude.c_str(), 0644), 0);
  SseStream mage;
  ASSERT_TRUE(open_events(mage, bridge.port(), "mage"));
  response = say("mage", "hello");
  EXPECT_EQ(response.status, 503);
  EXPECT_EQ(response.json()["state"], "asleep");
  EXPECT_EQ(mage.wait_for_type("error", WAIT).value_or(Json())["message"],
            "Cannot launch claude: Permission denied (os error 13)");
}

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
