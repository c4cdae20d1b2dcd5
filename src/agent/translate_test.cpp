#include "agent/translate.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent/readers.h"
#include "config/config.h"
#include "config/policy.h"
#include "util/background.h"
#include "util/platform.h"
#include "util/test_support.h"

namespace {

// A standard-error reader that has already taken in everything.
std::shared_ptr<ReaderDone> finished_reader() {
  auto done = std::make_shared<ReaderDone>();
  done->finish();
  return done;
}

// Returns once the work handed to the background worker so far is done.
void drain_background_work() {
  std::promise<void> done;
  run_later([&] { done.set_value(); });
  done.get_future().wait();
}

Json record(const std::string& text) {
  std::optional<Json> parsed = parse_json(text);
  EXPECT_TRUE(parsed.has_value()) << text;
  return parsed.value_or(Json::object());
}

Json text_delta(const std::string& text) {
  return Json{{"type", "stream_event"},
              {"parent_tool_use_id", nullptr},
              {"event", {{"type", "content_block_delta"},
                         {"delta", {{"type", "text_delta"}, {"text", text}}}}}};
}

Json assistant_text(const std::string& text) {
  return Json{{"type", "assistant"},
              {"message", {{"content", Json::array({{{"type", "text"}, {"text", text}}})}}}};
}

class TranslateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    workspace_ = root_ / "world";
    std::string home = root_ / "home";
    ASSERT_EQ(::mkdir(home.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(workspace_.c_str(), 0700), 0);
    // No transcripts can be found under this home: session descriptions are all zeros.
    env_.set("HOME", home);
    Config cfg;
    cfg.workspace = workspace_;
    store_config(cfg);
    state_file_ = root_ / "bridge_state.json";
    store_state_file_path(state_file_);
    set_policy("auto");

    npc_ = std::make_shared<Npc>("t");
    with_state([&](NpcState& s) { s.workspace = workspace_; });
  }

  // Runs `change` on the NPC's state under its lock.
  template <typename F>
  void with_state(F change) {
    npc_->locked([&](NpcState& s) { change(s); });
  }

  // A copy of the NPC's state.
  NpcState state() { return npc_->locked([](NpcState& s) { return s; }); }

  // Work handed to the background (a state-file write) ends with the test that caused it.
  void TearDown() override { drain_background_work(); }

  void feed(const Json& rec) { translate_record(*npc_, rec); }

  // Every event pushed after `since`, parsed back from its stored text.
  std::vector<Json> events(std::uint64_t since = 0) {
    std::vector<Json> out;
    for (const StoredEvent& e : events_after(npc_->events, since)) {
      out.push_back(parse_json(e.json()).value_or(Json()));
    }
    return out;
  }

  std::vector<std::string> types(std::uint64_t since = 0) {
    std::vector<std::string> out;
    for (const Json& e : events(since)) out.push_back(as_text(e, "type"));
    return out;
  }

  void set_npc_activity(Activity value) {
    with_state([&](NpcState& s) { set_activity(*npc_, s, value); });
  }

  bool state_file_exists() {
    struct stat st {};
    return ::stat(state_file_.c_str(), &st) == 0;
  }

  TempDir root_;
  ScopedEnv env_;
  std::string workspace_;
  std::string state_file_;
  NpcHandle npc_;
};

using Strings = std::vector<std::string>;

TEST_F(TranslateTest, DeltasThenTheSameFullTextSendNothingTwice) {
  feed(text_delta("Hel"));
  feed(text_delta("lo"));
  EXPECT_EQ(state().streamed_text, "Hello");
  feed(assistant_text("Hello"));

  std::vector<Json> ev = events();
  ASSERT_EQ(types(), (Strings{"delta", "delta", "message_end"}));
  EXPECT_EQ(ev[0]["text"], "Hel");
  EXPECT_EQ(ev[1]["text"], "lo");
  EXPECT_EQ(ev[2], (Json{{"seq", 3}, {"type", "message_end"}, {"npc", "t"}}));
  EXPECT_EQ(state().streamed_text, "");
}

TEST_F(TranslateTest, FullTextWithoutDeltasIsSentWhole) {
  Json rec = record(R"({"type":"assistant","message":{"content":[
      {"type":"text","text":"Hel"},{"type":"thinking","text":"hmm"},{"type":"text","text":"lo"}]}})");
  feed(rec);
  std::vector<Json> ev = events();
  ASSERT_EQ(types(), (Strings{"delta", "message_end"}));
  EXPECT_EQ(ev[0]["text"], "Hello");
}

