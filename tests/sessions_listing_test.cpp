// Listing a workspace's earlier conversations from the transcripts the CLI keeps under
// HOME/.claude/projects: finding the folder, describing each session, order, and which NPC
// uses which session.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "harness/bridge_process.h"
#include "harness/http_client.h"
#include "harness/transcript_files.h"

namespace {

using harness::BridgeProcess;

constexpr std::int64_t BASE_TIME = 1767225600;  // 2026-01-01T00:00:00Z

/// One transcript to lay out and the listing entry it should give.
struct Transcript {
  std::string session_id;
  std::string text;  // the file's lines
  std::int64_t mtime;
  Json entry;  // without "current" and "in_use_by"
};

/// A bridge with a helper to lay out transcripts and ask for listings.
class SessionListing : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(bridge.start()); }

  std::string projects() const { return bridge.home() + "/.claude/projects"; }

  // A workspace folder under the bridge's root.
  std::string workspace(const std::string& name) {
    std::string path = bridge.root() + "/" + name;
    EXPECT_TRUE(harness::make_folders(path));
    return path;
  }

  // Writes the transcript into `folder` (under projects) with its modification time set to
  // BASE_TIME + mtime and a half second, and fills in the entry the listing should give.
  Transcript lay_out(const std::string& folder, const std::string& session_id,
                     const std::string& text, std::int64_t mtime, std::uint64_t messages,
                     const std::string& label, const std::string& title,
                     const std::string& started) {
    std::string path = projects() + "/" + folder + "/" + session_id + ".jsonl";
    EXPECT_TRUE(harness::write_text_file(path, text));
    EXPECT_TRUE(harness::set_mtime(path, BASE_TIME + mtime, 500000000));
    Json entry = {{"session_id", session_id},
                  {"messages", messages},
                  {"label", label},
                  {"title", title},
                  {"started", started},
                  {"bytes", text.size()},
                  {"modified", static_cast<double>(BASE_TIME + mtime) + 0.5}};
    return {session_id, text, mtime, entry};
  }

  // POST with a JSON body; the status.
  int post(const std::string& path, const Json& body) {
    auto response = harness::http_request(bridge.port(), "POST", path, body);
    return response ? response->status : 0;
  }

  Json sessions_of(const std::string& id) {
    auto response = harness::http_request(bridge.port(), "GET", "/npc/" + id + "/sessions");
    if (!response) return Json();
    EXPECT_EQ(response->status, 200);
    Json body = response->json();
    EXPECT_EQ(body.size(), 1u);
    return body["sessions"];
  }

  static Json with_use(Json entry, bool current, const std::string& in_use_by) {
    entry["current"] = current;
    entry["in_use_by"] = in_use_by;
    return entry;
  }

  std::string line(const std::string& type, const Json& content, const std::string& cwd,
                   const std::string& sid, int second) {
    std::string stamp = "2026-01-01T00:00:" + std::string(second < 10 ? "0" : "") +
                        std::to_string(second) + ".000Z";
    return harness::message_line(type, content, cwd, sid, stamp);
  }

  BridgeProcess bridge;
};

TEST_F(SessionListing, EncodedFolderListsNewestFirstWithLabelsTitlesAndUse) {
  // The folder named by replacing only "/" (the bridge's root has "." and "_" in its name).
  std::string ws = workspace("plain");
  std::string folder = ws;
  std::replace(folder.begin(), folder.end(), '/', '-');
  ASSERT_NE(folder, harness::cli_folder_name(ws));  // so only this naming can find it

  std::string long_words =
      "Tell me about   the old lighthouse keeper\n\n and his lamp, please, in great detail now";
  std::string long_label =
      "Tell me about the old lighthouse keeper and his lamp, please, in great";  // 70 chars
  Transcript older =
      lay_out(folder, "s-older",
              line("user", "hi", ws, "s-older", 1) + line("assistant", "Hello.", ws, "s-older", 2) +
                  line("user", long_words, ws, "s-older", 3) + "not json but \"user\"\n" +
                  line("assistant", "He kept it lit.", ws, "s-older", 4),
              100, 4, long_label, "", "2026-01-01T00:00:01.000Z");
  Json blocks = Json::array({{{"type", "text"}, {"text", "Where is the blacksmith shop?"}},
                             {{"type", "image"}, {"source", "..."}}});
  Transcript newest =
      lay_out(folder, "s-newest",
              harness::title_line("Smithy", "s-newest") + line("user", blocks, ws, "s-newest", 7) +
                  harness::title_line("Later title", "s-newest"),
              300, 1, "Where is the blacksmith shop?", "Smithy", "2026-01-01T00:00:07.000Z");
  Transcript middle = lay_out(folder, "s-middle", line("user", "  short  ", ws, "s-middle", 9), 200,
                              1, "", "", "2026-01-01T00:00:09.000Z");
  // No messages: left out. Not a transcript by name: ignored.
  lay_out(folder, "s-titled", harness::title_line("Only a title", "s-titled"), 400, 0, "", "", "");
  ASSERT_TRUE(harness::write_text_file(projects() + "/" + folder + "/notes.txt",
                                       line("user", "a message in a text file", ws, "n", 1)));

  ASSERT_EQ(post("/npc/alice/workspace", {{"workspace", ws}}), 200);
  ASSERT_EQ(post("/npc/alice/session", {{"session_id", "s-older"}}), 200);
  ASSERT_EQ(post("/npc/bob/workspace", {{"workspace", ws}}), 200);
  ASSERT_EQ(post("/npc/bob/session", {{"session_id", "s-newest"}}), 200);
  EXPECT_EQ(post("/npc/alice/session", {{"session_id", "s-newest"}}), 409);  // bob has it

  EXPECT_EQ(sessions_of("alice"),
            Json::array({with_use(newest.entry, false, "bob"), with_use(middle.entry, false, ""),
                         with_use(older.entry, true, "")}));
  EXPECT_EQ(sessions_of("bob"),
            Json::array({with_use(newest.entry, true, ""), with_use(middle.entry, false, ""),
                         with_use(older.entry, false, "alice")}));
  // An NPC of another workspace sees its own (empty) folder.
  EXPECT_EQ(sessions_of("carol"), Json::array());

  // Touching a file reorders the listing.
  ASSERT_TRUE(harness::set_mtime(projects() + "/" + folder + "/s-middle.jsonl", BASE_TIME + 500));
  Json listing = sessions_of("alice");
  ASSERT_EQ(listing.size(), 3u);
  EXPECT_EQ(listing[0]["session_id"], "s-middle");
  EXPECT_EQ(listing[0]["modified"], static_cast<double>(BASE_TIME + 500));
}

