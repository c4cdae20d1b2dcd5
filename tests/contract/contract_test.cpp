// The bridge against the real claude CLI, run offline: the CLI talks to a stand-in for the model
// API on the loopback interface, and the tests drive the bridge through its HTTP and event
// stream interface the way the game does. They prove that what the bridge assumes of the CLI
// (its arguments, records, hook, transcripts and signals) still holds for the installed version.

#include <gtest/gtest.h>

#include <fstream>

#include "contract/model_api_stub.h"
#include "harness/demo_bridge.h"
#include "harness/transcript_files.h"
#include "util/paths.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using harness::BridgeProcess;
using harness::is_event;

// The CLI takes about a second to start and a few seconds to give up on a failing model call;
// sanitizer builds of the bridge are slower still.
constexpr auto TURN_WAIT = 60s;

// The process checks read the process table from /proc (Linux); elsewhere they are left out.
bool can_see_processes() { return is_directory("/proc/self"); }

// Every process below `root` in the process tree (children, their children, ...).
std::vector<pid_t> descendants(pid_t root) {
  std::vector<harness::ProcessEntry> all = harness::process_table();
  std::vector<pid_t> found = {root};
  for (std::size_t next = 0; next < found.size(); ++next)
    for (const harness::ProcessEntry& p : all)
      if (p.parent == found[next]) found.push_back(p.pid);
  found.erase(found.begin());
  return found;
}

// The command line of a running process, from /proc.
std::vector<std::string> arguments_of(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  std::vector<std::string> args;
  for (std::string arg; std::getline(file, arg, '\0');) args.push_back(arg);
  return args;
}

// True when the process runs with `flag` followed by `value` on its command line.
bool runs_with(pid_t pid, const std::string& flag, const std::string& value) {
  std::vector<std::string> args = arguments_of(pid), pair = {flag, value};
  return std::search(args.begin(), args.end(), pair.begin(), pair.end()) != args.end();
}

std::string events_text(const std::vector<Json>& events) { return dump_json(Json(events)); }

std::string session_of(const std::vector<Json>& turn) {
  EXPECT_EQ(harness::of_type(turn, "session").size(), 1u) << events_text(turn);
  return harness::session_of(turn);
}

class Contract : public testing::Test {
 protected:
  void SetUp() override {
    std::ifstream file(CONTRACT_CLI_PATH_FILE);
    if (!std::getline(file, cli_) || !is_executable_file(cli_)) {
      GTEST_SKIP() << "no claude CLI installed (tests/contract/install.sh writes its path to "
                   << CONTRACT_CLI_PATH_FILE << "; it skips when the registry cannot be reached)";
    }
    ASSERT_TRUE(stub_.start());
  }

  // A bridge that runs the CLI against the stub, with `args` added to its command line, and
  // the event stream of `npc` on it.
  bool start_bridge(const std::string& npc, std::vector<std::string> args = {}) {
    args.insert(args.begin(), "--keep-api-key");
    harness::BridgeOptions options{.args = args, .claude = cli_};
    // Nothing of the machine's own CLI setup may reach the CLI under test.
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
      std::string name(*e, std::string_view(*e).find('='));
      if (name.starts_with("CLAUDE") || name.starts_with("ANTHROPIC"))
        options.env[name] = std::nullopt;
    }
    options.env["ANTHROPIC_BASE_URL"] = stub_.base_url();
    options.env["ANTHROPIC_API_KEY"] = "sk-quillhaven-contract-test";
    options.env["CLAUDE_CODE_DISABLE_NONESSENTIAL_TRAFFIC"] = "1";
    bridge_ = std::make_unique<BridgeProcess>(options);
    EXPECT_TRUE(bridge_->start()) << "the bridge did not start:\n" << bridge_->output(true);
    return bridge_->running() && events_.open(bridge_->port(), npc);
  }

  // POST /npc/ID/ACTION; the response's status, 0 when none came.
  int post(const std::string& npc, const std::string& action, const Json& body = Json::object()) {
    auto response = harness::npc_post(bridge_->port(), npc, action, body);
    return response ? response->status : 0;
  }

  void say(const std::string& npc, const std::string& words) {
    EXPECT_EQ(post(npc, "say", Json{{"text", words}}), 200) << bridge_->output(true);
  }

  Json sessions(const std::string& npc) {
    auto response = harness::http_request(bridge_->port(), "GET", "/npc/" + npc + "/sessions");
    EXPECT_TRUE(response && response->status == 200);
    Json list = response ? or_zero(response->json(), "sessions") : Json();
    return list.is_array() ? list : Json::array();
  }

  // Events up to and including the first that matches `done` (or is of `type`); on a time-out,
  // fails the test and gives an empty object alone, so that the caller's checks fail but can run.
  std::vector<Json> read_until(const std::function<bool(const Json&)>& done,
                               const std::string& what) {
    auto got = harness::read_until(events_, done, TURN_WAIT);
    EXPECT_TRUE(got) << "no " << what << " within the time-out; events so far:\n"
                     << events_text(events_.seen());
    return got.value_or(std::vector<Json>{Json::object()});
  }
  std::vector<Json> read_until(const std::string& type) {
    return read_until([type](const Json& e) { return is_event(e, type); }, type);
  }

  // The events of one whole turn, up to its "result" or "error", which must be `end`; an empty
  // object last when it is not.
  std::vector<Json> read_turn(const std::string& end = "result") {
    std::vector<Json> turn =
        read_until([](const Json& e) { return is_event(e, "result") || is_event(e, "error"); },
                   "end of the turn");
    if (!is_event(turn.back(), end)) {
      ADD_FAILURE() << "the turn did not end in a " << end << ":\n"
                    << events_text(turn) << bridge_->output(true);
      turn.push_back(Json::object());
    }
    return turn;
  }

  // The CLI processes the bridge runs now, by their executable.
  std::vector<pid_t> cli_processes() const {
    std::error_code error;
    std::filesystem::path cli = std::filesystem::canonical(cli_, error);
    std::vector<pid_t> found;
    for (pid_t pid : descendants(bridge_->pid()))
      if (std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error) == cli)
        found.push_back(pid);
    return found;
  }

  std::string transcript(const std::string& folder, const std::string& session) const {
    return bridge_->home() + "/.claude/projects/" + harness::cli_folder_name(folder) + "/" +
           session + ".jsonl";
  }

  std::string cli_;
  contract::ModelApiStub stub_;
  std::unique_ptr<BridgeProcess> bridge_;
  harness::SseStream events_;
};

