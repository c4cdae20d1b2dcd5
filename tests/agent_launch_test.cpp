// How the bridge starts an NPC's agent: the exact command line under each permission policy,
// the environment, the working folder, the descriptors it inherits, the hook settings file,
// and what the say endpoint answers when no agent can be started.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "agent/launch.h"
#include "harness/scenario.h"
#include "harness/transcript_files.h"

namespace {

using namespace harness;

constexpr auto WAIT = SCENARIO_WAIT;

std::vector<std::string> with(std::vector<std::string> head, const std::vector<std::string>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// The hook settings files in a folder.
std::vector<std::string> settings_files(const std::string& folder) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("npc-", 0) == 0) out.push_back(name);
  }
  return out;
}

// Opens `npc`'s stream, says `text` and waits for the turn's "result"; the launch it ran in
// (the `count`th) and the session id the agent reported.
std::pair<Json, std::string> launched_turn(DemoBridge& demo, const std::string& npc,
                                           const std::string& text, std::size_t count) {
  SseStream events;
  EXPECT_TRUE(open_events(events, demo.port(), npc));
  std::string session = session_of(say_and_read(demo, events, npc, text));
  std::vector<Json> launches = demo.wait_for_launches(count);
  EXPECT_EQ(launches.size(), count);
  return {launches.size() == count ? launches.back() : Json::object(), session};
}

TEST(AgentLaunch, AutoPolicyCommandLineFollowsModelSessionAndPersona) {
  DemoBridge demo({}, {{"ANTHROPIC_API_KEY", "sk-secret"}});
  ASSERT_TRUE(demo.start());

  // Nothing is started for a missing workspace folder (503), nor for blank text (400).
  std::string folder = demo.scratch() + "/tower";
  ASSERT_TRUE(std::filesystem::create_directory(folder));
  ASSERT_EQ(demo.post("/npc/mage/workspace", {{"workspace", folder}})->status, 200);
  ASSERT_TRUE(std::filesystem::remove(folder));
  SseStream mage;
  ASSERT_TRUE(open_events(mage, demo.port(), "mage"));
  auto unavailable = demo.say("mage", "hello");
  ASSERT_TRUE(unavailable);
  EXPECT_EQ(unavailable->status, 503);
  auto error = mage.wait_for_type("error", WAIT);
  ASSERT_TRUE(error);
  EXPECT_EQ((*error)["message"], "Workspace no longer exists: " + folder);
  EXPECT_EQ(unavailable->json(),
            Json({{"ok", false}, {"state", "asleep"}, {"seq", (*error)["seq"]}}));
  for (const Json& body : {Json{{"text", "   "}}, Json::object(), Json{{"text", nullptr}}}) {
    auto response = demo.post("/npc/smith/say", body);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 400) << body;
    EXPECT_EQ(response->json(), Json({{"error", "missing text"}})) << body;
  }
  EXPECT_TRUE(demo.launches().empty());

  // Other values are said as text; the answer's "seq" is the newest event once they were said.
  SseStream events;
  ASSERT_TRUE(open_events(events, demo.port(), "smith"));
  auto said = demo.post("/npc/smith/say", {{"text", 42}});
  ASSERT_TRUE(said);
  EXPECT_EQ(said->status, 200);
  EXPECT_EQ(said->json()["ok"], true);
  std::vector<Json> turn = read_until_type(events, "result", WAIT).value_or(std::vector<Json>{});
  ASSERT_FALSE(turn.empty());
  EXPECT_EQ(turn.back()["text"], "You said: 42");
  std::optional<Json> words = find_event(events, "said", {{"text", "42"}});
  ASSERT_TRUE(words);
  EXPECT_GE(said->json()["seq"].get<std::uint64_t>(), (*words)["seq"].get<std::uint64_t>());

  // Plain: mode auto, no model, no session, no persona, no settings file, no key.
  Json first = demo.wait_for_launches(1).at(0);
  std::string session = session_of(turn);
  ASSERT_FALSE(session.empty());
  EXPECT_EQ(launch_args(first), with(base_agent_args("auto"), {"--name", "npc:smith"}));
  EXPECT_EQ(as_text(first, "cwd"), demo.bridge().workspace());
  EXPECT_EQ(first["env_api_key"], false);
  EXPECT_TRUE(first["settings"].is_null());
  // The bridge holds a listener, an event stream and pipes of its own: none may leak.
  EXPECT_EQ(first["fds"], Json::array({0, 1, 2}));
  EXPECT_TRUE(settings_files(demo.bridge().tmp()).empty());

  // A persona and a model; the kept session is resumed, so the persona is not passed.
  ASSERT_EQ(demo.post("/npc/smith/workspace", {{"persona", "You are Brom."}})->status, 200);
  ASSERT_EQ(demo.post("/npc/smith/model", {{"model", "sonnet"}})->status, 200);
  EXPECT_EQ(launch_args(launched_turn(demo, "smith", "@reply again", 2).first),
            with(base_agent_args("auto"),
                 {"--model", "sonnet", "--resume", session, "--name", "npc:smith"}));

  // A new conversation: the persona instead of --resume.
  ASSERT_EQ(demo.post("/npc/smith/new_session")->status, 200);
  EXPECT_EQ(launch_args(launched_turn(demo, "smith", "@reply anew", 3).first),
            with(base_agent_args("auto"), {"--model", "sonnet", "--append-system-prompt",
                                           "You are Brom.", "--name", "npc:smith"}));
}

