// The command line as the game and a person see it: help, usage errors, start-up errors.

#include <gtest/gtest.h>

#include <string>

#include "config/parse.h"
#include "harness/bridge_process.h"

namespace {

using harness::run_bridge;

TEST(CommandLine, HelpGoesToStdoutByteForByte) {
  for (const char* flag : {"--help", "-h"}) {
    harness::RunResult run = run_bridge({flag});
    EXPECT_EQ(run.status, 0) << flag;
    EXPECT_EQ(run.out, usage_text()) << flag;
    EXPECT_EQ(run.err, "") << flag;
  }
}

TEST(CommandLine, UsageErrorsGoToStderrWithStatus2) {
  harness::RunResult run = run_bridge({"--bogus", "--help"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "error: unknown option --bogus\n\n" + std::string(usage_text()) + "\n");

  run = run_bridge({"--port", "65536"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "error: invalid --port 65536\n");

  run = run_bridge({"--hook", "--bridge", "http://127.0.0.1:1"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "error: --hook needs --npc\n");
}

TEST(CommandLine, AMissingAgentCliIsAStartupErrorWithStatus1) {
  harness::RunResult run = run_bridge({"--claude", "/nonexistent/claude", "--port", "0"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "error: `claude` CLI not found (/nonexistent/claude)\n");
}

}  // namespace
