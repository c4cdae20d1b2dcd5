#include "agent/translate.h"

#include <gtest/gtest.h>

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

void drain_background_work() {
  std::promise<void> done;
  run_later([&] { done.set_value(); });
  done.get_future().wait();
}

Json record(const std::string& text) { return parse_json(text).value(); }

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

// No transcripts can be found under this home: session descriptions are all zeros.
class TranslateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir(workspace_.c_str(), 0700), 0);
    Config cfg;
    cfg.workspace = workspace_;
    store_config(cfg);
    store_state_file_path(state_file_);
    set_policy("auto");
    npc_->locked([&](NpcState& s) { s.workspace = workspace_; });
  }

  // Work handed to the background (a state-file write) ends with the test that caused it.
  void TearDown() override { drain_background_work(); }

  void feed(const Json& rec) { translate_record(*npc_, rec); }

  std::vector<Json> events(std::uint64_t since = 0) {
    std::vector<Json> out;
    for (const StoredEvent& e : events_after(npc_->events, since))
      out.push_back(parse_json(e.json()).value_or(Json()));
    return out;
  }

  // Each event as its type, then ":" and its text, message or value where it has one.
  std::vector<std::string> brief(std::uint64_t since = 0) {
    std::vector<std::string> out;
    for (const Json& e : events(since)) {
      out.push_back(as_text(e, "type"));
      for (const char* key : {"text", "message", "value"})
        if (e.contains(key)) out.back() += ":" + as_text(e, key);
    }
    return out;
  }

  ScratchHome root_;
  std::string workspace_ = root_ / "world";
  std::string state_file_ = root_ / "bridge_state.json";
  NpcHandle npc_ = std::make_shared<Npc>("t");
};

using Strings = std::vector<std::string>;

// One turn with every odd record the agent may write.
TEST_F(TranslateTest, AnOddTurnReachesTheGameAsEvents) {
  npc_->locked([&](NpcState& s) {
    s.model = "sonnet";
    set_activity(*npc_, s, Activity::Working);
  });
  feed(record(R"({"type":"system","subtype":"init","session_id":"s-1","model":"claude-9",
      "permissionMode":"auto"})"));
  feed(text_delta("Hel"));
  // A stream event other than a text delta changes nothing.
  feed(record(R"({"type":"stream_event","event":{"type":"content_block_delta",
      "delta":{"type":"input_json_delta","partial_json":"{"}}})"));
  feed(text_delta("lo"));
  feed(assistant_text("Hello"));
  // Full text without deltas is sent whole, thinking left out. (Deltas the full text contradicts:
  // the stream_translation fuzz target.)
  feed(record(R"({"type":"assistant","message":{"content":[
      {"type":"text","text":"Hel"},{"type":"thinking","text":"hmm"},{"type":"text","text":"lo"}]}})"));
  EXPECT_EQ(brief(), (Strings{"state:working", "session", "delta:Hel", "delta:lo", "message_end",
                              "delta:Hello", "message_end"}));
  EXPECT_EQ(events()[1], record(R"({"seq":2,"type":"session","npc":"t","session_id":"s-1",
      "model":"sonnet","resolved":"claude-9","resumed":false,"bytes":0,"label":"",
      "messages":0,"started":""})"));
  drain_background_work();
  ASSERT_EQ(std::remove(state_file_.c_str()), 0);
  feed(record(R"({"type":"system","subtype":"init","session_id":"s-1"})"));
  drain_background_work();
  EXPECT_FALSE(is_regular_file(state_file_));  // the same session is not saved again

  std::uint64_t since = last_seq(*npc_);
  feed(record(R"({"type":"assistant","message":{"content":[
      {"type":"tool_use","id":"tu1","name":"Read","input":{"file_path":")" +
              workspace_ + R"(/src/a.cpp"}},
      {"type":"tool_use","id":"tu2","input":null}]}})"));
  std::string long_output;
  for (int i = 0; i < 2001; ++i) long_output += "\xE2\x82\xAC";  // €: three bytes, one character
  feed(record(R"({"type":"user","message":{"content":[
      {"type":"tool_result","tool_use_id":"a","content":[{"type":"text","text":"a"},"skip me",
       {"type":"text","text":"b"}]},
      {"type":"tool_result","tool_use_id":"b","content":"plain","is_error":true},
      {"type":"text","text":"not a tool result"},
      {"type":"tool_result","tool_use_id":"d","content":")" +
              long_output + R"("}]}})"));
  std::vector<Json> ev = events(since);
  ASSERT_EQ(brief(since),
            (Strings{"tool_start", "tool_start", "tool_end", "tool_end", "tool_end"}));
  EXPECT_EQ(ev[0], record(R"({"seq":10,"type":"tool_start","npc":"t","id":"tu1","name":"Read",
      "category":"read","detail":"src/a.cpp","note":""})"));
  EXPECT_EQ(ev[1]["name"], "tool");
  EXPECT_EQ(ev[2]["output"], "a b");
  EXPECT_EQ(ev[4]["output"], long_output.substr(0, 6000));  // cut to 2000 characters

  since = last_seq(*npc_);
  feed(record(R"({"type":"result","result":"Done.","num_turns":3,"total_cost_usd":2,
      "duration_ms":1500,"usage":{"input_tokens":1.5,"output_tokens":20,
      "cache_creation_input_tokens":30,"cache_read_input_tokens":40}})"));
  feed(record(R"({"type":"result","total_cost_usd":null,"result":null})"));
  ev = events(since);
  ASSERT_EQ(brief(since), (Strings{"result:Done.", "state:idle", "result:"}));
  EXPECT_EQ(ev[0], record(R"({"seq":15,"type":"result","npc":"t","text":"Done.","turns":3,
      "cost":2,"duration_ms":1500,"tools":2,"input_tokens":1.5,"output_tokens":20,
      "cache_write_tokens":30,"cache_read_tokens":40})"));
  EXPECT_TRUE(ev[0]["cost"].is_number_integer());
  EXPECT_TRUE(ev[2]["cost"].is_number_float());
  EXPECT_EQ(ev[2]["turns"], 0);

  // A failed turn reports the best reason at hand; the CLI's API-error message is no reply.
  since = last_seq(*npc_);
  feed(record(R"({"type":"assistant","is_api_error_message":true,"message":{
      "content":[{"type":"text","text":"API Error: 529"}]}})"));
  feed(record(R"({"type":"result","is_error":true,"result":""})"));
  feed(record(R"({"type":"result","is_error":true,"errors":[")" + std::string(400, 'x') +
              R"(",{"code":7},")" + std::string(400, 'y') + R"("]})"));
  EXPECT_EQ(brief(since),
            (Strings{"error:The agent failed.", "error:" + std::string(400, 'x') +
                                                    "; {\"code\":7}; " + std::string(86, 'y')}));
}

