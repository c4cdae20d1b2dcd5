#include "agent/translate.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "agent/readers.h"
#include "config/config.h"
#include "config/policy.h"
#include "util/background.h"
#include "util/fd_io.h"
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
  return Json{
      {"type", "stream_event"},
      {"parent_tool_use_id", nullptr},
      {"event",
       {{"type", "content_block_delta"}, {"delta", {{"type", "text_delta"}, {"text", text}}}}}};
}

Json assistant_text(const std::string& text) {
  return Json{{"type", "assistant"},
              {"message", {{"content", Json::array({{{"type", "text"}, {"text", text}}})}}}};
}

class TranslateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // No transcripts can be found under this home: session descriptions are all zeros.
    workspace_ = root_ / "world";
    ASSERT_EQ(::mkdir(workspace_.c_str(), 0700), 0);
    Config cfg;
    cfg.workspace = workspace_;
    store_config(cfg);
    state_file_ = root_ / "bridge_state.json";
    store_state_file_path(state_file_);
    set_policy("auto");

    npc_ = std::make_shared<Npc>("t");
    with_state([&](NpcState& s) { s.workspace = workspace_; });
  }

  template <typename F>
  void with_state(F change) {
    npc_->locked([&](NpcState& s) { change(s); });
  }

  // A copy of the NPC's state.
  NpcState state() {
    return npc_->locked([](NpcState& s) -> NpcState { return s; });
  }

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

  // Each event as its type, then ":" and its text, message or value where it has one.
  std::vector<std::string> brief(std::uint64_t since = 0) {
    std::vector<std::string> out;
    for (const Json& e : events(since)) {
      out.push_back(as_text(e, "type"));
      for (const char* key : {"text", "message", "value"}) {
        if (e.contains(key)) out.back() += ":" + as_text(e, key);
      }
    }
    return out;
  }

  void set_npc_activity(Activity value) {
    with_state([&](NpcState& s) { set_activity(*npc_, s, value); });
  }

  ScratchHome root_;
  std::string workspace_;
  std::string state_file_;
  NpcHandle npc_;
};

using Strings = std::vector<std::string>;

TEST_F(TranslateTest, ReplyTextIsSentOnceWhetherStreamedOrWhole) {
  feed(text_delta("Hel"));
  // Records that carry no reply text, and stream events other than text deltas, change nothing.
  for (const char* ignored : {
           R"({"type":"stream_event","event":{"type":"content_block_delta",
               "delta":{"type":"input_json_delta","partial_json":"{"}}})",
           R"({"type":"stream_event","event":{"type":"message_stop"}})",
           R"({"type":"stream_event"})",
           R"({"type":"system","subtype":"status","session_id":"zzz"})",
           R"({"type":"rate_limit_event"})", R"({"no_type":1})", R"([1,2])", R"("assistant")"}) {
    feed(record(ignored));
  }
  feed(text_delta(""));
  EXPECT_EQ(last_seq(*npc_), 1u);
  EXPECT_EQ(state().session_id, "");
  feed(text_delta("lo"));
  EXPECT_EQ(state().streamed_text, "Hello");
  feed(assistant_text("Hello"));
  EXPECT_EQ(brief(), (Strings{"delta:Hel", "delta:lo", "message_end"}));
  EXPECT_EQ(events()[2], (Json{{"seq", 3}, {"type", "message_end"}, {"npc", "t"}}));
  EXPECT_EQ(state().streamed_text, "");

  std::uint64_t since = last_seq(*npc_);
  // Full text without deltas is sent whole (thinking left out); full text that disagrees with
  // the deltas, or is shorter, is sent whole as well; a message start forgets earlier deltas.
  feed(record(R"({"type":"assistant","message":{"content":[
      {"type":"text","text":"Hel"},{"type":"thinking","text":"hmm"},{"type":"text","text":"lo"}]}})"));
  feed(text_delta("abc"));
  feed(assistant_text("xyz"));
  feed(text_delta("abc"));
  feed(assistant_text("ab"));
  feed(text_delta("Hel"));
  feed(record(R"({"type":"stream_event","event":{"type":"message_start"}})"));
  feed(assistant_text("Hello"));
  EXPECT_EQ(brief(since), (Strings{"delta:Hello", "message_end", "delta:abc", "delta:xyz",
                                   "message_end", "delta:abc", "delta:ab", "message_end",
                                   "delta:Hel", "delta:Hello", "message_end"}));
}

