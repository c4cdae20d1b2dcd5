// The bridge against the real claude CLI, run offline: the CLI talks to a stand-in for the model
// API on the loopback interface, and the tests drive the bridge through its HTTP and event
// stream interface the way the game does. They prove that what the bridge assumes of the CLI
// (its arguments, records, hook, transcripts and signals) still holds for the installed version.
//
// The CLI is installed by install.sh, which writes its path to a file; without that file (the
// registry could not be reached) every test skips. QUILLHAVEN_CONTRACT_CLAUDE names a binary
// directly instead.

#include <dirent.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "contract/model_api_stub.h"
#include "harness/approval_support.h"
#include "harness/bridge_process.h"
#include "harness/demo_bridge.h"
#include "harness/http_client.h"
#include "harness/transcript_files.h"
#include "util/json.h"
#include "util/paths.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using harness::BridgeOptions;
using harness::BridgeProcess;
using harness::SseStream;

// The CLI takes about a second to start and a few seconds to give up on a failing model call;
// sanitizer builds of the bridge are slower still.
constexpr auto TURN_WAIT = 60s;

const std::string API_KEY = "sk-quillhaven-contract-test";

// The CLI binary to run, or nullopt with the reason the suite skips.
std::optional<std::string> installed_cli(std::string& reason) {
  if (const char* direct = std::getenv("QUILLHAVEN_CONTRACT_CLAUDE"); direct && *direct) {
    if (is_executable_file(direct)) return std::string(direct);
    reason = std::string("QUILLHAVEN_CONTRACT_CLAUDE is not an executable file: ") + direct;
    return std::nullopt;
  }
  std::ifstream file(CONTRACT_CLI_PATH_FILE);
  std::string path;
  if (!file || !std::getline(file, path) || path.empty()) {
    reason = std::string("the claude CLI is not installed (tests/contract/install.sh writes ") +
             CONTRACT_CLI_PATH_FILE + "; it skips when the npm registry cannot be reached)";
    return std::nullopt;
  }
  if (!is_executable_file(path)) {
    reason = "the installed claude CLI is gone: " + path;
    return std::nullopt;
  }
  return path;
}

std::string real_path(const std::string& path) {
  char buffer[PATH_MAX];
  return ::realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : path;
}

std::optional<std::string> read_link(const std::string& path) {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
  if (n <= 0) return std::nullopt;
  return std::string(buffer, static_cast<std::size_t>(n));
}

// The process checks read the process table from /proc (Linux); elsewhere they are left out.
bool can_see_processes() { return is_directory("/proc/self"); }

// The parent pid of a process, from /proc; -1 when it is gone.
pid_t parent_of(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return -1;
  std::size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  // After the name: " STATE PPID ..."
  std::size_t start = text.find(' ', close + 2);
  return start == std::string::npos ? -1 : static_cast<pid_t>(std::atol(text.c_str() + start));
}

// Every process below `root` in the process tree (children, their children, ...).
std::vector<pid_t> descendants(pid_t root) {
  std::vector<std::pair<pid_t, pid_t>> all;  // pid, parent
  if (DIR* proc = ::opendir("/proc")) {
    while (dirent* entry = ::readdir(proc)) {
      char* end = nullptr;
      long pid = std::strtol(entry->d_name, &end, 10);
      if (end == entry->d_name || *end != '\0') continue;
      all.emplace_back(static_cast<pid_t>(pid), parent_of(static_cast<pid_t>(pid)));
    }
    ::closedir(proc);
  }
  std::vector<pid_t> found;
  std::vector<pid_t> frontier = {root};
  while (!frontier.empty()) {
    pid_t parent = frontier.back();
    frontier.pop_back();
    for (const auto& [pid, ppid] : all) {
      if (ppid == parent) {
        found.push_back(pid);
        frontier.push_back(pid);
      }
    }
  }
  return found;
}

// The argument list of a running process (without the program), from /proc.
std::vector<std::string> arguments_of(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  std::vector<std::string> args;
  std::string arg;
  while (std::getline(file, arg, '\0')) args.push_back(arg);
  if (!args.empty()) args.erase(args.begin());
  return args;
}