TEST_F(TranslateTest, FullTextThatDisagreesWithTheDeltasIsSentWhole) {
  feed(text_delta("abc"));
  feed(assistant_text("xyz"));
  feed(text_delta("abc"));
  feed(assistant_text("ab"));  // shorter than what was streamed
  std::vector<Json> ev = events();
  ASSERT_EQ(types(), (Strings{"delta", "delta", "message_end", "delta", "delta", "message_end"}));
  EXPECT_EQ(ev[1]["text"], "xyz");
  EXPECT_EQ(ev[4]["text"], "ab");
}

TEST_F(TranslateTest, MessageStartForgetsEarlierDeltas) {
  feed(text_delta("Hel"));
  feed(record(R"({"type":"stream_event","event":{"type":"message_start"}})"));
  feed(assistant_text("Hello"));
  std::vector<Json> ev = events();
  ASSERT_EQ(types(), (Strings{"delta", "delta", "message_end"}));
  EXPECT_EQ(ev[1]["text"], "Hello");
}

TEST_F(TranslateTest, StreamEventsOtherThanTextDeltasAreIgnored) {
  feed(record(R"({"type":"stream_event","event":{"type":"content_block_delta",
      "delta":{"type":"input_json_delta","partial_json":"{"}}})"));
  feed(text_delta(""));
  feed(record(R"({"type":"stream_event","event":{"type":"message_stop"}})"));
  feed(record(R"({"type":"stream_event"})"));
  EXPECT_TRUE(events().empty());
  EXPECT_EQ(state().streamed_text, "");
}

TEST_F(TranslateTest, ToolOnlyMessageGivesToolStartsAndCountsThem) {
  feed(record(R"({"type":"assistant","message":{"content":[
      {"type":"tool_use","id":"tu1","name":"Read","input":{"file_path":")" + workspace_ +
              R"(/src/a.cpp"}},
      {"type":"tool_use","id":"tu2","input":null},
      {"type":"tool_use","id":"tu3","name":"Bash","input":{"command":"ls","description":"List"}}]}})"));
  std::vector<Json> ev = events();
  ASSERT_EQ(types(), (Strings{"tool_start", "tool_start", "tool_start"}));
  EXPECT_EQ(ev[0], (Json{{"seq", 1}, {"type", "tool_start"}, {"npc", "t"}, {"id", "tu1"},
                         {"name", "Read"}, {"category", "read"}, {"detail", "src/a.cpp"},
                         {"note", ""}}));
  EXPECT_EQ(ev[1]["name"], "tool");
  EXPECT_EQ(ev[1]["category"], "other");
  EXPECT_EQ(ev[2]["detail"], "ls");
  EXPECT_EQ(ev[2]["note"], "List");
  EXPECT_EQ(state().tool_count, 3u);
}

TEST_F(TranslateTest, TextThenToolsInOneMessage) {
  feed(record(R"({"type":"assistant","message":{"content":[
      {"type":"text","text":"Let me look."},{"type":"tool_use","id":"x","name":"Glob",
       "input":{"pattern":"*.md"}}]}})"));
  EXPECT_EQ(types(), (Strings{"delta", "message_end", "tool_start"}));
}

TEST_F(TranslateTest, ToolResultsGiveToolEnds) {
  feed(record(R"({"type":"user","message":{"content":[
      {"type":"tool_result","tool_use_id":"a","content":[{"type":"text","text":"a"},"skip me",
       {"type":"text","text":"b"}]},
      {"type":"tool_result","tool_use_id":"b","content":"plain","is_error":true},
      {"type":"tool_result","tool_use_id":"c"},
      {"type":"text","text":"not a tool result"}]}})"));
  std::vector<Json> ev = events();
  ASSERT_EQ(types(), (Strings{"tool_end", "tool_end", "tool_end"}));
  EXPECT_EQ(ev[0]["id"], "a");
  EXPECT_EQ(ev[0]["output"], "a b");
  EXPECT_EQ(ev[0]["ok"], true);
  EXPECT_EQ(ev[1]["output"], "plain");
  EXPECT_EQ(ev[1]["ok"], false);
  EXPECT_EQ(ev[2]["output"], "");
}