TEST_F(SessionListing, FoldersAreFoundByCwdByTheCliNameAndThroughLinks) {
  // (b) a folder with an arbitrary name, known only by the "cwd" its transcripts record; a
  // folder of another workspace sorts before it.
  std::string ws_b = workspace("by-cwd");
  lay_out("aaa-other", "s-other",
          line("user", "Somebody else's conversation", "/elsewhere", "s-other", 1), 10, 1,
          "Somebody else's conversation", "", "2026-01-01T00:00:01.000Z");
  Transcript b =
      lay_out("zz-arbitrary", "s-b", line("user", "Which road leads to the mill?", ws_b, "s-b", 2),
              20, 1, "Which road leads to the mill?", "", "2026-01-01T00:00:02.000Z");

  // (c) a workspace whose name has spaces, dots and underscores, in a folder named the
  // CLI's way, its transcripts without any "cwd" to search by.
  std::string ws_c = workspace("my ws.v2_x");
  std::string c_text =
      dump_json(Json{{"type", "user"},
                     {"message", {{"role", "user"}, {"content", "Sing the harbour song again"}}},
                     {"timestamp", "2026-01-01T00:00:03.000Z"}}) +
      "\n";
  Transcript c = lay_out(harness::cli_folder_name(ws_c), "s-c", c_text, 30, 1,
                         "Sing the harbour song again", "", "2026-01-01T00:00:03.000Z");

  // (d) a workspace reached through a symbolic link: the CLI names the folder after the
  // resolved path and records the resolved path as "cwd".
  std::string real_d = workspace("real_d");
  std::string link_d = bridge.root() + "/link_d";
  ASSERT_EQ(::symlink(real_d.c_str(), link_d.c_str()), 0);
  Transcript d = lay_out(harness::cli_folder_name(real_d), "s-d",
                         line("user", "Count the barrels in the cellar", real_d, "s-d", 4), 40, 1,
                         "Count the barrels in the cellar", "", "2026-01-01T00:00:04.000Z");

  ASSERT_EQ(post("/npc/bea/workspace", {{"workspace", ws_b}}), 200);
  ASSERT_EQ(post("/npc/cal/workspace", {{"workspace", ws_c}}), 200);
  ASSERT_EQ(post("/npc/dan/workspace", {{"workspace", link_d}}), 200);
  ASSERT_EQ(post("/npc/dan/session", {{"session_id", "s-d"}}), 200);

  EXPECT_EQ(sessions_of("bea"), Json::array({with_use(b.entry, false, "")}));
  EXPECT_EQ(sessions_of("cal"), Json::array({with_use(c.entry, false, "")}));
  EXPECT_EQ(sessions_of("dan"), Json::array({with_use(d.entry, true, "")}));
  // The same folder through its real path.
  ASSERT_EQ(post("/npc/eve/workspace", {{"workspace", real_d}}), 200);
  EXPECT_EQ(sessions_of("eve"), Json::array({with_use(d.entry, false, "dan")}));
}

TEST_F(SessionListing, AFolderCreatedAfterAnEmptyListingIsSeen) {
  std::string ws = workspace("fresh");
  ASSERT_EQ(post("/npc/finn/workspace", {{"workspace", ws}}), 200);
  EXPECT_EQ(sessions_of("finn"), Json::array());
  ASSERT_TRUE(harness::make_folders(projects()));
  EXPECT_EQ(sessions_of("finn"), Json::array());

  // The CLI creates the folder with the workspace's first conversation.
  Transcript first = lay_out(harness::cli_folder_name(ws), "s-first",
                             line("user", "Good evening, innkeeper!", ws, "s-first", 5), 50, 1,
                             "Good evening, innkeeper!", "", "2026-01-01T00:00:05.000Z");
  EXPECT_EQ(sessions_of("finn"), Json::array({with_use(first.entry, false, "")}));

  // A second conversation in the same folder is seen too (listings are never cached).
  Transcript second = lay_out(harness::cli_folder_name(ws), "s-second",
                              line("user", "Another round for the table", ws, "s-second", 6), 60, 1,
                              "Another round for the table", "", "2026-01-01T00:00:06.000Z");
  EXPECT_EQ(sessions_of("finn"),
            Json::array({with_use(second.entry, false, ""), with_use(first.entry, false, "")}));
}

}  // namespace