bool has_pair(const std::vector<std::string>& args, const std::string& flag,
              const std::string& value) {
  for (std::size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] == flag && args[i + 1] == value) return true;
  }
  return false;
}

bool is_type(const Json& event, const std::string& type) { return as_text(event, "type") == type; }

std::function<bool(const Json&)> ends_turn() {
  return [](const Json& e) { return is_type(e, "result") || is_type(e, "error"); };
}

// The texts of the "delta" events, joined.
std::string joined_deltas(const std::vector<Json>& events) {
  std::string text;
  for (const Json& e : harness::of_type(events, "delta")) text += as_text(e, "text");
  return text;
}

std::string events_text(const std::vector<Json>& events) {
  std::string text;
  for (const Json& e : events) text += dump_json(e) + "\n";
  return text;
}

class Contract : public testing::Test {
 protected:
  void SetUp() override {
    std::string reason;
    std::optional<std::string> cli = installed_cli(reason);
    if (!cli) GTEST_SKIP() << reason;
    cli_ = *cli;
    ASSERT_TRUE(stub_.start());
  }

  // A bridge that runs the CLI against the stub, with `args` added to its command line.
  std::unique_ptr<BridgeProcess> start_bridge(std::vector<std::string> args = {}) {
    BridgeOptions options;
    options.claude = cli_;
    options.args = {"--keep-api-key"};
    options.args.insert(options.args.end(), args.begin(), args.end());
    // Nothing of the machine's own CLI setup may reach the CLI under test.
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
      std::string entry(*e);
      std::string name = entry.substr(0, entry.find('='));
      if (name.rfind("CLAUDE", 0) == 0 || name.rfind("ANTHROPIC", 0) == 0) {
        options.env[name] = std::nullopt;
      }
    }
    options.env["ANTHROPIC_BASE_URL"] = stub_.base_url();
    options.env["ANTHROPIC_API_KEY"] = API_KEY;
    options.env["CLAUDE_CODE_DISABLE_NONESSENTIAL_TRAFFIC"] = "1";
    auto bridge = std::make_unique<BridgeProcess>(options);
    if (!bridge->start()) {
      ADD_FAILURE() << "the bridge did not start:\n" << log_of(*bridge);
      return nullptr;
    }
    return bridge;
  }

  static std::string log_of(const BridgeProcess& bridge) {
    std::string text;
    for (const std::string& line : bridge.log_lines()) text += line + "\n";
    return text;
  }

  // POST /npc/ID/ACTION; fails the test when no response came.
  static harness::HttpResponse post(const BridgeProcess& bridge, const std::string& npc,
                                    const std::string& action, const Json& body = Json::object()) {
    auto response = harness::npc_post(bridge.port(), npc, action, body);
    EXPECT_TRUE(response) << "no answer to " << action;
    return response.value_or(harness::HttpResponse{});
  }

  static void say(const BridgeProcess& bridge, const std::string& npc, const std::string& words) {
    harness::HttpResponse response = post(bridge, npc, "say", Json{{"text", words}});
    EXPECT_EQ(response.status, 200) << response.body << "\n" << log_of(bridge);
  }

  static Json get(const BridgeProcess& bridge, const std::string& path) {
    auto response = harness::http_request(bridge.port(), "GET", path);
    EXPECT_TRUE(response && response->status == 200) << path;
    return response ? response->json() : Json();
  }

  static Json sessions(const BridgeProcess& bridge, const std::string& npc) {
    Json listing = get(bridge, "/npc/" + npc + "/sessions");
    const Json* list = field(listing, "sessions");
    return list != nullptr && list->is_array() ? *list : Json::array();
  }

  // Events up to and including the first that matches `done`; fails the test on a time-out.
  static std::vector<Json> read_until(SseStream& events,
                                      const std::function<bool(const Json&)>& done,
                                      const std::string& what) {
    auto got = harness::read_until(events, done, TURN_WAIT);
    EXPECT_TRUE(got) << "no " << what << " within the time-out; events so far:\n"
                     << events_text(events.seen());
    return got.value_or(std::vector<Json>{});
  }

  // The events of one whole turn, up to its "result" or "error".
  static std::vector<Json> read_turn(SseStream& events) {
    return read_until(events, ends_turn(), "end of the turn");
  }

  // The CLI processes the bridge runs now, by their executable.
  std::vector<pid_t> cli_processes(const BridgeProcess& bridge) const {
    std::string cli = real_path(cli_);
    std::vector<pid_t> found;
    for (pid_t pid : descendants(bridge.pid())) {
      if (read_link("/proc/" + std::to_string(pid) + "/exe") == cli) found.push_back(pid);
    }
    return found;
  }

  std::string cli_;
  contract::ModelApiStub stub_;
};