TEST_F(TranslateTest, ToolOutputIsCutTo2000Characters) {
  std::string output;
  for (int i = 0; i < 2001; ++i) output += "\xE2\x82\xAC";  // €: three bytes, one character
  Json rec = Json{{"type", "user"},
                  {"message", {{"content", Json::array({{{"type", "tool_result"},
                                                         {"tool_use_id", "x"},
                                                         {"content", output}}})}}}};
  feed(rec);
  std::vector<Json> ev = events();
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0]["output"], output.substr(0, 6000));
}

TEST_F(TranslateTest, SubAgentRecordsChangeNothing) {
  feed(text_delta("Hi"));
  std::uint64_t before = last_seq(*npc_);
  Json delta = text_delta("sub");
  delta["parent_tool_use_id"] = "toolu_9";
  Json said = assistant_text("sub says");
  said["parent_tool_use_id"] = "toolu_9";
  said["message"]["content"].push_back({{"type", "tool_use"}, {"id", "s"}, {"name", "Read"}});
  Json result = record(R"({"type":"user","parent_tool_use_id":"toolu_9","message":{"content":[
      {"type":"tool_result","tool_use_id":"s","content":"x"}]}})");
  feed(delta);
  feed(said);
  feed(result);
  EXPECT_EQ(last_seq(*npc_), before);
  EXPECT_EQ(state().streamed_text, "Hi");
  EXPECT_EQ(state().tool_count, 0u);
}

TEST_F(TranslateTest, ApiErrorMessageIsSkippedAndTheFailedResultReportsIt) {
  set_npc_activity(Activity::Working);
  with_state([&](NpcState& s) { s.unanswered = 1; });
  std::uint64_t since = last_seq(*npc_);
  Json failure = record(R"({"type":"assistant","is_api_error_message":true,"message":{
      "model":"<synthetic>","content":[{"type":"text","text":"API Error: 529 overloaded"},
      {"type":"tool_use","id":"never","name":"Bash","input":{}}]}})");
  feed(failure);
  EXPECT_TRUE(events(since).empty());
  EXPECT_EQ(state().tool_count, 0u);

  feed(record(R"({"type":"result","is_error":true,"result":"API Error: 529 overloaded"})"));
  std::vector<Json> ev = events(since);
  ASSERT_EQ(types(since), (Strings{"error", "state"}));
  EXPECT_EQ(ev[0]["message"], "API Error: 529 overloaded");
  EXPECT_EQ(ev[1]["value"], "idle");
}

TEST_F(TranslateTest, FailedResultWithoutTextSaysTheAgentFailed) {
  set_npc_activity(Activity::Working);
  feed(text_delta("partial"));
  std::uint64_t since = last_seq(*npc_);
  feed(record(R"({"type":"result","is_error":true,"result":""})"));
  std::vector<Json> ev = events(since);
  ASSERT_EQ(types(since), (Strings{"error", "state"}));
  EXPECT_EQ(ev[0]["message"], "The agent failed.");
  EXPECT_EQ(ev[1]["value"], "idle");
  EXPECT_EQ(state().streamed_text, "");

  // An empty list of errors says no more than no list.
  since = last_seq(*npc_);
  feed(record(R"({"type":"result","is_error":true,"errors":[]})"));
  EXPECT_EQ(events(since).at(0)["message"], "The agent failed.");
}

TEST_F(TranslateTest, FailedResultReportsTheCliErrorList) {
  feed(record(R"({"type":"result","is_error":true,"errors":[
      "No conversation found with session ID: abc",{"code":7}]})"));
  EXPECT_EQ(events().at(0)["message"],
            "No conversation found with session ID: abc; {\"code\":7}");

  std::uint64_t since = last_seq(*npc_);
  Json long_errors = Json{{"type", "result"}, {"is_error", true},
                          {"errors", Json::array({std::string(400, 'x'), std::string(400, 'y')})}};
  feed(long_errors);
  EXPECT_EQ(events(since).at(0)["message"], std::string(400, 'x') + "; " + std::string(98, 'y'));
}