TEST_F(TranslateTest, ToolUsesAndResultsGiveToolStartsAndEnds) {
  feed(record(R"({"type":"assistant","message":{"content":[
      {"type":"tool_use","id":"tu1","name":"Read","input":{"file_path":")" +
              workspace_ + R"(/src/a.cpp"}},
      {"type":"tool_use","id":"tu2","input":null},
      {"type":"tool_use","id":"tu3","name":"Bash","input":{"command":"ls","description":"List"}}]}})"));
  std::vector<Json> ev = events();
  ASSERT_EQ(brief(), (Strings{"tool_start", "tool_start", "tool_start"}));
  EXPECT_EQ(ev[0], record(R"({"seq":1,"type":"tool_start","npc":"t","id":"tu1","name":"Read",
      "category":"read","detail":"src/a.cpp","note":""})"));
  EXPECT_EQ(ev[1]["name"], "tool");
  EXPECT_EQ(ev[1]["category"], "other");
  EXPECT_EQ(ev[2]["detail"], "ls");
  EXPECT_EQ(ev[2]["note"], "List");
  EXPECT_EQ(state().tool_count, 3u);

  std::uint64_t since = last_seq(*npc_);
  feed(record(R"({"type":"assistant","message":{"content":[
      {"type":"text","text":"Let me look."},{"type":"tool_use","id":"x","name":"Glob",
       "input":{"pattern":"*.md"}}]}})"));
  EXPECT_EQ(brief(since), (Strings{"delta:Let me look.", "message_end", "tool_start"}));

  since = last_seq(*npc_);
  std::string long_output;
  for (int i = 0; i < 2001; ++i) long_output += "\xE2\x82\xAC";  // €: three bytes, one character
  Json results = record(R"({"type":"user","message":{"content":[
      {"type":"tool_result","tool_use_id":"a","content":[{"type":"text","text":"a"},"skip me",
       {"type":"text","text":"b"}]},
      {"type":"tool_result","tool_use_id":"b","content":"plain","is_error":true},
      {"type":"tool_result","tool_use_id":"c"},
      {"type":"text","text":"not a tool result"}]}})");
  results["message"]["content"].push_back(
      {{"type", "tool_result"}, {"tool_use_id", "d"}, {"content", long_output}});
  feed(results);
  ev = events(since);
  ASSERT_EQ(brief(since), (Strings{"tool_end", "tool_end", "tool_end", "tool_end"}));
  EXPECT_EQ(ev[0]["id"], "a");
  EXPECT_EQ(ev[0]["output"], "a b");
  EXPECT_EQ(ev[0]["ok"], true);
  EXPECT_EQ(ev[1]["output"], "plain");
  EXPECT_EQ(ev[1]["ok"], false);
  EXPECT_EQ(ev[2]["output"], "");
  EXPECT_EQ(ev[3]["output"], long_output.substr(0, 6000));  // cut to 2000 characters
}