TEST_F(Contract, TurnStreamsTheReplyThenItsResult) {
  auto bridge = start_bridge();
  ASSERT_TRUE(bridge);
  SseStream events;
  ASSERT_TRUE(events.open(bridge->port(), "innkeeper"));
  say(*bridge, "innkeeper", "good evening to the house");

  std::vector<Json> turn = read_turn(events);
  ASSERT_FALSE(turn.empty());
  ASSERT_TRUE(is_type(turn.back(), "result")) << events_text(turn) << log_of(*bridge);
  const std::string reply = "Hello from the stub: good evening to the house";

  // The stub streams the reply word by word; the game gets it as several deltas, each
  // character once, closed by one message_end before the result.
  std::vector<Json> deltas = harness::of_type(turn, "delta");
  EXPECT_GE(deltas.size(), 2u) << events_text(turn);
  EXPECT_EQ(joined_deltas(turn), reply);
  std::vector<std::string> types = harness::types_of(turn);
  auto end = std::find(types.begin(), types.end(), "message_end");
  ASSERT_NE(end, types.end()) << events_text(turn);
  EXPECT_EQ(std::count(types.begin(), types.end(), "message_end"), 1);
  EXPECT_EQ(std::find(end, types.end(), "delta"), types.end()) << "a delta after message_end";
  EXPECT_EQ(harness::of_type(turn, "said").at(0)["text"], "good evening to the house");

  const Json& result = turn.back();
  EXPECT_EQ(result["text"], reply);
  EXPECT_EQ(result["input_tokens"], 12);
  EXPECT_EQ(result["output_tokens"], 7);
  EXPECT_GE(result["turns"].get<double>(), 1.0);
  ASSERT_TRUE(result["cost"].is_number());
  EXPECT_GT(result["cost"].get<double>(), 0.0);
  EXPECT_EQ(result["tools"], 0);

  read_until(events, harness::is_state("idle"), "state idle after the result");
  EXPECT_EQ(harness::npc_row(bridge->port(), "innkeeper")["state"], "idle");
  EXPECT_TRUE(harness::of_type(events.seen(), "error").empty()) << events_text(events.seen());
}

TEST_F(Contract, InitReportsTheSessionWhichTheStateFileKeeps) {
  auto bridge = start_bridge();
  ASSERT_TRUE(bridge);
  SseStream events;
  ASSERT_TRUE(events.open(bridge->port(), "smith"));
  say(*bridge, "smith", "what do you forge today");

  std::vector<Json> turn = read_turn(events);
  std::vector<Json> reported = harness::of_type(turn, "session");
  ASSERT_EQ(reported.size(), 1u) << events_text(turn);
  std::string session = as_text(reported[0], "session_id");
  EXPECT_FALSE(session.empty());
  EXPECT_FALSE(as_text(reported[0], "resolved").empty()) << "the CLI names the model it uses";
  EXPECT_EQ(reported[0]["resumed"], false);
  // The bridge asks for the permission mode that its default policy maps to.
  EXPECT_TRUE(harness::of_type(turn, "policy_downgraded").empty()) << events_text(turn);

  std::optional<std::string> text = harness::read_text_file(bridge->state_file());
  ASSERT_TRUE(text);
  std::optional<Json> state = parse_json(*text);
  ASSERT_TRUE(state);
  EXPECT_EQ(as_text((*state)["smith"], "session_id"), session) << *text;

  // The CLI keeps the transcript where the bridge looks for it.
  std::string transcript = bridge->home() + "/.claude/projects/" +
                           harness::cli_folder_name(bridge->workspace()) + "/" + session + ".jsonl";
  EXPECT_TRUE(is_regular_file(transcript)) << transcript;
}