TEST_F(Contract, ConversationStreamsItsTurnsAndResumesAfterAnInterrupt) {
  ASSERT_TRUE(start_bridge("bard"));
  say("bard", "sing me the ballad of the quill");
  std::vector<Json> turn = read_turn();
  const std::string reply = "Hello from the stub: sing me the ballad of the quill";

  // The stub streams the reply word by word; the game gets it as several deltas, each
  // character once, closed by one message_end before the result.
  EXPECT_GE(harness::of_type(turn, "delta").size(), 2u) << events_text(turn);
  EXPECT_EQ(harness::joined_deltas(turn), reply);
  std::vector<std::string> types = harness::types_of(turn);
  auto end = std::find(types.begin(), types.end(), "message_end");
  EXPECT_EQ(std::count(types.begin(), types.end(), "message_end"), 1) << events_text(turn);
  EXPECT_EQ(std::find(end, types.end(), "delta"), types.end()) << "a delta after message_end";

  const Json& result = turn.back();
  EXPECT_EQ(result["text"], reply);
  EXPECT_EQ(result["input_tokens"], 12);
  EXPECT_EQ(result["output_tokens"], 7);
  EXPECT_GE(result["turns"].get<double>(), 1.0);
  EXPECT_GT(result["cost"].get<double>(), 0.0);
  EXPECT_EQ(result["tools"], 0);

  // The CLI's init record reports the session.
  std::string session = session_of(turn);
  ASSERT_FALSE(session.empty());
  Json reported = harness::of_type(turn, "session").at(0);
  EXPECT_FALSE(as_text(reported, "resolved").empty()) << "the CLI names the model it uses";
  // The bridge asks for the permission mode that its default policy maps to.
  EXPECT_TRUE(harness::of_type(turn, "policy_downgraded").empty()) << events_text(turn);
  // The CLI keeps the transcript where the bridge looks for it.
  EXPECT_TRUE(is_regular_file(transcript(bridge_->workspace(), session)));

  read_until(harness::is_state("idle"), "state idle after the result");
  EXPECT_TRUE(harness::of_type(events_.seen(), "error").empty()) << events_text(events_.seen());
  Json listed = sessions("bard");
  ASSERT_EQ(listed.size(), 1u) << listed.dump();
  std::uint64_t messages_before = listed[0]["messages"].get<std::uint64_t>();

  // Interrupt in the middle of a model call.
  say("bard", "hold:verse and the second verse");
  ASSERT_TRUE(stub_.wait_until_held("verse", TURN_WAIT));
  std::vector<pid_t> first_cli = cli_processes();
  ASSERT_EQ(first_cli.size(), can_see_processes() ? 1u : 0u);
  EXPECT_EQ(post("bard", "interrupt"), 200);
  read_until("interrupted");
  read_until(harness::is_state("asleep"), "state asleep");
  for (pid_t pid : first_cli)
    EXPECT_TRUE(harness::wait_until_gone(pid, 10s)) << "the interrupted CLI still runs";
  stub_.release("verse");

  say("bard", "and now the last verse please");
  turn = read_turn();
  EXPECT_EQ(session_of(turn), session) << "a new conversation began";
  EXPECT_EQ(turn.back()["text"], "Hello from the stub: and now the last verse please");
  if (can_see_processes()) {
    std::vector<pid_t> second_cli = cli_processes();
    ASSERT_EQ(second_cli.size(), 1u);
    EXPECT_TRUE(runs_with(second_cli[0], "--resume", session));
  }
  // The resumed CLI sent the model the earlier conversation.
  EXPECT_NE(dump_json(stub_.requests().back()).find("sing me the ballad of the quill"),
            std::string::npos);

  listed = sessions("bard");
  ASSERT_EQ(listed.size(), 1u) << listed.dump();
  EXPECT_EQ(listed[0]["session_id"], session);
  EXPECT_EQ(listed[0]["label"], "sing me the ballad of the quill");
  EXPECT_EQ(listed[0]["title"], "npc:bard");
  EXPECT_GT(listed[0]["messages"].get<std::uint64_t>(), messages_before) << listed.dump();
}

