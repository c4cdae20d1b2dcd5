// Listing a workspace's earlier conversations from the transcripts the CLI keeps under
// HOME/.claude/projects: newest first, and which NPC uses which. (How one transcript is
// described: src/store/transcripts_test.cpp.)

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "harness/bridge_process.h"
#include "harness/http_client.h"
#include "harness/transcript_files.h"
#include "util/test_support.h"

namespace {

constexpr std::int64_t BASE_TIME = 1767225600;  // 2026-01-01T00:00:00Z

TEST(SessionListing, ConversationsAreListedNewestFirstWithWhoUsesThem) {
  harness::BridgeProcess bridge;
  ASSERT_TRUE(bridge.start());
  std::string projects = bridge.home() + "/.claude/projects";
  auto post = [&](const std::string& path, const Json& body) {
    auto response = harness::http_request(bridge.port(), "POST", path, body);
    return response ? response->status : 0;
  };
  auto sessions_of = [&](const std::string& id) {
    auto response = harness::http_request(bridge.port(), "GET", "/npc/" + id + "/sessions");
    Json body = response ? response->json() : Json();
    EXPECT_EQ(body.size(), 1u);
    return body["sessions"];
  };
  // Writes a transcript of one user message into `folder`, modified at BASE_TIME + `mtime` and
  // a half second; the listing's entry for it.
  auto lay_out = [&](const std::string& folder, const std::string& cwd, const std::string& sid,
                     const std::string& words, std::int64_t mtime, const std::string& title = "") {
    std::string text = harness::message_line("user", words, cwd, sid, "2026-01-01T00:00:01.000Z");
    if (!title.empty())
      text += dump_json(Json{{"type", "custom-title"}, {"customTitle", title}}) + "\n";
    std::string path = projects + "/" + folder + "/" + sid + ".jsonl";
    write_file(path, text);
    EXPECT_TRUE(harness::set_mtime(path, BASE_TIME + mtime, 500000000));
    return Json{{"session_id", sid},
                {"messages", 1},
                {"label", words},
                {"title", title},
                {"started", "2026-01-01T00:00:01.000Z"},
                {"bytes", text.size()},
                {"modified", static_cast<double>(BASE_TIME + mtime) + 0.5}};
  };
  // The entry as `npc` sees it while `user` has that conversation.
  auto seen = [](Json entry, const std::string& npc, const std::string& user) {
    entry["current"] = user == npc;
    entry["in_use_by"] = user == npc ? "" : user;
    return entry;
  };

  // The folder named by replacing only "/" (the bridge's root has "." and "_" in its name).
  std::string ws = bridge.root() + "/plain";
  ASSERT_TRUE(harness::make_folders(ws));
  std::string folder = ws;
  std::replace(folder.begin(), folder.end(), '/', '-');
  ASSERT_NE(folder, harness::cli_folder_name(ws));  // so only this naming can find it
  Json older = lay_out(folder, ws, "s-older", "Tell me about the old lighthouse", 100);
  Json newest = lay_out(folder, ws, "s-newest", "Where is the blacksmith shop?", 300, "Smithy");
  Json middle = lay_out(folder, ws, "s-middle", "What is for supper tonight?", 200);
  write_file(projects + "/" + folder + "/notes.txt", "not a transcript by name");

  for (const char* npc : {"alice", "bob"})
    ASSERT_EQ(post("/npc/" + std::string(npc) + "/workspace", {{"workspace", ws}}), 200);
  ASSERT_EQ(post("/npc/alice/session", {{"session_id", "s-older"}}), 200);
  ASSERT_EQ(post("/npc/bob/session", {{"session_id", "s-newest"}}), 200);
  EXPECT_EQ(post("/npc/alice/session", {{"session_id", "s-newest"}}), 409);  // bob has it
  for (const char* npc : {"alice", "bob"}) {
    EXPECT_EQ(sessions_of(npc), Json::array({seen(newest, npc, "bob"), seen(middle, npc, ""),
                                             seen(older, npc, "alice")}))
        << npc;
  }
  // Touching a file reorders the listing.
  ASSERT_TRUE(harness::set_mtime(projects + "/" + folder + "/s-middle.jsonl", BASE_TIME + 500));
  Json listing = sessions_of("alice");
  ASSERT_EQ(listing.size(), 3u);
  EXPECT_EQ(listing[0]["session_id"], "s-middle");
  EXPECT_EQ(listing[0]["modified"], static_cast<double>(BASE_TIME + 500));

  // An NPC of another workspace sees its own folder, also once the CLI creates it with the
  // workspace's first conversation (named the CLI's way: spaces, dots, underscores).
  std::string fresh = bridge.root() + "/my ws.v2_x";
  ASSERT_TRUE(harness::make_folders(fresh));
  ASSERT_EQ(post("/npc/finn/workspace", {{"workspace", fresh}}), 200);
  EXPECT_EQ(sessions_of("finn"), Json::array());
  Json first =
      lay_out(harness::cli_folder_name(fresh), fresh, "s-first", "Good evening, innkeeper!", 50);
  EXPECT_EQ(sessions_of("finn"), Json::array({seen(first, "finn", "")}));
}

}  // namespace