// The reader side: a real pipe written in awkward pieces, or a child's real standard output.
class StdoutReaderTest : public TranslateTest {
 protected:
  StdoutReaderTest() { done_->finish(); }

  void write_all(const std::string& bytes) { ASSERT_EQ(write_fully(write_end_.get(), bytes), 0); }

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
  // A standard-error reader that has already taken in everything.
  std::shared_ptr<ReaderDone> done_ = std::make_shared<ReaderDone>();
};

// Lines in any pieces from a process that is no longer the NPC's current one (a newer launch
// took over): what it wrote is shown, but its result does not end the newer process's turn.
TEST_F(StdoutReaderTest, ReadsLinesInAnyPiecesAndALateProcessEndsSilently) {
  npc_->locked([&](NpcState& s) {
    set_activity(*npc_, s, Activity::Working);
    s.agent.emplace();
    s.agent->generation = 2;
    s.unanswered = 1;
  });
  std::uint64_t since = last_seq(*npc_);
  int fds[2];
  ASSERT_EQ(pipe_cloexec(fds), 0);
  write_end_.reset(fds[1]);
  reader_ = std::thread(read_agent_output, npc_, 1, UniqueFd(fds[0]), done_);
  std::string first = dump_json(text_delta("Hel")) + "\n";
  write_all(first.substr(0, 10));
  write_all(first.substr(10) + "not json at all\n\n   \r\n{broken json\n");
  std::string big = std::string(20000, 'x');
  write_all("  " + dump_json(text_delta(big)) + " \r\n[\"an array\"]\n");
  write_all(dump_json(assistant_text("Hel" + big + "!")) + "\n");
  // Invalid UTF-8 is replaced, not dropped; the last line needs no newline.
  write_all(
      "{\"type\":\"assistant\",\"message\":{\"content\":[{\"type\":\"text\",\"text\":\"a\xFF"
      "b\"}]}}\n{\"type\":\"result\",\"result\":\"late\"}");
  finish();
  EXPECT_EQ(brief(since), (Strings{"delta:Hel", "delta:" + big, "delta:!", "message_end",
                                   "delta:a\uFFFDb", "message_end", "result:late"}));
  npc_->locked([](NpcState& s) {
    EXPECT_EQ(s.unanswered, 1u);
    EXPECT_EQ(s.agent ? s.agent->generation : 0, 2u);  // the newer process is still the NPC's
  });
}

TEST_F(StdoutReaderTest, EndOfOutputReportsTheExitCodeAndStopsTheNpc) {
  std::uint64_t since = last_seq(*npc_);
  // The child closes its standard output, then reads its input until the end: only closing
  // its input lets it exit, so the reader must not await it forever.
  std::string script =
      R"(echo '{"type":"assistant","message":{"content":[{"type":"text","text":"bye"}]}}'; )"
      "exec 1>&-; cat >/dev/null; exit 3";
  SpawnResult spawned =
      spawn_child({"/bin/sh", {"-c", script}, {"PATH=/usr/bin:/bin"}, workspace_});
  ASSERT_TRUE(spawned.child.has_value()) << spawned.error;
  auto input = std::make_shared<AgentInput>(std::move(spawned.child->stdin_fd));
  npc_->locked([&](NpcState& s) {
    s.agent = AgentProcess{spawned.child->pid, 1, input, done_, false};
    s.launch_count = 1;
    set_activity(*npc_, s, Activity::Idle);
  });
  reader_ = std::thread(read_agent_output, npc_, 1, std::move(spawned.child->stdout_fd), done_);
  finish();
  EXPECT_EQ(brief(since), (Strings{"state:idle", "delta:bye", "message_end", "error:exit code 3",
                                   "state:asleep"}));
  EXPECT_FALSE(npc_->locked([](NpcState& s) { return s.agent.has_value(); }));
}

}  // namespace