TEST_F(TranslateTest, ResultCarriesTheTurnsFigures) {
  with_state([&](NpcState& s) {
    s.tool_count = 4;
    set_activity(*npc_, s, Activity::Working);
  });
  std::uint64_t since = last_seq(*npc_);
  feed(record(R"({"type":"result","subtype":"success","result":"Done.","num_turns":3,
      "total_cost_usd":0.25,"duration_ms":1500,"usage":{"input_tokens":10,"output_tokens":20,
      "cache_creation_input_tokens":30,"cache_read_input_tokens":40}})"));
  std::vector<Json> ev = events(since);
  ASSERT_EQ(types(since), (Strings{"result", "state"}));
  EXPECT_EQ(ev[0], (Json{{"seq", since + 1}, {"type", "result"}, {"npc", "t"},
                         {"text", "Done."}, {"turns", 3}, {"cost", 0.25},
                         {"duration_ms", 1500}, {"tools", 4}, {"input_tokens", 10},
                         {"output_tokens", 20}, {"cache_write_tokens", 30},
                         {"cache_read_tokens", 40}}));
  EXPECT_EQ(ev[1]["value"], "idle");
}

TEST_F(TranslateTest, ResultFiguresKeepTheirKindAndDefaultToZero) {
  feed(record(R"({"type":"result","total_cost_usd":2,"usage":{"input_tokens":1.5}})"));
  feed(record(R"({"type":"result","total_cost_usd":null,"result":null})"));
  std::vector<Json> ev = events();
  ASSERT_EQ(types(), (Strings{"result", "state", "result"}));
  EXPECT_TRUE(ev[0]["cost"].is_number_integer());
  EXPECT_EQ(ev[0]["cost"], 2);
  EXPECT_TRUE(ev[0]["input_tokens"].is_number_float());
  EXPECT_EQ(ev[0]["turns"], 0);
  EXPECT_EQ(ev[0]["text"], "");
  EXPECT_TRUE(ev[2]["cost"].is_number_float());
  EXPECT_EQ(ev[2]["cost"], 0.0);
  EXPECT_EQ(ev[2]["text"], "");
  EXPECT_EQ(ev[2]["tools"], 0);
}

TEST_F(TranslateTest, LinesWrittenDuringATurnKeepTheNpcWorkingUntilTheLastResult) {
  with_state([&](NpcState& s) {
    set_activity(*npc_, s, Activity::Working);
    s.unanswered = 2;
    s.pending_model = "opus";
    s.model = "sonnet";
  });
  std::uint64_t since = last_seq(*npc_);
  feed(text_delta("first"));
  feed(record(R"({"type":"result","result":"first"})"));
  EXPECT_EQ(types(since), (Strings{"delta", "result"}));
  EXPECT_EQ(activity_name(state().activity), "working");
  EXPECT_EQ(state().unanswered, 1u);
  EXPECT_EQ(state().streamed_text, "");
  EXPECT_EQ(state().pending_model, "opus");
  EXPECT_EQ(state().model, "sonnet");

  since = last_seq(*npc_);
  feed(record(R"({"type":"result","is_error":true,"result":"second failed"})"));
  std::vector<Json> ev = events(since);
  // The turn ends, then the pending model is applied: the agent stops and the model is told.
  ASSERT_EQ(types(since), (Strings{"error", "state", "state", "model"}));
  EXPECT_EQ(ev[1]["value"], "idle");
  EXPECT_EQ(ev[2]["value"], "asleep");
  EXPECT_EQ(ev[3]["model"], "opus");
  EXPECT_EQ(ev[3]["pending"], false);
  EXPECT_EQ(state().model, "opus");
  EXPECT_FALSE(state().pending_model.has_value());
  EXPECT_EQ(state().unanswered, 0u);
  // The chosen model is remembered across restarts.
  std::ifstream saved(state_file_);
  std::stringstream text;
  text << saved.rdbuf();
  std::optional<Json> state = parse_json(text.str());
  ASSERT_TRUE(state.has_value());
  EXPECT_EQ((*state)["t"]["model"], "opus");
}

TEST_F(TranslateTest, InitWithTheExpectedModeGivesOnlyTheSession) {
  with_state([&](NpcState& s) { s.model = "sonnet"; });
  feed(record(R"({"type":"system","subtype":"init","session_id":"s-1",
      "model":"claude-sonnet-9","permissionMode":"auto","cwd":"/x"})"));
  std::vector<Json> ev = events();
  ASSERT_EQ(types(), (Strings{"session"}));
  EXPECT_EQ(ev[0], (Json{{"seq", 1}, {"type", "session"}, {"npc", "t"}, {"session_id", "s-1"},
                         {"model", "sonnet"}, {"resolved", "claude-sonnet-9"},
                         {"resumed", false}, {"bytes", 0}, {"label", ""}, {"messages", 0},
                         {"started", ""}}));
  EXPECT_EQ(state().session_id, "s-1");
  EXPECT_EQ(state().resolved_model, "claude-sonnet-9");
}

