// How the bridge starts an NPC's agent: the exact command line under each permission policy,
// the environment, the working folder, the descriptors it inherits, the hook settings file,
// and what the say endpoint answers when no agent can be started.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "agent/launch.h"
#include "harness/scenario.h"
#include "harness/transcript_files.h"

namespace {

using namespace std::chrono_literals;
using harness::base_agent_args;
using harness::DemoBridge;
using harness::launch_args;
using harness::read_until_type;
using harness::SseStream;

constexpr auto WAIT = harness::SCENARIO_WAIT;

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

// Says `text` and waits for the turn's "result"; the session id the agent reported.
std::string finish_turn(DemoBridge& demo, SseStream& events, const std::string& npc,
                        const std::string& text) {
  return harness::session_of(harness::say_and_read(demo, events, npc, text));
}

TEST(AgentLaunch, AutoPolicyCommandLineFollowsModelSessionAndPersona) {
  DemoBridge demo({}, {{"ANTHROPIC_API_KEY", "sk-secret"}});
  ASSERT_TRUE(demo.start());
  SseStream events;
  ASSERT_TRUE(harness::open_events(events, demo.port(), "smith"));

  // Plain: mode auto, no model, no session, no persona, no settings file.
  std::string session = finish_turn(demo, events, "smith", "@reply hi");
  ASSERT_FALSE(session.empty());
  auto launches = demo.wait_for_launches(1);
  ASSERT_EQ(launches.size(), 1u);
  EXPECT_EQ(launch_args(launches[0]), with(base_agent_args("auto"), {"--name", "npc:smith"}));
  EXPECT_EQ(as_text(launches[0], "cwd"), demo.bridge().workspace());
  EXPECT_EQ(launches[0]["env_api_key"], false);
  EXPECT_TRUE(launches[0]["settings"].is_null());
  // The bridge holds a listener, an event stream and pipes of its own: none may leak.
  EXPECT_EQ(launches[0]["fds"], Json::array({0, 1, 2}));
  EXPECT_TRUE(settings_files(demo.bridge().tmp()).empty());

  // A persona and a model; the kept session is resumed, so the persona is not passed.
  auto set = demo.post("/npc/smith/workspace", {{"persona", "You are Brom, the smith."}});
  ASSERT_TRUE(set && set->status == 200);
  auto model = demo.post("/npc/smith/model", {{"model", "sonnet"}});
  ASSERT_TRUE(model && model->status == 200);
  finish_turn(demo, events, "smith", "@reply again");
  launches = demo.wait_for_launches(2);
  ASSERT_EQ(launches.size(), 2u);
  EXPECT_EQ(launch_args(launches[1]),
            with(base_agent_args("auto"),
                 {"--model", "sonnet", "--resume", session, "--name", "npc:smith"}));

  // A new conversation: the persona instead of --resume.
  auto fresh = demo.post("/npc/smith/new_session");
  ASSERT_TRUE(fresh && fresh->status == 200);
  finish_turn(demo, events, "smith", "@reply anew");
  launches = demo.wait_for_launches(3);
  ASSERT_EQ(launches.size(), 3u);
  EXPECT_EQ(launch_args(launches[2]),
            with(base_agent_args("auto"), {"--model", "sonnet", "--append-system-prompt",
                                           "You are Brom, the smith.", "--name", "npc:smith"}));
}

TEST(AgentLaunch, TrustPolicyBypassesPermissionsAndKeepApiKeyPassesTheKey) {
  DemoBridge demo({"--permission-policy", "trust", "--keep-api-key"},
                  {{"ANTHROPIC_API_KEY", "sk-secret"}});
  ASSERT_TRUE(demo.start());
  SseStream events;
  ASSERT_TRUE(harness::open_events(events, demo.port(), "guard"));
  finish_turn(demo, events, "guard", "@reply halt");
  auto launches = demo.wait_for_launches(1);
  ASSERT_EQ(launches.size(), 1u);
  EXPECT_EQ(launch_args(launches[0]),
            with(base_agent_args("bypassPermissions"), {"--name", "npc:guard"}));
  EXPECT_EQ(launches[0]["env_api_key"], true);
  EXPECT_TRUE(launches[0]["settings"].is_null());
  EXPECT_TRUE(settings_files(demo.bridge().tmp()).empty());
}

TEST(AgentLaunch, AskPolicyInstallsTheHookThroughASettingsFile) {
  DemoBridge demo({"--permission-policy", "ask"});
  ASSERT_TRUE(demo.start());
  std::string self = std::filesystem::canonical(BRIDGE_EXE).string();
  std::string tmp = demo.bridge().tmp();
  std::string bridge_url = " --hook --bridge http://127.0.0.1:" + std::to_string(demo.port());

  // Ids that need quoting in the hook command or encoding in the file name, and one too long
  // to be a file name as it is.
  struct Case {
    std::string id;
    std::string quoted;
  };
  std::vector<Case> cases = {{"smith", "smith"},
                             {"it's", "'it'\"'\"'s'"},
                             {"caf\xC3\xA9", "'caf\xC3\xA9'"},
                             {std::string(300, 'x'), std::string(300, 'x')}};
  std::size_t launched = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id.substr(0, 20));
    SseStream events;
    ASSERT_TRUE(harness::open_events(events, demo.port(), c.id));
    finish_turn(demo, events, c.id, "@reply hello");
    auto launches = demo.wait_for_launches(++launched);
    ASSERT_EQ(launches.size(), launched);
    std::vector<std::string> args = launch_args(launches.back());
    ASSERT_EQ(args.size(), 13u);
    std::string path = args[10];
    EXPECT_EQ(args, with(base_agent_args("acceptEdits"), {"--settings", path, "--name", "npc:" + c.id}));

