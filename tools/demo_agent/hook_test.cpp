#include "hook.h"

#include <gtest/gtest.h>

#include <tuple>

TEST(DemoHook, MatchersMatchTheWholeToolNameAndBrokenPatternsMatchLiterally) {
  const std::vector<std::tuple<const char*, const char*, bool>> cases = {
      {"Bash", "BashOutput", false}, {"Bash", "MyBash", false}, {"Bash|Write", "Write", true},
      {"mcp__.*", "mcp__x", true},   {"", "Read", true},        {"*", "Read", true},
      {"Bash(", "Bash(", true},      {"Bash(", "Bash", false}};
  for (const auto& [matcher, tool, matches] : cases)
    EXPECT_EQ(matcher_matches(matcher, tool), matches) << matcher << " " << tool;
}
