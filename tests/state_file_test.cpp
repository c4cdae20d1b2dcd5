// What the bridge remembers across restarts: NPCs recalled from a state file written before
// start, "--reset-workspaces", and a state file that cannot be read.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness/bridge_process.h"
#include "harness/http_client.h"
#include "harness/transcript_files.h"

namespace {

using harness::BridgeOptions;
using harness::BridgeProcess;

Json memory(const std::string& workspace, const std::string& source, const std::string& session,
            const std::string& persona, const std::string& model) {
  return {{"workspace", workspace},
          {"workspace_source", source},
          {"session_id", session},
          {"persona", persona},
          {"model", model}};
}

// The hello of a fresh stream on `id`; null when the stream does not open.
Json hello_of(const BridgeProcess& bridge, const std::string& id) {
  harness::SseStream stream;
  if (!stream.open(bridge.port(), id)) return Json();
  std::optional<Json> hello = stream.next_event();
  return hello ? *hello : Json();
}

Json listing_row(const BridgeProcess& bridge, const std::string& id) {
  auto response = harness::http_request(bridge.port(), "GET", "/npcs");
  if (!response) return Json();
  Json body = response->json();
  for (const Json& row : body["npcs"]) {
    if (row["id"] == id) return row;
  }
  return Json();
}

// A state file laid out by hand: one entry per way of remembering a folder or a session.
class RememberedState : public testing::Test {
 protected:
  void SetUp() override {
    explicit_folder = bridge.root() + "/chosen";
    other_folder = bridge.root() + "/other";
    gone_folder = bridge.root() + "/gone";
    ASSERT_TRUE(harness::make_folders(explicit_folder));
    ASSERT_TRUE(harness::make_folders(other_folder));

    // The session's transcript sits in a project folder of some other workspace: a session id
    // is found wherever its file is.
    std::string cwd = bridge.root() + "/elsewhere";
    transcript = bridge.home() + "/.claude/projects/" + harness::cli_folder_name(cwd) +
                 "/sess-remembered.jsonl";
    std::string lines =
        harness::message_line("user", "Where did the old ferry go, keeper?", cwd,
                              "sess-remembered", "2026-01-01T00:00:00.000Z") +
        harness::message_line("assistant", "It sank in the storm.", cwd, "sess-remembered",
                              "2026-01-01T00:00:05.000Z");
    ASSERT_TRUE(harness::write_text_file(transcript, lines));
    transcript_bytes = lines.size();

    state = {{"explicit", memory(explicit_folder, "explicit", "", "A tidy clerk.", "opus")},
             {"defaulted", memory(other_folder, "default", "", "", "")},
             {"gone", memory(gone_folder, "explicit", "", "", "sonnet")},
             {"resumer", memory(bridge.workspace(), "default", "sess-remembered", "", "")},
             {"odd", 5}};
    ASSERT_TRUE(harness::write_text_file(bridge.state_file(), dump_json_indented(state)));
  }

  BridgeOptions options_with(std::vector<std::string> args) {
    BridgeOptions options;
    options.args = std::move(args);
    return options;
  }