TEST_F(Contract, InterruptedNpcResumesItsSessionAndListsIt) {
  auto bridge = start_bridge();
  ASSERT_TRUE(bridge);
  SseStream events;
  ASSERT_TRUE(events.open(bridge->port(), "bard"));
  say(*bridge, "bard", "sing me the ballad of the quill");
  std::vector<Json> first = read_turn(events);
  ASSERT_TRUE(!first.empty() && is_type(first.back(), "result")) << events_text(first);
  std::string session = as_text(harness::of_type(first, "session").at(0), "session_id");
  Json listed = sessions(*bridge, "bard");
  ASSERT_EQ(listed.size(), 1u) << listed.dump();
  std::uint64_t messages_before = listed[0]["messages"].get<std::uint64_t>();

  // Interrupt in the middle of a model call.
  say(*bridge, "bard", "hold:verse and the second verse");
  ASSERT_TRUE(stub_.wait_until_held("verse", TURN_WAIT));
  std::vector<pid_t> first_cli = cli_processes(*bridge);
  if (can_see_processes()) {
    ASSERT_EQ(first_cli.size(), 1u);
  }
  EXPECT_EQ(post(*bridge, "bard", "interrupt").status, 200);
  read_until(
      events, [](const Json& e) { return is_type(e, "interrupted"); }, "interrupted");
  read_until(events, harness::is_state("asleep"), "state asleep");
  for (pid_t pid : first_cli) {
    EXPECT_TRUE(harness::wait_until_gone(pid, 10s)) << "the interrupted CLI still runs";
  }
  stub_.release("verse");

  say(*bridge, "bard", "and now the last verse please");
  std::vector<Json> again = read_turn(events);
  ASSERT_TRUE(!again.empty() && is_type(again.back(), "result")) << events_text(again);
  std::vector<Json> reported = harness::of_type(again, "session");
  ASSERT_EQ(reported.size(), 1u) << events_text(again);
  EXPECT_EQ(as_text(reported[0], "session_id"), session) << "a new conversation began";
  EXPECT_EQ(again.back()["text"], "Hello from the stub: and now the last verse please");

  if (can_see_processes()) {
    std::vector<pid_t> second_cli = cli_processes(*bridge);
    ASSERT_EQ(second_cli.size(), 1u);
    EXPECT_TRUE(has_pair(arguments_of(second_cli[0]), "--resume", session));
  }

  // The resumed CLI sent the model the earlier conversation.
  std::vector<contract::StubRequest> requests = stub_.requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_NE(dump_json(requests.back().body).find("sing me the ballad of the quill"),
            std::string::npos);

  listed = sessions(*bridge, "bard");
  ASSERT_EQ(listed.size(), 1u) << listed.dump();
  EXPECT_EQ(listed[0]["session_id"], session);
  EXPECT_EQ(listed[0]["label"], "sing me the ballad of the quill");
  EXPECT_EQ(listed[0]["title"], "npc:bard");
  EXPECT_EQ(listed[0]["current"], true) << listed.dump();
  EXPECT_GT(listed[0]["messages"].get<std::uint64_t>(), messages_before) << listed.dump();
}