TEST_F(Contract, AskPolicyPutsBashUsesToThePlayerAndApiErrorsEndTurns) {
  ASSERT_TRUE(start_bridge("guard", {"--permission-policy", "ask"}));
  // Allowed, the command runs and the model quotes its output; refused, the model hears why.
  struct Case {
    std::string word, output;
    bool allow;
  };
  for (const Case& c :
       {Case{"quillhaven-allowed", "quillhaven-allowed", true},
        Case{"quillhaven-refused", "PreToolUse:Bash hook error: not in my town", false}}) {
    SCOPED_TRACE(c.word);
    say("guard", "run: echo " + c.word);
    std::vector<Json> asked = read_until("permission_request");
    const Json& request = asked.back();
    EXPECT_EQ(request["name"], "Bash");
    EXPECT_EQ(request["detail"], "echo " + c.word);
    std::vector<Json> started = harness::of_type(asked, "tool_start");
    ASSERT_EQ(started.size(), 1u) << "tool_start comes before the request";
    EXPECT_EQ(started[0]["detail"], "echo " + c.word);

    Json decision{{"request_id", request["request_id"]}, {"allow", c.allow}};
    if (!c.allow) decision["reason"] = "not in my town";
    EXPECT_EQ(post("guard", "permission", decision), 200);
    std::vector<Json> turn = read_turn();
    std::vector<Json> ended = harness::of_type(turn, "tool_end");
    ASSERT_EQ(ended.size(), 1u) << events_text(turn);
    EXPECT_EQ(ended[0]["id"], started[0]["id"]);
    EXPECT_EQ(ended[0]["ok"], c.allow);
    EXPECT_EQ(ended[0]["output"], c.output);
    EXPECT_EQ(turn.back()["text"], "The tool said: " + c.output);
    EXPECT_EQ(turn.back()["tools"], 1);
  }
  read_until(harness::is_state("idle"), "state idle");

  // A failed model call ends the turn with an error event.
  say("guard", "api-error: the oracle is clouded");
  std::vector<Json> turn = read_turn("error");
  EXPECT_NE(as_text(turn.back(), "message").find("the oracle is clouded"), std::string::npos)
      << turn.back().dump();
  // The CLI writes the API error as a made-up assistant message too; the NPC must not say it.
  EXPECT_EQ(harness::joined_deltas(turn).find("clouded"), std::string::npos) << events_text(turn);
  EXPECT_TRUE(harness::of_type(turn, "message_end").empty()) << events_text(turn);
  read_until(harness::is_state("idle"), "state idle after the error");
  // The agent lives on and answers the next words.
  say("guard", "try once more");
  EXPECT_EQ(read_turn().back()["text"], "Hello from the stub: try once more");
}

