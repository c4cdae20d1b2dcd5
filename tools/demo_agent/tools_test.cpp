#include "tools.h"

#include <gtest/gtest.h>

#include "util/text.h"

TEST(DemoTools, BashGivesBothStreamsInOrderAndFailsOnANonZeroExit) {
  ToolOutcome ok = run_tool("Bash", Json{{"command", "echo out; echo err >&2; pwd"}}, "/");
  EXPECT_FALSE(ok.is_error);
  EXPECT_EQ(ok.content, "out\nerr\n/");

  ToolOutcome failed = run_tool("Bash", Json{{"command", "echo partial; exit 3"}}, "/");
  EXPECT_TRUE(failed.is_error);
  EXPECT_EQ(failed.content, "partial\nExit code 3");
}

TEST(DemoTools, LongOutputIsCutWithoutBreakingACharacter) {
  // 6000 two-byte characters: 12000 bytes, cut at 10240 on a character boundary.
  ToolOutcome out = run_tool(
      "Bash",
      Json{{"command", "i=0; while [ $i -lt 6000 ]; do printf '\\303\\251'; i=$((i+1)); done"}},
      "/");
  EXPECT_FALSE(out.is_error);
  EXPECT_EQ(out.content.size(), TOOL_OUTPUT_LIMIT);
  EXPECT_TRUE(is_valid_utf8(out.content));
  EXPECT_EQ(out.content.find("\xef\xbf\xbd"), std::string::npos);
}

TEST(DemoTools, ReadAndOtherTools) {
  EXPECT_TRUE(run_tool("Read", Json{{"file_path", "/nonexistent/file"}}, "/").is_error);
  EXPECT_TRUE(run_tool("Read", Json::object(), "/").is_error);
  ToolOutcome other = run_tool("Write", Json{{"file_path", "x"}}, "/");
  EXPECT_FALSE(other.is_error);
  EXPECT_EQ(other.content, "done");
}