  BridgeProcess bridge;
  Json state;
  std::string explicit_folder, other_folder, gone_folder, transcript;
  std::size_t transcript_bytes = 0;
};

TEST_F(RememberedState, NpcsAreRecalledWhenFirstNamed) {
  ASSERT_TRUE(bridge.start());

  Json explicit_hello = hello_of(bridge, "explicit");
  EXPECT_EQ(explicit_hello["workspace"], explicit_folder);
  EXPECT_EQ(explicit_hello["is_default"], false);
  Json row = listing_row(bridge, "explicit");
  EXPECT_EQ(row["workspace_source"], "explicit");
  EXPECT_EQ(row["model"], "opus");

  // A folder remembered as the default gives way to the configured default.
  Json defaulted = hello_of(bridge, "defaulted");
  EXPECT_EQ(defaulted["workspace"], bridge.workspace());
  EXPECT_EQ(defaulted["is_default"], true);
  EXPECT_EQ(listing_row(bridge, "defaulted")["model"], "");

  EXPECT_EQ(bridge.count_log("remembered folder is gone"), 0u);  // only recalled when named
  Json gone = hello_of(bridge, "gone");
  EXPECT_TRUE(bridge.wait_for_log("[bridge] npc=gone remembered folder is gone (" + gone_folder +
                                  "); using " + bridge.workspace()));
  EXPECT_EQ(gone["workspace"], bridge.workspace());
  EXPECT_EQ(gone["is_default"], true);
  row = listing_row(bridge, "gone");
  EXPECT_EQ(row["workspace_source"], "default");
  EXPECT_EQ(row["model"], "sonnet");

  Json resumer = hello_of(bridge, "resumer");
  EXPECT_EQ(resumer["resumed"], false);  // the stream's own starting point is 0
  Json expected_session = {{"session_id", "sess-remembered"},
                           {"resumed", true},
                           {"messages", 2},
                           {"label", "Where did the old ferry go, keeper?"},
                           {"started", "2026-01-01T00:00:00.000Z"},
                           {"bytes", transcript_bytes}};
  EXPECT_EQ(resumer["session"], expected_session);
  EXPECT_EQ(listing_row(bridge, "resumer")["session_id"], "sess-remembered");

  // Nothing was changed, so nothing was written.
  EXPECT_EQ(harness::read_text_file(bridge.state_file()), dump_json_indented(state));
}

TEST_F(RememberedState, ResetWorkspacesForgetsFoldersAndSessionsButKeepsTheRest) {
  BridgeProcess reset(options_with({"--reset-workspaces"}));
  // The reset bridge has its own root: give it this fixture's file.
  ASSERT_TRUE(harness::write_text_file(reset.state_file(), dump_json_indented(state)));
  ASSERT_TRUE(reset.start());
  EXPECT_TRUE(reset.wait_for_log("[bridge] forgot 5 remembered folder(s)"));

  Json expected = {{"explicit", {{"persona", "A tidy clerk."}, {"model", "opus"}}},
                   {"defaulted", {{"persona", ""}, {"model", ""}}},
                   {"gone", {{"persona", ""}, {"model", "sonnet"}}},
                   {"resumer", {{"persona", ""}, {"model", ""}}},
                   {"odd", 5}};
  EXPECT_EQ(harness::read_text_file(reset.state_file()), dump_json_indented(expected));

  // Recalled afterwards: the default folder and a new conversation, the model kept.
  Json hello = hello_of(reset, "explicit");
  EXPECT_EQ(hello["workspace"], reset.workspace());
  EXPECT_EQ(hello["is_default"], true);
  EXPECT_EQ(listing_row(reset, "explicit")["model"], "opus");
  EXPECT_EQ(hello_of(reset, "resumer")["session"]["session_id"], "");
  EXPECT_EQ(reset.count_log("remembered folder is gone"), 0u);
  hello_of(reset, "gone");
  EXPECT_EQ(reset.count_log("remembered folder is gone"), 0u);
}

// Even a start-up that then fails on a taken port has rewritten the file by then.
TEST(StateFileOnDisk, ResetWithoutAFileLeavesAnEmptyObjectBeforeListening) {
  BridgeProcess first;
  ASSERT_TRUE(first.start());
  BridgeOptions options;
  options.args = {"--reset-workspaces"};
  options.port = first.port();
  options.wait_for_banner = false;
  BridgeProcess bridge(options);
  ASSERT_TRUE(bridge.start());
  EXPECT_EQ(bridge.wait_for_exit(), 1);
  EXPECT_EQ(bridge.count_log("[bridge] forgot 0 remembered folder(s)"), 1u);
  EXPECT_EQ(harness::read_text_file(bridge.state_file()), "{}");
}

TEST(StateFileOnDisk, FirstRememberWritesTheNpcInTheIndentedForm) {
  BridgeProcess bridge;
  ASSERT_TRUE(bridge.start());
  auto response =
      harness::http_request(bridge.port(), "POST", "/npc/guard/workspace", Json::object());
  ASSERT_TRUE(response);
  ASSERT_EQ(response->status, 200);
  std::string expected = "{\n  \"guard\": {\n    \"model\": \"\",\n    \"persona\": \"\",\n"
                         "    \"session_id\": \"\",\n    \"workspace\": " +
                         dump_json(Json(bridge.workspace())) +
                         ",\n    \"workspace_source\": \"default\"\n  }\n}";
  EXPECT_EQ(harness::read_text_file(bridge.state_file()), expected);
  // No temporary file is left beside it.
  EXPECT_EQ(harness::folder_names(bridge.root() + "/state"),
            std::vector<std::string>{"bridge_state.json"});
}

// A file that holds no JSON object is kept under a new name before the first write replaces
// it, so what it held is not lost.
TEST(StateFileOnDisk, AnUnreadableFileIsKeptAsideNotLost) {
  for (const std::string original : {"{not json", "[]", "{\"a\": {\"workspace\": \"\xff\"}}"}) {
    SCOPED_TRACE(original);
    BridgeProcess bridge;
    ASSERT_TRUE(harness::write_text_file(bridge.state_file(), original));
    ASSERT_TRUE(bridge.start());

    // Read as remembering nothing.
    Json hello = hello_of(bridge, "x");
    EXPECT_EQ(hello["workspace"], bridge.workspace());
    EXPECT_EQ(harness::read_text_file(bridge.state_file()), original);  // untouched by reading

    auto response =
        harness::http_request(bridge.port(), "POST", "/npc/x/workspace", Json::object());
    ASSERT_TRUE(response);
    ASSERT_EQ(response->status, 200);

    std::vector<std::string> names = harness::folder_names(bridge.root() + "/state");
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], "bridge_state.json");
    EXPECT_EQ(names[1].rfind("bridge_state.json.unreadable-", 0), 0u) << names[1];
    EXPECT_EQ(harness::read_text_file(bridge.root() + "/state/" + names[1]), original);
    EXPECT_TRUE(bridge.wait_for_log("[bridge] kept the unreadable state file aside as " +
                                    bridge.root() + "/state/" + names[1]));

    std::optional<std::string> now = harness::read_text_file(bridge.state_file());
    ASSERT_TRUE(now);
    std::optional<Json> parsed = parse_json(*now);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, Json({{"x", memory(bridge.workspace(), "default", "", "", "")}}));

    // Later writes find a readable file and keep nothing else aside.
    response = harness::http_request(bridge.port(), "POST", "/npc/y/workspace", Json::object());
    ASSERT_TRUE(response);
    EXPECT_EQ(harness::folder_names(bridge.root() + "/state").size(), 2u);
  }
}

}  // namespace