TEST_F(Contract, AskPolicyPutsBashUsesToThePlayer) {
  auto bridge = start_bridge({"--permission-policy", "ask"});
  ASSERT_TRUE(bridge);
  SseStream events;
  ASSERT_TRUE(events.open(bridge->port(), "guard"));

  // Allowed: the command runs and the model quotes its output.
  say(*bridge, "guard", "run: echo quillhaven-allowed");
  std::vector<Json> asked = read_until(
      events, [](const Json& e) { return is_type(e, "permission_request"); }, "permission_request");
  ASSERT_FALSE(asked.empty());
  const Json& request = asked.back();
  EXPECT_EQ(request["name"], "Bash");
  EXPECT_EQ(request["category"], "exec");
  EXPECT_EQ(request["detail"], "echo quillhaven-allowed");
  std::vector<Json> started = harness::of_type(asked, "tool_start");
  ASSERT_EQ(started.size(), 1u) << "tool_start comes before the request";
  EXPECT_EQ(started[0]["detail"], "echo quillhaven-allowed");
  EXPECT_EQ(harness::npc_row(bridge->port(), "guard")["state"], "asking");

  EXPECT_EQ(post(*bridge, "guard", "permission",
                 Json{{"request_id", request["request_id"]}, {"allow", true}})
                .status,
            200);
  std::vector<Json> turn = read_turn(events);
  ASSERT_TRUE(!turn.empty() && is_type(turn.back(), "result")) << events_text(turn);
  std::vector<Json> ended = harness::of_type(turn, "tool_end");
  ASSERT_EQ(ended.size(), 1u) << events_text(turn);
  EXPECT_EQ(ended[0]["id"], started[0]["id"]);
  EXPECT_EQ(ended[0]["ok"], true);
  EXPECT_EQ(ended[0]["output"], "quillhaven-allowed");
  EXPECT_EQ(turn.back()["text"], "The tool said: quillhaven-allowed");
  EXPECT_EQ(turn.back()["tools"], 1);

  // Refused: the command does not run, and the model hears why.
  say(*bridge, "guard", "run: echo quillhaven-refused");
  asked = read_until(
      events, [](const Json& e) { return is_type(e, "permission_request"); },
      "second permission_request");
  ASSERT_FALSE(asked.empty());
  EXPECT_EQ(post(*bridge, "guard", "permission",
                 Json{{"request_id", asked.back()["request_id"]},
                      {"allow", false},
                      {"reason", "not in my town"}})
                .status,
            200);
  turn = read_turn(events);
  ASSERT_TRUE(!turn.empty() && is_type(turn.back(), "result")) << events_text(turn);
  ended = harness::of_type(turn, "tool_end");
  ASSERT_EQ(ended.size(), 1u) << events_text(turn);
  EXPECT_EQ(ended[0]["ok"], false);
  EXPECT_EQ(ended[0]["output"], "PreToolUse:Bash hook error: not in my town");
  EXPECT_EQ(turn.back()["text"], "The tool said: PreToolUse:Bash hook error: not in my town");
  read_until(events, harness::is_state("idle"), "state idle");
}

TEST_F(Contract, ModelChangeWhileIdleRelaunchesOnTheNewModel) {
  auto bridge = start_bridge();
  ASSERT_TRUE(bridge);
  SseStream events;
  ASSERT_TRUE(events.open(bridge->port(), "merchant"));
  say(*bridge, "merchant", "what are your wares today");
  std::vector<Json> first = read_turn(events);
  ASSERT_TRUE(!first.empty() && is_type(first.back(), "result")) << events_text(first);
  read_until(events, harness::is_state("idle"), "state idle");
  std::string before = as_text(harness::of_type(first, "session").at(0), "resolved");

  harness::HttpResponse changed = post(*bridge, "merchant", "model", Json{{"model", "haiku"}});
  EXPECT_EQ(changed.json(), (Json{{"ok", true}, {"model", "haiku"}, {"pending", false}}));
  std::vector<Json> stop = read_until(
      events, [](const Json& e) { return is_type(e, "model"); }, "model event");
  ASSERT_FALSE(stop.empty());
  EXPECT_EQ(stop.back()["pending"], false);
  EXPECT_EQ(stop.back()["resolved"], "");

  say(*bridge, "merchant", "and the price of that lantern");
  std::vector<Json> second = read_turn(events);
  ASSERT_TRUE(!second.empty() && is_type(second.back(), "result")) << events_text(second);
  std::vector<Json> reported = harness::of_type(second, "session");
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0]["model"], "haiku");
  std::string resolved = as_text(reported[0], "resolved");
  EXPECT_NE(resolved.find("haiku"), std::string::npos) << resolved;
  EXPECT_NE(resolved, before);

  if (can_see_processes()) {
    std::vector<pid_t> cli = cli_processes(*bridge);
    ASSERT_EQ(cli.size(), 1u);
    EXPECT_TRUE(has_pair(arguments_of(cli[0]), "--model", "haiku"));
  }
  std::vector<std::string> models = stub_.requested_models();
  ASSERT_FALSE(models.empty());
  EXPECT_EQ(models.back(), resolved) << "the model call used another model than reported";
}

