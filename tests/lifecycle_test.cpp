// How the bridge ends without --exit-with-stdin: a closed stdin changes nothing, and SIGTERM or
// SIGINT shut it down with status 0. (The banner, a taken port and closing stdin with the flag:
// GameReference; --reset-workspaces before listening: StateFileOnDisk.)

#include <gtest/gtest.h>
#include <signal.h>

#include "harness/bridge_process.h"
#include "harness/http_client.h"

namespace {

TEST(Lifecycle, WithoutExitWithStdinOnlyASignalEndsTheBridge) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    harness::BridgeOptions options;
    options.exit_with_stdin = false;
    harness::BridgeProcess bridge(options);
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
