// What the bridge remembers across restarts: NPCs recalled from a state file written before
// start, the file replaced whole on every change, "--reset-workspaces", and a state file that
// cannot be read.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "harness/bridge_process.h"
#include "harness/http_client.h"
#include "harness/transcript_files.h"
#include "util/fd_io.h"
#include "util/test_support.h"

namespace {

using harness::BridgeProcess;

Json memory(const std::string& workspace, const std::string& source, const std::string& session,
            const std::string& persona, const std::string& model) {
  return {{"workspace", workspace},
          {"workspace_source", source},
          {"session_id", session},
          {"persona", persona},
          {"model", model}};
}

TEST(StateFile, NpcsAreRecalledAndEveryChangeReplacesTheFileWholeOrKeepsItAside) {
  BridgeProcess bridge;
  std::string chosen = bridge.root() + "/chosen", other = bridge.root() + "/other";
  std::string gone = bridge.root() + "/gone";
  ASSERT_TRUE(harness::make_folders(chosen) && harness::make_folders(other));
  // The session's transcript sits in a project folder of some other workspace: a session id
  // is found wherever its file is.
  std::string cwd = bridge.root() + "/elsewhere";
  std::string lines = harness::message_line("user", "Where did the old ferry go, keeper?", cwd,
                                            "sess-remembered", "2026-01-01T00:00:00.000Z") +
                      harness::message_line("assistant", "It sank in the storm.", cwd,
                                            "sess-remembered", "2026-01-01T00:00:05.000Z");
  write_file(bridge.home() + "/.claude/projects/" + harness::cli_folder_name(cwd) +
                 "/sess-remembered.jsonl",
             lines);
  Json state = {{"explicit", memory(chosen, "explicit", "", "A tidy clerk.", "opus")},
                {"defaulted", memory(other, "default", "", "", "")},
                {"gone", memory(gone, "explicit", "", "", "sonnet")},
                {"resumer", memory(bridge.workspace(), "default", "sess-remembered", "", "")},
                {"odd", 5}};
  std::string written = dump_json_indented(state);
  write_file(bridge.state_file(), written);
  ASSERT_TRUE(bridge.start());

  auto hello_of = [&](const std::string& id) {
    harness::SseStream stream;
    return stream.open(bridge.port(), id) ? stream.next_event().value_or(Json()) : Json();
  };
  auto row_of = [&](const std::string& id) {
    auto response = harness::http_request(bridge.port(), "GET", "/npcs");
    for (const Json& row : response ? response->json()["npcs"] : Json::array()) {
      if (row["id"] == id) return row;
    }
    return Json();
  };
  auto post_workspace = [&](const std::string& id) {
    auto response =
        harness::http_request(bridge.port(), "POST", "/npc/" + id + "/workspace", Json::object());
    return response ? response->status : 0;
  };

  // Each NPC is recalled when first named: an explicit folder, a default one that gives way to
  // the configured default, a folder that is gone, a conversation to resume.
  struct Recalled {
    std::string id, workspace, source, model;
  };
  for (const Recalled& r : {Recalled{"explicit", chosen, "explicit", "opus"},
                            Recalled{"defaulted", bridge.workspace(), "default", ""},
                            Recalled{"gone", bridge.workspace(), "default", "sonnet"}}) {
    SCOPED_TRACE(r.id);
    if (r.id == "gone") {
      EXPECT_EQ(bridge.count_log("remembered folder is gone"), 0u);  // only when named
    }
    Json hello = hello_of(r.id);
    EXPECT_EQ(hello["workspace"], r.workspace);
    EXPECT_EQ(hello["is_default"], r.source == "default");
    EXPECT_EQ(row_of(r.id)["workspace_source"], r.source);
    EXPECT_EQ(row_of(r.id)["model"], r.model);
  }
  EXPECT_TRUE(bridge.wait_for_log("[bridge] npc=gone remembered folder is gone (" + gone +
                                  "); using " + bridge.workspace()));
  Json resumer = hello_of("resumer");
  EXPECT_EQ(resumer["resumed"], false);  // the stream's own starting point is 0
  EXPECT_EQ(resumer["session"], Json({{"session_id", "sess-remembered"},
                                      {"resumed", true},
                                      {"messages", 2},
                                      {"label", "Where did the old ferry go, keeper?"},
                                      {"started", "2026-01-01T00:00:00.000Z"},
                                      {"bytes", lines.size()}}));
  EXPECT_EQ(harness::read_text_file(bridge.state_file()), written);  // nothing changed yet

  // A change replaces the file whole, so a crash mid-write never leaves half a file: a reader
  // that opened the old file still reads all of it. Other entries are carried over, and no
  // temporary file is left beside it.
  int held = ::open(bridge.state_file().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(post_workspace("newbie"), 200);
  std::string held_text;
  EXPECT_EQ(read_to_end(held, held_text, 1 << 20), 0);
  ::close(held);
  EXPECT_EQ(held_text, written);
  state["newbie"] = memory(bridge.workspace(), "default", "", "", "");
  EXPECT_EQ(parse_json(harness::read_text_file(bridge.state_file()).value_or("")), state);
  std::string folder = bridge.root() + "/state";
  EXPECT_EQ(harness::folder_names(folder), std::vector<std::string>{"bridge_state.json"});

  // --reset-workspaces forgets folders and sessions but keeps the rest, before listening: a
  // start that then fails on a taken port has rewritten the file by then.
  harness::RunResult reset =
      harness::run_bridge({"--reset-workspaces", "--state-file", bridge.state_file(), "--port",
                           std::to_string(bridge.port()), "--claude", bridge.claude_path()});
  EXPECT_EQ(reset.status, 1);
  EXPECT_NE(reset.err.find("[bridge] forgot 6 remembered folder(s)\n"), std::string::npos);
  Json kept = {{"explicit", {{"persona", "A tidy clerk."}, {"model", "opus"}}},
               {"defaulted", {{"persona", ""}, {"model", ""}}},
               {"gone", {{"persona", ""}, {"model", "sonnet"}}},
               {"resumer", {{"persona", ""}, {"model", ""}}},
               {"newbie", {{"persona", ""}, {"model", ""}}},
               {"odd", 5}};
  EXPECT_EQ(harness::read_text_file(bridge.state_file()), dump_json_indented(kept));

  // A file that holds no JSON object is kept under a new name before the next write replaces
  // it, so what it held is not lost; the new file has the indented form.
  write_file(bridge.state_file(), "{not json");
  ASSERT_EQ(post_workspace("x"), 200);
  std::vector<std::string> names = harness::folder_names(folder);
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[1].rfind("bridge_state.json.unreadable-", 0), 0u) << names[1];
  EXPECT_EQ(harness::read_text_file(folder + "/" + names[1]), "{not json");
  EXPECT_TRUE(bridge.wait_for_log("[bridge] kept the unreadable state file aside as " + folder +
                                  "/" + names[1]));
  EXPECT_EQ(harness::read_text_file(bridge.state_file()),
            dump_json_indented(Json{{"x", memory(bridge.workspace(), "default", "", "", "")}}));
  // Later writes find a readable file and keep nothing else aside.
  ASSERT_EQ(post_workspace("y"), 200);
  EXPECT_EQ(harness::folder_names(folder).size(), 2u);
}

}  // namespace
