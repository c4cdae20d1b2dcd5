#include "transcript.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "util/paths.h"

namespace {
std::string parent_of(const std::string& path) { return path.substr(0, path.rfind('/')); }
}  // namespace

TEST(DemoTranscript, FolderNameKeepsOnlyAsciiLettersAndDigits) {
  EXPECT_EQ(encode_project_folder("/tmp/my_ws.v2 x"), "-tmp-my-ws-v2-x");
  EXPECT_EQ(encode_project_folder("/home/u/Proj9"), "-home-u-Proj9");
  // Every byte of a non-ASCII character becomes its own "-".
  EXPECT_EQ(encode_project_folder("/caf\xc3\xa9"), "-caf--");
}

TEST(DemoTranscript, SessionIdsThatCannotBeFileNamesHaveNoTranscript) {
  EXPECT_TRUE(is_plain_session_id("0b3c1a52-8d4e-4f1a-9c2b-1d2e3f4a5b6c"));
  EXPECT_FALSE(is_plain_session_id(""));
  EXPECT_FALSE(is_plain_session_id("."));
  EXPECT_FALSE(is_plain_session_id(".."));
  EXPECT_FALSE(is_plain_session_id("../escape"));
  EXPECT_FALSE(is_plain_session_id(std::string("a\0b", 3)));
}

TEST(DemoTranscript, TimestampsAreUtcWithMilliseconds) {
  auto when = std::chrono::system_clock::time_point(std::chrono::milliseconds(1700000000123));
  EXPECT_EQ(iso_timestamp(when), "2023-11-14T22:13:20.123Z");
}

TEST(DemoTranscript, AppendedLinesAreFoundAndCarryTheSessionCostAndPrompt) {
  char pattern[] = "/tmp/demo-transcript-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  std::string home = pattern;
  std::string path = join_path(join_path(projects_root(home), "-w"), "s1.jsonl");

  Transcript transcript(path, "/w", "s1");
  transcript.keep_appended_prompt("You are Brom, the smith.");
  EXPECT_FALSE(find_session_file(home, "s1").has_value());  // not before a message
  transcript.append("user", Json{{"role", "user"}, {"content", "hello"}});
  transcript.append("assistant", Json{{"role", "assistant"}}, Json{{"totalCostUsd", 0.25}});
  transcript.append("assistant", Json{{"role", "assistant"}}, Json{{"totalCostUsd", 0.5}});

  ASSERT_EQ(find_session_file(home, "s1"), path);
  EXPECT_FALSE(find_session_file(home, "s2").has_value());
  EXPECT_DOUBLE_EQ(recorded_session_cost(path), 0.5);
  EXPECT_EQ(recorded_appended_prompt(path), "You are Brom, the smith.");

  std::ifstream in(path);
  std::string first;
  ASSERT_TRUE(std::getline(in, first));
  EXPECT_EQ(parse_json(first), Json({{"type", "system-prompt"},
                                     {"appendSystemPrompt", "You are Brom, the smith."},
                                     {"sessionId", "s1"}}));
  ASSERT_TRUE(std::getline(in, first));
  std::optional<Json> line = parse_json(first);
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(as_text(*line, "type"), "user");
  EXPECT_EQ(as_text(*line, "cwd"), "/w");
  EXPECT_EQ(as_text(*line, "sessionId"), "s1");
  EXPECT_EQ(as_text(*line, "timestamp").size(), 24u);
  ::unlink(path.c_str());
  ::rmdir(parent_of(path).c_str());
  ::rmdir(projects_root(home).c_str());
  ::rmdir((home + "/.claude").c_str());
  ::rmdir(home.c_str());
}