TEST_F(Contract, SecondSayDuringATurnIsAnsweredBeforeAPendingModelApplies) {
  auto bridge = start_bridge();
  ASSERT_TRUE(bridge);
  SseStream events;
  ASSERT_TRUE(events.open(bridge->port(), "scribe"));
  say(*bridge, "scribe", "hold:first copy this letter for me");
  ASSERT_TRUE(stub_.wait_until_held("first", TURN_WAIT));

  say(*bridge, "scribe", "and seal it with wax");
  EXPECT_EQ(harness::npc_row(bridge->port(), "scribe")["state"], "working");
  harness::HttpResponse changed = post(*bridge, "scribe", "model", Json{{"model", "haiku"}});
  EXPECT_EQ(changed.json(), (Json{{"ok", true}, {"model", "haiku"}, {"pending", true}}));
  std::vector<pid_t> cli = cli_processes(*bridge);
  if (can_see_processes()) {
    ASSERT_EQ(cli.size(), 1u);
  }

  stub_.release("first");
  std::vector<Json> first = read_turn(events);
  ASSERT_TRUE(!first.empty() && is_type(first.back(), "result")) << events_text(first);
  EXPECT_EQ(first.back()["text"], "Hello from the stub: hold:first copy this letter for me");
  std::vector<Json> second = read_turn(events);
  ASSERT_TRUE(!second.empty() && is_type(second.back(), "result")) << events_text(second);
  EXPECT_EQ(second.back()["text"], "Hello from the stub: and seal it with wax");
  EXPECT_EQ(joined_deltas(second), "Hello from the stub: and seal it with wax");

  // Working throughout, from the first words to the last result, and the model applied only
  // after that.
  auto said =
      std::find_if(first.begin(), first.end(), [](const Json& e) { return is_type(e, "said"); });
  ASSERT_NE(said, first.end());
  std::vector<Json> between(said, first.end());
  between.insert(between.end(), second.begin(), second.end());
  for (const Json& e : between) {
    EXPECT_FALSE(is_type(e, "state") && e["value"] != "working") << events_text(between);
    EXPECT_FALSE(is_type(e, "model") && e["pending"] == false) << events_text(between);
  }
  std::vector<Json> after = read_until(
      events, [](const Json& e) { return is_type(e, "model") && e["pending"] == false; },
      "the model applied");
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(after.back()["model"], "haiku");
  EXPECT_EQ(harness::of_type(after, "state").at(0)["value"], "idle") << events_text(after);
  for (pid_t pid : cli) EXPECT_TRUE(harness::wait_until_gone(pid, 10s)) << "not relaunched";
  for (const std::string& model : stub_.requested_models()) {
    EXPECT_EQ(model.find("haiku"), std::string::npos) << "the queued turn ran on the new model";
  }
}

TEST_F(Contract, ModelApiErrorBecomesAnErrorEvent) {
  auto bridge = start_bridge();
  ASSERT_TRUE(bridge);
  SseStream events;
  ASSERT_TRUE(events.open(bridge->port(), "oracle"));
  say(*bridge, "oracle", "api-error: the oracle is clouded");

  std::vector<Json> turn = read_turn(events);
  ASSERT_FALSE(turn.empty());
  ASSERT_TRUE(is_type(turn.back(), "error")) << events_text(turn);
  EXPECT_NE(as_text(turn.back(), "message").find("the oracle is clouded"), std::string::npos)
      << turn.back().dump();
  // The CLI writes the API error as a made-up assistant message too; the NPC must not say it.
  EXPECT_EQ(joined_deltas(turn).find("clouded"), std::string::npos) << events_text(turn);
  EXPECT_TRUE(harness::of_type(turn, "message_end").empty()) << events_text(turn);
  read_until(events, harness::is_state("idle"), "state idle after the error");

  // The agent lives on and answers the next words.
  say(*bridge, "oracle", "try once more");
  turn = read_turn(events);
  ASSERT_TRUE(!turn.empty() && is_type(turn.back(), "result")) << events_text(turn);
  EXPECT_EQ(turn.back()["text"], "Hello from the stub: try once more");
}

