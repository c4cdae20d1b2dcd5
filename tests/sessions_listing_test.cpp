// Listing a workspace's earlier conversations from the transcripts the CLI keeps under
// HOME/.claude/projects: each session described, newest first, and which NPC uses which.

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

TEST(SessionListing, ConversationsAreListedNewestFirstWithLabelsTitlesAndWhoUsesThem) {
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
  // Writes a transcript into `folder` (under projects), modified at BASE_TIME + `mtime` and a
  // half second; the listing's entry for it: `fields` and the file's size and time.
  auto lay_out = [&](const std::string& folder, const std::string& sid, const std::string& text,
                     std::int64_t mtime, Json fields) {
    std::string path = projects + "/" + folder + "/" + sid + ".jsonl";
    write_file(path, text);
    EXPECT_TRUE(harness::set_mtime(path, BASE_TIME + mtime, 500000000));
    fields["session_id"] = sid;
    fields["bytes"] = text.size();
    fields["modified"] = static_cast<double>(BASE_TIME + mtime) + 0.5;
    return fields;
  };
  // The entry as `npc` sees it while `user` has that conversation.
  auto seen = [](Json entry, const std::string& npc, const std::string& user) {
    entry["current"] = user == npc;
    entry["in_use_by"] = user == npc ? "" : user;
    return entry;
  };
  auto line = [](const std::string& type, const Json& content, const std::string& cwd,
                 const std::string& sid, int second) {
    return harness::message_line(type, content, cwd, sid,
                                 "2026-01-01T00:00:0" + std::to_string(second) + ".000Z");
  };
  auto title = [](const std::string& text) {
    return dump_json(Json{{"type", "custom-title"}, {"customTitle", text}}) + "\n";
  };

  // The folder named by replacing only "/" (the bridge's root has "." and "_" in its name).
  std::string ws = bridge.root() + "/plain";
  ASSERT_TRUE(harness::make_folders(ws));
  std::string folder = ws;
  std::replace(folder.begin(), folder.end(), '/', '-');
  ASSERT_NE(folder, harness::cli_folder_name(ws));  // so only this naming can find it

  std::string words =
      "Tell me about   the old lighthouse keeper\n\n and his lamp, please, in great "
      "detail now";
  Json older =
      lay_out(folder, "s-older",
              line("user", "hi", ws, "s-older", 1) + line("user", words, ws, "s-older", 3) +
                  "not json but \"user\"\n" + line("assistant", "He kept it.", ws, "s-older", 4),
              100,
              {{"messages", 3},
               {"label", "Tell me about the old lighthouse keeper and his lamp, please, in great"},
               {"title", ""},
               {"started", "2026-01-01T00:00:01.000Z"}});
  Json blocks = Json::array({{{"type", "text"}, {"text", "Where is the blacksmith shop?"}},
                             {{"type", "image"}, {"source", "..."}}});
  Json newest =
      lay_out(folder, "s-newest",
              title("Smithy") + line("user", blocks, ws, "s-newest", 7) + title("Later"), 300,
              {{"messages", 1},
               {"label", "Where is the blacksmith shop?"},
               {"title", "Smithy"},
               {"started", "2026-01-01T00:00:07.000Z"}});
  Json middle = lay_out(
      folder, "s-middle", line("user", "  short  ", ws, "s-middle", 9), 200,
      {{"messages", 1}, {"label", ""}, {"title", ""}, {"started", "2026-01-01T00:00:09.000Z"}});
  // No messages: left out. Not a transcript by name: ignored.
  lay_out(folder, "s-titled", title("Only a title"), 400, Json::object());
  write_file(projects + "/" + folder + "/notes.txt",
             line("user", "a message in a text file", ws, "n", 1));

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
  Json first = lay_out(harness::cli_folder_name(fresh), "s-first",
                       line("user", "Good evening, innkeeper!", fresh, "s-first", 5), 50,
                       {{"messages", 1},
                        {"label", "Good evening, innkeeper!"},
                        {"title", ""},
                        {"started", "2026-01-01T00:00:05.000Z"}});
  EXPECT_EQ(sessions_of("finn"), Json::array({seen(first, "finn", "")}));
}

}  // namespace
