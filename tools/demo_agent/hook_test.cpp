#include "hook.h"

#include <gtest/gtest.h>

#include <tuple>

TEST(DemoHook, MatchersMatchTheWholeToolNameAndBrokenPatternsMatchLiterally) {
  const std::vector<std::tuple<const char*, const char*, bool>> cases = {
      {"Bash", "Bash", true},
      {"Bash", "BashOutput", false},
      {"Bash", "MyBash", false},
      {"Bash|Write", "Write", true},
      {"Bash|Write", "Read", false},
      {"mcp__.*", "mcp__files__list", true},
      {"", "Read", true},
      {"*", "Read", true},
      {"Bash(", "Bash(", true},
      {"Bash(", "Bash", false}};
  for (const auto& [matcher, tool, matches] : cases) {
    EXPECT_EQ(matcher_matches(matcher, tool), matches) << matcher << " " << tool;
  }
}