TEST_F(TranslateTest, FailedTurnsReportTheBestReasonAtHand) {
  set_npc_activity(Activity::Working);
  with_state([&](NpcState& s) { s.unanswered = 1; });
  std::uint64_t since = last_seq(*npc_);
  // The CLI's API-error message is no reply: it is skipped, and its failed result reports it.
  feed(record(R"({"type":"assistant","is_api_error_message":true,"message":{
      "model":"<synthetic>","content":[{"type":"text","text":"API Error: 529 overloaded"},
      {"type":"tool_use","id":"never","name":"Bash","input":{}}]}})"));
  EXPECT_TRUE(events(since).empty());
  EXPECT_EQ(state().tool_count, 0u);
  feed(record(R"({"type":"result","is_error":true,"result":"API Error: 529 overloaded"})"));
  EXPECT_EQ(brief(since), (Strings{"error:API Error: 529 overloaded", "state:idle"}));

  set_npc_activity(Activity::Working);
  feed(text_delta("partial"));
  since = last_seq(*npc_);
  feed(record(R"({"type":"result","is_error":true,"result":""})"));
  EXPECT_EQ(state().streamed_text, "");
  feed(record(R"({"type":"result","is_error":true,"errors":[]})"));  // no more than no list
  feed(record(R"({"type":"result","is_error":true,"errors":[
      "No conversation found with session ID: abc",{"code":7}]})"));
  feed(record(R"({"type":"result","is_error":true,"errors":[")" + std::string(400, 'x') + R"(",")" +
              std::string(400, 'y') + R"("]})"));
  EXPECT_EQ(brief(since),
            (Strings{"error:The agent failed.", "state:idle", "error:The agent failed.",
                     "error:No conversation found with session ID: abc; {\"code\":7}",
                     "error:" + std::string(400, 'x') + "; " + std::string(98, 'y')}));
}

TEST_F(TranslateTest, ResultCarriesTheTurnsFiguresInTheirKind) {
  with_state([&](NpcState& s) {
    s.tool_count = 4;
    set_activity(*npc_, s, Activity::Working);
  });
  feed(record(R"({"type":"result","subtype":"success","result":"Done.","num_turns":3,
      "total_cost_usd":0.25,"duration_ms":1500,"usage":{"input_tokens":10,"output_tokens":20,
      "cache_creation_input_tokens":30,"cache_read_input_tokens":40}})"));
  feed(record(R"({"type":"result","total_cost_usd":2,"usage":{"input_tokens":1.5}})"));
  feed(record(R"({"type":"result","total_cost_usd":null,"result":null})"));
  std::vector<Json> ev = events();
  ASSERT_EQ(brief(),
            (Strings{"state:working", "result:Done.", "state:idle", "result:", "result:"}));
  EXPECT_EQ(ev[1], record(R"({"seq":2,"type":"result","npc":"t","text":"Done.","turns":3,
      "cost":0.25,"duration_ms":1500,"tools":4,"input_tokens":10,"output_tokens":20,
      "cache_write_tokens":30,"cache_read_tokens":40})"));
  EXPECT_TRUE(ev[3]["cost"].is_number_integer());
  EXPECT_EQ(ev[3]["cost"], 2);
  EXPECT_TRUE(ev[3]["input_tokens"].is_number_float());
  EXPECT_EQ(ev[3]["turns"], 0);
  EXPECT_TRUE(ev[4]["cost"].is_number_float());
  EXPECT_EQ(ev[4]["cost"], 0.0);
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
  EXPECT_EQ(brief(since), (Strings{"delta:first", "result:first"}));
  EXPECT_EQ(activity_name(state().activity), "working");
  EXPECT_EQ(state().unanswered, 1u);
  EXPECT_EQ(state().streamed_text, "");
  EXPECT_EQ(state().pending_model, "opus");
  EXPECT_EQ(state().model, "sonnet");

  since = last_seq(*npc_);
  feed(record(R"({"type":"result","is_error":true,"result":"second failed"})"));
  std::vector<Json> ev = events(since);
  // The turn ends, then the pending model is applied: the agent stops and the model is told.
  ASSERT_EQ(brief(since), (Strings{"error:second failed", "state:idle", "state:asleep", "model"}));
  EXPECT_EQ(ev[3]["model"], "opus");
  EXPECT_EQ(ev[3]["pending"], false);
  EXPECT_EQ(state().model, "opus");
  EXPECT_FALSE(state().pending_model.has_value());
  EXPECT_EQ(state().unanswered, 0u);
  // The chosen model is remembered across restarts.
  std::optional<Json> saved = parse_json(read_file(state_file_));
  ASSERT_TRUE(saved.has_value());
  EXPECT_EQ((*saved)["t"]["model"], "opus");
}