    // One plain file in TMPDIR: npc-<encoded id>-<12 hex>.settings.json.
    std::filesystem::path file(path);
    EXPECT_EQ(file.parent_path().string(), tmp);
    std::string name = file.filename().string();
    EXPECT_LE(name.size(), 255u);
    std::string prefix = "npc-" + encode_npc_id_for_file(c.id) + "-";
    ASSERT_EQ(name.rfind(prefix, 0), 0u) << name;
    EXPECT_TRUE(std::regex_match(name.substr(prefix.size()),
                                 std::regex("[0-9a-f]{12}\\.settings\\.json")))
        << name;
    if (c.id == "smith") {
      EXPECT_EQ(prefix, "npc-smith-");
    }

    std::string command = shell_quote(self) + bridge_url + " --npc " + c.quoted;
    std::string expected = R"({"hooks":{"PreToolUse":[{"hooks":[{"command":)" +
                           dump_json(Json(command)) +
                           R"(,"timeout":300,"type":"command"}],"matcher":"Bash"}]}})";
    // The file exists while its agent runs, byte for byte, and the agent read the same.
    EXPECT_EQ(harness::read_text_file(path), expected);
    EXPECT_EQ(dump_json(launches.back()["settings"]), expected);

    // Stopping the agent removes its file.
    auto slept = demo.post("/npc/" + c.id + "/sleep");
    ASSERT_TRUE(slept && slept->status == 200);
    EXPECT_FALSE(std::filesystem::exists(path));
  }

  // An empty tool pattern asks about nothing: no hook, no file.
  auto set = demo.post("/npc/smith/workspace", {{"ask_tools", ""}});
  ASSERT_TRUE(set && set->status == 200);
  SseStream events;
  ASSERT_TRUE(harness::open_events(events, demo.port(), "smith"));
  std::string session = finish_turn(demo, events, "smith", "@reply again");
  auto launches = demo.wait_for_launches(++launched);
  ASSERT_EQ(launches.size(), launched);
  EXPECT_EQ(launch_args(launches.back()),
            with(base_agent_args("acceptEdits"), {"--resume", session, "--name", "npc:smith"}));
  EXPECT_TRUE(settings_files(tmp).empty());
}

class SayEndpoint : public harness::Scenario {};