TEST_F(TranslateTest, InitWithAnotherModeReportsTheDowngrade) {
  set_policy("trust");
  with_state([&](NpcState& s) { s.session_id = "kept"; });
  with_state([&](NpcState& s) { s.resumed = true; });
  feed(record(R"({"type":"system","subtype":"init","model":"m1","permissionMode":"default"})"));
  std::vector<Json> ev = events();
  ASSERT_EQ(types(), (Strings{"policy_downgraded", "session"}));
  EXPECT_EQ(ev[0], (Json{{"seq", 1}, {"type", "policy_downgraded"}, {"npc", "t"},
                         {"wanted", "bypassPermissions"}, {"actual", "default"},
                         {"policy", "trust"}, {"model", "m1"}}));
  // Without a reported id the stored one is described.
  EXPECT_EQ(ev[1]["session_id"], "kept");
  EXPECT_EQ(ev[1]["resumed"], true);

  set_policy("ask");
  std::uint64_t since = last_seq(*npc_);
  feed(record(R"({"type":"system","subtype":"init","model":""})"));
  ev = events(since);
  ASSERT_EQ(types(since), (Strings{"policy_downgraded", "session"}));
  EXPECT_EQ(ev[0]["wanted"], "acceptEdits");
  EXPECT_EQ(ev[0]["actual"], "");
  EXPECT_EQ(state().resolved_model, "");
}

TEST_F(TranslateTest, EveryInitReportsTheSessionButOnlyANewOneIsSaved) {
  Json init = record(R"({"type":"system","subtype":"init","session_id":"s-1","model":"m",
      "permissionMode":"auto"})");
  feed(init);
  drain_background_work();
  ASSERT_TRUE(state_file_exists());
  ASSERT_EQ(std::remove(state_file_.c_str()), 0);

  feed(init);  // the next turn of the same session
  drain_background_work();
  EXPECT_EQ(types(), (Strings{"session", "session"}));
  EXPECT_FALSE(state_file_exists());

  init["session_id"] = "s-2";
  feed(init);
  drain_background_work();
  EXPECT_TRUE(state_file_exists());
  EXPECT_EQ(state().session_id, "s-2");
}

TEST_F(TranslateTest, OtherRecordsAreIgnored) {
  feed(record(R"({"type":"system","subtype":"status","session_id":"zzz"})"));
  feed(record(R"({"type":"rate_limit_event"})"));
  feed(record(R"({"no_type":1})"));
  feed(record(R"([1,2])"));
  feed(record(R"("assistant")"));
  EXPECT_TRUE(events().empty());
  EXPECT_EQ(state().session_id, "");
}

// The reader side: a real pipe, written in awkward pieces.
class StdoutReaderTest : public TranslateTest {
 protected:
  void start_reader(std::uint64_t generation) {
    int fds[2];
    ASSERT_EQ(pipe_cloexec(fds), 0);
    write_end_.reset(fds[1]);
    reader_ = std::thread(read_agent_output, npc_, generation, UniqueFd(fds[0]), done_);
  }

  void write_all(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(write_end_.get(), bytes.data() + done, bytes.size() - done);
      ASSERT_GT(n, 0);
      done += static_cast<std::size_t>(n);
    }
  }

  // Closes the pipe and waits for the reader to finish its end-of-output steps.
  void finish() {
    write_end_.reset();
    if (reader_.joinable()) reader_.join();
  }

  void TearDown() override {
    finish();
    TranslateTest::TearDown();
  }

  UniqueFd write_end_;
  std::thread reader_;
  std::shared_ptr<ReaderDone> done_ = finished_reader();
};

TEST_F(StdoutReaderTest, ReadsLinesInAnyPiecesAndSkipsWhatIsNotARecord) {
  start_reader(1);
  std::string first = dump_json(text_delta("Hel")) + "\n";
  write_all(first.substr(0, 10));
  write_all(first.substr(10) + "not json at all\n\n   \r\n{broken json\n");
  std::string big = std::string(20000, 'x');
  write_all("  " + dump_json(text_delta(big)) + " \r\n[\"an array\"]\n");
  write_all(dump_json(assistant_text("Hel" + big + "!")));  // no final newline
  finish();

  std::vector<Json> ev = events();
  ASSERT_EQ(types(), (Strings{"delta", "delta", "delta", "message_end"}));
  EXPECT_EQ(ev[0]["text"], "Hel");
  EXPECT_EQ(ev[1]["text"], big);
  EXPECT_EQ(ev[2]["text"], "!");
}

