#include "transcript.h"

#include <gtest/gtest.h>

#include <fstream>

#include "util/paths.h"
#include "util/test_support.h"

TEST(DemoTranscript, FolderNamesSessionIdsAndTimestampsAreTheClis) {
  EXPECT_EQ(encode_project_folder("/tmp/my_ws.v2 x"), "-tmp-my-ws-v2-x");
  EXPECT_EQ(encode_project_folder("/home/u/Proj9"), "-home-u-Proj9");
  EXPECT_EQ(encode_project_folder("/caf\xc3\xa9"), "-caf--");  // one "-" a byte
  EXPECT_TRUE(is_plain_session_id("0b3c1a52-8d4e-4f1a-9c2b-1d2e3f4a5b6c"));
  for (const std::string& id : {std::string(""), std::string("."), std::string(".."),
                                std::string("../escape"), std::string("a\0b", 3)}) {
    EXPECT_FALSE(is_plain_session_id(id)) << id;
  }
  auto when = std::chrono::system_clock::time_point(std::chrono::milliseconds(1700000000123));
  EXPECT_EQ(iso_timestamp(when), "2023-11-14T22:13:20.123Z");
}

TEST(DemoTranscript, AppendedLinesAreFoundAndCarryTheSessionCostAndPrompt) {
  TempDir home;
  std::string path = join_path(join_path(projects_root(home.path()), "-w"), "s1.jsonl");
  Transcript transcript(path, "/w", "s1");
  transcript.keep_appended_prompt("You are Brom, the smith.");
  EXPECT_FALSE(find_session_file(home.path(), "s1").has_value());  // not before a message
  transcript.append("user", Json{{"role", "user"}, {"content", "hello"}});
  transcript.append("assistant", Json{{"role", "assistant"}}, Json{{"totalCostUsd", 0.25}});
  transcript.append("assistant", Json{{"role", "assistant"}}, Json{{"totalCostUsd", 0.5}});

  ASSERT_EQ(find_session_file(home.path(), "s1"), path);
  EXPECT_FALSE(find_session_file(home.path(), "s2").has_value());
  EXPECT_DOUBLE_EQ(recorded_session_cost(path), 0.5);
  EXPECT_EQ(recorded_appended_prompt(path), "You are Brom, the smith.");

  std::ifstream in(path);
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_EQ(parse_json(line), Json({{"type", "system-prompt"},
                                    {"appendSystemPrompt", "You are Brom, the smith."},
                                    {"sessionId", "s1"}}));
  ASSERT_TRUE(std::getline(in, line));
  Json user = parse_json(line).value_or(Json());
  EXPECT_EQ(as_text(user, "type"), "user");
  EXPECT_EQ(as_text(user, "cwd"), "/w");
  EXPECT_EQ(as_text(user, "sessionId"), "s1");
  EXPECT_EQ(as_text(user, "timestamp").size(), 24u);
}