// A missing workspace folder gives 503 and starts nothing; blank text is refused; other values
// are said as text.
TEST_F(SayEndpoint, MissingFolderBlankTextAndOtherValues) {
  std::string folder = demo.scratch() + "/tower";
  ASSERT_TRUE(std::filesystem::create_directory(folder));
  auto set = demo.post("/npc/mage/workspace", {{"workspace", folder}});
  ASSERT_TRUE(set && set->status == 200);
  ASSERT_TRUE(std::filesystem::remove(folder));

  SseStream mage;
  ASSERT_TRUE(harness::open_events(mage, demo.port(), "mage"));
  auto unavailable = demo.say("mage", "hello");
  ASSERT_TRUE(unavailable);
  EXPECT_EQ(unavailable->status, 503);
  EXPECT_EQ(unavailable->json()["ok"], false);
  EXPECT_EQ(unavailable->json()["state"], "asleep");
  auto error = mage.wait_for_type("error", WAIT);
  ASSERT_TRUE(error);
  EXPECT_EQ((*error)["message"], "Workspace no longer exists: " + folder);
  EXPECT_EQ(unavailable->json()["seq"], (*error)["seq"]);
  EXPECT_TRUE(demo.launches().empty());

  for (const Json& body : {Json{{"text", "   "}}, Json::object(), Json{{"text", nullptr}}}) {
    auto response = demo.post("/npc/smith/say", body);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 400) << body;
    EXPECT_EQ(response->json(), Json({{"error", "missing text"}})) << body;
  }
  EXPECT_TRUE(demo.launches().empty());

  auto response = demo.post("/npc/smith/say", {{"text", 42}});
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 200);
  EXPECT_EQ(response->json()["ok"], true);
  auto turn = read_until_type(events, "result", WAIT);
  ASSERT_TRUE(turn);
  std::vector<Json> said = harness::of_type(*turn, "said");
  ASSERT_EQ(said.size(), 1u);
  EXPECT_EQ(said[0]["text"], "42");
  EXPECT_EQ(turn->back()["text"], "You said: 42");
  // The say answer's "seq" is the newest event once the words were said.
  EXPECT_GE(response->json()["seq"].get<std::uint64_t>(), said[0]["seq"].get<std::uint64_t>());
}

TEST(SayEndpointAgent, ThatCannotBeStartedGives503) {
  // Executable when the bridge checks it at start-up, no longer when the player speaks.
  harness::TempRoot bin;
  std::string claude = bin.path() + "/claude";
  std::ofstream(claude) << "#!/bin/sh\ncat >/dev/null\n";
  ASSERT_EQ(::chmod(claude.c_str(), 0755), 0);
  harness::BridgeOptions options;
  options.claude = claude;
  harness::BridgeProcess bridge(options);
  ASSERT_TRUE(bridge.start());
  ASSERT_EQ(::chmod(claude.c_str(), 0644), 0);

  SseStream events;
  ASSERT_TRUE(harness::open_events(events, bridge.port(), "smith"));
  auto response = harness::http_request(bridge.port(), "POST", "/npc/smith/say",
                                        Json{{"text", "hello"}});
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 503);
  EXPECT_EQ(response->json()["ok"], false);
  EXPECT_EQ(response->json()["state"], "asleep");
  auto error = events.wait_for_type("error", WAIT);
  ASSERT_TRUE(error);
  EXPECT_EQ((*error)["message"], "Cannot launch claude: Permission denied (os error 13)");
}

TEST(SayEndpointAgent, ThatStoppedReadingGives503) {
  // An agent that closes its standard input but lives on.
  harness::TempRoot bin;
  std::string claude = bin.path() + "/claude";
  std::string ready = bin.path() + "/closed";
  std::ofstream(claude) << "#!/bin/sh\nexec 0<&-\n: > '" << ready << "'\nexec sleep 60\n";
  ASSERT_EQ(::chmod(claude.c_str(), 0755), 0);
  harness::BridgeOptions options;
  options.claude = claude;
  harness::BridgeProcess bridge(options);
  ASSERT_TRUE(bridge.start());

  SseStream events;
  ASSERT_TRUE(harness::open_events(events, bridge.port(), "smith"));
  // The first words may still reach the pipe before the agent closes it; when they do not,
  // they are the ones refused (and that agent is retired).
  auto response = harness::http_request(bridge.port(), "POST", "/npc/smith/say", Json{{"text", "a"}});
  ASSERT_TRUE(response);
  for (int i = 0; i < 3000 && !std::filesystem::exists(ready); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_TRUE(std::filesystem::exists(ready));

  if (response->status == 200) {
    response = harness::http_request(bridge.port(), "POST", "/npc/smith/say", Json{{"text", "b"}});
    ASSERT_TRUE(response);
  }
  EXPECT_EQ(response->status, 503);
  EXPECT_EQ(response->json()["ok"], false);
  auto error = events.wait_for_type("error", WAIT);
  ASSERT_TRUE(error);
  EXPECT_EQ((*error)["message"], "Lost the agent process: Broken pipe (os error 32)");
}

}  // namespace
