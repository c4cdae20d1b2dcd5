// How the bridge starts and ends: the banner, the game closing stdin, signals, a taken port.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

#include "harness/bridge_process.h"
#include "harness/http_client.h"
#include "util/json.h"

namespace {

using harness::BridgeOptions;
using harness::BridgeProcess;

// Index of the first log line containing `needle`, or the number of lines.
std::size_t line_index(const std::vector<std::string>& lines, const std::string& needle) {
  return static_cast<std::size_t>(
      std::find_if(lines.begin(), lines.end(),
                   [&](const std::string& l) { return l.find(needle) != std::string::npos; }) -
      lines.begin());
}

TEST(Lifecycle, BannerShowsTheSettings) {
  BridgeOptions options;
  options.args = {"--permission-policy", "ask", "--model", "sonnet"};
  BridgeProcess bridge(options);
  ASSERT_TRUE(bridge.start());
  ASSERT_TRUE(bridge.wait_for_log("playground: "));
  std::vector<std::string> lines = bridge.log_lines();
  ASSERT_GE(lines.size(), 6u);
  std::vector<std::string> banner(lines.end() - 6, lines.end());
  EXPECT_EQ(banner[0], "[bridge] claude    : " + bridge.claude_path());
  EXPECT_EQ(banner[1], "[bridge] workspace : " + bridge.workspace());
  EXPECT_EQ(banner[2],
            "[bridge] policy    : ask  (--permission-mode acceptEdits, ask in-game: Bash)");
  EXPECT_EQ(banner[3], "[bridge] models    : opus[1m],opus,sonnet,haiku,fable (default: sonnet)");
  EXPECT_EQ(banner[4], "[bridge] listening : http://127.0.0.1:" + std::to_string(bridge.port()));
  // Then the address to open in a browser.
  EXPECT_EQ(banner[5], "[bridge] playground: http://127.0.0.1:" + std::to_string(bridge.port()) + "/");
}

TEST(Lifecycle, ClosingStdinShutsDownWithStatus0) {
  BridgeProcess bridge;
  ASSERT_TRUE(bridge.start());
  bridge.close_stdin();
  EXPECT_EQ(bridge.wait_for_exit(), 0);
  std::vector<std::string> lines = bridge.log_lines();
  std::size_t closed = line_index(lines, "[bridge] the game closed our stdin; shutting down");
  std::size_t bye = line_index(lines, "[bridge] bye");
  ASSERT_LT(closed, lines.size());
  ASSERT_LT(bye, lines.size());
  EXPECT_LT(closed, bye);
}

TEST(Lifecycle, WithoutExitWithStdinClosingStdinChangesNothing) {
  BridgeOptions options;
  options.exit_with_stdin = false;
  BridgeProcess bridge(options);
  ASSERT_TRUE(bridge.start());
  bridge.close_stdin();
  // Still serving after the close; then a signal ends it the normal way.
  auto response = harness::http_request(bridge.port(), "GET", "/no-such-endpoint");
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 404);
  bridge.signal(SIGTERM);
  EXPECT_EQ(bridge.wait_for_exit(), 0);
  EXPECT_EQ(bridge.count_log("the game closed our stdin"), 0u);
  EXPECT_EQ(bridge.count_log("[bridge] bye"), 1u);
}

class SignalShutdown : public testing::TestWithParam<int> {};

TEST_P(SignalShutdown, LogsByeAndExits0) {
  BridgeProcess bridge;
  ASSERT_TRUE(bridge.start());
  bridge.signal(GetParam());
  EXPECT_EQ(bridge.wait_for_exit(), 0);
  EXPECT_EQ(bridge.count_log("[bridge] bye"), 1u);
  EXPECT_EQ(bridge.count_log("the game closed our stdin"), 0u);
}

INSTANTIATE_TEST_SUITE_P(TermAndInt, SignalShutdown, testing::Values(SIGTERM, SIGINT));

TEST(Lifecycle, ASecondBridgeOnATakenPortFailsWithStatus1) {
  BridgeProcess first;
  ASSERT_TRUE(first.start());
  BridgeOptions options;
  options.port = first.port();
  options.wait_for_banner = false;
  BridgeProcess second(options);
  ASSERT_TRUE(second.start());
  EXPECT_EQ(second.wait_for_exit(), 1);
  std::vector<std::string> lines = second.log_lines();
  ASSERT_EQ(lines.size(), 2u);
  std::string prefix = "error: cannot listen on 127.0.0.1:" + std::to_string(first.port()) + " (";
  EXPECT_EQ(lines[0].substr(0, prefix.size()), prefix);
  EXPECT_EQ(lines[0].substr(lines[0].size() - 2), ").");
  EXPECT_EQ(lines[1],
            "Another agent bridge is probably already running. Stop it (pkill -f "
            "quillhaven-bridge) or pass --port.");
  // The first one is unharmed.
  auto response = harness::http_request(first.port(), "GET", "/no-such-endpoint");
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 404);
}

TEST(Lifecycle, ResetWorkspacesRewritesTheStateFileBeforeListening) {
  BridgeProcess first;
  ASSERT_TRUE(first.start());
  // Even a start-up that then fails on the taken port has rewritten the file by then.
  BridgeOptions options;
  options.args = {"--reset-workspaces"};
  options.port = first.port();
  options.wait_for_banner = false;
  BridgeProcess second(options);
  ASSERT_TRUE(second.start());
  EXPECT_EQ(second.wait_for_exit(), 1);
  EXPECT_EQ(second.count_log("[bridge] forgot 0 remembered folder(s)"), 1u);
  std::ifstream file(second.state_file());
  std::stringstream text;
  text << file.rdbuf();
  EXPECT_EQ(parse_json(text.str()), Json::object()) << text.str();
}

}  // namespace
