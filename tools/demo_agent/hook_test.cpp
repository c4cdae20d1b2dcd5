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

TEST(DemoHook, SettingsGiveCommandHooksAndOnlyAClearAllowLetsTheToolRun) {
  std::optional<Json> settings = parse_json(R"({"hooks":{"PreToolUse":[
      {"hooks":[{"command":"h1","timeout":300,"type":"command"}],"matcher":"Bash"},
      {"hooks":[{"command":"h2","type":"prompt"},{"command":"","type":"command"}]},
      {"matcher":"Read"},
      "junk",
      {"hooks":[{"command":"h3","type":"command"}]}]}})");
  ASSERT_TRUE(settings.has_value());
  std::vector<HookGroup> groups = pre_tool_use_hooks(*settings);
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].matcher, "Bash");
  EXPECT_EQ(groups[0].commands.at(0).command, "h1");
  EXPECT_EQ(groups[0].commands.at(0).timeout_seconds, 300);
  EXPECT_EQ(groups[1].matcher, "");
  EXPECT_EQ(groups[1].commands.at(0).timeout_seconds, 60);
  EXPECT_TRUE(pre_tool_use_hooks(Json(nullptr)).empty());

  CommandRun run;
  run.started = true;
  run.exit_status = 0;
  run.output =
      R"({"hookSpecificOutput":{"hookEventName":"PreToolUse","permissionDecision":"allow"}})";
  EXPECT_TRUE(interpret_hook_run(run, 60).allow);
  run.output =
      R"({"hookSpecificOutput":{"permissionDecision":"deny","permissionDecisionReason":"no"}})";
  EXPECT_FALSE(interpret_hook_run(run, 60).allow);
  EXPECT_EQ(interpret_hook_run(run, 60).reason, "no");
  for (const char* output :
       {"", "allow", "{}", R"({"hookSpecificOutput":{"permissionDecision":"ask"}})"}) {
    run.output = output;
    EXPECT_FALSE(interpret_hook_run(run, 60).allow) << output;
  }
  run.output = R"({"hookSpecificOutput":{"permissionDecision":"allow"}})";
  run.exit_status = 1;
  EXPECT_FALSE(interpret_hook_run(run, 60).allow);
  run.exit_status = 2;
  run.errors = "blocked by policy\n";
  EXPECT_EQ(interpret_hook_run(run, 60).reason, "blocked by policy");
}

// Real hooks through the shell: the tool-use description arrives on standard input, and a hook
// that outlives its limit is killed and counts as a refusal.
TEST(DemoHook, HookReadsTheRequestAndIsKilledAtItsLimit) {
  Json input{{"tool_name", "Bash"}, {"tool_input", {{"command", "ls"}}}};
  std::string allow_if_bash =
      "grep -q '\"tool_name\":\"Bash\"' && "
      "echo '{\"hookSpecificOutput\":{\"permissionDecision\":\"allow\"}}'";
  std::vector<HookGroup> groups{{"Bash", {{allow_if_bash, 10}}}};
  EXPECT_TRUE(consult_pre_tool_use(groups, input, "Bash", "/").allow);

  groups = {{"Bash", {{"exec sleep 30", 0.3}}}};
  auto started = std::chrono::steady_clock::now();
  HookVerdict verdict = consult_pre_tool_use(groups, input, "Bash", "/");
  EXPECT_FALSE(verdict.allow);
  EXPECT_EQ(verdict.reason, "the hook timed out after 0.3 s");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
  // A tool that no matcher selects runs without asking.
  EXPECT_TRUE(consult_pre_tool_use(groups, input, "Read", "/").allow);
}