TEST_F(Contract, OddlyNamedAndLinkedWorkspacesListTheirSessions) {
  auto bridge = start_bridge();
  ASSERT_TRUE(bridge);
  std::string odd = bridge->root() + "/old quarter.v2_west";
  std::string target = bridge->root() + "/harbour_real.d";
  std::string link = bridge->root() + "/harbour link";
  ASSERT_TRUE(harness::make_folders(odd));
  ASSERT_TRUE(harness::make_folders(target));
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);

  struct Case {
    std::string npc, workspace, resolved, words;
  };
  for (const Case& c : {Case{"tailor", odd, odd, "mend this cloak by morning"},
                        Case{"ferryman", link, target, "take me across the harbour"}}) {
    SCOPED_TRACE(c.npc);
    EXPECT_EQ(post(*bridge, c.npc, "workspace", Json{{"workspace", c.workspace}}).status, 200);
    // Asked before the CLI made the folder: must not stay empty afterwards.
    EXPECT_TRUE(sessions(*bridge, c.npc).empty());

    SseStream events;
    ASSERT_TRUE(events.open(bridge->port(), c.npc));
    say(*bridge, c.npc, c.words);
    std::vector<Json> turn = read_turn(events);
    ASSERT_TRUE(!turn.empty() && is_type(turn.back(), "result")) << events_text(turn);
    std::string session = as_text(harness::of_type(turn, "session").at(0), "session_id");

    // The CLI ran in the folder and named its transcript folder after the resolved path.
    std::string transcript = bridge->home() + "/.claude/projects/" +
                             harness::cli_folder_name(c.resolved) + "/" + session + ".jsonl";
    EXPECT_TRUE(is_regular_file(transcript)) << transcript;

    Json listed = sessions(*bridge, c.npc);
    ASSERT_EQ(listed.size(), 1u) << listed.dump();
    EXPECT_EQ(listed[0]["session_id"], session);
    EXPECT_EQ(listed[0]["label"], c.words);
    EXPECT_GE(listed[0]["messages"].get<std::uint64_t>(), 2u);
  }
}

TEST_F(Contract, ClosingStdinStopsEveryCli) {
  if (!can_see_processes()) GTEST_SKIP() << "no /proc to find the CLI processes in";
  auto bridge = start_bridge();
  ASSERT_TRUE(bridge);
  SseStream idle_events;
  ASSERT_TRUE(idle_events.open(bridge->port(), "cook"));
  say(*bridge, "cook", "what is in the stew tonight");
  std::vector<Json> turn = read_turn(idle_events);
  ASSERT_TRUE(!turn.empty() && is_type(turn.back(), "result")) << events_text(turn);
  // A second NPC stays in the middle of a model call.
  say(*bridge, "stablehand", "hold:forever is my horse fed");
  ASSERT_TRUE(stub_.wait_until_held("forever", TURN_WAIT));

  std::vector<pid_t> clis = cli_processes(*bridge);
  EXPECT_EQ(clis.size(), 2u);
  std::vector<pid_t> everything = descendants(bridge->pid());
  ASSERT_FALSE(everything.empty());

  bridge->close_stdin();
  EXPECT_EQ(bridge->wait_for_exit(30s), 0) << log_of(*bridge);
  for (pid_t pid : everything) {
    EXPECT_TRUE(harness::wait_until_gone(pid, 10s))
        << "process " << pid << " outlived the bridge: " << dump_json(Json(arguments_of(pid)));
  }
}

}  // namespace
