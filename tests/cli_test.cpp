// The command line as the game and a person see it. (The banner and a taken port: GameReference;
// stdin closed with --exit-with-stdin, and --reset-workspaces: GameRestarts.)

#include <gtest/gtest.h>

#include "config/parse.h"
#include "harness/http_client.h"

namespace {

TEST(CommandLine, HelpAndUsageErrorsByteForByte) {
  const std::string usage(usage_text());
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out, err;
  };
  for (const Case& c : std::vector<Case>{
           {{"-h"}, 0, usage, ""},
           {{"--bogus", "--help"}, 2, "", "error: unknown option --bogus\n\n" + usage + "\n"},
           {{"--hook", "--bridge", "http://127.0.0.1:1"}, 2, "", "error: --hook needs --npc\n"}}) {
    SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
    harness::RunResult run = harness::run_bridge(c.args);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
  }
}

TEST(CommandLine, WithoutExitWithStdinOnlyASignalEndsTheBridge) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    harness::BridgeProcess bridge({.exit_with_stdin = false});
    ASSERT_TRUE(bridge.start());
    bridge.close_stdin();
    // Still serving after the close; then the signal ends it the normal way.
    auto response = harness::http_request(bridge.port(), "GET", "/no-such-endpoint");
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 404);
    bridge.signal(sig);
    EXPECT_EQ(bridge.wait_for_exit(), 0);
    EXPECT_EQ(bridge.count_log("the game closed our stdin"), 0u);
    EXPECT_EQ(bridge.count_log("[bridge] bye"), 1u);
  }
}

}  // namespace