TEST_F(Contract, ModelChangesApplyWhileIdleAndAfterTheQueuedWords) {
  ASSERT_TRUE(start_bridge("merchant"));
  say("merchant", "what are your wares today");
  read_turn();
  read_until(harness::is_state("idle"), "state idle");

  // While idle the change applies at once: the CLI stops, and the next one runs on the model.
  auto applied = [](const Json& e) { return is_event(e, "model", {{"pending", false}}); };
  EXPECT_EQ(post("merchant", "model", Json{{"model", "haiku"}}), 200);
  read_until(applied, "the model applied at once");

  say("merchant", "hold:first and the price of that lantern");
  ASSERT_TRUE(stub_.wait_until_held("first", TURN_WAIT));
  std::size_t haiku_from = stub_.requests().size() - 1;
  // During a turn the change waits for it and for the words queued behind it.
  say("merchant", "and wrap it for me");
  EXPECT_EQ(post("merchant", "model", Json{{"model", "sonnet"}}), 200);
  std::vector<pid_t> cli = cli_processes();
  if (can_see_processes()) {
    ASSERT_EQ(cli.size(), 1u);
    EXPECT_TRUE(runs_with(cli[0], "--model", "haiku"));
  }

  stub_.release("first");
  std::vector<Json> first = read_turn();
  EXPECT_EQ(first.back()["text"], "Hello from the stub: hold:first and the price of that lantern");
  std::string resolved = as_text(harness::of_type(first, "session").at(0), "resolved");
  EXPECT_NE(resolved.find("haiku"), std::string::npos) << resolved;
  std::vector<Json> second = read_turn();
  EXPECT_EQ(second.back()["text"], "Hello from the stub: and wrap it for me");
  EXPECT_EQ(harness::joined_deltas(second), "Hello from the stub: and wrap it for me");

  // Working throughout, from the first words to the last result, and the model applied only
  // after that.
  auto said = first.begin() + harness::position(first, "said");
  ASSERT_NE(said, first.end());
  std::vector<Json> between(said, first.end());
  between.insert(between.end(), second.begin(), second.end());
  for (const Json& e : between) {
    EXPECT_FALSE(is_event(e, "state") && e["value"] != "working") << events_text(between);
    EXPECT_FALSE(applied(e)) << events_text(between);
  }
  std::vector<Json> after = read_until(applied, "the model applied");
  EXPECT_EQ(after.back()["model"], "sonnet");
  EXPECT_EQ(harness::of_type(after, "state").at(0)["value"], "idle") << events_text(after);
  for (pid_t pid : cli) EXPECT_TRUE(harness::wait_until_gone(pid, 10s)) << "not relaunched";
  // Every model call of both turns used the model reported, not the one still pending.
  std::vector<Json> calls = stub_.requests();
  for (std::size_t i = haiku_from; i < calls.size(); ++i) EXPECT_EQ(calls[i]["model"], resolved);
}

TEST_F(Contract, OddWorkspacesListTheirSessionsAndClosingStdinStopsEveryCli) {
  // The stream is that of the NPC whose words come last; each NPC below opens its own.
  ASSERT_TRUE(start_bridge("stablehand"));
  std::string odd = bridge_->root() + "/old quarter.v2_west";
  std::string target = bridge_->root() + "/harbour_real.d";
  std::string link = bridge_->root() + "/harbour link";
  for (const std::string& folder : {odd, target}) ASSERT_TRUE(harness::make_folders(folder));
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);

  struct Case {
    std::string npc, workspace, resolved, words;
  };
  for (const Case& c : {Case{"tailor", odd, odd, "mend this cloak by morning"},
                        Case{"ferryman", link, target, "take me across the harbour"}}) {
    SCOPED_TRACE(c.npc);
    EXPECT_EQ(post(c.npc, "workspace", Json{{"workspace", c.workspace}}), 200);
    // Asked before the CLI made the folder: must not stay empty afterwards.
    EXPECT_TRUE(sessions(c.npc).empty());
    ASSERT_TRUE(events_.open(bridge_->port(), c.npc));
    say(c.npc, c.words);
    std::string session = session_of(read_turn());
    // The CLI ran in the folder and named its transcript folder after the resolved path.
    EXPECT_TRUE(is_regular_file(transcript(c.resolved, session)));
    Json listed = sessions(c.npc);
    ASSERT_EQ(listed.size(), 1u) << listed.dump();
    EXPECT_EQ(listed[0]["session_id"], session);
    EXPECT_EQ(listed[0]["label"], c.words);
    EXPECT_GE(listed[0]["messages"].get<std::uint64_t>(), 2u);
  }

  // With two CLIs idle and one in the middle of a model call, the game quits.
  if (!can_see_processes()) return;
  say("stablehand", "hold:forever is my horse fed");
  ASSERT_TRUE(stub_.wait_until_held("forever", TURN_WAIT));
  EXPECT_EQ(cli_processes().size(), 3u);
  std::vector<pid_t> everything = descendants(bridge_->pid());
  bridge_->close_stdin();
  EXPECT_EQ(bridge_->wait_for_exit(30s), 0) << bridge_->output(true);
  for (pid_t pid : everything)
    EXPECT_TRUE(harness::wait_until_gone(pid, 10s))
        << "process " << pid << " outlived the bridge: " << dump_json(Json(arguments_of(pid)));
}

}  // namespace