// A launch under "trust" is checked where the game changes the policy to it (approvals).
TEST(AgentLaunch, AskPolicyInstallsTheHookThroughASettingsFileAndKeepApiKeyPassesTheKey) {
  DemoBridge demo({"--permission-policy", "ask", "--keep-api-key"},
                  {{"ANTHROPIC_API_KEY", "sk-secret"}});
  ASSERT_TRUE(demo.start());
  std::string self = std::filesystem::canonical(BRIDGE_EXE).string();
  std::string tmp = demo.bridge().tmp();
  std::string bridge_url = " --hook --bridge http://127.0.0.1:" + std::to_string(demo.port());

  // Ids that need quoting in the hook command or encoding in the file name, and one too long
  // to be a file name as it is.
  struct Case {
    std::string id, quoted;
  };
  std::vector<Case> cases = {
      {"smith", "smith"}, {"it's", "'it'\"'\"'s'"}, {std::string(300, 'x'), std::string(300, 'x')}};
  std::size_t launched = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id.substr(0, 20));
    Json launch = launched_turn(demo, c.id, "@reply hello", ++launched).first;
    EXPECT_EQ(launch["env_api_key"], true);
    std::vector<std::string> args = launch_args(launch);
    ASSERT_EQ(args.size(), 13u);
    std::string path = args[10];
    EXPECT_EQ(args,
              with(base_agent_args("acceptEdits"), {"--settings", path, "--name", "npc:" + c.id}));

    // One plain file in TMPDIR: npc-<encoded id>-<12 hex>.settings.json.
    std::filesystem::path file(path);
    EXPECT_EQ(file.parent_path().string(), tmp);
    std::string name = file.filename().string();
    EXPECT_LE(name.size(), 255u);
    std::string prefix = "npc-" + encode_npc_id_for_file(c.id) + "-";
    ASSERT_EQ(name.rfind(prefix, 0), 0u) << name;
    EXPECT_TRUE(
        std::regex_match(name.substr(prefix.size()), std::regex("[0-9a-f]{12}\\.settings\\.json")))
        << name;

    std::string command = shell_quote(self) + bridge_url + " --npc " + c.quoted;
    std::string expected = R"({"hooks":{"PreToolUse":[{"hooks":[{"command":)" +
                           dump_json(Json(command)) +
                           R"(,"timeout":300,"type":"command"}],"matcher":"Bash"}]}})";
    // The file exists while its agent runs, byte for byte, and the agent read the same.
    EXPECT_EQ(read_text_file(path), expected);
    EXPECT_EQ(dump_json(launch["settings"]), expected);

    // Stopping the agent removes its file.
    ASSERT_EQ(demo.post("/npc/" + c.id + "/sleep")->status, 200);
    EXPECT_FALSE(std::filesystem::exists(path));
  }

  // An empty tool pattern asks about nothing: no hook, no file.
  ASSERT_EQ(demo.post("/npc/smith/workspace", {{"ask_tools", ""}})->status, 200);
  auto [launch, session] = launched_turn(demo, "smith", "@reply again", ++launched);
  EXPECT_EQ(launch_args(launch),
            with(base_agent_args("acceptEdits"), {"--resume", session, "--name", "npc:smith"}));
  EXPECT_TRUE(settings_files(tmp).empty());
}

// An agent that closes its standard input but lives on; then a program that can no longer be
// run at all (executable when the bridge checked it at start-up, not when the player speaks).
TEST(SayEndpointAgent, ThatStoppedReadingOrCannotBeStartedGives503) {
  TempRoot bin;
  std::string claude = bin.path() + "/claude";
  std::string ready = bin.path() + "/closed";
  std::ofstream(claude) << "#!/bin/sh\nexec 0<&-\n: > '" << ready << "'\nexec sleep 60\n";
  ASSERT_EQ(::chmod(claude.c_str(), 0755), 0);
  BridgeOptions options;
  options.claude = claude;
  BridgeProcess bridge(options);
  ASSERT_TRUE(bridge.start());
  auto say = [&](const std::string& npc, const std::string& text) {
    return http_request(bridge.port(), "POST", "/npc/" + npc + "/say", Json{{"text", text}});
  };

  SseStream events;
  ASSERT_TRUE(open_events(events, bridge.port(), "smith"));
  // The first words may still reach the pipe before the agent closes it; when they do not,
  // they are the ones refused (and that agent is retired).
  auto response = say("smith", "a");
  ASSERT_TRUE(response);
  ASSERT_TRUE(wait_for_file(ready, WAIT));
  if (response->status == 200) response = say("smith", "b");
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 503);
  EXPECT_EQ(response->json()["ok"], false);
  auto error = events.wait_for_type("error", WAIT);
  ASSERT_TRUE(error);
  EXPECT_EQ((*error)["message"], "Lost the agent process: Broken pipe (os error 32)");

  ASSERT_EQ(::chmod(claude.c_str(), 0644), 0);
  SseStream mage;
  ASSERT_TRUE(open_events(mage, bridge.port(), "mage"));
  response = say("mage", "hello");
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 503);
  EXPECT_EQ(response->json()["state"], "asleep");
  error = mage.wait_for_type("error", WAIT);
  ASSERT_TRUE(error);
  EXPECT_EQ((*error)["message"], "Cannot launch claude: Permission denied (os error 13)");
}

}  // namespace
