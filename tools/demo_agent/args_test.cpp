#include "args.h"

#include <gtest/gtest.h>

TEST(DemoArgs, ReadsTheBridgesCommandLineAndRefusesWhatTheCliWouldRefuse) {
  std::vector<std::string> argv = {"--print",       "--input-format",
                                   "stream-json",   "--output-format",
                                   "stream-json",   "--include-partial-messages",
                                   "--verbose",     "--permission-mode",
                                   "auto",          "--model",
                                   "opus",          "--settings",
                                   "/tmp/s.json",   "--append-system-prompt",
                                   "You are Brom.", "--name=npc:it's"};
  ArgsResult result = parse_args(argv);
  ASSERT_TRUE(result.args.has_value()) << result.error;
  EXPECT_EQ(result.args->permission_mode, "auto");
  EXPECT_EQ(result.args->model, "opus");
  EXPECT_EQ(result.args->settings_path, "/tmp/s.json");
  EXPECT_EQ(result.args->system_prompt, "You are Brom.");
  EXPECT_EQ(result.args->name, "npc:it's");
  EXPECT_EQ(result.args->raw, argv);

  const std::vector<std::vector<std::string>> refused = {
      {"--print", "--dangerously-guess"}, {"--model"},       {"--permission-mode", "yolo"},
      {"--output-format", "text"},        {"--verbose=yes"}, {"stray"}};
  for (const std::vector<std::string>& bad : refused) {
    result = parse_args(bad);
    EXPECT_FALSE(result.args.has_value()) << bad.back();
    EXPECT_NE(result.error, "") << bad.back();
  }
}