TEST_F(TranslateTest, EveryInitReportsTheSessionAndTheDowngradeButOnlyANewOneIsSaved) {
  with_state([&](NpcState& s) { s.model = "sonnet"; });
  Json init = record(R"({"type":"system","subtype":"init","session_id":"s-1",
      "model":"claude-sonnet-9","permissionMode":"auto","cwd":"/x"})");
  feed(init);
  std::vector<Json> ev = events();
  ASSERT_EQ(brief(), (Strings{"session"}));
  EXPECT_EQ(ev[0], record(R"({"seq":1,"type":"session","npc":"t","session_id":"s-1",
      "model":"sonnet","resolved":"claude-sonnet-9","resumed":false,"bytes":0,"label":"",
      "messages":0,"started":""})"));
  EXPECT_EQ(state().session_id, "s-1");
  EXPECT_EQ(state().resolved_model, "claude-sonnet-9");
  drain_background_work();
  ASSERT_EQ(std::remove(state_file_.c_str()), 0);

  feed(init);  // the next turn of the same session is not saved again
  drain_background_work();
  EXPECT_FALSE(is_regular_file(state_file_));
  init["session_id"] = "s-2";
  feed(init);
  drain_background_work();
  EXPECT_TRUE(is_regular_file(state_file_));
  EXPECT_EQ(state().session_id, "s-2");

  set_policy("trust");
  with_state([&](NpcState& s) { s.resumed = true; });
  std::uint64_t since = last_seq(*npc_);
  feed(record(R"({"type":"system","subtype":"init","model":"m1","permissionMode":"default"})"));
  ev = events(since);
  ASSERT_EQ(brief(since), (Strings{"policy_downgraded", "session"}));
  Json downgraded = record(R"({"type":"policy_downgraded","npc":"t","wanted":"bypassPermissions",
      "actual":"default","policy":"trust","model":"m1"})");
  downgraded["seq"] = since + 1;
  EXPECT_EQ(ev[0], downgraded);
  // Without a reported id the stored one is described.
  EXPECT_EQ(ev[1]["session_id"], "s-2");
  EXPECT_EQ(ev[1]["resumed"], true);

  set_policy("ask");
  since = last_seq(*npc_);
  feed(record(R"({"type":"system","subtype":"init","model":""})"));
  ev = events(since);
  ASSERT_EQ(brief(since), (Strings{"policy_downgraded", "session"}));
  EXPECT_EQ(ev[0]["wanted"], "acceptEdits");
  EXPECT_EQ(ev[0]["actual"], "");
  EXPECT_EQ(state().resolved_model, "");
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

  void write_all(const std::string& bytes) { ASSERT_EQ(write_fully(write_end_.get(), bytes), 0); }

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
  write_all(dump_json(assistant_text("Hel" + big + "!")) + "\n");
  // Invalid UTF-8 is replaced, not dropped; the last line needs no newline.
  write_all(
      "{\"type\":\"assistant\",\"message\":{\"content\":[{\"type\":\"text\",\"text\":\"a\xFF"
      "b\"}]}}");
  finish();
  EXPECT_EQ(brief(), (Strings{"delta:Hel", "delta:" + big, "delta:!", "message_end",
                              "delta:a\xEF\xBF\xBD"
                              "b",
                              "message_end"}));
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
  write_all(R"({"type":"result","result":"late"})"
            "\n");
  finish();
  // The late result is shown, but it does not end the newer process's turn.
  EXPECT_EQ(brief(since), (Strings{"result:late"}));
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
  // The child closes its standard output, then reads its input until the end: only closing
  // its input lets it exit, so the reader must not await it forever.
  start_agent(
      R"(echo '{"type":"assistant","message":{"content":[{"type":"text","text":"bye"}]}}'; )"
      "exec 1>&-; cat >/dev/null; exit 3");
  finish();
  EXPECT_EQ(brief(since_),
            (Strings{"delta:bye", "message_end", "error:exit code 3", "state:asleep"}));
  EXPECT_FALSE(state().agent.has_value());
}

TEST_F(StdoutReaderChildTest, EndOfOutputPrefersTheLastStandardErrorLine) {
  with_state([&](NpcState& s) { s.stderr_tail = {"older", std::string(600, 'e')}; });
  start_agent("exit 1");
  finish();
  EXPECT_EQ(brief(since_), (Strings{"error:" + std::string(500, 'e'), "state:asleep"}));
}

}  // namespace