TEST_F(StdoutReaderTest, InvalidUtf8IsReplacedNotDropped) {
  start_reader(1);
  write_all("{\"type\":\"assistant\",\"message\":{\"content\":[{\"type\":\"text\",\"text\":\"a\xFF"
            "b\"}]}}\n");
  finish();
  std::vector<Json> ev = events();
  ASSERT_EQ(types(), (Strings{"delta", "message_end"}));
  EXPECT_EQ(ev[0]["text"], "a\xEF\xBF\xBD" "b");
}

TEST_F(StdoutReaderTest, OutputOfAProcessThatIsNoLongerCurrentEndsSilently) {
  with_state([&](NpcState& s) {
    set_activity(*npc_, s, Activity::Working);
    s.agent.emplace();
    s.agent->generation = 2;  // a newer launch
    s.unanswered = 1;
  });
  std::uint64_t since = last_seq(*npc_);
  start_reader(1);
  write_all(R"({"type":"result","result":"late"})" "\n");
  finish();
  // The late result is shown, but it does not end the newer process's turn.
  EXPECT_EQ(types(since), (Strings{"result"}));
  EXPECT_EQ(activity_name(state().activity), "working");
  EXPECT_EQ(state().unanswered, 1u);
  ASSERT_TRUE(state().agent.has_value());
  EXPECT_EQ(state().agent->generation, 2u);
}

class StdoutReaderChildTest : public StdoutReaderTest {
 protected:
  // Starts `script` under /bin/sh as the NPC's current agent of generation 1 and reads its
  // real standard output.
  void start_agent(const std::string& script) {
    SpawnSpec launch;
    launch.program = "/bin/sh";
    launch.args = {"-c", script};
    launch.cwd = workspace_;
    launch.env = {"PATH=/usr/bin:/bin"};
    SpawnResult spawned = spawn_child(launch);
    ASSERT_TRUE(spawned.child.has_value()) << spawned.error;
    auto input = std::make_shared<AgentInput>(std::move(spawned.child->stdin_fd));
    with_state([&](NpcState& s) {
      s.agent = AgentProcess{spawned.child->pid, 1, input, done_, false};
      s.launch_count = 1;
      set_activity(*npc_, s, Activity::Idle);
    });
    since_ = last_seq(*npc_);
    reader_ = std::thread(read_agent_output, npc_, 1, std::move(spawned.child->stdout_fd), done_);
  }

  std::uint64_t since_ = 0;  // the newest event before the agent started
};

TEST_F(StdoutReaderChildTest, EndOfOutputReportsTheExitCodeAndStopsTheNpc) {
  start_agent(R"(echo '{"type":"assistant","message":{"content":[{"type":"text","text":"bye"}]}}'; exit 3)");
  finish();
  std::vector<Json> ev = events(since_);
  ASSERT_EQ(types(since_), (Strings{"delta", "message_end", "error", "state"}));
  EXPECT_EQ(ev[2]["message"], "exit code 3");
  EXPECT_EQ(ev[3]["value"], "asleep");
  EXPECT_FALSE(state().agent.has_value());
}

TEST_F(StdoutReaderChildTest, EndOfOutputPrefersTheLastStandardErrorLine) {
  with_state([&](NpcState& s) {
    s.stderr_tail = {"older", std::string(600, 'e')};
  });
  start_agent("exit 1");
  finish();
  std::vector<Json> ev = events(since_);
  ASSERT_EQ(types(since_), (Strings{"error", "state"}));
  EXPECT_EQ(ev[0]["message"], std::string(500, 'e'));
}

TEST_F(StdoutReaderChildTest, AnAgentThatClosesItsOutputButWaitsForInputIsNotAwaitedForever) {
  // The child closes its standard output, then reads its input until the end: only closing
  // its input lets it exit.
  start_agent("exec 1>&-; cat >/dev/null; exit 5");
  finish();
  std::vector<Json> ev = events(since_);
  ASSERT_EQ(types(since_), (Strings{"error", "state"}));
  EXPECT_EQ(ev[0]["message"], "exit code 5");
}

}  // namespace
